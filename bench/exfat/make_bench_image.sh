#!/usr/bin/env bash
# Builds the exFAT image for bench_exfat: a 1 GiB volume made by mkfs.exfat
# with FILES files (1-64 KiB) in folders of 200, written through the
# exfat-fuse driver over a loop device, 30% of them then deleted through it.
# OUT.img.deleted lists each deleted file's path and SHA-256.
#
#   make_bench_image.sh OUT.img [FILES]      (FILES defaults to 12000)
#
# Needs root, a loop device, FUSE, mkfs.exfat (exfatprogs) and exfat-fuse.
set -Eeuo pipefail
OUT=$1
FILES=${2:-12000}
export LC_ALL=C.UTF-8
for t in mkfs.exfat mount.exfat-fuse losetup python3 sha256sum; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (loop device and FUSE mount)" >&2; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/exfat-bench.XXXXXX")
LOOP=""
cleanup() {
    mountpoint -q "$WORK/mnt" 2>/dev/null && umount "$WORK/mnt" || true
    [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

truncate -s 1G "$WORK/img"
mkfs.exfat -L BENCHEX "$WORK/img" >/dev/null
python3 - "$WORK/src" "$FILES" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
block = rng.randbytes(1 << 17)
for i in range(files):
    folder = os.path.join(root, "folder %03d" % (i // 200))
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(1024, 65536)
    start = rng.randint(0, (1 << 16) - 1)
    with open(os.path.join(folder, "bench file %05d.bin" % i), "wb") as f:
        f.write(block[start:start + size])
PY

mkdir "$WORK/mnt"
LOOP=$(losetup -f --show "$WORK/img")
mount.exfat-fuse "$LOOP" "$WORK/mnt" >/dev/null
cp -r "$WORK/src"/. "$WORK/mnt/"
# Delete 30%: files whose number modulo 10 is 0, 3 or 6.
: >"$WORK/deleted"
(cd "$WORK/src" && for f in */*; do
    n=$(basename "$f" .bin); n=${n##* }; n=$((10#$n))
    if (( n % 10 == 0 || n % 10 == 3 || n % 10 == 6 )); then
        printf '%s\t%s\n' "$f" "$(sha256sum <"$f" | cut -d' ' -f1)" >>"$WORK/deleted"
        rm "$WORK/mnt/$f"
    fi
done)
umount "$WORK/mnt"
losetup -d "$LOOP"
LOOP=""
mv "$WORK/img" "$OUT"
mv "$WORK/deleted" "$OUT.deleted"
echo "$OUT: $FILES files, $(wc -l <"$OUT.deleted") deleted"
