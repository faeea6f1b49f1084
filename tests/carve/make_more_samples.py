"""The sample files of the types added with the audio, mail, system and
picture formats: made by the real tools where they are installed (ffmpeg,
zstd, javac, openssl, Python's email and mailbox), the others built from
their published structure. Called from make_samples.py."""
import email.message
import mailbox
import os
import shutil
import struct
import subprocess
import tempfile
import zlib


def rand(rng, n):
    return bytes(rng.randrange(256) for _ in range(n))


def ffmpeg_more(folder):
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        return
    video = ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.6"]
    audio = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=1.2"]
    audio48 = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=0.6"]
    jobs = [
        ("sample.aac", audio + ["-c:a", "aac", "-f", "adts"]),
        ("sample.ac3", audio48 + ["-c:a", "ac3", "-f", "ac3"]),
        # Long enough for two blocks: the writer puts the total in the first only.
        ("sample.wv", ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=2.5",
                       "-c:a", "wavpack", "-f", "wv"]),
        ("sample.au", audio + ["-c:a", "pcm_s16be", "-f", "au"]),
        ("sample.flv", video + audio + ["-c:v", "flv1", "-c:a", "aac", "-f", "flv"]),
        ("sample.swf", video + ["-c:v", "flv1", "-an", "-f", "swf"]),
        ("sample.opus", audio48 + ["-c:a", "libopus", "-f", "opus"]),
        ("sample.ogv", video + ["-c:v", "libtheora", "-f", "ogg"]),
    ]
    for name, args in jobs:
        out = os.path.join(folder, name)
        r = subprocess.run([ffmpeg, "-v", "error", "-y", "-fflags", "+bitexact"] + args + [out],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if r.returncode != 0 and os.path.exists(out):
            os.remove(out)  # an encoder this build lacks


def amr(rng, frames=30):
    # Mode 7 (12.2 kbit/s) frames: a header byte with the quality bit, 31 bytes.
    return b"#!AMR\n" + b"".join(b"\x3c" + rand(rng, 31) for _ in range(frames))


def ape_tag(items):
    body = b"".join(struct.pack("<II", len(v), 0) + k + b"\0" + v for k, v in items)
    size = len(body) + 32

    def part(flags):
        return b"APETAGEX" + struct.pack("<IIII", 2000, size, len(items), flags) + b"\0" * 8

    return part(0xA0000000) + body + part(0x80000000)


def ape(rng):
    header = struct.pack("<HHIIIHH", 2000, 0, 73728, 2, 1000, 16, 1) + struct.pack("<I", 44100)
    seek = struct.pack("<II", 0, 4000)
    wav = b"RIFF" + rand(rng, 40)
    frames = rand(rng, 5000)
    descriptor = (b"MAC " + struct.pack("<HH", 3990, 0) +
                  struct.pack("<IIIIIII", 52, len(header), len(seek), len(wav), len(frames), 0, 0) + rand(rng, 16))
    return descriptor + header + seek + wav + frames + ape_tag([(b"Title", b"carved")])


def swf_deflated(rng):
    body = struct.pack("<BHH", 0x50, 0, 0) + b"\x00\x19\x01\x00" + b"\x40\x00" + rand(rng, 2000) + b"\x00\x00"
    plain_length = 8 + len(body)
    return b"CWS\x0a" + struct.pack("<I", plain_length) + zlib.compress(body)


def eml(multipart):
    m = email.message.EmailMessage()
    m["From"] = "Ada <ada@example.org>"
    m["To"] = "Bob <bob@example.org>"
    m["Subject"] = "Cluster report"
    m["Date"] = "Tue, 08 Dec 2026 10:00:00 +0000"
    m["Message-ID"] = "<carve-1@example.org>"
    m.set_content("The deep scan found the lost pictures.\nSee the attachment.\n" * 20)
    if multipart:
        m.add_attachment(bytes(range(256)) * 8, maintype="application", subtype="octet-stream", filename="a.bin")
    return m.as_bytes(policy=m.policy.clone(linesep="\r\n" if multipart else "\n"))


def mbox(folder):
    path = os.path.join(folder, "mbox-work")
    if os.path.exists(path):
        os.remove(path)
    box = mailbox.mbox(path)
    for i in range(3):
        m = email.message.EmailMessage()
        m["From"] = "ada@example.org"
        m["Subject"] = f"note {i}"
        m["Date"] = "Tue, 08 Dec 2026 10:00:00 +0000"
        m.set_content(f"Message {i}.\nFrom the archive, line by line.\n" * 10)
        box.add(mailbox.mboxMessage(m))
    box.close()
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


def vcf():
    card = ("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ada Lovelace {0}\r\nN:Lovelace;Ada;;;\r\n"
            "TEL;TYPE=CELL:+44 20 7946 000{0}\r\nEMAIL:ada{0}@example.org\r\nEND:VCARD\r\n")
    return "".join(card.format(i) for i in range(3)).encode()


def ics():
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Quarvel//carve tests//EN\r\nBEGIN:VEVENT\r\n"
            "UID:1@example.org\r\nDTSTAMP:20261208T100000Z\r\nDTSTART:20261209T090000Z\r\n"
            "SUMMARY:Back up the card\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n").encode()


def pem(rng, folder):
    openssl = shutil.which("openssl")
    if openssl:
        with tempfile.TemporaryDirectory(dir=folder) as work:
            key, cert = os.path.join(work, "k.pem"), os.path.join(work, "c.pem")
            r = subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", key, "-out", cert,
                                "-subj", "/CN=carve", "-days", "2"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode == 0:
                with open(cert, "rb") as c, open(key, "rb") as k:
                    return c.read() + k.read()
    import base64
    body = base64.encodebytes(rand(rng, 600))
    return b"-----BEGIN CERTIFICATE-----\n" + body + b"-----END CERTIFICATE-----\n"


def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:" % len(v) + v
    if isinstance(v, list):
        return b"l" + b"".join(bencode(x) for x in v) + b"e"
    return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"


def torrent(rng):
    return bencode({b"announce": b"http://tracker.example.org/announce", b"creation date": 1765000000,
                    b"info": {b"name": b"card.img", b"length": 65536, b"piece length": 16384,
                              b"pieces": rand(rng, 80)}})


def icns(png_bytes):
    element = b"ic07" + struct.pack(">I", 8 + len(png_bytes)) + png_bytes
    return b"icns" + struct.pack(">I", 8 + len(element)) + element


def box(t, d):
    return struct.pack(">I", 8 + len(d)) + t + d


def jp2(rng):
    ihdr = box(b"ihdr", struct.pack(">IIHBBBB", 8, 8, 1, 7, 7, 0, 0))
    colr = box(b"colr", b"\x01\0\0\0\0\0\x11")
    code = b"\xff\x4f\xff\x51" + rand(rng, 700) + b"\xff\xd9"
    return (box(b"jP  ", b"\r\n\x87\n") + box(b"ftyp", b"jp2 \0\0\0\0jp2 ") + box(b"jp2h", ihdr + colr) +
            box(b"jp2c", code))


def jxl(rng):
    return (box(b"JXL ", b"\r\n\x87\n") + box(b"ftyp", b"jxl \0\0\0\0jxl ") + box(b"jxll", b"\x0a") +
            box(b"jxlc", b"\xff\x0a" + rand(rng, 600)))


def emf(rng):
    records = struct.pack("<II", 70, 12) + rand(rng, 4) + struct.pack("<II", 70, 16) + rand(rng, 8)
    eof = struct.pack("<IIIII", 14, 20, 0, 16, 20)
    n_bytes = 108 + len(records) + len(eof)
    header = (struct.pack("<II", 1, 108) + struct.pack("<iiii", 0, 0, 10, 10) + struct.pack("<iiii", 0, 0, 264, 264) +
              b" EMF" + struct.pack("<IIIHHIII", 0x10000, n_bytes, 4, 1, 0, 0, 0, 0) +
              struct.pack("<iiii", 1024, 768, 320, 240) + struct.pack("<III", 0, 0, 0) + struct.pack("<ii", 320000, 240000))
    assert len(header) == 108
    return header + records + eof


def wmf(rng):
    placeable = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, 100, 100, 1440, 0)
    checksum = 0
    for i in range(0, 20, 2):
        checksum ^= struct.unpack_from("<H", placeable, i)[0]
    records = struct.pack("<IH", 5, 0x020B) + struct.pack("<hh", 0, 0) + struct.pack("<IH", 3, 0)
    words = (18 + len(records)) // 2
    header = struct.pack("<HHHIHIH", 1, 9, 0x300, words, 0, 5, 0)
    return placeable + struct.pack("<H", checksum) + header + records


def pfb(rng):
    text = b"%!PS-AdobeFont-1.0: Carve 001\n/FontName /Carve def\ncurrentfile eexec\n"
    binary = rand(rng, 900)
    trailer = b"0" * 512 + b"\ncleartomark\n"
    seg = lambda t, d: b"\x80" + bytes([t]) + struct.pack("<I", len(d)) + d
    return seg(1, text) + seg(2, binary) + seg(1, trailer) + b"\x80\x03"


def blend(rng):
    def block(code, data):
        return code + struct.pack("<IQII", len(data), 0x1000, 0, 1) + data
    return b"BLENDER-v293" + block(b"REND", rand(rng, 72)) + block(b"GLOB", rand(rng, 200)) + \
        block(b"DNA1", b"SDNANAME" + rand(rng, 300)) + block(b"ENDB", b"")


def zst(rng, folder, text):
    tool = shutil.which("zstd")
    if not tool:
        return None
    return subprocess.run([tool, "-q", "-c", "-3"], input=text, stdout=subprocess.PIPE, check=True).stdout


def cab(rng):
    data = rand(rng, 600)
    name = b"notes.bin\0"
    files_at = 36 + 8
    data_at = files_at + 16 + len(name)
    length = data_at + 8 + len(data)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, length, 0, files_at, 0, 3, 1, 1, 1, 0, 0x1234, 0)
    folder = struct.pack("<IHH", data_at, 1, 0)
    entry = struct.pack("<IIHHHH", len(data), 0, 0, 0x5A21, 0, 0x20) + name
    block = struct.pack("<IHH", 0, len(data), len(data)) + data
    return header + folder + entry + block


def chm(rng):
    section0_at, directory_at = 0x60, 0x78
    body = rand(rng, 3000)
    length = directory_at + 84 + len(body)
    header = (b"ITSF" + struct.pack("<IIIII", 3, 0x60, 1, 0, 0x409) + rand(rng, 32) +
              struct.pack("<QQQQQ", section0_at, 0x18, directory_at, 84 + len(body), directory_at + 84 + len(body)))
    section0 = struct.pack("<IIQI", 0x1FE, 0, length, 0) + b"\0" * 4
    directory = b"ITSP" + struct.pack("<I", 1) + rand(rng, 76)
    return header + section0 + directory + body


def cpio(rng):
    def entry(name, data, mode=0o100644):
        n = name + b"\0"
        head = b"070701" + b"".join(b"%08X" % v for v in (1, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(n), 0))
        pad = lambda b: b + b"\0" * (-len(b) % 4)
        return pad(head + n) + pad(data)
    out = entry(b"notes.txt", rand(rng, 301)) + entry(b"b.bin", rand(rng, 77)) + entry(b"TRAILER!!!", b"", 0)
    return out + b"\0" * (-len(out) % 512)


def evtx(rng):
    head = b"ElfFile\0" + struct.pack("<QQQIHHHH", 0, 0, 5, 128, 1, 3, 4096, 1) + b"\0" * 76 + struct.pack("<I", 0)
    head = head + struct.pack("<I", zlib.crc32(head[:120]))
    assert len(head) == 128
    chunk = b"ElfChnk\0" + rand(rng, 504) + b"\0" * (65536 - 512)
    return head + b"\0" * (4096 - 128) + chunk


def lnk(rng):
    flags = 0x01 | 0x02 | 0x04 | 0x80
    header = struct.pack("<I", 0x4C) + bytes.fromhex("0114020000000000c000000000000046") + struct.pack("<II", flags, 0x20)
    header += rand(rng, 24) + struct.pack("<IIII", 1234, 0, 1, 0) + b"\0" * 8
    assert len(header) == 76
    idlist = struct.pack("<H", 22) + struct.pack("<H", 20) + rand(rng, 18) + b"\0\0"
    target = b"C:\\notes.txt\0"
    info = struct.pack("<IIIIIII", 28 + len(target), 28, 1, 0, 28, 0, 28 + len(target) - 1) + target
    name = "notes".encode("utf-16-le")
    strings = struct.pack("<H", 5) + name
    extra = struct.pack("<I", 16) + struct.pack("<I", 0xA0000005) + rand(rng, 8) + struct.pack("<I", 0)
    return header + idlist + info + strings + extra


def java_class(folder):
    javac = shutil.which("javac")
    if not javac:
        return None
    with tempfile.TemporaryDirectory(dir=folder) as work:
        src = os.path.join(work, "Carve.java")
        with open(src, "w") as f:
            f.write("public class Carve { int n; public static void main(String[] a) { System.out.println(\"carve\" + a.length); } }\n")
        r = subprocess.run([javac, "-d", work, src], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if r.returncode != 0:
            return None
        with open(os.path.join(work, "Carve.class"), "rb") as f:
            return f.read()


def dex(rng):
    body = rand(rng, 400)
    length = 0x70 + len(body)
    header = bytearray(b"dex\n035\0" + b"\0" * 4 + b"\0" * 20 + struct.pack("<III", length, 0x70, 0x12345678) + b"\0" * (0x70 - 44))
    data = bytes(header) + body
    checksum = zlib.adler32(data[12:])
    return data[:8] + struct.pack("<I", checksum) + data[12:]


def write_more_samples(folder, rng, put, helpers):
    """helpers: the builders make_samples.py already has (png, isobmff,
    zip_bytes, ooxml, odf, text_blob)."""
    ffmpeg_more(folder)
    put("sample.amr", amr(rng))
    put("sample.ape", ape(rng))
    put("sample-z.swf", swf_deflated(rng))
    put("sample.eml", eml(False))
    put("sample-mime.eml", eml(True))
    put("sample.mbox", mbox(folder))
    put("sample.vcf", vcf())
    put("sample.ics", ics())
    put("sample.pem", pem(rng, folder))
    put("sample.torrent", torrent(rng))
    put("sample.icns", icns(helpers["png"](rng)))
    put("sample.jp2", jp2(rng))
    put("sample.jxl", jxl(rng))
    put("sample.emf", emf(rng))
    put("sample.wmf", wmf(rng))
    put("sample.pfb", pfb(rng))
    put("sample.blend", blend(rng))
    z = zst(rng, folder, helpers["text_blob"](rng, 30000))
    if z:
        put("sample.zst", z)
    put("sample.cab", cab(rng))
    put("sample.chm", chm(rng))
    put("sample.cpio", cpio(rng))
    put("sample.evtx", evtx(rng))
    put("sample.lnk", lnk(rng))
    c = java_class(folder)
    if c:
        put("sample.class", c)
    put("sample.dex", dex(rng))
    put("sample.avif", helpers["isobmff"](rng, b"avif"))
    put("sample.m4v", helpers["isobmff"](rng, b"M4V "))
    put("sample.odg", helpers["odf"](rng, b"graphics"))
    put("sample.vsdx", helpers["ooxml"](rng, "visio/document.xml"))
    put("sample.xps", helpers["zip_bytes"]([("FixedDocumentSequence.fdseq", helpers["text_blob"](rng, 900)),
                                            ("Documents/1/FixedDocument.fdoc", helpers["text_blob"](rng, 900))]))
    put("sample.ipa", helpers["zip_bytes"]([("Payload/Carve.app/Info.plist", helpers["text_blob"](rng, 1200)),
                                            ("Payload/Carve.app/Carve", helpers["text_blob"](rng, 2000))]))
