#!/usr/bin/env python3
"""Deep-scan benchmark: our carving engine against PhotoRec, foremost and
scalpel on one generated image, in one run.

    bench_carve.py QUARVEL_CLI [--image PATH] [--size-mib N] [--files N] [--keep]

The image (default 320 MiB, 600 files) is random bytes with files made by real
tools (ImageMagick, zip, gzip, bzip2, xz, 7z, sqlite3, and Python's wave)
planted at 4 KiB cluster boundaries; it is cached next to its manifest and
rebuilt when missing. For each program the table shows the files it wrote, how
many of them equal a planted file byte for byte (each planted file counted
once), the seconds it took, its throughput, and its time relative to ours.
A plain sequential read of the image (dd) is timed too. Peers that are not
installed are left out. Not a test: it never fails on numbers.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import wave

from carve_bench_common import (CLUSTER, arguments, cached_image, hashes_in, made_in_temporary_folder, output_folder,
                                rss_text, timed, warm_cache)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def text(rng, n):
    words = ["alpha", "bravo", "cluster", "sector", "carve", "record", "volume", "index", "table", "quarvel"]
    return " ".join(rng.choice(words) for _ in range(n // 6)).encode()


def make_files(work, count, rng):
    """Real files of twelve types, made by the tools that make them."""
    convert = shutil.which("convert")
    makers = []

    def image(ext):
        def make(path, i):
            w, h = rng.randrange(64, 900), rng.randrange(64, 700)
            kind = rng.choice(["plasma:", "gradient:red-blue", "xc:white +noise Random"])
            args = [convert, "-size", f"{w}x{h}"] + kind.split() + ([ "-quality", str(rng.randrange(60, 95))] if ext == "jpg" else []) + [path]
            run(args, check=True)
        return make

    if convert:
        for ext in ("jpg", "png", "gif", "bmp", "tif"):
            makers.append((ext, image(ext)))

    def tool(ext, build):
        makers.append((ext, build))

    def txt(i):
        p = os.path.join(work, f"t{i}.txt")
        with open(p, "wb") as f:
            f.write(text(rng, rng.randrange(2000, 400000)))
        return p

    if shutil.which("zip"):
        tool("zip", lambda path, i: run(["zip", "-q", "-j", path, txt(i), txt(i + 100000)], check=True))
    for ext, prog in (("gz", "gzip"), ("bz2", "bzip2"), ("xz", "xz")):
        if shutil.which(prog):
            tool(ext, lambda path, i, prog=prog: subprocess.run([prog, "-c", txt(i)], stdout=open(path, "wb"), check=True))
    seven = shutil.which("7z")
    if seven:
        tool("7z", lambda path, i: run([seven, "a", "-bd", "-y", path, txt(i)], check=True))
    if shutil.which("sqlite3"):
        def db(path, i):
            rows = ";".join(f"insert into t values({k}, '{text(rng, 300).decode()}')" for k in range(rng.randrange(50, 800)))
            subprocess.run(["sqlite3", path], input=f"create table t(id integer, body text);begin;{rows};commit;".encode(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        tool("sqlite", db)

    def wav(path, i):
        with wave.open(path, "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(22050)
            w.writeframes(os.urandom(rng.randrange(20000, 800000) & ~3))
    tool("wav", wav)

    files = []
    for i in range(count):
        ext, make = makers[i % len(makers)]
        path = os.path.join(work, f"f{i:05d}.{ext}")
        make(path, i)
        with open(path, "rb") as f:
            files.append((ext, f.read()))
        for leftover in (os.path.join(work, f"t{i}.txt"), os.path.join(work, f"t{i + 100000}.txt")):
            if os.path.exists(leftover):
                os.remove(leftover)
        os.remove(path)
    return files


def build_image(path, size_mib, count):
    rng = random.Random(2024)
    files = made_in_temporary_folder("carve-bench-", lambda work: make_files(work, count, rng))
    size = size_mib << 20
    total = sum(len(d) for _, d in files)
    if total > size * 0.9:
        sys.exit(f"{total} bytes of files do not fit a {size_mib} MiB image")
    slack = size - total - CLUSTER * (len(files) + 2)
    gaps = [rng.random() for _ in files]
    scale = slack / sum(gaps)
    manifest = []
    with open(path, "wb") as img:
        chunk = 1 << 22
        for _ in range(size // chunk):
            img.write(os.urandom(chunk))
        pos = CLUSTER
        for (ext, data), g in zip(files, gaps):
            pos += int(g * scale) // CLUSTER * CLUSTER
            img.seek(pos)
            img.write(data)
            manifest.append({"offset": pos, "size": len(data), "type": ext, "sha256": hashlib.sha256(data).hexdigest()})
            pos = (pos + len(data) + CLUSTER - 1) // CLUSTER * CLUSTER
    with open(path + ".json", "w") as f:
        json.dump(manifest, f)


def scalpel_conf(path):
    wanted = ("gif", "jpg", "png", "bmp", "tif", "zip", "wav", "pdf", "doc")
    lines = []
    with open("/etc/scalpel/scalpel.conf") as f:
        for line in f:
            bare = line.lstrip("#").strip()
            if line.lstrip().startswith("#") and bare.split()[:1] and bare.split()[0] in wanted and len(bare.split()) >= 4 and bare.split()[1] in ("y", "n"):
                lines.append(bare + "\n")
    with open(path, "w") as f:
        f.writelines(lines)


def main():
    args = arguments("quarvel-carve-bench.img", 320, 600)
    image, manifest = cached_image(args.image, f"{args.size_mib} MiB, {args.files} files",
                                   lambda path: build_image(path, args.size_mib, args.files))
    planted = {m["sha256"] for m in manifest}
    size = os.path.getsize(image)
    types = sorted({m["type"] for m in manifest})
    print(f"image: {image}, {size >> 20} MiB, {len(manifest)} files of {len(types)} types ({', '.join(types)})")

    rows = []
    with output_folder("carve-bench-out-", args.keep) as out:
        warm_cache(image)
        secs, cpu, _ = timed(["dd", f"if={image}", "of=/dev/null", "bs=4M"])
        rows.append(("dd (plain read)", None, None, secs, cpu, None))

        secs, cpu, _ = timed([args.cli, "scan", image, "--deep"])
        rows.append(("quarvel deep scan only", None, None, secs, cpu, None))

        ours = os.path.join(out, "ours")
        secs, cpu, rss = timed([args.cli, "recover", image, "--deep", "--all", "--to", ours,
                                "--save", os.path.join(out, "ours.sav")], rss_file=os.path.join(out, "ours.rss"))
        got = hashes_in(ours)
        rows.append(("quarvel deep scan + recovery", len(got), len(planted & set(got)), secs, cpu, rss))
        ours_secs, ours_cpu = secs, cpu

        if shutil.which("photorec"):
            d = os.path.join(out, "photorec")
            os.makedirs(d)
            secs, cpu, _ = timed(["photorec", "/log", "/d", d + "/rec", "/cmd", image,
                                  "partition_none,fileopt,everything,enable,search"], cwd=d)
            got = hashes_in(d)
            rows.append(("photorec", len(got), len(planted & set(got)), secs, cpu, None))
        if shutil.which("foremost"):
            d = os.path.join(out, "foremost")
            secs, cpu, _ = timed(["foremost", "-Q", "-t", "all", "-i", image, "-o", d])
            got = hashes_in(d)
            rows.append(("foremost -t all", len(got), len(planted & set(got)), secs, cpu, None))
        if shutil.which("scalpel") and os.path.exists("/etc/scalpel/scalpel.conf"):
            d = os.path.join(out, "scalpel")
            conf = os.path.join(out, "scalpel.conf")
            scalpel_conf(conf)
            secs, cpu, _ = timed(["scalpel", "-c", conf, "-o", d, image])
            got = hashes_in(d)
            rows.append(("scalpel (9 types)", len(got), len(planted & set(got)), secs, cpu, None))

    print(f"\n{'program':30} {'written':>7} {'equal':>9} {'seconds':>8} {'cpu s':>7} {'MiB/s':>7} "
          f"{'vs ours':>8} {'cpu vs ours':>11} {'peak RSS':>9}")
    for name, written, equal, secs, cpu, rss in rows:
        w = "-" if written is None else str(written)
        e = "-" if equal is None else f"{equal}/{len(planted)}"
        print(f"{name:30} {w:>7} {e:>9} {secs:8.2f} {cpu:7.2f} {size / secs / (1 << 20):7.0f} "
              f"{secs / ours_secs:7.2f}x {cpu / max(ours_cpu, 1e-3):10.2f}x {rss_text(rss):>9}")
    print("\n'vs ours': each program's time divided by ours (above 1: slower than ours); 'cpu' is user + system time.")


if __name__ == "__main__":
    main()
