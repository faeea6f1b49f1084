#!/usr/bin/env bash
# Builds OUTDIR/ntfs_claims.img, a whole-volume NTFS image where two deleted
# files claim the same clusters, and OUTDIR/ntfs_claims.manifest:
#   overwritten <TAB> path <TAB> size <TAB> sha256   deleted, then a later file took its clusters
#   deleted     <TAB> path <TAB> size <TAB> sha256   that later file, deleted too
# The bitmap shows every cluster of both free. As in make_ntfs_reuse.sh, a
# small file deleted with the first one gives the later file its record.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing
# (ntfs_image_common.sh).
set -Eeuo pipefail
OUTDIR=$1
NAME=ntfs_claims
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s 16M "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L claims "$WORK/img" >/dev/null 2>&1

mount_img
echo "gives its record to the later file" >"$MNT/spare.txt"
head -c 40000 /dev/urandom >"$MNT/first.bin"
note overwritten /first.bin
umount_img

mount_img
rm "$MNT/spare.txt" "$MNT/first.bin"
umount_img

mount_img
dd if=/dev/urandom of="$MNT/later.bin" bs=1M status=none 2>/dev/null || true
note deleted /later.bin
umount_img

mount_img
rm "$MNT/later.bin"
umount_img

mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
