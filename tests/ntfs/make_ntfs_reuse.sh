#!/usr/bin/env bash
# Builds OUTDIR/ntfs_reuse.img, a whole-volume NTFS image whose deleted files
# differ in what became of their clusters, and OUTDIR/ntfs_reuse.manifest:
#   overwritten <TAB> path <TAB> size <TAB> sha256   deleted, then a later file filled the volume
#   deleted     <TAB> path <TAB> size <TAB> sha256   deleted after that: its clusters are free
# Both carry a named stream ("path:thumb", same kinds). ntfs-3g gives a new
# file the lowest free MFT record, so a small file deleted first takes the
# filler's record and the overwritten file's record stays as it was deleted.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing
# (ntfs_image_common.sh).
set -Eeuo pipefail
OUTDIR=$1
NAME=ntfs_reuse
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s 16M "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L reuse "$WORK/img" >/dev/null 2>&1

mount_img -o streams_interface=windows
echo "gives its record to the filler" >"$MNT/spare.txt"
for f in victim.bin survivor.bin; do
    head -c 40000 /dev/urandom >"$MNT/$f"
    head -c 20000 /dev/urandom >"$MNT/$f:thumb"
done
note overwritten /victim.bin
note overwritten /victim.bin:thumb
note deleted /survivor.bin
note deleted /survivor.bin:thumb
umount_img

mount_img
rm "$MNT/spare.txt" "$MNT/victim.bin"
umount_img

mount_img
dd if=/dev/zero of="$MNT/filler.bin" bs=1M status=none 2>/dev/null || true
umount_img

mount_img
rm "$MNT/survivor.bin"
umount_img

mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
