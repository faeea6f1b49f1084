#!/usr/bin/env python3
"""Lost NTFS files: a data disk quick-formatted by mistake (mkntfs -Q over it,
three new files after) and the same disk with the first 64 MFT records
zeroed, built by tests/ntfs/make_ntfs_formatted.sh (needs mkntfs, ntfs-3g
and FUSE). Ours (recover --all, the search on by default) against tsk_recover -e and PhotoRec
where installed: files back byte-exact, and with their folder path; and the
harvest's time against cat of the image. SIZE (default 512M) sizes the
disk, so that the harvest's read of it weighs as on a real one.

    python3 bench/ntfs/bench_harvest.py build/release/bin/quarvel-cli [WORKDIR [SIZE]]
"""
import hashlib, os, shutil, subprocess, sys, tempfile, time

cli = os.path.abspath(sys.argv[1])
work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="bench-harvest-")
size = sys.argv[3] if len(sys.argv) > 3 else "512M"
here = os.path.dirname(os.path.abspath(__file__))
subprocess.run(["bash", os.path.join(here, "../../tests/ntfs/make_ntfs_formatted.sh"), work, size], check=True)
manifest = [l.rstrip("\n").split("\t") for l in open(os.path.join(work, "ntfs_formatted.manifest"))]
old = [(p, sha) for kind, p, _, sha in manifest if kind == "old"]


def score(out):
    found = {}
    for root, _, files in os.walk(out):
        for f in files:
            p = os.path.join(root, f)
            found.setdefault(hashlib.sha256(open(p, "rb").read()).hexdigest(), []).append("/" + os.path.relpath(p, out))
    exact = sum(1 for _, sha in old if sha in found)
    placed = sum(1 for p, sha in old if any(q.endswith(p) for q in found.get(sha, [])))
    return exact, placed


def timed(cmd):
    t = time.monotonic()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - t


for name in ("ntfs_formatted", "ntfs_formatted_zeroed"):
    image = os.path.join(work, name + ".img")
    rows = []
    out = os.path.join(work, name + "-ours")
    shutil.rmtree(out, ignore_errors=True)
    t_ours = timed([cli, "recover", image, "--to", out, "--all"])
    rows.append(("ours", *score(out), t_ours))
    t_scan = timed([cli, "scan", image])
    if shutil.which("tsk_recover"):
        out = os.path.join(work, name + "-tsk")
        shutil.rmtree(out, ignore_errors=True)
        rows.append(("tsk_recover -e", *score(out), timed(["tsk_recover", "-e", image, out])))
    if shutil.which("photorec"):
        out = os.path.join(work, name + "-photorec")
        shutil.rmtree(out, ignore_errors=True)
        rows.append(("photorec", *score(out), timed(["photorec", "/log", "/d", out + "/r", "/cmd", image, "search"])))
    t_cat = timed(["sh", "-c", f"cat '{image}' >/dev/null"])
    print(f"{name}: {len(old)} files before the damage")
    for tool, exact, placed, t in rows:
        print(f"  {tool:16} {exact:4} byte-exact  {placed:4} in their folders  {t:7.2f} s")
    print(f"  scan with the harvest {t_scan:.2f} s, cat of the image {t_cat:.2f} s (ratio {t_scan / max(t_cat, 1e-3):.1f})")
