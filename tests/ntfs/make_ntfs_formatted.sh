#!/usr/bin/env bash
# Builds OUTDIR/ntfs_formatted.img, an NTFS volume quick-formatted by mistake
# over its files (mkntfs -Q) with three new files written after, and beside
# it ntfs_formatted_zeroed.img, the same volume before the format with the
# first 64 records of its MFT zeroed. The manifest (OUTDIR/ntfs_formatted.manifest):
#   old  <TAB> path <TAB> size <TAB> sha256   a file from before the format
#   new  <TAB> path <TAB> size <TAB> sha256   written after it
# "/Gone/child.bin" lives in the first folder made, whose record a new file
# takes after the format; "/Documents/FILE0 notes.txt" holds "FILE0" at the
# start of every 512 bytes.
# SIZE (default 64M, as truncate takes it) sizes the volume, for the bench;
# PHOTOS, DOCS and TRACKS in the environment (default 12, 6, 4) how many
# files each of those folders gets.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing.
set -Eeuo pipefail
OUTDIR=$1
SIZE=${2:-64M}
NAME=ntfs_formatted
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s "$SIZE" "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L data "$WORK/img" >/dev/null 2>&1

mount_img
mkdir "$MNT/Gone" "$MNT/Photos" "$MNT/Photos/2023 Italien" "$MNT/Documents" "$MNT/Music"
head -c 9000 /dev/urandom >"$MNT/Gone/child.bin"; note old /Gone/child.bin
for i in $(seq -w 1 "${PHOTOS:-12}"); do
    head -c $((20000 + 7919 * 10#$i)) /dev/urandom >"$MNT/Photos/2023 Italien/IMG_00$i.JPG"
    note old "/Photos/2023 Italien/IMG_00$i.JPG"
done
for i in $(seq 1 "${DOCS:-6}"); do
    head -c $((3000 + 40000 * i)) /dev/urandom >"$MNT/Documents/report $i.docx"
    note old "/Documents/report $i.docx"
done
printf 'small and resident\n' >"$MNT/Documents/tiny.txt"; note old /Documents/tiny.txt
python3 -c 'import sys; open(sys.argv[1], "w").write(("FILE0" + "x" * 507) * 64)' "$MNT/Documents/FILE0 notes.txt"
note old "/Documents/FILE0 notes.txt"
for i in $(seq 1 "${TRACKS:-4}"); do
    head -c $((500000 + 1000 * i)) /dev/urandom >"$MNT/Music/track $i.mp3"; note old "/Music/track $i.mp3"
done
umount_img

# The first 64 records of the MFT zeroed: its start is where the boot
# sector's field points.
cp "$WORK/img" "$WORK/zeroed"
python3 - "$WORK/zeroed" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    boot = f.read(512)
    bps, spc = struct.unpack_from("<HB", boot, 11)
    mft = struct.unpack_from("<Q", boot, 48)[0]
    cpr = struct.unpack_from("<b", boot, 64)[0]
    record = cpr * bps * spc if cpr > 0 else 1 << -cpr
    f.seek(mft * bps * spc)
    f.write(bytes(64 * record))
PY

mkntfs -F -Q -q -s 512 -c 4096 -L data "$WORK/img" >/dev/null 2>&1
mount_img
for i in 1 2 3; do
    head -c $((5000 * i)) /dev/urandom >"$MNT/new $i.bin"; note new "/new $i.bin"
done
umount_img

mv "$WORK/zeroed" "$OUTDIR/${NAME}_zeroed.img"
mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
