#!/usr/bin/env python3
"""Memory-card benchmark: how fast the deep scan reads an image that is
mostly camera-sized JPEGs, with 1, 2 and all threads, against a plain read
(cat) and PhotoRec, in one run.

    bench_card.py QUARVEL_CLI [--image PATH] [--size-mib N] [--files N]
                  [--threads 1,2,0] [--repeat N] [--no-photorec] [--keep]

The image (default 1024 MiB) is 90 % JPEG by bytes: pictures of 8 to 12
megapixels made by ImageMagick (plasma with a camera's grain) and encoded by
cjpeg at qualities from 75 to 97, a quarter of them progressive and a quarter
with restart markers, laid at 4 KiB cluster boundaries over random bytes; one
in twenty is cut in two with 1 to 40 clusters of random bytes between its
pieces. A few source pictures are encoded many ways, so building it takes
minutes, not hours; it is cached next to its manifest.

For each thread count the scan runs with a Quarvel.conf beside a copy of the
program that says "threads N" (0: as many as the machine has); each time is
the best of --repeat runs, the image in the page cache. The table shows the
wall-clock seconds, CPU seconds, MiB/s and the speed as a share of cat's.
Then one `recover --deep --all` is compared with cat + cp of the same bytes
and with PhotoRec. Not a test: it never fails on numbers.
"""
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

from carve_bench_common import (CLUSTER, arguments, cached_image, hashes_in, made_in_temporary_folder, output_folder,
                                timed, warm_cache)


def make_jpegs(work, count, rng):
    convert, cjpeg = shutil.which("convert"), shutil.which("cjpeg")
    if not convert or not cjpeg:
        sys.exit("ImageMagick's convert and cjpeg are needed (apt-get install imagemagick libjpeg-turbo-progs)")
    sources = []
    for k in range(6):
        w, h = rng.choice([(3264, 2448), (4000, 3000), (3648, 2736), (4032, 3024)])
        ppm = os.path.join(work, f"s{k}.ppm")
        subprocess.run([convert, "-seed", str(rng.randrange(1 << 30)), "-size", f"{w}x{h}", "plasma:",
                        "-attenuate", "0.4", "+noise", "Gaussian", ppm], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sources.append(ppm)
    out = []
    for i in range(count):
        args = [cjpeg, "-quality", str(rng.randrange(75, 98))]
        r = rng.random()
        if r < 0.25:
            args.append("-progressive")
        elif r < 0.5:
            args += ["-restart", str(rng.choice([1, 2, 4]))]
        if rng.random() < 0.5:
            args += ["-sample", "2x2"]
        data = subprocess.run(args + [rng.choice(sources)], check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout
        out.append(data)
    return out


def build_image(path, size_mib, count, seed=24):
    rng = random.Random(seed)
    size = size_mib << 20
    jpegs = made_in_temporary_folder("card-bench-", lambda work: make_jpegs(work, count, rng))
    manifest = []
    image = open(path, "wb")
    written = 0

    def put(data):
        nonlocal written
        image.write(data)
        written += len(data)

    def pad_to_cluster():
        put(bytes((CLUSTER - written % CLUSTER) % CLUSTER))

    target = size * 0.9
    jpeg_bytes = 0
    i = 0
    while jpeg_bytes < target:
        data = jpegs[i % len(jpegs)]
        i += 1
        if written + len(data) + 64 * CLUSTER > size:
            break
        at = written
        clusters = (len(data) + CLUSTER - 1) // CLUSTER
        if rng.random() < 0.05 and clusters >= 2:
            cut = rng.randrange(1, clusters) * CLUSTER
            put(data[:cut])
            put(rng.randbytes(rng.randrange(1, 41) * CLUSTER))
            put(data[cut:])
            manifest.append({"offset": at, "size": len(data), "fragmented": True,
                             "sha256": hashlib.sha256(data).hexdigest()})
        else:
            put(data)
            manifest.append({"offset": at, "size": len(data), "fragmented": False,
                             "sha256": hashlib.sha256(data).hexdigest()})
        pad_to_cluster()
        jpeg_bytes += len(data)
        if rng.random() < 0.3:
            put(rng.randbytes(rng.randrange(1, 8) * CLUSTER))
    while written < size:
        put(rng.randbytes(min(1 << 22, size - written)))
    image.close()
    with open(path + ".json", "w") as f:
        json.dump(manifest, f)


def best_of(repeat, cmd):
    runs = [timed(cmd) for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def program_with_threads(cli, folder, threads):
    """A copy of the program with a Quarvel.conf beside it that adds a
    threads line to the shipped one."""
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, "quarvel-cli")
    shutil.copy2(cli, copy)
    shipped = os.path.join(os.path.dirname(os.path.abspath(cli)), "Quarvel.conf")
    text = open(shipped).read() if os.path.exists(shipped) else ""
    with open(os.path.join(folder, "Quarvel.conf"), "w") as f:
        f.write(text + f"\nthreads {threads}\n")
    return copy


def main():
    def extra(ap):
        ap.add_argument("--threads", default="1,2,0", help="thread counts to run, 0: all the machine has")
        ap.add_argument("--repeat", type=int, default=3)
        ap.add_argument("--no-photorec", action="store_true")

    args = arguments("quarvel-card.img", 1024, 160, extra)
    image, manifest = cached_image(args.image, f"{args.size_mib} MiB card, {args.files} encodings",
                                   lambda path: build_image(path, args.size_mib, args.files))
    size = os.path.getsize(image)
    wanted = {m["sha256"] for m in manifest}
    jpeg_bytes = sum(m["size"] for m in manifest)
    print(f"image: {image}, {size >> 20} MiB, {len(manifest)} JPEGs ({jpeg_bytes * 100 // size} % of the bytes), "
          f"{sum(m['fragmented'] for m in manifest)} in two pieces; {os.cpu_count()} cores")
    rows = []
    with output_folder("card-bench-out-", args.keep) as out:
        warm_cache(image)
        cat_secs, cat_cpu = best_of(args.repeat, ["sh", "-c", f"cat '{image}' > /dev/null"])
        rows.append(("cat", cat_secs, cat_cpu))
        for t in [int(x) for x in args.threads.split(",")]:
            cli = program_with_threads(args.cli, os.path.join(out, f"t{t}"), t)
            secs, cpu = best_of(args.repeat, [cli, "scan", image, "--deep"])
            rows.append((f"quarvel scan --deep, threads {t if t else 'all'}", secs, cpu))
        ours = os.path.join(out, "ours")
        secs, cpu, _ = timed([args.cli, "recover", image, "--deep", "--all", "--to", ours])
        got = hashes_in(ours, (".log", ".sav"))
        rec_bytes = sum(os.path.getsize(os.path.join(r, n)) for r, _, ns in os.walk(ours) for n in ns)
        rows.append((f"quarvel recover --deep --all ({len(wanted & set(got))}/{len(wanted)} equal)", secs, cpu))
        # What reading the image and writing the same bytes costs: cat, then
        # a cp of one file of the recovered size.
        blob = os.path.join(out, "blob")
        subprocess.run(["head", "-c", str(rec_bytes), image], stdout=open(blob, "wb"))
        warm_cache(blob)
        c1 = timed(["sh", "-c", f"cat '{image}' > /dev/null"])
        c2 = timed(["cp", blob, os.path.join(out, "blob-copy")])
        rows.append((f"cat + cp of {rec_bytes >> 20} MiB", c1[0] + c2[0], c1[1] + c2[1]))
        if shutil.which("photorec") and not args.no_photorec:
            d = os.path.join(out, "photorec")
            os.makedirs(d)
            secs, cpu, _ = timed(["photorec", "/log", "/d", d + "/rec", "/cmd", image,
                                  "partition_none,fileopt,everything,disable,jpg,enable,search"], cwd=d)
            got = hashes_in(d, (".log",))
            rows.append((f"photorec ({len(wanted & set(got))}/{len(wanted)} equal)", secs, cpu))
    print(f"\n{'program':48} {'seconds':>8} {'cpu s':>7} {'MiB/s':>7} {'of cat':>7}")
    for name, secs, cpu in rows:
        print(f"{name:48} {secs:8.2f} {cpu:7.2f} {size / secs / (1 << 20):7.0f} {cat_secs / secs * 100:6.0f}%")
    print("\nSeconds are the best of the runs; 'of cat': cat's time divided by the program's.")


if __name__ == "__main__":
    main()
