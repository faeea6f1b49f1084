#!/usr/bin/env python3
"""Deep-scan benchmark by file type: our carving engine against PhotoRec on
one image of many kinds of files, in one run.

    bench_types.py QUARVEL_CLI [--image PATH] [--size-mib N] [--files N] [--keep]

The corpus: videos and audio written by ffmpeg for every container and codec
pair it can write here (MP4, MOV, M4V, 3GP, Matroska, WebM, AVI, MPEG-TS,
M2TS, MPEG-PS, ASF, FLV, Ogg, FLAC, WAV, AIFF, MP3, AAC, AC-3, WavPack, Sun
audio, ...), and the sample builders of the carving tests run with many seeds
(documents, mail, fonts, archives, pictures, programs; made by Python's
libraries, zstd, javac, openssl and from the formats' published structure).
Each file is planted whole at a 4 KiB cluster boundary, one after the other
with a few clusters of random bytes between them; the image is cached next to
its manifest. The table shows, per type, how many planted files each program
wrote back byte for byte, and the seconds each took. Peers that are not
installed are left out. Not a test: it never fails on numbers.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

from carve_bench_common import (CLUSTER, arguments, cached_image, hashes_in, made_in_temporary_folder, output_folder,
                                timed, warm_cache)

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", "..", "tests", "carve", "make_samples.py")

# (extension, ffmpeg output arguments): every container with the codecs a
# camera, a phone or a computer puts in it.
FFMPEG_JOBS = [
    ("mp4", ["-c:v", "libx264", "-c:a", "aac", "-f", "mp4"]),
    ("mp4", ["-c:v", "mpeg4", "-c:a", "aac", "-f", "mp4", "-movflags", "+faststart"]),
    ("mov", ["-c:v", "libx264", "-c:a", "pcm_s16le", "-f", "mov"]),
    ("mov", ["-c:v", "mjpeg", "-c:a", "aac", "-f", "mov"]),
    ("m4v", ["-c:v", "libx264", "-c:a", "aac", "-f", "ipod"]),
    ("3gp", ["-c:v", "h263", "-s", "176x144", "-c:a", "aac", "-ar", "22050", "-f", "3gp"]),
    ("mkv", ["-c:v", "libx264", "-c:a", "flac", "-f", "matroska"]),
    ("mkv", ["-c:v", "mpeg4", "-c:a", "ac3", "-f", "matroska"]),
    ("webm", ["-c:v", "libvpx", "-b:v", "300k", "-c:a", "libvorbis", "-f", "webm"]),
    ("webm", ["-c:v", "libvpx-vp9", "-b:v", "300k", "-deadline", "realtime", "-c:a", "libopus", "-f", "webm"]),
    ("avi", ["-c:v", "mpeg4", "-c:a", "libmp3lame", "-f", "avi"]),
    ("avi", ["-c:v", "mjpeg", "-c:a", "pcm_s16le", "-f", "avi"]),
    ("ts", ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"]),
    ("ts", ["-c:v", "libx264", "-c:a", "aac", "-f", "mpegts"]),
    ("mts", ["-c:v", "libx264", "-c:a", "ac3", "-f", "mpegts", "-mpegts_m2ts_mode", "1"]),
    ("mpg", ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"]),
    ("mpg", ["-c:v", "mpeg1video", "-c:a", "mp2", "-f", "mpeg"]),
    ("wmv", ["-c:v", "wmv2", "-c:a", "wmav2", "-f", "asf"]),
    ("flv", ["-c:v", "flv1", "-c:a", "aac", "-f", "flv"]),
    ("ogv", ["-c:v", "libtheora", "-c:a", "libvorbis", "-f", "ogg"]),
    ("swf", ["-c:v", "flv1", "-an", "-f", "swf"]),
    ("wma", ["-vn", "-c:a", "wmav2", "-f", "asf"]),
    ("mp3", ["-vn", "-c:a", "libmp3lame", "-f", "mp3"]),
    ("m4a", ["-vn", "-c:a", "aac", "-f", "ipod"]),
    ("ogg", ["-vn", "-c:a", "libvorbis", "-f", "ogg"]),
    ("opus", ["-vn", "-c:a", "libopus", "-f", "opus"]),
    ("flac", ["-vn", "-c:a", "flac", "-f", "flac"]),
    ("wav", ["-vn", "-c:a", "pcm_s16le", "-f", "wav"]),
    ("aif", ["-vn", "-c:a", "pcm_s16be", "-f", "aiff"]),
    ("aac", ["-vn", "-c:a", "aac", "-f", "adts"]),
    ("ac3", ["-vn", "-c:a", "ac3", "-f", "ac3"]),
    ("wv", ["-vn", "-c:a", "wavpack", "-f", "wv"]),
    ("au", ["-vn", "-c:a", "pcm_s16be", "-f", "au"]),
    ("amr", ["-vn", "-c:a", "libopencore_amrnb", "-ar", "8000", "-ac", "1", "-b:a", "12.2k", "-f", "amr"]),
]


def ffmpeg_files(work, rng, rounds):
    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        print("ffmpeg is not installed: no videos or audio made by it")
        return []
    files = []
    for n in range(rounds):
        for i, (ext, args) in enumerate(FFMPEG_JOBS):
            seconds = round(rng.uniform(0.5, 4.0), 2)
            size = rng.choice(["160x120", "320x240", "640x360"])
            rate = rng.choice([44100, 48000])
            path = os.path.join(work, f"v{n}-{i}.{ext}")
            r = subprocess.run([ffmpeg, "-v", "error", "-y",
                                "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=25:duration={seconds}",
                                "-f", "lavfi", "-i", f"sine=frequency={rng.randrange(200, 2000)}:sample_rate={rate}:duration={seconds}",
                                "-shortest", "-metadata", f"creation_time=2024-0{1 + n % 9}-1{i % 10}T10:{i % 60:02d}:00Z"]
                               + args + [path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode == 0 and os.path.exists(path) and os.path.getsize(path) > 0:
                with open(path, "rb") as f:
                    files.append((ext, f.read()))
            if os.path.exists(path):
                os.remove(path)
    return files


def sample_files(work, seeds):
    """The carving tests' samples, made with each seed; one of each distinct file."""
    files = []
    for seed in seeds:
        folder = os.path.join(work, f"s{seed}")
        r = subprocess.run([sys.executable, SAMPLES, folder, str(seed)], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if r.returncode != 0:
            print(f"make_samples.py failed for seed {seed}")
            continue
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                files.append((name.rsplit(".", 1)[-1], f.read()))
        shutil.rmtree(folder, ignore_errors=True)
    return files


def build_image(path, size_mib, count):
    rng = random.Random(42)

    def make(work):
        return ffmpeg_files(work, rng, max(1, count // 100)) + sample_files(work, range(1, 1 + max(1, count // 60)))

    made = made_in_temporary_folder("carve-types-", make)
    seen, files = set(), []
    for ext, data in made:
        digest = hashlib.sha256(data).hexdigest()
        if digest not in seen:
            seen.add(digest)
            files.append((ext, data, digest))
    rng.shuffle(files)
    size = size_mib << 20
    used = sum((len(d) + CLUSTER - 1) // CLUSTER * CLUSTER + 4 * CLUSTER for _, d, _ in files)
    if used > size - (1 << 20):
        sys.exit(f"{used} bytes of files do not fit a {size_mib} MiB image; give --size-mib")
    manifest = []
    with open(path, "wb") as img:
        chunk = 1 << 22
        for _ in range(size // chunk):
            img.write(os.urandom(chunk))
        pos = 16 * CLUSTER
        for ext, data, digest in files:
            pos += rng.randrange(0, 4) * CLUSTER
            img.seek(pos)
            img.write(data)
            manifest.append({"offset": pos, "size": len(data), "type": ext, "sha256": digest})
            pos = (pos + len(data) + CLUSTER - 1) // CLUSTER * CLUSTER
    with open(path + ".json", "w") as f:
        json.dump(manifest, f)


def main():
    args = arguments("quarvel-carve-types.img", 256, 200)
    image, manifest = cached_image(args.image, f"{args.size_mib} MiB, about {args.files} files",
                                   lambda path: build_image(path, args.size_mib, args.files))
    by_type = {}
    for m in manifest:
        by_type.setdefault(m["type"], set()).add(m["sha256"])
    planted = {m["sha256"] for m in manifest}
    size = os.path.getsize(image)
    print(f"image: {image}, {size >> 20} MiB, {len(manifest)} files of {len(by_type)} types")

    results = []  # (program, written hashes, seconds, cpu seconds)
    with output_folder("carve-types-out-", args.keep) as out:
        warm_cache(image)
        secs, cpu, _ = timed([args.cli, "scan", image, "--deep"])
        scan_only = (secs, cpu)
        ours = os.path.join(out, "ours")
        secs, cpu, _ = timed([args.cli, "recover", image, "--deep", "--all", "--to", ours])
        results.append(("quarvel", set(hashes_in(ours)), len(hashes_in(ours)), secs, cpu))
        if shutil.which("photorec"):
            d = os.path.join(out, "photorec")
            os.makedirs(d)
            secs, cpu, _ = timed(["photorec", "/log", "/d", d + "/rec", "/cmd", image,
                                  "partition_none,fileopt,everything,enable,search"], cwd=d)
            got = hashes_in(d)
            results.append(("photorec", set(got), len(got), secs, cpu))
        else:
            print("photorec is not installed (Debian: testdisk): left out")

    names = [r[0] for r in results]
    print(f"\n{'type':8} {'planted':>7} " + " ".join(f"{n:>9}" for n in names))
    for t in sorted(by_type):
        want = by_type[t]
        print(f"{t:8} {len(want):7} " + " ".join(f"{len(want & r[1]):9}" for r in results))
    print(f"{'all':8} {len(planted):7} " + " ".join(f"{len(planted & r[1]):9}" for r in results))
    print(f"\n{'program':10} {'written':>7} {'exact':>7} {'seconds':>8} {'cpu s':>7} {'MiB/s':>7}")
    for name, got, written, secs, cpu in results:
        print(f"{name:10} {written:7} {len(planted & got):7} {secs:8.2f} {cpu:7.2f} {size / secs / (1 << 20):7.0f}")
    print(f"{'quarvel deep scan only':22} {scan_only[0]:8.2f} s, {scan_only[1]:.2f} cpu s")
    print("\nexact: planted files written back byte for byte (each counted once); "
          "types with fewer than PhotoRec's count:",
          ", ".join(t for t in sorted(by_type) if len(results) > 1 and
                    len(by_type[t] & results[0][1]) < len(by_type[t] & results[1][1])) or "none")


if __name__ == "__main__":
    main()
