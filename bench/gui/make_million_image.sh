#!/usr/bin/env bash
# Builds a FAT32 image with a million deleted files for bench_gui_stall's
# scan end: FOLDERS live folders under the top, each holding PER deleted
# 8.3 entries (1-4 KiB each, their clusters free). mkfs.fat makes the
# volume; the entries are written straight into the folders' clusters,
# since copying and deleting a million files through mtools takes hours.
#
#   make_million_image.sh OUT.img [FOLDERS] [PER]     (1000 x 1000 by default)
#
# Needs mkfs.fat and python3 (no root). A 33 GiB sparse file (every file
# has a cluster of its own: the scanner knows a file by its first cluster);
# seconds.
set -Eeuo pipefail
OUT=$1
FOLDERS=${2:-1000}
PER=${3:-1000}
export PATH="$PATH:/usr/sbin:/sbin"
for t in mkfs.fat python3; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
(( FOLDERS <= 1000 && PER <= 1000 )) || { echo "at most 1000 folders of 1000" >&2; exit 2; }
rm -f "$OUT"
truncate -s 33G "$OUT"
# 32 KiB clusters: a folder of 1000 entries is one cluster, the top as well.
mkfs.fat -F 32 -s 64 -S 512 -n MILLION "$OUT" >/dev/null

python3 - "$OUT" "$FOLDERS" "$PER" <<'PY'
import random, struct, sys
path, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(11)
with open(path, "r+b") as f:
    boot = f.read(512)
    bps, spc = struct.unpack_from("<HB", boot, 11)
    reserved, nfats = struct.unpack_from("<HB", boot, 14)
    fat_size, root = struct.unpack_from("<I", boot, 36)[0], struct.unpack_from("<I", boot, 44)[0]
    cluster_bytes = bps * spc
    data = (reserved + nfats * fat_size) * bps
    def at(cluster):
        return data + (cluster - 2) * cluster_bytes
    date, time = ((2024 - 1980) << 9) | (7 << 5) | 14, (12 << 11) | (30 << 5)
    def entry(name11, attr, cluster, size):
        e = bytearray(32)
        e[0:11] = name11
        e[11] = attr
        struct.pack_into("<HHHHHHHI", e, 14, time, date, date, cluster >> 16, time, date, cluster & 0xFFFF, size)
        return bytes(e)
    # The top keeps mkfs.fat's label entry in its first slot.
    f.seek(at(root) + 32)
    first_file_cluster = root + folders + 1
    for i in range(folders):
        f.write(entry(b"F%07d   " % i, 0x10, root + 1 + i, 0))
    for i in range(folders):
        slots = [entry(b".          ", 0x10, root + 1 + i, 0), entry(b"..         ", 0x10, 0, 0)]
        for j in range(per):
            # A deleted entry: its first byte 0xE5, its clusters free.
            name = b"\xe5MG%05d" % ((i * 1000 + j) % 100000) + b"JPG"
            slots.append(entry(name, 0x20, first_file_cluster + i * per + j, rng.randint(1024, 4096)))
        f.seek(at(root + 1 + i))
        f.write(b"".join(slots))
    # The folders' clusters end their chains, in every copy of the FAT.
    for copy in range(nfats):
        base = (reserved + copy * fat_size) * bps
        for i in range(folders):
            f.seek(base + (root + 1 + i) * 4)
            f.write(struct.pack("<I", 0x0FFFFFFF))
PY
echo "$OUT: $((FOLDERS * PER)) deleted files in $FOLDERS folders"
