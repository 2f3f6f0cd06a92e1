#!/usr/bin/env python3
"""Writes a transport stream of a given size (bytes, rounded down to whole
packets) with four PIDs whose continuity counters run without a gap."""
import sys

def main():
    path, size = sys.argv[1], int(sys.argv[2])
    cycle = bytearray()
    for cc in range(16):
        for pid in (0x100, 0x101, 0x110, 0x111):
            header = bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc])
            cycle += header + bytes([(pid + cc) & 0xFF]) * 184
    block = bytes(cycle) * (1048576 // len(cycle) + 1)
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
