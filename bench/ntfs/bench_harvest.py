#!/usr/bin/env python3
"""Lost files with their names, scored against the files written.

NTFS: a data disk quick-formatted by mistake (mkntfs -Q over it, three new
files after) and the same disk with the first 64 MFT records zeroed, built by
tests/ntfs/make_ntfs_formatted.sh (needs mkntfs, ntfs-3g and FUSE) with 60
photos in "Photos/2023 Italien", 40 documents and 12 tracks. Ours (recover
--all, the search on by default) against tsk_recover -e and PhotoRec where
installed: files back byte-exact, and with their folder path, as a share of
every file written before the damage and of those some tool brought back
byte-exact (which the format and the new files spared); and the scan's time, with and without the
search, against cat of the image.

FAT32: a camera card with JPEGs in DCIM/100CANON and DCIM/101CANON,
quick-formatted with mkfs.fat (the same layout) and then used for three new
shots (needs mkfs.fat, mtools, ImageMagick). The deep scan (recover --deep
--all) against PhotoRec: photos carved byte-exact, and how many of those got
their own name (from the entries the file system scan found) and their
folder.

SIZE (default 512M) sizes the disks, so that the read of the volume weighs
as on a real one.

    python3 bench/ntfs/bench_harvest.py build/release/bin/quarvel-cli [WORKDIR [SIZE]]
"""
import hashlib, os, random, shutil, subprocess, sys, tempfile, time

cli = os.path.abspath(sys.argv[1])
work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="bench-harvest-")
size = sys.argv[3] if len(sys.argv) > 3 else "512M"
here = os.path.dirname(os.path.abspath(__file__))
quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def written(out):
    """sha256 -> paths ("/a/b") of the files under out."""
    found = {}
    for root, _, files in os.walk(out):
        for f in files:
            p = os.path.join(root, f)
            with open(p, "rb") as fh:
                found.setdefault(hashlib.sha256(fh.read()).hexdigest(), []).append("/" + os.path.relpath(p, out))
    return found


def score(out, files, seen=None):
    """(byte-exact, byte-exact in its folder) of files [(path, sha)]; the
    shas brought back go into seen."""
    found = written(out)
    if seen is not None:
        seen.update(sha for _, sha in files if sha in found)
    exact = sum(1 for _, sha in files if sha in found)
    placed = sum(1 for p, sha in files if any(q.endswith(p) for q in found.get(sha, [])))
    return exact, placed


def timed(cmd, cwd=None):
    t = time.monotonic()
    subprocess.run(cmd, cwd=cwd, **quiet)
    return time.monotonic() - t


def ntfs_disks():
    env = dict(os.environ, PHOTOS="60", DOCS="40", TRACKS="12")
    subprocess.run(["bash", os.path.join(here, "../../tests/ntfs/make_ntfs_formatted.sh"), work, size], check=True,
                   env=env)
    manifest = [l.rstrip("\n").split("\t") for l in open(os.path.join(work, "ntfs_formatted.manifest"))]
    old = [(p, sha) for kind, p, _, sha in manifest if kind == "old"]
    for name in ("ntfs_formatted", "ntfs_formatted_zeroed"):
        image = os.path.join(work, name + ".img")
        rows = []
        # What some tool brought back byte-exact is still on the disk: a
        # lower bound of the files the damage spared, the share that counts.
        seen = set()
        out = os.path.join(work, name + "-ours")
        shutil.rmtree(out, ignore_errors=True)
        t_ours = timed([cli, "recover", image, "--to", out, "--all"])
        ours = score(out, old, seen)
        rows.append(("ours", *ours, t_ours))
        t_scan = min(timed([cli, "scan", image]) for _ in range(3))
        t_plain = min(timed([cli, "scan", image, "--no-lost"]) for _ in range(3))
        if shutil.which("tsk_recover"):
            out = os.path.join(work, name + "-tsk")
            shutil.rmtree(out, ignore_errors=True)
            rows.append(("tsk_recover -e", *score(out, old, seen), timed(["tsk_recover", "-e", image, out])))
        if shutil.which("photorec"):
            out = os.path.join(work, name + "-photorec")
            shutil.rmtree(out, ignore_errors=True)
            # PhotoRec writes nothing into a folder that is not there, and
            # its log into the folder it runs in.
            os.makedirs(out)
            rows.append(("photorec", *score(out, old, seen),
                         timed(["photorec", "/log", "/d", out + "/r", "/cmd", image, "search"], cwd=out)))
        t_cat = min(timed(["sh", "-c", f"cat '{image}' >/dev/null"]) for _ in range(3))
        print(f"{name}: {len(old)} files before the damage")
        for tool, exact, placed, t in rows:
            print(f"  {tool:16} {exact:4} byte-exact  {placed:4} in their folders  {t:7.2f} s")
        print(f"  ours: {100.0 * ours[1] / max(1, len(old)):.1f} % of the files written before the damage back "
              f"byte-exact in their folders")
        print(f"  ours: {100.0 * ours[1] / max(1, len(seen)):.1f} % of the {len(seen)} files some tool brought back "
              f"byte-exact (so still on the disk) back in their folders")
        # A folder's name comes back only where some record or index still
        # holds it.
        blob = open(image, "rb").read()
        nameable = [p for p, sha in old if sha in seen and
                    all(part.encode("utf-16-le") in blob for part in p.split("/")[1:-1])]
        print(f"  {len(nameable)} of those still have every folder name of their path on the disk "
              f"({100.0 * ours[1] / max(1, len(nameable)):.1f} % of those back in their folders)")
        print(f"  scan (search included) {t_scan:.2f} s, scan --no-lost {t_plain:.2f} s, cat of the image "
              f"{t_cat:.2f} s (scan / cat {t_scan / max(t_cat, 1e-3):.1f})")


def jpegs(folder, count, rng):
    """count distinct, whole JPEGs: a few pictures by ImageMagick, each copy
    told apart by a comment segment of its own length."""
    bases = []
    for i in range(4):
        p = os.path.join(folder, f"base{i}.jpg")
        subprocess.run(["convert", "-size", f"{900 + 100 * i}x{700 + 60 * i}", f"plasma:fractal", "-seed", str(i),
                        "-quality", str(85 + i), p], check=True, **quiet)
        bases.append(open(p, "rb").read())
    out = []
    for i in range(count):
        base = bases[i % len(bases)]
        note = (f"shot {i} " + "x" * rng.randint(0, 30000)).encode()[:65000]
        # A COM segment right after SOI.
        out.append(base[:2] + b"\xff\xfe" + (len(note) + 2).to_bytes(2, "big") + note + base[2:])
    return out


def fat_card():
    if not all(shutil.which(t) for t in ("mkfs.fat", "mcopy", "mmd", "convert")):
        print("FAT32 card: needs mkfs.fat, mtools and ImageMagick")
        return
    rng = random.Random(43)
    card = os.path.join(work, "fat_card")
    shutil.rmtree(card, ignore_errors=True)
    os.makedirs(card)
    image = os.path.join(card, "card.img")
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    photos = jpegs(card, 203, rng)
    old, new = photos[:200], photos[200:]
    with open(image, "wb") as f:
        f.truncate(int(size.rstrip("M")) << 20)
    # One-sector clusters: each folder grows past its first cluster into
    # clusters among the photos, which the new layout after the format
    # does not write over (its folders and shots take the first clusters).
    layout = ["-F", "32", "-s", "1", "-n", "CANON"]
    subprocess.run(["mkfs.fat", *layout, "-i", "43434343", image], check=True, **quiet)
    subprocess.run(["mmd", "-i", image, "::DCIM", "::DCIM/100CANON", "::DCIM/101CANON"], check=True, env=env)
    files = []
    for i, data in enumerate(old):
        folder = "100CANON" if i < 120 else "101CANON"
        name = f"IMG_{i + 1:04d}.JPG"
        local = os.path.join(card, name)
        open(local, "wb").write(data)
        subprocess.run(["mcopy", "-i", image, local, f"::DCIM/{folder}/{name}"], check=True, env=env)
        os.remove(local)
        files.append((f"/DCIM/{folder}/{name}", hashlib.sha256(data).hexdigest()))
    subprocess.run(["mkfs.fat", *layout, "-i", "43434344", image], check=True, **quiet)
    subprocess.run(["mmd", "-i", image, "::DCIM", "::DCIM/100CANON"], check=True, env=env)
    for i, data in enumerate(new):
        local = os.path.join(card, f"NEW_{i}.JPG")
        open(local, "wb").write(data)
        subprocess.run(["mcopy", "-i", image, local, f"::DCIM/100CANON/IMG_{300 + i}.JPG"], check=True, env=env)
    blob = open(image, "rb").read()
    alive = [(p, sha) for (p, sha), data in zip(files, old) if data in blob]
    rows = []
    out = os.path.join(card, "ours")
    t = timed([cli, "recover", image, "--deep", "--all", "--to", out])
    found = written(out)
    exact = [(p, sha) for p, sha in alive if sha in found]
    named = [(p, sha) for p, sha in exact if any(os.path.basename(q) == os.path.basename(p) for q in found[sha])]
    placed = [(p, sha) for p, sha in exact if any(q.endswith(p) for q in found[sha])]
    rows.append(("ours --deep", len(exact), len(named), len(placed), t))
    if shutil.which("photorec"):
        out = os.path.join(card, "photorec")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        t = timed(["photorec", "/log", "/d", out + "/r", "/cmd", image, "search"], cwd=out)
        found = written(out)
        exact = [(p, sha) for p, sha in alive if sha in found]
        named = [(p, sha) for p, sha in exact if any(os.path.basename(q) == os.path.basename(p) for q in found[sha])]
        rows.append(("photorec", len(exact), len(named), 0, t))
    print(f"fat_card: {len(old)} photos before the format, {len(alive)} of them still whole on the card")
    for tool, exact, named, placed, t in rows:
        print(f"  {tool:16} {exact:4} byte-exact  {named:4} with their names  {placed:4} in their folders  {t:7.2f} s")
    # A name can come back only where its directory entry is still on the
    # card: the new folders and shots take the first clusters of the old ones.
    entries = [(p, sha) for p, sha in alive if os.path.basename(p).replace(".", "").encode() in blob]
    print(f"  ours: {100.0 * rows[0][2] / max(1, len(alive)):.1f} % of the surviving photos named; "
          f"{len(entries)} of them still have their directory entry on the card "
          f"({100.0 * rows[0][2] / max(1, len(entries)):.1f} % of those named)")


ntfs_disks()
fat_card()
