#!/usr/bin/env python3
"""Writes the demo transport stream bundled with the project.

About twenty seconds of a made-up ISDB service: PAT, PMT, a PCR-only PID,
video and audio PES with PTS, a caption stream, SDT, EIT present/following
events and TOT, with a few continuity drops on purpose so that -drop has
something to show. Usage: make_demo_stream.py OUTPUT.ts
"""
import datetime
import struct
import sys

PAT_PID, PMT_PID, PCR_PID = 0x0000, 0x01F0, 0x01FF
VIDEO_PID, AUDIO_PID, CAPTION_PID = 0x0111, 0x0112, 0x0130
SDT_PID, EIT_PID, TOT_PID = 0x0011, 0x0012, 0x0014
TSID, ONID, SERVICE_ID = 0x7FE0, 0x7FE0, 0x0400


def crc32(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def arib(text):
    """Text as JIS X 0208 codes in G0 (the initial designation for SI and captions)."""
    wide = ''.join(chr(ord(c) + 0xFEE0) if '!' <= c <= '~' else ('\u3000' if c == ' ' else c) for c in text)
    encoded = wide.encode('iso2022_jp')
    return encoded.replace(b'\x1b$B', b'').replace(b'\x1b(B', b'')


def bcd(value):
    return ((value // 10) << 4) | (value % 10)


def mjd_bcd(when):
    mjd = (when.date() - datetime.date(1858, 11, 17)).days
    return struct.pack('>H', mjd) + bytes([bcd(when.hour), bcd(when.minute), bcd(when.second)])


def section(table_id, extension, body, version=0):
    length = 5 + len(body) + 4
    head = bytes([table_id, 0xB0 | (length >> 8), length & 0xFF, extension >> 8, extension & 0xFF,
                  0xC1 | (version << 1), 0, 0])
    data = head + body
    return data + struct.pack('>I', crc32(data))


class Stream:
    def __init__(self):
        self.out = bytearray()
        self.counters = {}

    def packet(self, pid, payload=b'', pusi=False, pcr=None, skip=0):
        cc = (self.counters.get(pid, 0) + skip) & 0x0F
        # As in real streams, a packet without payload does not advance the
        # counter: the PCR-only PID shows the exemption of PCR PIDs at work.
        self.counters[pid] = (cc + (1 if payload or pcr is None else 0)) & 0x0F
        adaptation = b''
        if pcr is not None:
            base = pcr & 0x1FFFFFFFF
            adaptation = bytes([0x10]) + struct.pack('>IH', base >> 1, ((base & 1) << 15) | 0x7E00)
        afc = (2 if pcr is not None else 0) | (1 if payload or pcr is None else 0)
        head = bytes([0x47, (0x40 if pusi else 0) | (pid >> 8), pid & 0xFF, (afc << 4) | cc])
        body = b''
        if pcr is not None:
            if afc & 1:
                body = bytes([len(adaptation)]) + adaptation
            else:
                body = bytes([183]) + adaptation + b'\xFF' * (183 - len(adaptation))
        body += payload[:184 - len(body)]
        self.out += head + body + b'\xFF' * (184 - len(body))

    def section(self, pid, data):
        payload = b'\x00' + data
        first = True
        while payload or first:
            self.packet(pid, payload[:184], pusi=first)
            payload = payload[184:]
            first = False

    def pes(self, pid, data, skip_first=0):
        first = True
        while data:
            chunk = data[:184]
            data = data[184:]
            if len(chunk) < 184:
                # Last piece: stuff with an adaptation field so the PES ends exactly.
                cc = (self.counters.get(pid, 0) + (skip_first if first else 0)) & 0x0F
                self.counters[pid] = (cc + 1) & 0x0F
                stuffing = 184 - len(chunk) - 1
                adaptation = bytes([stuffing]) + ((b'\x00' + b'\xFF' * (stuffing - 1)) if stuffing > 0 else b'')
                head = bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x30 | cc])
                self.out += head + adaptation + chunk
            else:
                self.packet(pid, chunk, pusi=first, skip=skip_first if first else 0)
            first = False


def pes(stream_id, pts, payload):
    stamp = pts & 0x1FFFFFFFF
    header = bytes([0x80, 0x80, 5,
                    0x21 | ((stamp >> 29) & 0x0E), (stamp >> 22) & 0xFF, ((stamp >> 14) & 0xFE) | 1,
                    (stamp >> 7) & 0xFF, ((stamp << 1) & 0xFE) | 1])
    body = header + payload
    return bytes([0, 0, 1, stream_id]) + struct.pack('>H', len(body)) + body


def data_group(group_id, data):
    head = bytes([group_id << 2, 0, 0]) + struct.pack('>H', len(data))
    return head + data + struct.pack('>H', crc16(head + data))


def caption_pes(pts, text):
    management = bytes([0x3F, 1, 0x10]) + b'jpn' + bytes([0x00]) + b'\x00\x00\x00'
    unit = bytes([0x1F, 0x20]) + len(text).to_bytes(3, 'big') + text
    statement = bytes([0x3F]) + len(unit).to_bytes(3, 'big') + unit
    payload = bytes([0x80, 0xFF, 0xF0]) + data_group(0x00, management) + data_group(0x01, statement)
    return pes(0xBD, pts, payload)


def main():
    out = Stream()
    start = datetime.datetime(2026, 12, 7, 20, 59, 50)
    pat = section(0x00, TSID, struct.pack('>HH', SERVICE_ID, 0xE000 | PMT_PID))
    streams = (bytes([0x02]) + struct.pack('>HH', 0xE000 | VIDEO_PID, 0xF000) +
               bytes([0x0F]) + struct.pack('>HH', 0xE000 | AUDIO_PID, 0xF000) +
               bytes([0x06]) + struct.pack('>HH', 0xE000 | CAPTION_PID, 0xF003) + bytes([0x52, 0x01, 0x30]))
    pmt = section(0x02, SERVICE_ID, struct.pack('>HH', 0xE000 | PCR_PID, 0xF000) + streams)
    name = arib('デモ放送')
    provider = arib('トレルバン')
    service = struct.pack('>HBB', SERVICE_ID, 0xFC | 0x03, 0x80 | 0)
    descriptor = bytes([0x48, 3 + len(provider) + len(name), 0x01, len(provider)]) + provider + bytes([len(name)]) + name
    service = struct.pack('>H', SERVICE_ID) + bytes([0xFF]) + struct.pack('>H', 0x8000 | len(descriptor)) + descriptor
    sdt = section(0x42, TSID, struct.pack('>H', ONID) + b'\xFF' + service)

    def eit(event_id, begin, minutes, title, version):
        name_bytes = arib(title)
        short = bytes([0x4D, 5 + len(name_bytes)]) + b'jpn' + bytes([len(name_bytes)]) + name_bytes + b'\x00'
        duration = bytes([bcd(minutes // 60), bcd(minutes % 60), 0])
        event = (struct.pack('>H', event_id) + mjd_bcd(begin) + duration +
                 struct.pack('>H', 0x8000 | len(short)) + short)
        body = struct.pack('>HHBB', TSID, ONID, 1, 0x4E) + event
        return section(0x4E, SERVICE_ID, body, version)

    evening = datetime.datetime(2026, 12, 7, 20, 0, 0)
    eits = [eit(0x1001, evening, 60, 'ニュース', 0),
            eit(0x1002, evening + datetime.timedelta(hours=1), 30, '天気予報', 1)]
    captions = [arib('こんばんは、ニュースの時間です'), arib('明日は晴れるでしょう'), arib('明日は晴れるでしょう'),
                arib('以上、ニュースでした')]

    pcr_base = 900000
    seconds = 20
    frames_per_second = 10
    drops = {(3, 2): VIDEO_PID, (9, 5): VIDEO_PID, (14, 2): AUDIO_PID}
    for second in range(seconds):
        now = start + datetime.timedelta(seconds=second)
        for frame in range(frames_per_second):
            tick = pcr_base + second * 90000 + frame * 9000
            out.packet(PCR_PID, pcr=tick)
            if second % 5 == 0 and frame == 3:
                # A few PCR packets go ahead of the first tables, so the
                # PCR PID is counted before the PMT exempts it.
                out.section(PAT_PID, pat)
                out.section(PMT_PID, pmt)
                out.section(SDT_PID, sdt)
                tot = bytes([0x73, 0x70, 0x0B]) + mjd_bcd(now) + b'\xF0\x00'
                out.section(TOT_PID, tot + struct.pack('>I', crc32(tot)))
            if frame == 5 and second in (2, 12):
                out.section(EIT_PID, eits[0 if second == 2 else 1])
            if frame == 5 and second % 5 == 3:
                out.pes(CAPTION_PID, caption_pes(tick + 27000, captions[second // 5]))
            skip = 1 if drops.get((second, frame)) == VIDEO_PID else 0
            video = pes(0xE0, tick + 27000, bytes(range(256)) * 3)
            out.pes(VIDEO_PID, video, skip_first=skip)
            if frame % 2 == 0:
                skip = 1 if drops.get((second, frame)) == AUDIO_PID else 0
                out.pes(AUDIO_PID, pes(0xC0, tick + 27000, bytes(300)), skip_first=skip)
    with open(sys.argv[1], 'wb') as handle:
        handle.write(out.out)


if __name__ == '__main__':
    main()
