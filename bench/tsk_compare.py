#!/usr/bin/env python3
"""Ours against The Sleuth Kit on one volume image: what each lists as deleted,
what each writes out, and how much of it is the same bytes.

    tsk_compare.py QUARVEL_CLI IMAGE

Ours: `quarvel-cli scan` (rows listed) and `quarvel-cli recover --all` (files
written). Theirs: `fls -r -d -p -F` (deleted files listed, named streams
included) and one `icat` per listed file. "Byte-exact" counts their non-empty
files whose bytes one of ours has. Not a test; needs sleuthkit.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time


def sha_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    cli, image = sys.argv[1], os.path.abspath(sys.argv[2])
    for tool in ("fls", "icat"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed (apt-get install sleuthkit)")
    work = tempfile.mkdtemp(prefix="tsk-compare-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        start = time.monotonic()
        scan = subprocess.run([cli, "--json", "scan", image], capture_output=True, text=True, check=True)
        rows = [json.loads(line) for line in scan.stdout.splitlines() if line.strip()]
        ours_dir = os.path.join(work, "ours")
        subprocess.run([cli, "--json", "recover", image, "--all", "--to", ours_dir], capture_output=True,
                       check=True)
        ours_seconds = time.monotonic() - start
        ours = {}
        for root, _, files in os.walk(ours_dir):
            for name in files:
                ours[sha_of(os.path.join(root, name))] = name

        start = time.monotonic()
        listing = subprocess.run(["fls", "-r", "-d", "-p", "-F", image], capture_output=True, text=True,
                                 check=True).stdout.splitlines()
        theirs_dir = os.path.join(work, "theirs")
        os.mkdir(theirs_dir)
        theirs = []
        for n, line in enumerate(listing):
            if "\t" not in line or "*" not in line:
                continue
            address = line.split("*", 1)[1].split("\t", 1)[0].strip().rstrip(":").split("(")[0]
            out = os.path.join(theirs_dir, str(n))
            with open(out, "wb") as f:
                subprocess.run(["icat", image, address], stdout=f, stderr=subprocess.DEVNULL)
            theirs.append((line.split("\t", 1)[1], out))
        theirs_seconds = time.monotonic() - start

        nonempty = [(name, out) for name, out in theirs if os.path.getsize(out) > 0]
        exact = [name for name, out in nonempty if sha_of(out) in ours]
        missing = [name for name, out in nonempty if sha_of(out) not in ours]
        streams_ours = sum(1 for r in rows if ":" in r["name"])
        streams_theirs = sum(1 for name, _ in theirs if ":" in name.split("/")[-1])
        print(f"image              {image}")
        print(f"ours               {len(rows)} rows listed ({streams_ours} named streams), "
              f"{len(ours)} distinct files written, {ours_seconds:.2f} s (scan + recover)")
        print(f"fls -rd + icat     {len(theirs)} deleted files listed ({streams_theirs} named streams), "
              f"{len(nonempty)} non-empty, {theirs_seconds:.2f} s")
        print(f"byte-exact         {len(exact)} of their {len(nonempty)} non-empty files are among ours")
        for name in missing[:10]:
            print(f"  not ours: {name}")
        if len(missing) > 10:
            print(f"  ... and {len(missing) - 10} more")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
