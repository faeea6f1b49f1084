#!/usr/bin/env python3
"""Files that name themselves, for the carved-file naming tests.

Usage: make_named_samples.py FOLDER BASE_JPEG

Writes a PDF with an Info title, an MP3 with an ID3v2 tag, a docx with a
title in its core properties and a Nikon-style raw file (TIFF with a CFA
image and a maker note whose data lies past the image strip), a camera's movie
with its recording time and camera, a mail message, an RTF and a Photoshop
file with titles, and with ffmpeg a Matroska video with a date and a title. With exiftool
on the PATH it also tags copies of BASE_JPEG with Exif dates and cameras and
titles a PDF through an incremental update.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile


def pdf_with_info(title):
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [] /Count 0 >>",
            b"<< /Title " + title + b" /Producer (test) >>"]
    out = b"%PDF-1.4\n"
    offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 3 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    return out


def id3_frame(fid, body):
    return fid + struct.pack(">IH", len(body), 0) + body


def mp3():
    frames = id3_frame(b"TPE1", b"\x00" + "Ärzte".encode("latin-1"))
    frames += id3_frame(b"TIT2", b"\x01" + "Übers Meer\0".encode("utf-16"))
    size = len(frames) + 32  # with padding
    tag = b"ID3\x03\x00\x00" + bytes([(size >> 21) & 127, (size >> 14) & 127, (size >> 7) & 127, size & 127])
    out = tag + frames + b"\0" * 32
    for i in range(12):
        out += b"\xff\xfb\x90\x00" + bytes((i * 7 + k) % 251 for k in range(413))
    return out


def docx():
    core = (b'<?xml version="1.0" encoding="UTF-8"?><cp:coreProperties '
            b'xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" '
            b'xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Quarterly &amp; yearly\nplan</dc:title>'
            b'<dc:creator>someone</dc:creator></cp:coreProperties>')
    target = io.BytesIO()
    with zipfile.ZipFile(target, "w") as z:
        z.writestr("[Content_Types].xml", b'<?xml version="1.0"?><Types/>', compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("word/document.xml", b"<w:document>" + b"words " * 400 + b"</w:document>",
                   compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("docProps/core.xml", core, compress_type=zipfile.ZIP_DEFLATED)
    return target.getvalue()


def ifd(entries, next_ifd=0):
    """entries: (tag, type, count, value-bytes-or-int); values over 4 bytes are
    given as an offset already placed by the caller."""
    out = struct.pack("<H", len(entries))
    for tag, typ, count, value in sorted(entries):
        out += struct.pack("<HHI", tag, typ, count)
        out += value if isinstance(value, bytes) else struct.pack("<I", value)
    return out + struct.pack("<I", next_ifd)


def nef():
    make, model, date = b"NIKON CORPORATION\0", b"NIKON D750\0", b"2023:01:02 03:04:05\0"
    # Layout: header, IFD0 (11 entries), its strings, Exif IFD (2 entries),
    # the date, the maker note, the strip, then the maker note's far data.
    ifd0_at = 8
    ifd0_size = 2 + 11 * 12 + 4
    make_at = ifd0_at + ifd0_size
    model_at = make_at + len(make)
    exif_at = model_at + len(model) + (model_at + len(model)) % 2
    exif_size = 2 + 2 * 12 + 4
    date_at = exif_at + exif_size
    note_at = date_at + len(date)
    note_ifd = struct.pack("<H", 1) + struct.pack("<HHI", 0x0099, 7, 64)  # offset filled below
    note_size = 10 + 8 + len(note_ifd) + 4 + 4
    strip_at = note_at + note_size
    strip = bytes(range(16))
    far_at = strip_at + len(strip) + 40
    far = bytes((7 * k) % 256 for k in range(64))
    note = (b"Nikon\0\x02\x10\0\0" + b"II*\0" + struct.pack("<I", 8) + note_ifd +
            struct.pack("<I", far_at - (note_at + 10)) + struct.pack("<I", 0))
    assert len(note) == note_size
    ifd0 = ifd([(256, 3, 1, 4), (257, 3, 1, 4), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 32803),
                (271, 2, len(make), make_at), (272, 2, len(model), model_at), (273, 4, 1, strip_at),
                (277, 3, 1, 1), (279, 4, 1, len(strip)), (34665, 4, 1, exif_at)])
    exif = ifd([(36867, 2, len(date), date_at), (37500, 7, len(note), note_at)])
    out = b"II*\0" + struct.pack("<I", ifd0_at) + ifd0 + make + model
    out += b"\0" * (exif_at - len(out)) + exif + date + note + strip
    out += b"\x55" * (far_at - len(out)) + far
    return out


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def exif_tiff(make, model, date, cr2=False, extra=()):
    """A little-endian TIFF with the maker, model and (in its Exif
    directory) the date taken; with a CR2 header, or extra IFD0 entries."""
    ifd0_at, entries = (16 if cr2 else 8), 3 + len(extra)
    make_at = ifd0_at + 2 + 12 * entries + 4
    model_at = make_at + len(make)
    exif_at = model_at + len(model) + (model_at + len(model)) % 2
    date_at = exif_at + 2 + 12 + 4
    out = b"II*\0" + struct.pack("<I", ifd0_at) + (b"CR\2\0" + struct.pack("<I", 0) if cr2 else b"")
    out += ifd([(271, 2, len(make), make_at), (272, 2, len(model), model_at), (34665, 4, 1, exif_at), *extra])
    out += make + model
    out += b"\0" * (exif_at - len(out)) + ifd([(36867, 2, len(date), date_at)]) + date
    return out


def heic():
    """ftyp, a meta box whose tables place an Exif item in mdat, the mdat."""
    ftyp = box(b"ftyp", b"heic" + struct.pack(">I", 0) + b"mif1heic")
    item = struct.pack(">I", 6) + b"Exif\0\0" + exif_tiff(b"Apple\0", b"iPhone 13 mini\0", b"2022:08:09 10:11:12\0")
    hdlr = box(b"hdlr", b"\0" * 4 + b"\0" * 4 + b"pict" + b"\0" * 12 + b"\0")
    infe = box(b"infe", bytes([2, 0, 0, 0]) + struct.pack(">HH", 7, 0) + b"Exif" + b"\0")
    iinf = box(b"iinf", b"\0" * 4 + struct.pack(">H", 1) + infe)

    def meta_with(offset):
        iloc = box(b"iloc", bytes([1, 0, 0, 0, 0x44, 0x00]) + struct.pack(">HHHHHII", 1, 7, 0, 0, 1, offset, len(item)))
        return box(b"meta", b"\0" * 4 + hdlr + iinf + iloc)

    # The item sits after some picture data, where only the tables find it.
    picture = bytes((k * 13) % 256 for k in range(70000))
    start = len(ftyp) + len(meta_with(0)) + 8 + len(picture)
    return ftyp + meta_with(start) + box(b"mdat", picture + item)


def camera_mov():
    """A camera's movie: the media data first, then the movie box with its
    creation time (2024-07-14 13:32:10 UTC, seconds since 1904) and the
    camera in its user data."""
    created = 2082844800 + 1720963930
    mvhd = box(b"mvhd", b"\0" * 4 + struct.pack(">IIII", created, created, 1000, 2000) + b"\0" * 80)

    def text(kind, value):
        return box(kind, struct.pack(">HH", len(value), 0) + value)

    udta = box(b"udta", text(b"\xa9mak", b"Canon") + text(b"\xa9mod", b"Canon EOS 80D"))
    ftyp = box(b"ftyp", b"qt  " + struct.pack(">I", 0x200) + b"qt  ")
    mdat = box(b"mdat", bytes((i * 31) % 251 for i in range(3000)))
    return ftyp + box(b"wide", b"") + mdat + box(b"moov", mvhd + udta)


def mail():
    return ("From: Ada <ada@example.org>\r\nTo: bob@example.org\r\n"
            "Subject: =?utf-8?B?R3LDvMOfZQ==?= =?iso-8859-1?Q?_aus_K=F6ln?=\r\n"
            "Date: Tue, 08 Dec 2026 10:00:00 +0100\r\nMessage-ID: <1@example.org>\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
            + "A line of the message body.\r\n" * 40).encode()


def titled_rtf():
    return (b"{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\info{\\author someone}{\\title Caf\\'e9 \\u8364? notes}}\r\n"
            b"\\f0 Body text.\\par\r\n}\r\n")


def titled_psd():
    xmp = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
           b'<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title><rdf:Alt>'
           b'<rdf:li xml:lang="x-default">Harbour at dusk</rdf:li></rdf:Alt></dc:title></rdf:Description>'
           b'</rdf:RDF></x:xmpmeta>')
    w, h = 9, 5
    head = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, h, w, 8, 3)
    resources = b"8BIM" + struct.pack(">H", 1060) + b"\0\0" + struct.pack(">I", len(xmp)) + xmp + b"\0" * (len(xmp) & 1)
    out = head + struct.pack(">I", 0) + struct.pack(">I", len(resources)) + resources + struct.pack(">I", 0)
    return out + struct.pack(">H", 0) + bytes((i * 7) % 256 for i in range(3 * h * w))


def ffmpeg_mkv(folder):
    """A Matroska video whose segment info holds a date and a title."""
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        return
    out = os.path.join(folder, "walk.mkv")
    subprocess.run([ffmpeg, "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.4",
                    "-c:v", "mpeg4", "-metadata", "title=Beach walk", "-metadata",
                    "creation_time=2023-05-06T07:08:09Z", out], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    folder, base_jpeg = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)

    def put(name, data):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

    put("title.pdf", pdf_with_info(b"(Annual \\(draft\\) Report)"))
    put("utf16.pdf", pdf_with_info(b"<FEFF004B00F60072>"))
    put("song.mp3", mp3())
    put("plan.docx", docx())
    put("camera.nef", nef())
    put("phone.heic", heic())
    put("canon.cr2", exif_tiff(b"Canon\0", b"Canon EOS R5\0", b"2020:02:03 04:05:06\0", cr2=True))
    put("pixel.dng", exif_tiff(b"Google\0", b"Pixel 7\0", b"2022:12:24 18:00:00\0", extra=[(50706, 1, 4, b"\1\4\0\0")]))
    put("camera.mov", camera_mov())
    put("note.eml", mail())
    put("notes.rtf", titled_rtf())
    put("harbour.psd", titled_psd())
    ffmpeg_mkv(folder)
    exiftool = shutil.which("exiftool")
    if not exiftool:
        return
    src = os.path.join(folder, "plain.pdf")
    put("plain.pdf", pdf_with_info(b"(old)").replace(b" /Info 3 0 R", b""))
    out = os.path.join(folder, "updated.pdf")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run([exiftool, "-q", "-Title=Budget/2025 plan", src, "-o", out], check=True, stdout=subprocess.DEVNULL)
    os.remove(src)
    if not os.path.exists(base_jpeg):
        return
    tags = {
        "photo-a.jpg": ["-DateTimeOriginal=2024:07:14 15:32:10", "-Make=Canon", "-Model=Canon EOS 80D"],
        "photo-b.jpg": ["-DateTimeOriginal=2024:07:14 15:32:10", "-Make=Canon", "-Model=Canon EOS 80D"],
        "photo-c.jpg": ["-DateTimeOriginal=2021:03:04 05:06:07", "-OffsetTimeOriginal=+02:00", "-Make=Apple",
                        "-Model=iPhone 12"],
    }
    for name, args in tags.items():
        out = os.path.join(folder, name)
        if os.path.exists(out):
            os.remove(out)
        subprocess.run([exiftool, "-q", *args, base_jpeg, "-o", out], check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
