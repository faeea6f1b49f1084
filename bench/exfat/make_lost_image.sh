#!/usr/bin/env bash
# Builds an exFAT card whose camera folder was lost with its parent, for
# bench/fat/bench_lost.py: DCIM/100MSDCF of PHOTOS photos written through
# exfat-fuse (its directory grows past one cluster between photo
# data), 30 of them deleted, then the whole DCIM deleted and a fresh one made,
# whose entry takes the old one's place in the root.
#
#   make_lost_image.sh OUTDIR [PHOTOS] [SIZE_MIB] [CLUSTER]
#
# CLUSTER (default 32K) is mkfs.exfat's -c; a small one makes a small card's
# folder grow past its first cluster with few photos.
#
# Writes OUTDIR/exfat.img and OUTDIR/exfat.txt (sha256, size and name of every
# photo DCIM held when it was deleted). Seeded. Needs root, a loop device,
# FUSE, mkfs.exfat (exfatprogs) and exfat-fuse.
set -Eeuo pipefail
OUT=$1
PHOTOS=${2:-420}
SIZE=${3:-256}
CLUSTER=${4:-32K}
export LC_ALL=C.UTF-8
for t in mkfs.exfat mount.exfat-fuse losetup python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (loop device and FUSE mount)" >&2; exit 77; }
mkdir -p "$OUT"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/exfat-lost.XXXXXX")
LOOP=""
cleanup() {
    mountpoint -q "$WORK/mnt" 2>/dev/null && umount "$WORK/mnt" || true
    [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/mnt"

truncate -s "${SIZE}M" "$WORK/exfat.img"
mkfs.exfat -c "$CLUSTER" -L CAMERA "$WORK/exfat.img" >/dev/null
python3 - "$WORK/src" "$PHOTOS" "$SIZE" <<'PY'
import os, random, sys
root, photos, size_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(2828)
mean = max(8192, (size_mib << 20) // 3 // max(1, photos))
os.makedirs(root)
for i in range(1, photos + 1):
    n = rng.randint(mean // 2, mean * 3 // 2)
    with open(os.path.join(root, "DSC%05d.JPG" % i), "wb") as f:
        f.write(b"\xff\xd8\xff\xe1" + rng.randbytes(n - 6) + b"\xff\xd9")
PY
LOOP=$(losetup -f --show "$WORK/exfat.img")
mount.exfat-fuse "$LOOP" "$WORK/mnt" >/dev/null 2>&1
mkdir -p "$WORK/mnt/DCIM/100MSDCF"
for f in "$WORK/src"/*.JPG; do cp "$f" "$WORK/mnt/DCIM/100MSDCF/"; done
# The camera's own deletions, every 14th photo.
for i in $(seq 7 14 "$PHOTOS"); do rm -f "$WORK/mnt/DCIM/100MSDCF/$(printf 'DSC%05d.JPG' "$i")"; done
(cd "$WORK/mnt/DCIM/100MSDCF" && sha256sum -- *.JPG | while read -r sum name; do
    echo "$sum $(stat -c %s "$name") $name"; done) > "$WORK/exfat.txt"
sync
umount "$WORK/mnt"
mount.exfat-fuse "$LOOP" "$WORK/mnt" >/dev/null 2>&1
rm -rf "$WORK/mnt/DCIM"
mkdir "$WORK/mnt/DCIM"
umount "$WORK/mnt"
losetup -d "$LOOP"
LOOP=""
mv "$WORK/exfat.img" "$WORK/exfat.txt" "$OUT/"
echo "$OUT: exfat.img ($(wc -l < "$OUT/exfat.txt") photos in a lost DCIM/100MSDCF)"
