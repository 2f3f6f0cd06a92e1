#!/usr/bin/env python3
"""Writes a transport stream of a given size (bytes, rounded down to whole
packets) with four PIDs whose continuity counters run without a gap, or,
with DROP_EVERY, where every DROP_EVERY-th packet of the first PID skips a
counter value (a drop-heavy stream).
  make_stream.py PATH SIZE [DROP_EVERY]"""
import sys

PIDS = (0x100, 0x101, 0x110, 0x111)


def cycle_packets(drop_every):
    # Long enough that the counters come back to where they started.
    rounds = 16 * (drop_every if drop_every else 1)
    counters = [0] * len(PIDS)
    cycle = bytearray()
    for n in range(rounds):
        for k, pid in enumerate(PIDS):
            cc = counters[k]
            cycle += bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc]) + bytes([(pid + cc) & 0xFF]) * 184
            skip = k == 0 and drop_every and n % drop_every == drop_every - 1
            counters[k] = (cc + (2 if skip else 1)) & 15
    assert counters == [0] * len(PIDS) or drop_every
    return bytes(cycle)


def main():
    path, size = sys.argv[1], int(sys.argv[2])
    drop_every = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    cycle = cycle_packets(drop_every)
    block = cycle * (1048576 // len(cycle) + 1)
    block = block[: len(block) // len(cycle) * len(cycle)]
    packets = size // 188
    with open(path, "wb") as out:
        written = 0
        while written < packets:
            n = min(len(block) // 188, packets - written)
            out.write(block[: n * 188])
            written += n


if __name__ == "__main__":
    main()
