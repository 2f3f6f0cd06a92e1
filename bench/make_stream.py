#!/usr/bin/env python3
"""Writes a transport stream of a given size (bytes, rounded down to whole
packets) shaped like a broadcast: a video PID 0x100 with 13 of every 16
packets, a PCR PID 0x101, an audio PID 0x110 and a data PID 0x111 with one
each, continuity counters without a gap, or, with DROP_EVERY, where every
DROP_EVERY-th video packet skips a counter value (a drop-heavy stream). Every
256 packets a video PES (PTS and DTS) and an audio PES (PTS) start and a PCR
goes by, each 1/30 s later than the last.
  make_stream.py PATH SIZE [DROP_EVERY]"""
import sys

PIDS = (0x100, 0x101, 0x110, 0x111)
# One round: where the other PIDs fall between the video packets.
ROUND = (0x100,) * 4 + (0x101,) + (0x100,) * 5 + (0x110,) + (0x100,) * 4 + (0x111,)
FRAME_TICKS = 3003  # 90 kHz ticks per frame at 29.97 frames per second
FIRST_STAMP = 0x12345678


def stamp_bytes(prefix, value):
    return bytes([(prefix << 4) | ((value >> 29) & 0x0E) | 1, (value >> 22) & 0xFF, ((value >> 14) & 0xFE) | 1,
                  (value >> 7) & 0xFF, ((value << 1) & 0xFE) | 1])


def pes_start(stream_id, pts, dts=None):
    if dts is None:
        header = bytes([0x80, 0x80, 5]) + stamp_bytes(2, pts)
    else:
        header = bytes([0x80, 0xC0, 10]) + stamp_bytes(3, pts) + stamp_bytes(1, dts)
    return bytes([0, 0, 1, stream_id, 0, 0]) + header


def pcr_field(base):
    return bytes([7, 0x10, (base >> 25) & 0xFF, (base >> 17) & 0xFF, (base >> 9) & 0xFF, (base >> 1) & 0xFF,
                  ((base & 1) << 7) | 0x7E, 0])


def cycle_packets(drop_every):
    """Packets of one cycle, where each time stamp of the cycle lies, and
    the frames the cycle spans."""
    # Long enough that the counters come back to where they started.
    rounds = 16 * (drop_every if drop_every else 1)
    counters = {pid: 0 for pid in PIDS}
    cycle = bytearray()
    stamps = []  # (offset, kind): kind 'v' video PTS+DTS, 'a' audio PTS, 'p' PCR
    video = 0
    for n in range(rounds):
        started = set()
        for pid in ROUND:
            cc = counters[pid]
            fill = bytes([(pid + cc) & 0xFF]) * 184
            start = len(cycle)
            frame = n % 16 == 0 and pid not in started
            started.add(pid)
            if frame and pid == 0x101:
                field = pcr_field(0)
                cycle += bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x30 | cc]) + field + fill[len(field):]
                stamps.append((start + 6, "p"))
            elif frame and pid in (0x100, 0x110):
                head = pes_start(0xE0, 0, 0) if pid == 0x100 else pes_start(0xC0, 0)
                cycle += bytes([0x47, 0x40 | ((pid >> 8) & 0x1F), pid & 0xFF, 0x10 | cc]) + head + fill[len(head):]
                stamps.append((start + 4 + 9, "v" if pid == 0x100 else "a"))
            else:
                cycle += bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc]) + fill
            skip = False
            if pid == 0x100:
                skip = drop_every and video % drop_every == drop_every - 1
                video += 1
            counters[pid] = (cc + (2 if skip else 1)) & 15
    assert all(c == 0 for c in counters.values()) or drop_every
    return cycle, stamps, rounds // 16


def main():
    path, size = sys.argv[1], int(sys.argv[2])
    drop_every = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    cycle, stamps, frames_per_cycle = cycle_packets(drop_every)
    packets = size // 188
    frame = 0
    with open(path, "wb") as out:
        written = 0
        while written < packets:
            chunk = bytearray()
            while len(chunk) < 1048576 and written + len(chunk) // 188 < packets:
                block = bytearray(cycle)
                frames = {}
                for offset, kind in stamps:
                    index = frames.get(kind, 0)
                    frames[kind] = index + 1
                    ticks = (FIRST_STAMP + (frame + index) * FRAME_TICKS) & ((1 << 33) - 1)
                    if kind == "p":
                        block[offset:offset + 6] = pcr_field(ticks)[2:]
                    elif kind == "a":
                        block[offset:offset + 5] = stamp_bytes(2, ticks)
                    else:
                        block[offset:offset + 5] = stamp_bytes(3, ticks + 2 * FRAME_TICKS)
                        block[offset + 5:offset + 10] = stamp_bytes(1, ticks)
                frame += frames_per_cycle
                chunk += block
            n = min(len(chunk) // 188, packets - written)
            out.write(chunk[: n * 188])
            written += n


if __name__ == "__main__":
    main()
