#!/usr/bin/env bash
# Builds the exFAT test volumes with the real tools: mkfs.exfat (exfatprogs)
# and the exfat-fuse driver over a loop device (it mounts block devices only).
# Files are written and deleted through the driver; a copy of every file that
# is deleted is kept beside the image with its modification time.
#
#   make_exfat_volumes.sh OUTDIR
#
# OUTDIR/main.img       deleted files, a deleted folder tree, non-ASCII and
#                       long names, an empty file, a fragmented file beside a
#                       live one; written with the driver in UTC+05:30
# OUTDIR/fat_kept.img   two files written interleaved, both deleted, with the
#                       FAT put back as it was before the deletion (a driver
#                       that frees only the bitmap leaves it so)
# OUTDIR/sector4k.img   deleted files and a deleted folder on a volume with
#                       4096-byte sectors (made on a loop device that has them)
# OUTDIR/expected/...   the deleted files as they were, by path
# OUTDIR/manifest.tsv   kind, image, path, size, mtime (seconds since 1970)
#
# Exits 77 with a line starting "skip:" when a tool, root, FUSE or a loop
# device is missing. A folder this same script finished (its stamp) is kept;
# parallel callers wait for one build.
set -euo pipefail

out=${1:?usage: make_exfat_volumes.sh OUTDIR}
skip() { echo "skip: $*"; exit 77; }

for tool in mkfs.exfat mount.exfat-fuse losetup python3; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ "$(id -u)" -eq 0 ] || skip "building exFAT volumes needs root (loop device and FUSE mount)"
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
[ -e /dev/loop-control ] || skip "no loop devices on this machine"

out=$(mkdir -p "$(dirname "$out")" && cd "$(dirname "$out")" && pwd)/$(basename "$out")
hash=$(sha256sum <"$0" | cut -c1-64)
built() { [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$hash" ]; }
built && exit 0
exec 9>"$out.lock"
flock -w 900 9 || { echo "timed out waiting for $out.lock"; exit 1; }
built && exit 0
rm -rf "$out"
mkdir -p "$out/expected"
work=$(mktemp -d)
loop=""
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt" || true
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mnt"

attach() { loop=$(losetup -f --show "$1") || skip "cannot attach a loop device"; }
mount_it() { TZ=Asia/Kolkata mount.exfat-fuse "$loop" "$work/mnt" >/dev/null 2>&1 || skip "exfat-fuse cannot mount here"; }
unmount_it() { umount "$work/mnt"; losetup -d "$loop"; loop=""; }
manifest() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$out/manifest.tsv"; }

# Keeps a copy of a file that is about to be deleted, with what the test needs.
remember() {
  local image=$1 path=$2
  mkdir -p "$out/expected/$image/$(dirname "$path")"
  cp "$work/mnt/$path" "$out/expected/$image/$path"
  manifest deleted "$image" "$path" "$(stat -c %s "$work/mnt/$path")" "$(stat -c %Y "$work/mnt/$path")"
}
random_file() { head -c "$2" /dev/urandom >"$work/mnt/$1"; }

# --- main.img --------------------------------------------------------------
img="$out/main.img"
truncate -s 64M "$img"
mkfs.exfat -c 4096 -L QVTEST "$img" >/dev/null
attach "$img"
mount_it
m="$work/mnt"
echo "hello exFAT" >"$m/a.txt"
random_file big.bin 300000
random_file "Fotó_日本語_😀.jpg" 5000
long=$(python3 -c 'print("Ünïcode-" + "x" * 180 + ".txt")')
random_file "$long" 10000
: >"$m/empty.dat"
mkdir -p "$m/keep" "$m/docs" "$m/Urlaub 2024/sub"
echo "still here" >"$m/keep/live.txt"
random_file docs/old.doc 20000
random_file docs/new.doc 20000
random_file "Urlaub 2024/Strand.jpg" 40000
echo "a note" >"$m/Urlaub 2024/sub/note.txt"
random_file "Urlaub 2024/sub/deep.bin" 70000
# Interleaved appends fragment both files; the live one keeps its clusters
# allocated between the deleted one's.
for i in 1 2 3 4 5 6 7 8; do
  head -c 16384 /dev/urandom >>"$m/frag.bin"
  head -c 16384 /dev/urandom >>"$m/keeper.bin"
  sync
done
sync
for p in a.txt big.bin "Fotó_日本語_😀.jpg" "$long" empty.dat docs/old.doc "Urlaub 2024/Strand.jpg" \
         "Urlaub 2024/sub/note.txt" "Urlaub 2024/sub/deep.bin" frag.bin; do
  remember main "$p"
done
manifest live main keep/live.txt 0 0
manifest live main docs/new.doc 0 0
manifest live main keeper.bin 0 0
manifest fragmented main frag.bin 0 0
manifest deleted_dir main "Urlaub 2024" 0 0
rm "$m/a.txt" "$m/big.bin" "$m/Fotó_日本語_😀.jpg" "$m/$long" "$m/empty.dat" "$m/docs/old.doc" "$m/frag.bin"
rm -r "$m/Urlaub 2024"
unmount_it

# --- fat_kept.img ----------------------------------------------------------
img="$out/fat_kept.img"
truncate -s 16M "$img"
mkfs.exfat -c 4096 "$img" >/dev/null
attach "$img"
mount_it
for i in 1 2 3 4 5 6; do
  head -c 12288 /dev/urandom >>"$m/pair1.bin"
  head -c 8192 /dev/urandom >>"$m/pair2.bin"
  sync
done
remember fat_kept pair1.bin
remember fat_kept pair2.bin
manifest fragmented fat_kept pair1.bin 0 0
manifest fragmented fat_kept pair2.bin 0 0
unmount_it
# The FAT region as it stands with both chains in it.
fat_region() {
  python3 - "$img" "$1" "$work/fat.bin" <<'EOF'
import struct, sys
image, action, saved = sys.argv[1:4]
with open(image, 'r+b') as f:
    boot = f.read(512)
    fat_offset, fat_length = struct.unpack_from('<II', boot, 80)
    sector = 1 << boot[108]
    f.seek(fat_offset * sector)
    if action == 'save':
        open(saved, 'wb').write(f.read(fat_length * sector))
    else:
        f.write(open(saved, 'rb').read())
EOF
}
fat_region save
attach "$img"
mount_it
rm "$m/pair1.bin" "$m/pair2.bin"
unmount_it
fat_region restore

# --- sector4k.img ----------------------------------------------------------
# mkfs.exfat takes the sector size from the device, so a loop device with
# 4096-byte logical sectors makes the volume USB enclosures present.
img="$out/sector4k.img"
truncate -s 32M "$img"
loop=$(losetup -f --show -b 4096 "$img") || skip "cannot attach a loop device with 4096-byte sectors"
mkfs.exfat -L QV4K "$loop" >/dev/null
python3 -c 'import sys; sys.exit(open(sys.argv[1], "rb").read(512)[108] != 12)' "$img" ||
  { echo "mkfs.exfat did not make 4096-byte sectors" >&2; exit 1; }
mount_it
mkdir -p "$m/DCIM/100CAM"
random_file one.bin 5000
random_file "DCIM/100CAM/IMG_0001.JPG" 300000
random_file "DCIM/100CAM/IMG_0002.JPG" 9000
echo "kept" >"$m/live.txt"
for p in one.bin DCIM/100CAM/IMG_0001.JPG DCIM/100CAM/IMG_0002.JPG; do
  remember sector4k "$p"
done
rm "$m/one.bin"
rm -r "$m/DCIM"
unmount_it

# --- photo.img -------------------------------------------------------------
# A photo saved in pieces between a live file's, then deleted: its chain is
# released, and the free clusters from its first one on make it whole again.
if command -v convert >/dev/null 2>&1; then
  img="$out/photo.img"
  truncate -s 16M "$img"
  mkfs.exfat -c 4096 "$img" >/dev/null
  attach "$img"
  mount_it
  convert -seed 7 -size 640x480 plasma: -quality 85 "$work/photo.jpg"
  chunks=$(( ($(stat -c %s "$work/photo.jpg") + 8191) / 8192 ))
  for i in $(seq 0 $((chunks - 1))); do
    dd if="$work/photo.jpg" bs=8192 skip="$i" count=1 status=none >>"$m/photo.jpg"
    head -c 8192 /dev/urandom >>"$m/keeper.bin"
    sync
  done
  remember photo photo.jpg
  manifest live photo keeper.bin 0 0
  rm "$m/photo.jpg"
  unmount_it
fi

echo "$hash" >"$out/stamp"
echo "ok"
