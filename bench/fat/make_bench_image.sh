#!/usr/bin/env bash
# Builds the FAT32 image for bench_fat: a 1 GiB superfloppy volume with FILES
# files (1-64 KiB) in folders of 200, 30% of them then deleted with mdel.
#
#   make_bench_image.sh OUT.img [FILES]      (FILES defaults to 10000)
#
# Needs mkfs.fat and mtools only (no root, no loop device).
set -Eeuo pipefail
OUT=$1
FILES=${2:-10000}
export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 LC_ALL=C.UTF-8
for t in mkfs.fat mcopy mdel python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fat-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

truncate -s 1G "$WORK/img"
mkfs.fat -F 32 -s 8 -n BENCHFAT "$WORK/img" >/dev/null

python3 - "$WORK/src" "$FILES" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
block = bytes(rng.getrandbits(8) for _ in range(1 << 16))
for i in range(files):
    folder = os.path.join(root, "folder %03d" % (i // 200))
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(1024, 65536)
    with open(os.path.join(folder, "bench file %05d.bin" % i), "wb") as f:
        f.write(block[:size])
PY

# Copy folder by folder (mtools slows down on one huge command line).
for dir in "$WORK/src"/*; do
    mcopy -s -Q -i "$WORK/img" "$dir" :: 
done
# Delete 30%: files whose number modulo 10 is 0, 3 or 6.
for dir in "$WORK/src"/*; do
    name=$(basename "$dir")
    victims=()
    for f in "$dir"/*; do
        n=$(basename "$f" .bin); n=${n##* }; n=$((10#$n))
        if (( n % 10 == 0 || n % 10 == 3 || n % 10 == 6 )); then
            victims+=("::/$name/$(basename "$f")")
        fi
    done
    mdel -i "$WORK/img" "${victims[@]}"
done
mv "$WORK/img" "$OUT"
echo "$OUT: $FILES files, $(( FILES * 3 / 10 )) deleted"
