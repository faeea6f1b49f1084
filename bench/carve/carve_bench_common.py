"""What the deep-scan benchmarks share: the cluster size files are laid at,
the command line every one takes, the cached image, timing a program, and
hashing what a program wrote."""
import argparse
import contextlib
import hashlib
import json
import os
import resource
import shutil
import subprocess
import tempfile
import time

CLUSTER = 4096


def arguments(default_image, size_mib, files, extra=None):
    """The command line: QUARVEL_CLI, --image, --size-mib, --files, --keep,
    and what extra(parser) adds."""
    ap = argparse.ArgumentParser()
    ap.add_argument("cli")
    ap.add_argument("--image", default=os.path.join(tempfile.gettempdir(), default_image))
    ap.add_argument("--size-mib", type=int, default=size_mib)
    ap.add_argument("--files", type=int, default=files)
    if extra:
        extra(ap)
    ap.add_argument("--keep", action="store_true")
    return ap.parse_args()


def cached_image(path, what, build):
    """The image at path (absolute) and its manifest, built by build(image)
    when either is missing."""
    image = os.path.abspath(path)
    if not (os.path.exists(image) and os.path.exists(image + ".json")):
        print(f"building {image} ({what}) ...", flush=True)
        build(image)
    with open(image + ".json") as f:
        return image, json.load(f)


def made_in_temporary_folder(prefix, make):
    """What make(folder) returns, the folder it worked in removed afterwards."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        return make(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def warm_cache(image):
    """Reads the image once so every program starts with it in the page cache."""
    subprocess.run(["dd", f"if={image}", "of=/dev/null", "bs=4M"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def output_folder(prefix, keep):
    """A temporary folder for what the programs write; removed afterwards
    unless keep."""
    out = tempfile.mkdtemp(prefix=prefix)
    try:
        yield out
    finally:
        if not keep:
            shutil.rmtree(out, ignore_errors=True)
        else:
            print(f"outputs kept in {out}")


def hashes_in(folder, skip_endings=(".log",)):
    """SHA-256 of every file a program wrote below folder, leaving out its
    reports and logs."""
    out = []
    for root, _, names in os.walk(folder):
        for n in names:
            if n in ("report.xml", "audit.txt") or n.endswith(skip_endings):
                continue
            with open(os.path.join(root, n), "rb") as f:
                out.append(hashlib.sha256(f.read()).hexdigest())
    return out


def timed(cmd, cwd=None, rss_file=None):
    """Wall-clock and CPU seconds (user + system) of one run, and with
    rss_file its peak RSS in KiB (None when /usr/bin/time wrote none). On a
    shared machine the CPU time is the steadier of the two."""
    if rss_file:
        cmd = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    rss = None
    if rss_file:
        try:
            with open(rss_file) as f:
                rss = int(f.read().split()[-1])
        except (OSError, ValueError, IndexError):
            rss = None
    return seconds, cpu, rss


def rss_text(rss):
    return "-" if rss is None else f"{rss / 1024:.0f} MiB"
