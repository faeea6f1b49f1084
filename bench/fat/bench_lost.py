#!/usr/bin/env python3
"""Lost folders on FAT and exFAT: ours against The Sleuth Kit on the two cards of
make_lost_images.sh (a quick-formatted card, a deleted folder whose second
cluster lies far from its first) and the exFAT card of
bench/exfat/make_lost_image.sh (a camera folder lost with its parent), scored against the photos that were written.

    bench_lost.py QUARVEL_CLI [PHOTOS [SIZE_MIB]]

Ours: `quarvel-cli scan --lost` (less the start-up of `quarvel-cli volumes`,
timed against `cat` of the image, both from the page cache) and `recover --lost --all`. Theirs: `fls -r -p` and
`tsk_recover -e` (every file, orphans included). A photo counts as back when a
written file has its bytes and its name (a deleted short name's first letter,
which FAT does not keep, is not compared). Not a test; needs sleuthkit.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def sha_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def written(folder):
    """sha -> set of file names under folder."""
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            out.setdefault(sha_of(os.path.join(root, name)), set()).add(name)
    return out


def same_name(wanted, got):
    # " (2)" and the like are what a clash of names in one folder adds.
    base, ext = os.path.splitext(got)
    if base.endswith(")") and " (" in base:
        got = base[:base.rindex(" (")] + ext
    return wanted[1:].upper() == got[1:].upper()


def score(manifest, files):
    back = named = 0
    for sha, name in manifest:
        if sha in files:
            back += 1
            named += any(same_name(name, got) for got in files[sha])
    return back, named


def timed(cmd, **kw):
    start = time.monotonic()
    subprocess.run(cmd, check=True, **kw)
    return time.monotonic() - start


def best_of(n, cmd, **kw):
    return min(timed(cmd, **kw) for _ in range(n))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    cli = os.path.abspath(sys.argv[1])
    photos = sys.argv[2] if len(sys.argv) > 2 else "413"
    size = sys.argv[3] if len(sys.argv) > 3 else "256"
    have_tsk = shutil.which("fls") and shutil.which("tsk_recover")
    work = tempfile.mkdtemp(prefix="bench-lost-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        subprocess.run([os.path.join(HERE, "make_lost_images.sh"), work, photos, size], check=True,
                       stdout=subprocess.DEVNULL)
        cards = ["formatted", "lostsecond"]
        # The exFAT card is written through exfat-fuse: root only.
        made = subprocess.run([os.path.join(HERE, "..", "exfat", "make_lost_image.sh"), work, photos, size],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if made.returncode == 0:
            cards.append("exfat")
        else:
            print("exfat card not built (needs root, a loop device, FUSE, exfatprogs and exfat-fuse)")
        print(f"{'card':<12} {'photos':>6} {'ours back':>9} {'named':>6} {'TSK back':>9} {'named':>6} "
              f"{'scan s':>7} {'startup':>7} {'cat s':>6} {'(scan-startup)/cat':>18}")
        for card in cards:
            image = os.path.join(work, card + ".img")
            with open(os.path.join(work, card + ".txt")) as f:
                manifest = [(line.split()[0], line.split()[2]) for line in f if line.strip()]
            quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            cat = best_of(3, ["cat", image], **quiet)
            scan = best_of(3, [cli, "--image", image, "scan", image, "--lost"], **quiet)
            # What any command costs before it reads the volume (start-up,
            # the drive table): not the search's time.
            start_up = best_of(3, [cli, "--image", image, "volumes"], **quiet)
            ours_dir = os.path.join(work, card + "-ours")
            subprocess.run([cli, "--image", image, "recover", image, "--lost", "--all", "--to", ours_dir], **quiet)
            ours = score(manifest, written(ours_dir))
            theirs = ("-", "-")
            if have_tsk:
                theirs_dir = os.path.join(work, card + "-tsk")
                subprocess.run(["fls", "-r", "-p", image], **quiet)
                subprocess.run(["tsk_recover", "-e", image, theirs_dir], **quiet)
                theirs = score(manifest, written(theirs_dir))
            print(f"{card:<12} {len(manifest):>6} {ours[0]:>9} {ours[1]:>6} {theirs[0]:>9} {theirs[1]:>6} "
                  f"{scan:>7.3f} {start_up:>7.3f} {cat:>6.3f} {(scan - start_up) / cat:>18.2f}")
        if not have_tsk:
            print("The Sleuth Kit is not installed (apt-get install sleuthkit)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
