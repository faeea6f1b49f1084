#!/usr/bin/env python3
"""Writes one small, well-formed file of each carved type into a folder.

Usage: make_samples.py FOLDER [SEED]

Everything comes from the Python standard library: the compressors and
databases it has (gzip, bz2, lzma, zipfile, sqlite3, wave) and, for formats it
does not write, byte-exact builders here. Files are named sample.<type> (plus
a few variants: sample-dd.zip has data descriptors, sample-noid3.mp3 has no
tag, sample-update.pdf has an incremental update). 7z files come from the 7z
tool when it is installed.
"""
import bz2
import gzip
import io
import lzma
import os
import random
import shutil
import sqlite3
import struct
import subprocess
import sys
import wave
import zipfile
import zlib


def text_blob(rng, n):
    words = ["carve", "sector", "cluster", "volume", "header", "footer", "record", "index", "quarvel", "deep"]
    out = []
    size = 0
    while size < n:
        w = rng.choice(words)
        out.append(w)
        size += len(w) + 1
    return " ".join(out)[:n].encode()


def png(rng, w=24, h=16):
    raw = b"".join(b"\0" + bytes(rng.randrange(256) for _ in range(w * 3)) for _ in range(h))

    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
            chunk(b"tEXt", b"Comment\0made for the carving tests") + chunk(b"IDAT", zlib.compress(raw)) +
            chunk(b"IEND", b""))


def gif(rng):
    comment = bytes(rng.randrange(32, 127) for _ in range(600))
    sub = b"".join(bytes([len(comment[i:i + 255])]) + comment[i:i + 255] for i in range(0, len(comment), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", 1, 1, 0x80, 0, 0) + b"\x00\x00\x00\xff\xff\xff" +
            b"\x21\xfe" + sub + b"\x00" +
            b"\x2c" + struct.pack("<HHHHB", 0, 0, 1, 1, 0) + b"\x02\x02\x44\x01\x00" + b"\x3b")


def bmp(rng, w=13, h=7):
    row = (w * 3 + 3) // 4 * 4
    pixels = b"".join(bytes(rng.randrange(256) for _ in range(w * 3)) + b"\0" * (row - w * 3) for _ in range(h))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    size = 14 + len(info) + len(pixels)
    return b"BM" + struct.pack("<IHHI", size, 0, 0, 54) + info + pixels


def tiff(rng, w=8, h=8):
    strip = bytes(rng.randrange(256) for _ in range(w * h))
    strip_at = 8
    rational_at = strip_at + len(strip)
    rationals = struct.pack("<IIII", 72, 1, 72, 1)
    ifd_at = rational_at + len(rationals)
    entries = [
        (256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
        (273, 4, 1, strip_at), (277, 3, 1, 1), (278, 3, 1, h), (279, 4, 1, len(strip)),
        (282, 5, 1, rational_at), (283, 5, 1, rational_at + 8), (296, 3, 1, 2),
    ]
    ifd = struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        if typ == 3:
            ifd += struct.pack("<HHIHH", tag, typ, count, value, 0)
        else:
            ifd += struct.pack("<HHII", tag, typ, count, value)
    ifd += struct.pack("<I", 0)
    return b"II*\0" + struct.pack("<I", ifd_at) + strip + rationals + ifd


def bigtiff(rng, little=True, w=8, h=8):
    """BigTIFF: 64-bit offsets and counts, 20-byte entries, strip offsets
    held out of line (two strips) so the walk reads an 8-byte array."""
    e = "<" if little else ">"
    strips = [bytes(rng.randrange(256) for _ in range(w * h // 2)) for _ in range(2)]
    data_at = 16
    body = b"".join(strips)
    offsets_at = data_at + len(body)
    arrays = struct.pack(e + "QQ", data_at, data_at + len(strips[0]))
    counts_at = offsets_at + 16
    arrays += struct.pack(e + "QQ", len(strips[0]), len(strips[1]))
    ifd_at = counts_at + 16
    entries = [(256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 16, 2, offsets_at), (277, 3, 1, 1), (278, 3, 1, h // 2), (279, 16, 2, counts_at)]
    ifd = struct.pack(e + "Q", len(entries))
    for tag, typ, count, value in entries:
        if typ == 3:
            ifd += struct.pack(e + "HHQH6x", tag, typ, count, value)
        else:
            ifd += struct.pack(e + "HHQQ", tag, typ, count, value)
    ifd += struct.pack(e + "Q", 0)
    magic = b"II+\0" if little else b"MM\0+"
    return magic + struct.pack(e + "HHQ", 8, 0, ifd_at) + body + arrays + ifd


def riff(form, chunks):
    body = form + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def webp():
    vp8l = bytes.fromhex("2f00000010071011118888fe0700")
    return riff(b"WEBP", [chunk(b"VP8L", vp8l[:13])])


def avi(rng):
    avih = struct.pack("<10I4I", 40000, 0, 0, 0x10, 3, 0, 1, 0, 4, 4, 0, 0, 0, 0)
    strh = b"vids" + b"DIB " + struct.pack("<IHHIIIIIIII4h", 0, 0, 0, 0, 1, 25, 0, 3, 48, 0, 0, 0, 0, 4, 4)
    strf = struct.pack("<IiiHHIIiiII", 40, 4, 4, 1, 24, 0, 48, 0, 0, 0, 0)
    strl = b"LIST" + struct.pack("<I", 4 + 8 + len(strh) + 8 + len(strf)) + b"strl" + chunk(b"strh", strh) + chunk(b"strf", strf)
    hdrl_body = b"hdrl" + chunk(b"avih", avih) + strl
    hdrl = b"LIST" + struct.pack("<I", len(hdrl_body)) + hdrl_body
    frames = [chunk(b"00db", bytes(rng.randrange(256) for _ in range(48))) for _ in range(3)]
    movi_body = b"movi" + b"".join(frames)
    movi = b"LIST" + struct.pack("<I", len(movi_body)) + movi_body
    idx = b"".join(struct.pack("<4sIII", b"00db", 0x10, 4 + i * 56, 48) for i in range(3))
    return riff(b"AVI ", [hdrl, movi, chunk(b"idx1", idx)])


def wav(rng):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(bytes(rng.randrange(256) for _ in range(3000)))
    return out.getvalue()


def pdf(update=False):
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>"]
    stream = b"BT /F1 12 Tf 20 100 Td (carved) Tj ET"
    objs.append(b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream")
    out = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    if update:
        at = len(out)
        out += b"5 0 obj\n<< /Title (updated) >>\nendobj\n"
        xref2 = len(out)
        out += b"xref\n0 1\n0000000000 65535 f \n5 1\n%010d 00000 n \n" % at
        out += b"trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (xref, xref2)
    return out


class Unseekable(io.RawIOBase):
    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def zip_bytes(entries, stream=False, mimetype=None):
    target = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(target, "w") as z:
        if mimetype:
            z.writestr(zipfile.ZipInfo("mimetype"), mimetype, compress_type=zipfile.ZIP_STORED)
        for name, data in entries:
            z.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED)
    return bytes(target.data) if stream else target.getvalue()


def ooxml(rng, part):
    ct = b'<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>'
    rels = b'<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"/>'
    return zip_bytes([("[Content_Types].xml", ct), ("_rels/.rels", rels), (part, text_blob(rng, 3000))])


def odf(rng, kind):
    return zip_bytes([("content.xml", text_blob(rng, 2500)), ("META-INF/manifest.xml", b"<manifest/>")],
                     mimetype=b"application/vnd.oasis.opendocument." + kind)


def vint(n):
    out = b""
    while True:
        b = n & 0x7F
        n >>= 7
        out += bytes([b | (0x80 if n else 0)])
        if not n:
            return out


def rar5(rng):
    def block(htype, hflags, fields, data=b""):
        body = vint(htype) + vint(hflags) + (vint(len(data)) if hflags & 2 else b"") + fields
        head = vint(len(body)) + body
        return struct.pack("<I", zlib.crc32(head)) + head + data

    payload = text_blob(rng, 700)
    name = b"notes.txt"
    fields = vint(0x04) + vint(len(payload)) + vint(0x20) + struct.pack("<I", zlib.crc32(payload)) + vint(0) + vint(0) + vint(len(name)) + name
    return (b"Rar!\x1a\x07\x01\x00" + block(1, 0, vint(0)) + block(2, 2, fields, payload) + block(5, 0, vint(0)))


def sqlite_db(path, rng):
    db = sqlite3.connect(path)
    db.execute("create table notes (id integer primary key, body text)")
    for i in range(60):
        db.execute("insert into notes (body) values (?)", (text_blob(rng, 200).decode(),))
    db.commit()
    db.close()


def mp3(rng, tagged=True, frames=12):
    out = b""
    if tagged:
        frame = b"TIT2" + struct.pack(">IH", 8, 0) + b"\x00carved"
        size = len(frame)
        out += b"ID3\x03\x00\x00" + bytes([(size >> 21) & 127, (size >> 14) & 127, (size >> 7) & 127, size & 127]) + frame
    for _ in range(frames):
        out += b"\xff\xfb\x90\x00" + bytes(rng.randrange(256) for _ in range(413))
    if tagged:
        out += b"TAG" + b"carved".ljust(30, b"\0") + b"\0" * 95
    return out


def atom(t, d):
    return struct.pack(">I", 8 + len(d)) + t + d


def isobmff(rng, brand):
    mvhd = atom(b"mvhd", b"\0" * 4 + struct.pack(">IIII", 0, 0, 1000, 2000) + b"\0" * 80)
    ftyp = atom(b"ftyp", brand + struct.pack(">I", 0x200) + brand + b"isom")
    mdat = atom(b"mdat", bytes(rng.randrange(256) for _ in range(900)))
    if brand == b"qt  ":
        return ftyp + atom(b"wide", b"") + mdat + atom(b"moov", mvhd)
    return ftyp + atom(b"moov", mvhd) + mdat + atom(b"free", b"\0" * 16)


def crc8(data):
    c = 0
    for b in data:
        c ^= b
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xFF if c & 0x80 else (c << 1) & 0xFF
    return c


def crc16(data):
    c = 0
    for b in data:
        c ^= b << 8
        for _ in range(8):
            c = ((c << 1) ^ 0x8005) & 0xFFFF if c & 0x8000 else (c << 1) & 0xFFFF
    return c


def flac(rng, frames=5):
    block = 256
    frame_bytes = []
    for n in range(frames):
        head = bytes([0xFF, 0xF8, (8 << 4) | 9, (0 << 4) | (4 << 1), n])
        head += bytes([crc8(head)])
        body = head + b"\x02" + bytes(rng.randrange(256) for _ in range(block * 2))
        frame_bytes.append(body + struct.pack(">H", crc16(body)))
    size = len(frame_bytes[0])
    total = block * frames
    info = struct.pack(">HH", block, block) + size.to_bytes(3, "big") + size.to_bytes(3, "big")
    packed = (44100 << 44) | (0 << 41) | (15 << 36) | total
    info += packed.to_bytes(8, "big") + b"\0" * 16
    return b"fLaC" + bytes([0x80]) + len(info).to_bytes(3, "big") + info + b"".join(frame_bytes)


def ogg_crc(data):
    c = 0
    for b in data:
        c ^= b << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if c & 0x80000000 else (c << 1) & 0xFFFFFFFF
    return c


def ogg(rng, pages=4):
    out = b""
    serial = 0x1234
    for n in range(pages):
        if n == 0:
            packet = b"\x01vorbis" + struct.pack("<IBIiiiB", 0, 1, 8000, 0, 0, 0, 0xB8) + b"\x01"
        else:
            packet = bytes(rng.randrange(256) for _ in range(300))
        lacing = [255] * (len(packet) // 255) + [len(packet) % 255]
        flags = 2 if n == 0 else (4 if n == pages - 1 else 0)
        head = b"OggS" + bytes([0, flags]) + struct.pack("<qIII", n * 100, serial, n, 0) + bytes([len(lacing)]) + bytes(lacing)
        page = head + packet
        page = page[:22] + struct.pack("<I", ogg_crc(page)) + page[26:]
        out += page
    return out


def ole2(rng, stream_name):
    sector = 512
    data_sectors = 9  # a 4608-byte stream: above the mini-stream cutoff
    stream = bytes(rng.randrange(256) for _ in range(data_sectors * sector))
    fat = [0xFFFFFFFD, 0xFFFFFFFE] + [3 + i for i in range(data_sectors - 1)] + [0xFFFFFFFE]
    fat += [0xFFFFFFFF] * (128 - len(fat))

    def entry(name, etype, child, start, size):
        n = name.encode("utf-16-le") + b"\0\0"
        return (n.ljust(64, b"\0") + struct.pack("<HBB", len(n), etype, 1) + struct.pack("<III", 0xFFFFFFFF, 0xFFFFFFFF, child) +
                b"\0" * 16 + b"\0" * 4 + b"\0" * 16 + struct.pack("<IQ", start, size))

    directory = entry("Root Entry", 5, 1, 0xFFFFFFFE, 0) + entry(stream_name, 2, 0xFFFFFFFF, 2, len(stream))
    directory = directory.ljust(sector, b"\0")
    header = (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\0" * 16 + struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6 +
              struct.pack("<IIIIIIIII", 0, 1, 1, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0))
    header += struct.pack("<I", 0) + struct.pack("<I", 0xFFFFFFFF) * 108
    assert len(header) == 512
    return header + struct.pack("<128I", *fat) + directory + stream


def pe(rng):
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x80)
    dos = dos.ljust(0x80, b"\0")
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 2, 0, 0, 0, 240, 0x22)
    opt = struct.pack("<HBBIIIII", 0x20B, 14, 0, 0x200, 0x200, 0, 0x1000, 0x1000)
    opt += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x3000, 0x200, 0, 3, 0x8160,
                       0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    opt += b"\0" * (16 * 8)
    assert len(opt) == 240
    sections = b".text\0\0\0" + struct.pack("<IIIIIIHHI", 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    sections += b".data\0\0\0" + struct.pack("<IIIIIIHHI", 0x200, 0x2000, 0x200, 0x400, 0, 0, 0, 0, 0xC0000040)
    head = (dos + coff + opt + sections).ljust(0x200, b"\0")
    return head + bytes(rng.randrange(256) for _ in range(0x400))


def ffmpeg_samples(folder):
    """Video and audio containers written by ffmpeg, when it is installed:
    short test pictures and tones in the codecs each container carries."""
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        return
    video = ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.6"]
    audio = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=0.6"]
    jobs = [
        ("sample.ts", video + audio + ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"]),
        ("sample.mts", video + audio + ["-c:v", "libx264", "-c:a", "aac", "-f", "mpegts", "-mpegts_m2ts_mode", "1"]),
        ("sample.mkv", video + audio + ["-c:v", "mpeg4", "-c:a", "mp2", "-f", "matroska"]),
        ("sample-live.mkv", video + audio + ["-c:v", "mpeg4", "-c:a", "mp2", "-f", "matroska", "-live", "1"]),
        ("sample.webm", video + audio + ["-c:v", "libvpx", "-b:v", "100k", "-c:a", "libvorbis", "-f", "webm"]),
        ("sample.wmv", video + audio + ["-c:v", "wmv2", "-c:a", "wmav2", "-f", "asf"]),
        ("sample.wma", audio + ["-c:a", "wmav2", "-f", "asf"]),
        ("sample.mpg", video + audio + ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"]),
        ("sample-dvd.mpg", video + audio + ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "dvd"]),
        ("sample.aif", audio + ["-c:a", "pcm_s16be", "-f", "aiff"]),
    ]
    for name, args in jobs:
        out = os.path.join(folder, name)
        command = [ffmpeg, "-v", "error", "-y", "-fflags", "+bitexact"] + args
        if name == "sample-live.mkv":
            # Written to a pipe, as a recorder that cannot seek back writes
            # it: the segment's size stays unknown.
            with open(out, "wb") as f:
                subprocess.run(command + ["pipe:1"], check=True, stdout=f)
        else:
            subprocess.run(command + [out], check=True)


def midi():
    def track(events):
        body = events + b"\x00\xff\x2f\x00"
        return b"MTrk" + struct.pack(">I", len(body)) + body

    notes = b"".join(bytes([0, 0x90, 60 + i, 100, 0x60, 0x80, 60 + i, 0]) for i in range(8))
    return (b"MThd" + struct.pack(">IHHH", 6, 1, 2, 96) + track(b"\x00\xff\x51\x03\x07\xa1\x20") + track(notes))


def iff_chunk(cid, data):
    return cid + struct.pack(">I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def djvu(rng):
    info = struct.pack(">HHBBHB", 64, 48, 24, 0, 300, 22) + b"\0"
    body = b"DJVU" + iff_chunk(b"INFO", info) + iff_chunk(b"Sjbz", bytes(rng.randrange(256) for _ in range(301)))
    return b"AT&TFORM" + struct.pack(">I", len(body)) + body


def psd(rng, w=9, h=5, rle=False):
    head = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, h, w, 8, 3)
    resources = b"8BIM" + struct.pack(">H", 1005) + b"\0\0" + struct.pack(">I", 16) + bytes(16)
    out = head + struct.pack(">I", 0) + struct.pack(">I", len(resources)) + resources + struct.pack(">I", 0)
    if not rle:
        return out + struct.pack(">H", 0) + bytes(rng.randrange(256) for _ in range(3 * h * w))
    rows = []
    for _ in range(3 * h):
        row = bytes(rng.randrange(256) for _ in range(w))
        rows.append(bytes([w - 1]) + row)  # one literal run per row
    return out + struct.pack(">H", 1) + b"".join(struct.pack(">H", len(r)) for r in rows) + b"".join(rows)


def rtf():
    return (b"{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Times New Roman;}}{\\info{\\title Carved notes}}\r\n"
            b"\\f0\\fs24 A recovered paragraph with \\{braces\\} and a backslash \\\\.\\par\r\n}\r\n")


def pst(rng, unicode=True, size=8192):
    h = bytearray(size)
    h[0:4] = b"!BDN"
    struct.pack_into("<HHH", h, 8, 0x4D53, 23 if unicode else 14, 19)
    h[14] = h[15] = 1
    if unicode:
        struct.pack_into("<Q", h, 184, size)
        h[512], h[513] = 0x80, 1
    else:
        struct.pack_into("<I", h, 168, size)
        h[460], h[461] = 0x80, 1
    for i in range(1024, size):
        h[i] = rng.randrange(256)
    return bytes(h)


def kdbx(rng):
    def field(fid, data):
        return bytes([fid]) + struct.pack("<I", len(data)) + data

    header = b"\x03\xd9\xa2\x9a\x67\xfb\x4b\xb5" + struct.pack("<HH", 0, 4)
    header += field(2, bytes.fromhex("31c1f2e6bf714350be5805216afc5aff")) + field(3, struct.pack("<I", 1))
    header += field(4, bytes(rng.randrange(256) for _ in range(32))) + field(7, bytes(16)) + field(11, b"\0\1" + bytes(40))
    header += field(0, b"\r\n\r\n")
    out = header + bytes(rng.randrange(256) for _ in range(64))
    for n in (700, 300):
        out += bytes(rng.randrange(256) for _ in range(32)) + struct.pack("<I", n) + bytes(rng.randrange(256) for _ in range(n))
    return out + bytes(rng.randrange(256) for _ in range(32)) + struct.pack("<I", 0)


def sqlite_wal(folder, rng):
    db_path = os.path.join(folder, "wal-input.db")
    for p in (db_path, db_path + "-wal", db_path + "-shm"):
        if os.path.exists(p):
            os.remove(p)
    db = sqlite3.connect(db_path)
    db.execute("pragma journal_mode=wal")
    db.execute("pragma wal_autocheckpoint=0")
    db.execute("create table t (body text)")
    for _ in range(3):
        db.execute("insert into t values (?)", (text_blob(rng, 900).decode(),))
        db.commit()
    with open(db_path + "-wal", "rb") as f:
        data = f.read()
    db.close()
    for p in (db_path, db_path + "-wal", db_path + "-shm"):
        if os.path.exists(p):
            os.remove(p)
    return data


def sfnt(rng, otf=False):
    """A font's table directory over a few tables, a head table with its
    magic number among them; the last table's length is not a multiple of
    four, so the file ends with its padding."""
    tables = {
        b"OS/2": bytes(rng.randrange(256) for _ in range(96)),
        b"cmap": bytes(rng.randrange(256) for _ in range(62)),
        b"head": struct.pack(">IIIIHH", 0x10000, 0x10000, 0, 0x5F0F3CF5, 0, 1000) + bytes(36),
        b"name": bytes(rng.randrange(256) for _ in range(45)),
    }
    n = len(tables)
    out = (b"OTTO" if otf else b"\0\1\0\0") + struct.pack(">HHHH", n, 64, 2, n * 16 - 64)
    offset = 12 + 16 * n
    records, body = b"", b""
    for tag in sorted(tables):
        data = tables[tag]
        records += tag + struct.pack(">III", 0, offset + len(body), len(data))
        body += data + bytes((4 - len(data) % 4) % 4)
    return out + records + body


def woff(rng, version=1):
    payload = bytes(rng.randrange(256) for _ in range(300))
    total = (44 if version == 1 else 48) + 20 + len(payload)
    head = (b"wOFF" if version == 1 else b"wOF2") + struct.pack(">IIHHI", 0x10000, total, 1, 0, 1000)
    head = head.ljust(44 if version == 1 else 48, b"\0")
    return head + bytes(20) + payload


def ico(rng, cursor=False):
    images = [png(rng, 16, 16), png(rng, 32, 32)]
    out = struct.pack("<HHH", 0, 2 if cursor else 1, len(images))
    offset = 6 + 16 * len(images)
    for i, img in enumerate(images):
        side = 16 * (i + 1)
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1 if not cursor else 3, 32 if not cursor else 5, len(img), offset)
        offset += len(img)
    return out + b"".join(images)


def raf(rng):
    jpeg = b"\xff\xd8\xff\xe0" + bytes(rng.randrange(256) for _ in range(200)) + b"\xff\xd9"
    meta = bytes(rng.randrange(256) for _ in range(64))
    cfa = bytes(rng.randrange(256) for _ in range(512))
    at = 160
    head = b"FUJIFILMCCD-RAW 0201FF383501" + b"X-T00".ljust(32, b"\0") + b"0100" + bytes(20)
    head += struct.pack(">IIIIII", at, len(jpeg), at + len(jpeg), len(meta), at + len(jpeg) + len(meta), len(cfa))
    return head.ljust(at, b"\0") + jpeg + meta + cfa


def main():
    folder = sys.argv[1]
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 5)
    os.makedirs(folder, exist_ok=True)

    def put(name, data):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

    put("sample.png", png(rng))
    put("sample.gif", gif(rng))
    put("sample.bmp", bmp(rng))
    put("sample.tif", tiff(rng))
    put("sample-big.tif", bigtiff(rng))
    put("sample-bigmm.tif", bigtiff(rng, little=False))
    put("sample.webp", webp())
    put("sample.wav", wav(rng))
    put("sample.avi", avi(rng))
    put("sample.pdf", pdf())
    put("sample-update.pdf", pdf(update=True))
    put("sample.zip", zip_bytes([("a.txt", text_blob(rng, 4000)), ("b/c.txt", text_blob(rng, 1500))]))
    put("sample-dd.zip", zip_bytes([("a.txt", text_blob(rng, 4000)), ("d.bin", bytes(rng.randrange(256) for _ in range(700)))], stream=True))
    put("sample.docx", ooxml(rng, "word/document.xml"))
    put("sample.xlsx", ooxml(rng, "xl/workbook.xml"))
    put("sample.pptx", ooxml(rng, "ppt/presentation.xml"))
    put("sample.odt", odf(rng, b"text"))
    put("sample.ods", odf(rng, b"spreadsheet"))
    put("sample.gz", gzip.compress(text_blob(rng, 20000), mtime=0))
    put("sample.bz2", bz2.compress(text_blob(rng, 20000)))
    put("sample.xz", lzma.compress(text_blob(rng, 20000)))
    put("sample-streams.xz", lzma.compress(text_blob(rng, 9000)) + lzma.compress(text_blob(rng, 7000)))
    put("sample.rar", rar5(rng))
    db = os.path.join(folder, "sample.sqlite")
    if os.path.exists(db):
        os.remove(db)
    sqlite_db(db, rng)
    put("sample.mp3", mp3(rng))
    put("sample-noid3.mp3", mp3(rng, tagged=False))
    put("sample.mp4", isobmff(rng, b"isom"))
    put("sample.mov", isobmff(rng, b"qt  "))
    put("sample.cr3", isobmff(rng, b"crx "))
    put("sample.flac", flac(rng))
    put("sample.ogg", ogg(rng))
    put("sample.doc", ole2(rng, "WordDocument"))
    put("sample.xls", ole2(rng, "Workbook"))
    put("sample.exe", pe(rng))
    put("sample.mid", midi())
    put("sample.djvu", djvu(rng))
    put("sample.psd", psd(rng))
    put("sample-rle.psd", psd(rng, rle=True))
    put("sample.rtf", rtf())
    put("sample.pst", pst(rng))
    put("sample-ansi.pst", pst(rng, unicode=False))
    put("sample.kdbx", kdbx(rng))
    put("sample.wal", sqlite_wal(folder, rng))
    put("sample.ttf", sfnt(rng))
    put("sample.otf", sfnt(rng, otf=True))
    put("sample.woff", woff(rng))
    put("sample.woff2", woff(rng, 2))
    put("sample.ico", ico(rng))
    put("sample.cur", ico(rng, cursor=True))
    put("sample.raf", raf(rng))
    ffmpeg_samples(folder)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from make_more_samples import write_more_samples
    write_more_samples(folder, rng, put, {"png": png, "isobmff": isobmff, "zip_bytes": zip_bytes, "ooxml": ooxml,
                                          "odf": odf, "text_blob": text_blob})
    for elf in ("/usr/bin/true", "/bin/true"):
        if os.path.exists(elf):
            shutil.copyfile(elf, os.path.join(folder, "sample.elf"))
            break
    exiftool = shutil.which("exiftool")
    if exiftool:
        # An update that opens with a comment line after the first end marker.
        src = os.path.join(folder, "exif-input.pdf")
        put("exif-input.pdf", pdf())
        out = os.path.join(folder, "sample-exiftool.pdf")
        if os.path.exists(out):
            os.remove(out)
        subprocess.run([exiftool, "-q", "-Title=carved", src, "-o", out], check=True, stdout=subprocess.DEVNULL)
        os.remove(src)
    seven = shutil.which("7z") or shutil.which("7za")
    if seven:
        src = os.path.join(folder, "7z-input.txt")
        put("7z-input.txt", text_blob(rng, 6000))
        out = os.path.join(folder, "sample.7z")
        if os.path.exists(out):
            os.remove(out)
        subprocess.run([seven, "a", "-bd", "-y", out, src], check=True, stdout=subprocess.DEVNULL)
        os.remove(src)


if __name__ == "__main__":
    main()
