#!/usr/bin/env python3
"""Fragmented-card benchmark: JPEGs in two pieces, ours against PhotoRec in
its default mode and with brute force, in one run.

    bench_fragments.py QUARVEL_CLI [--image PATH] [--size-mib N] [--files N]
                       [--fragmented F] [--seed S] [--no-bf] [--keep]

The image (default 64 MiB, 553 JPEGs, 381 of them in two pieces) is what a
card that was filled, partly deleted and filled again looks like: JPEGs made
by ImageMagick (baseline and progressive, sizes and qualities drawn from the
seed) laid at 4 KiB cluster boundaries; a fragmented one is cut at a cluster
boundary and 1 to 40 clusters of other data (random bytes, text, zeros, or
other JPEGs) lie between its pieces. The generator is seeded, and the image is
cached next to its manifest and rebuilt when missing. For each program the
table shows how many fragmented and how many contiguous JPEGs it wrote back
byte for byte, the files it wrote, its time and its peak RSS. Not a test: it
never fails on numbers.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

from carve_bench_common import (CLUSTER, arguments, cached_image, hashes_in, made_in_temporary_folder, output_folder,
                                rss_text, timed, warm_cache)


def make_jpegs(work, count, rng):
    convert = shutil.which("convert")
    if not convert:
        sys.exit("ImageMagick's convert is needed (apt-get install imagemagick)")
    out = []
    for i in range(count):
        w, h = rng.randrange(160, 1100), rng.randrange(120, 800)
        kind = rng.choice(["plasma:", "plasma:", "plasma:", "gradient:red-blue", "plasma:fractal"])
        path = os.path.join(work, f"{i}.jpg")
        args = [convert, "-seed", str(rng.randrange(1 << 30)), "-size", f"{w}x{h}", kind,
                "-quality", str(rng.randrange(60, 96))]
        if rng.random() < 0.25:
            args += ["-interlace", "Plane"]  # progressive
        subprocess.run(args + [path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(path, "rb") as f:
            out.append(f.read())
        os.remove(path)
    return out


def clusters(n):
    return (n + CLUSTER - 1) // CLUSTER


def build_image(path, size_mib, count, fragmented, seed):
    rng = random.Random(seed)
    jpegs = made_in_temporary_folder("frag-bench-", lambda work: make_jpegs(work, count, rng))
    size = size_mib << 20
    total_clusters = size // CLUSTER
    split = set(rng.sample(range(count), fragmented))
    words = b"the quick brown fox jumps over the lazy dog cluster sector carve volume index table "

    def filler(n):
        kind = rng.choice(["random", "text", "zeros"])
        if kind == "random":
            return rng.randbytes(n * CLUSTER)
        if kind == "zeros":
            return bytes(n * CLUSTER)
        return (words * (n * CLUSTER // len(words) + 1))[: n * CLUSTER]

    def padded(data):
        return data + bytes(clusters(len(data)) * CLUSTER - len(data))

    # A plan of cluster runs: each JPEG in one or two pieces; a gap is filler
    # or the next contiguous JPEGs.
    image = bytearray()
    manifest = []
    pending = list(range(count))
    rng.shuffle(pending)
    while pending:
        i = pending.pop()
        data = jpegs[i]
        at = len(image)
        if i in split and clusters(len(data)) >= 2:
            cut = rng.randrange(1, clusters(len(data))) * CLUSTER
            image += data[:cut]
            gap = rng.randrange(1, 41)
            gap_bytes = b""
            # Sometimes the gap holds whole contiguous JPEGs, as on a card.
            while pending and rng.random() < 0.3:
                j = pending[-1]
                if j in split or clusters(len(jpegs[j])) > gap - clusters(len(gap_bytes)):
                    break
                pending.pop()
                manifest.append({"offset": at + cut + len(gap_bytes), "size": len(jpegs[j]), "fragmented": False,
                                 "sha256": hashlib.sha256(jpegs[j]).hexdigest()})
                gap_bytes += padded(jpegs[j])
            gap_bytes += filler(gap - clusters(len(gap_bytes))) if gap > clusters(len(gap_bytes)) else b""
            image += gap_bytes
            image += padded(data[cut:])
            manifest.append({"offset": at, "size": len(data), "fragmented": True, "cut": cut, "gap": gap,
                             "sha256": hashlib.sha256(data).hexdigest()})
        else:
            image += padded(data)
            manifest.append({"offset": at, "size": len(data), "fragmented": False,
                             "sha256": hashlib.sha256(data).hexdigest()})
        if rng.random() < 0.3:
            image += filler(rng.randrange(1, 4))
    if len(image) > size:
        sys.exit(f"{len(image)} bytes of files do not fit a {size_mib} MiB image ({total_clusters} clusters)")
    image += rng.randbytes(size - len(image))
    with open(path, "wb") as f:
        f.write(image)
    with open(path + ".json", "w") as f:
        json.dump(manifest, f)


def main():
    def extra(ap):
        ap.add_argument("--fragmented", type=int, default=381)
        ap.add_argument("--seed", type=int, default=16)
        ap.add_argument("--no-bf", action="store_true", help="leave out PhotoRec's brute force (minutes)")

    args = arguments("quarvel-fragments.img", 64, 553, extra)
    image, manifest = cached_image(
        args.image, f"{args.size_mib} MiB, {args.files} JPEGs, {args.fragmented} in two pieces",
        lambda path: build_image(path, args.size_mib, args.files, args.fragmented, args.seed))
    frag = {m["sha256"] for m in manifest if m["fragmented"]}
    whole = {m["sha256"] for m in manifest if not m["fragmented"]}
    size = os.path.getsize(image)
    print(f"image: {image}, {size >> 20} MiB, {len(manifest)} JPEGs, {len(frag)} in two pieces")

    written_here = (".log", ".rss", ".sav")
    rows = []
    with output_folder("frag-bench-out-", args.keep) as out:
        warm_cache(image)
        ours = os.path.join(out, "ours")
        secs, _, rss = timed([args.cli, "recover", image, "--deep", "--all", "--to", ours],
                             rss_file=os.path.join(out, "ours.rss"))
        got_list = hashes_in(ours, written_here)
        got = set(got_list)
        rows.append(("quarvel deep scan + recovery", len(got_list), len(frag & got), len(whole & got), secs, rss))
        ours_secs = secs
        if shutil.which("photorec"):
            runs = [("photorec (default)", "")]
            if not args.no_bf:
                runs.append(("photorec (paranoid_bf)", "options,paranoid_bf,"))
            for name, options in runs:
                d = os.path.join(out, name.split()[1].strip("()"))
                os.makedirs(d)
                cmd = ["photorec", "/log", "/d", d + "/rec", "/cmd", image,
                       f"partition_none,{options}fileopt,everything,disable,jpg,enable,search"]
                secs, _, rss = timed(cmd, cwd=d, rss_file=os.path.join(out, "pr.rss"))
                got_list = hashes_in(d, written_here)
                got = set(got_list)
                rows.append((name, len(got_list), len(frag & got), len(whole & got), secs, rss))
        else:
            print("photorec is not installed (apt-get install testdisk): left out")

    print(f"\n{'program':30} {'written':>7} {'fragmented':>11} {'contiguous':>11} {'seconds':>8} {'vs ours':>8} "
          f"{'peak RSS':>9}")
    for name, written, f_ok, w_ok, secs, rss in rows:
        print(f"{name:30} {written:7} {f_ok:>5}/{len(frag):<5} {w_ok:>5}/{len(whole):<5} {secs:8.2f} "
              f"{secs / ours_secs:7.1f}x {rss_text(rss):>9}")
    print("\n'fragmented', 'contiguous': JPEGs written back byte for byte; 'vs ours': time divided by ours.")


if __name__ == "__main__":
    main()
