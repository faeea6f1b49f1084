#!/usr/bin/env python3
"""Failing disks: ours (undelete and the deep scan) against tsk_recover and
PhotoRec on the same 512 MiB MBR disks (FAT32, exFAT, NTFS; 250 files in five
folders, 200 of them deleted), served through bench/image/failing_fuse.c with
EIO on four 4 KiB spots, each inside a different deleted file.

    python3 bench/failing/bench_failing.py build/release/bin/quarvel-cli [WORKDIR]
    python3 bench/failing/bench_failing.py --prepare [WORKDIR]   (the files and disks only)

Per file system and program: the files given back byte-exact (of the 200
deleted for undelete and tsk_recover, of all 250 for the carvers), the files
given back partial with their unreadable sectors named (ours lists them in
unreadable-sectors.txt: each must be a file over a bad spot, equal to the
original with zeros in the bad sectors), and the time. Needs root (loop
devices and FUSE mounts), libfuse3-dev, ImageMagick's convert, zip, and the
file systems' tools. Not a test: it never fails on numbers.
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
prepare_only = sys.argv[1] == "--prepare"
cli = os.path.abspath(sys.argv[1])
work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(tempfile.gettempdir(), "quarvel_bench_failing"))
files_dir = os.path.join(work, "files")
part_start = 2048  # sectors
spot_sectors = 8   # 4 KiB


def sha(data):
    return hashlib.sha256(data).hexdigest()


def quiet(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def make_files():
    """250 files of kinds both carvers know: photos (JPEG, PNG), archives (ZIP)
    and pictures (BMP), a few KiB to about 1 MiB, numbered 0-249, 50 a folder."""
    if os.path.isdir(files_dir) and sum(len(f) for _, _, f in os.walk(files_dir)) == 250:
        return
    shutil.rmtree(files_dir, ignore_errors=True)
    rng = random.Random(37)
    words = ["alpha", "bravo", "sector", "cluster", "failing", "record", "volume", "quarvel"]
    for i in range(250):
        folder = os.path.join(files_dir, f"folder{i // 50 + 1}")
        os.makedirs(folder, exist_ok=True)
        kind = rng.choice(["jpg", "jpg", "jpg", "png", "zip", "bmp"])
        path = os.path.join(folder, f"f{i:05d}.{kind}")
        if kind == "zip":
            text = os.path.join(work, "t.txt")
            with open(text, "w") as f:
                f.write(" ".join(rng.choice(words) for _ in range(rng.randrange(3000, 60000))))
            quiet(["zip", "-q", "-j", path, text], check=True)
            os.remove(text)
            continue
        w, h = rng.randrange(96, 900), rng.randrange(96, 700)
        if kind == "bmp":
            w, h = w // 3, h // 3
        pattern = rng.choice(["plasma:", "xc:white +noise Random", "gradient:red-blue"]).split()
        quality = ["-quality", str(rng.randrange(60, 95))] if kind == "jpg" else []
        quiet(["convert", "-size", f"{w}x{h}"] + pattern + quality + [path], check=True)


def originals():
    out = {}
    for root, _, names in os.walk(files_dir):
        for n in names:
            p = os.path.join(root, n)
            out[os.path.relpath(p, files_dir)] = open(p, "rb").read()
    return out


def bad_spots(disk, victims, files):
    """Four 4 KiB spots, one in the middle of each victim's data on the disk
    (found by its first 4 KiB): the disk's 512-byte sectors."""
    image = open(disk, "rb").read()
    spots = {}
    for v in victims:
        data = files[v]
        at = image.find(data[:4096], part_start * 512)
        if at < 0 or at % 512:
            continue
        middle = (len(data) // 2) // 4096 * 4096
        spots[v] = (at + middle) // 512
    return spots


def hashes_in(folder):
    found = {}
    for root, _, names in os.walk(folder):
        for n in names:
            p = os.path.join(root, n)
            try:
                found.setdefault(sha(open(p, "rb").read()), []).append(p)
            except OSError:
                pass
    return found


def zeroed(data, file_disk_offset, bad):
    """The file as a copy with zeros in the bad sectors reads."""
    out = bytearray(data)
    for s in bad:
        rel = s * 512 - file_disk_offset
        if 0 <= rel < len(out):
            out[rel:rel + 512] = bytes(min(512, len(out) - rel))
    return bytes(out)


def partial_named(out, expected_partial):
    """Files ours listed in unreadable-sectors.txt that are a victim with
    zeros in its bad sectors, byte for byte, with sectors named."""
    listed = 0
    named = 0
    for root, _, names in os.walk(out):
        for n in names:
            if n.startswith("unreadable-sectors") and n.endswith(".txt"):
                for line in open(os.path.join(root, n), encoding="utf-8", errors="replace"):
                    parts = line.rstrip("\n").split("\t")
                    if len(parts) < 3 or parts[0] != "written":
                        continue
                    listed += 1
                    path = os.path.join(out, parts[1])
                    if "sector" in parts[2] and os.path.exists(path) and sha(open(path, "rb").read()) in expected_partial:
                        named += 1
    return listed, named


def timed(cmd, cwd=None):
    t = time.monotonic()
    result = subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.monotonic() - t, result


def main():
    os.makedirs(work, exist_ok=True)
    make_files()
    files = originals()
    built = all(os.path.exists(os.path.join(work, f"{fs}.img")) for fs in ("fat32", "exfat", "ntfs"))
    if not built:
        r = subprocess.run(["bash", os.path.join(here, "make_failing_disks.sh"), files_dir, work])
        if r.returncode:
            sys.exit(r.returncode)
    deleted = [l.strip() for l in open(os.path.join(work, "deleted.txt")) if l.strip()]
    if prepare_only:
        return
    fuse = os.path.join(work, "failing_fuse")
    subprocess.run(["sh", "-c", f"cc -O2 -o '{fuse}' '{here}/../image/failing_fuse.c' $(pkg-config --cflags --libs fuse3)"],
                   check=True)
    # Four victims of at least 64 KiB, spread over the numbering.
    rng = random.Random(4)
    big = [d for d in deleted if len(files[d]) >= 65536]
    victims = sorted(rng.sample(big, 4))
    print(f"{len(files)} files, {len(deleted)} deleted; bad 4 KiB spots inside {', '.join(victims)}")

    for fs in ("fat32", "exfat", "ntfs"):
        disk = os.path.join(work, f"{fs}.img")
        spots = bad_spots(disk, victims, files)
        bad = sorted(s for first in spots.values() for s in range(first, first + spot_sectors))
        bad_file = os.path.join(work, f"{fs}.bad")
        with open(bad_file, "w") as f:
            f.write("\n".join(map(str, bad)) + "\n")
        image = open(disk, "rb").read()
        expected_partial = set()
        for v in spots:
            at = image.find(files[v][:4096], part_start * 512)
            expected_partial.add(sha(zeroed(files[v], at, bad)))
        del image
        mnt = os.path.join(work, "mnt-" + fs)
        os.makedirs(mnt, exist_ok=True)
        quiet(["fusermount3", "-u", mnt])
        server = subprocess.Popen([fuse, disk, bad_file, "0", "0", "0", mnt])
        try:
            for _ in range(100):
                if os.path.exists(os.path.join(mnt, "disk")):
                    break
                time.sleep(0.1)
            failing = os.path.join(mnt, "disk")
            want_deleted = {sha(files[d]) for d in deleted} - {sha(files[v]) for v in spots}
            want_all = {sha(d) for d in files.values()} - {sha(files[v]) for v in spots}
            rows = []

            def run(name, cmd, out, wanted, ours):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                secs, result = timed(cmd, cwd=out)
                got = hashes_in(out) if os.path.isdir(out) else {}
                exact = len(wanted & set(got))
                listed, named = partial_named(out, expected_partial) if ours else (None, None)
                rows.append((name, exact, len(wanted), listed, named, secs, result.returncode))

            base = os.path.join(work, "out-" + fs)
            run("ours undelete", [cli, "recover", failing + ":p1", "--all", "--to", base + "/ours"],
                base + "/ours", want_deleted, True)
            run("ours deep scan", [cli, "recover", failing, "--deep", "--all", "--to", base + "/deep"],
                base + "/deep", want_all, True)
            if shutil.which("tsk_recover"):
                run("tsk_recover", ["tsk_recover", "-o", str(part_start), failing, base + "/tsk"],
                    base + "/tsk", want_deleted, False)
            if shutil.which("photorec"):
                run("photorec", ["photorec", "/log", "/d", base + "/photorec/rec", "/cmd", failing,
                                 "partition_none,fileopt,everything,enable,search"],
                    base + "/photorec", want_all, False)
        finally:
            quiet(["fusermount3", "-u", mnt])
            server.wait(timeout=30)
        print(f"\n{fs}: {len(bad)} bad sectors in {len(spots)} spots ({', '.join(str(s) for s in spots.values())})")
        print(f"  {'program':16} {'byte-exact':>14} {'partial, sectors named':>24} {'seconds':>8} {'exit':>5}")
        for name, exact, of, listed, named, secs, code in rows:
            partial = "-" if listed is None else f"{named}/{len(spots)} ({listed} listed)"
            print(f"  {name:16} {exact:>6}/{of:<7} {partial:>24} {secs:8.2f} {code:>5}")
    print("\nbyte-exact: of the files not over a bad spot (undelete, tsk_recover: the deleted ones; carvers: all).")


if __name__ == "__main__":
    main()
