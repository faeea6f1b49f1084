#!/usr/bin/env bash
# Builds a FAT32 image holding what people's cards and sticks hold after a
# loss, for bench_fat: a camera folder of 8.3 names with every third photo
# deleted (mdel), a folder whose own entry alone was deleted the way some
# older systems do it (its files' entries left live; patched byte for byte),
# and a deleted folder larger than one cluster (mdeltree).
#
#   make_fidelity_image.sh OUT.img
#
# Needs mkfs.fat, mtools and python3 only (no root, no loop device).
set -Eeuo pipefail
OUT=$1
export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
for t in mkfs.fat mcopy mmd mdel mdeltree python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/fat-fidelity.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

truncate -s 128M "$WORK/img"
mkfs.fat -F 32 -s 1 -n FIDELITY "$WORK/img" >/dev/null

python3 - "$WORK/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(13)
def put(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(size)))
for i in range(1, 301):
    put(os.path.join(root, "DCIM", "100CANON", "IMG_%04d.JPG" % i), rng.randint(20000, 90000))
for i in range(1, 41):
    put(os.path.join(root, "OLDTRIP", "Trip photo %02d.jpg" % i), rng.randint(5000, 40000))
for i in range(1, 101):
    put(os.path.join(root, "BIGDEL", "REPORT%02d.TXT" % i), rng.randint(500, 8000))
PY
mmd -i "$WORK/img" ::DCIM
mcopy -s -Q -i "$WORK/img" "$WORK/src/DCIM/100CANON" ::DCIM
mcopy -s -Q -i "$WORK/img" "$WORK/src/OLDTRIP" "$WORK/src/BIGDEL" ::
victims=()
for i in $(seq 1 3 300); do victims+=("::DCIM/100CANON/$(printf 'IMG_%04d.JPG' "$i")"); done
mdel -i "$WORK/img" "${victims[@]}"
mdeltree -i "$WORK/img" ::BIGDEL

# OLDTRIP: its own entry marked 0xE5 and its chain freed, nothing else.
python3 - "$WORK/img" <<'PY'
import struct, sys
path = sys.argv[1]
b = bytearray(open(path, "rb").read())
bps, spc = struct.unpack_from("<H", b, 11)[0], b[13]
reserved, fats = struct.unpack_from("<H", b, 14)[0], b[16]
fat_sectors, root = struct.unpack_from("<I", b, 36)[0], struct.unpack_from("<I", b, 44)[0]
fat = reserved * bps
data = (reserved + fats * fat_sectors) * bps
def next_cluster(c): return struct.unpack_from("<I", b, fat + 4 * c)[0] & 0x0FFFFFFF
def chain(c):
    out = []
    while 2 <= c < 0x0FFFFFF7 and len(out) < 1 << 20:
        out.append(c)
        c = next_cluster(c)
    return out
for c in chain(root):
    base = data + (c - 2) * spc * bps
    for at in range(base, base + spc * bps, 32):
        if b[at:at + 11] == b"OLDTRIP    ":
            first = struct.unpack_from("<H", b, at + 20)[0] << 16 | struct.unpack_from("<H", b, at + 26)[0]
            b[at] = 0xE5
            for d in chain(first):
                for k in range(fats):
                    struct.pack_into("<I", b, fat + k * fat_sectors * bps + 4 * d, 0)
            open(path, "wb").write(b)
            sys.exit(0)
sys.exit("OLDTRIP not found")
PY
mv "$WORK/img" "$OUT"
echo "$OUT: 100 deleted camera photos, 40 files in a folder deleted entry-only, 100 in a deleted folder"
