#!/usr/bin/env bash
# Builds the two FAT cards that only a search of the whole data area gives
# back with their names, for bench_lost.py and the tests:
#
#   formatted   a camera card quick-formatted over its photos: DCIM/100NIKON
#               written, then mkfs.fat again with the same layout (boot
#               sector, FATs and root new; folders and photos still there)
#   lostsecond  a camera folder that grew into a second cluster allocated
#               between photos, far from its first, then deleted (mdeltree)
#
#   make_lost_images.sh OUTDIR [PHOTOS] [SIZE_MIB]
#
# Writes OUTDIR/formatted.img, OUTDIR/lostsecond.img and, for each, a
# manifest (.txt: sha256, size and name of every photo written, one a line).
# Seeded: the same arguments give the same images. Needs mkfs.fat, mtools and
# python3 only (no root, no loop device).
set -Eeuo pipefail
OUT=$1
PHOTOS=${2:-413}
SIZE=${3:-256}
export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
for t in mkfs.fat mcopy mmd mdeltree python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
# Enough clusters for FAT32 at any size from 64 MiB.
SPC=1
[ "$SIZE" -ge 256 ] && SPC=4
# Photos that fit the folder's first cluster beside "." and "..".
FIRST=$(( SPC * 512 / 32 - 2 ))
mkdir -p "$OUT"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fat-lost.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Photos: a JPEG start, then seeded bytes; sizes as a camera's, scaled to the
# card so that they fill about half of it.
python3 - "$WORK" "$PHOTOS" "$SIZE" <<'PY'
import hashlib, os, random, sys
work, photos, size_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(28)
mean = max(4096, (size_mib << 20) // 2 // max(1, photos))
for kind in ("nikon", "canon"):
    folder = os.path.join(work, kind)
    os.makedirs(folder)
    with open(os.path.join(work, kind + ".txt"), "w") as manifest:
        for i in range(1, photos + 1):
            name = ("DSC_%04d.JPG" if kind == "nikon" else "IMG_%04d.JPG") % i
            n = rng.randint(mean // 2, mean * 3 // 2)
            data = b"\xff\xd8\xff\xe1" + rng.randbytes(n - 6) + b"\xff\xd9"
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            manifest.write("%s %d %s\n" % (hashlib.sha256(data).hexdigest(), n, name))
PY

# The formatted card: the same mkfs.fat twice, as a camera's Format does.
truncate -s "${SIZE}M" "$WORK/formatted.img"
mkfs.fat -F 32 -s $SPC -i 28282828 -n NIKON "$WORK/formatted.img" >/dev/null
mmd -i "$WORK/formatted.img" ::DCIM ::DCIM/100NIKON
(cd "$WORK/nikon" && mcopy -Q -i "$WORK/formatted.img" ./*.JPG ::DCIM/100NIKON)
mkfs.fat -F 32 -s $SPC -i 28282829 -n NIKON "$WORK/formatted.img" >/dev/null

# The lost second cluster: the folder's first cluster fills, and the cluster
# that continues it is taken after a big video written meanwhile elsewhere.
truncate -s "${SIZE}M" "$WORK/lostsecond.img"
mkfs.fat -F 32 -s $SPC -i 28282830 -n CANON "$WORK/lostsecond.img" >/dev/null
mmd -i "$WORK/lostsecond.img" ::DCIM ::DCIM/100CANON ::MOVIES
cd "$WORK/canon"
first=$(ls | head -n "$FIRST")
rest=$(ls | tail -n +"$(( FIRST + 1 ))")
mcopy -Q -i "$WORK/lostsecond.img" $first ::DCIM/100CANON
head -c $(( SIZE * 1024 * 1024 / 8 )) /dev/zero | tr '\0' 'v' > "$WORK/clip.mov"
mcopy -Q -i "$WORK/lostsecond.img" "$WORK/clip.mov" ::MOVIES/CLIP.MOV
[ -z "$rest" ] || mcopy -Q -i "$WORK/lostsecond.img" $rest ::DCIM/100CANON
cd - >/dev/null
mdeltree -i "$WORK/lostsecond.img" ::DCIM/100CANON

mv "$WORK/formatted.img" "$WORK/lostsecond.img" "$OUT/"
mv "$WORK/nikon.txt" "$OUT/formatted.txt"
mv "$WORK/canon.txt" "$OUT/lostsecond.txt"
echo "$OUT: formatted.img ($PHOTOS photos under a new format), lostsecond.img ($PHOTOS photos in a deleted folder)"
