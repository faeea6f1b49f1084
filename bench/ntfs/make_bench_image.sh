#!/usr/bin/env bash
# Builds a large NTFS image for bench_ntfs: FILES files in folders of 200
# (60% small enough to live inside their MFT record, the rest 4-24 KiB), then
# deletes 30% of them, resident and non-resident alike.
#
#   make_bench_image.sh OUT.img [FILES]      (FILES defaults to 100000)
#
# Needs mkntfs, ntfs-3g and FUSE (root). Takes a few minutes for 100,000 files.
set -Eeuo pipefail
OUT=$1
FILES=${2:-100000}
export PATH="$PATH:/usr/sbin:/sbin"
for t in mkntfs ntfs-3g fusermount mountpoint python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ntfs-bench.XXXXXX")
MNT="$WORK/mnt"
mkdir "$MNT"
PID=""
cleanup() {
    if [[ -n $PID ]]; then fusermount -u "$MNT" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

# Room for the data plus an MFT of a kilobyte per file, and slack.
SIZE_MB=$(( FILES * 10 / 1000 + FILES / 700 + 256 ))
truncate -s "${SIZE_MB}M" "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L bench "$WORK/img" >/dev/null 2>&1
ntfs-3g -o no_detach,big_writes "$WORK/img" "$MNT" 2>"$WORK/err" &
PID=$!
for _ in $(seq 1 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
mountpoint -q "$MNT" || { cat "$WORK/err" >&2; exit 1; }

python3 - "$MNT" "$FILES" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(1)
block = bytes(rng.getrandbits(8) for _ in range(1 << 16))
for i in range(files):
    folder = os.path.join(root, "folder %04d" % (i // 200))
    if i % 200 == 0:
        os.mkdir(folder)
    size = rng.randint(100, 600) if i % 10 < 6 else rng.randint(4096, 24576)
    start = rng.randint(0, len(block) - size)
    with open(os.path.join(folder, "file %06d.bin" % i), "wb") as f:
        f.write(block[start:start + size])
for i in range(files):
    if i % 10 in (1, 4, 8):
        os.unlink(os.path.join(root, "folder %04d" % (i // 200), "file %06d.bin" % i))
PY
sync
fusermount -u "$MNT"
wait "$PID"
PID=""
mv "$WORK/img" "$OUT"
echo "$OUT: $FILES files, $(( FILES * 3 / 10 )) deleted" >&2
