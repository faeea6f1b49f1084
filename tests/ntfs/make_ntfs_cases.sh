#!/usr/bin/env bash
# Builds OUTDIR/ntfs_cases.img, a whole-volume NTFS image (no partition
# table) holding what the shared fixtures lack, and OUTDIR/ntfs_cases.manifest:
#   deleted <TAB> path <TAB> size <TAB> sha256   a deleted file, data intact
#   orphan  <TAB> path <TAB> size <TAB> sha256   deleted, its folder's record reused
#   lost_names <TAB> path <TAB> size <TAB> sha256  deleted, names and tail runs gone
#   live    <TAB> path <TAB> size <TAB> sha256   a live file
# Cases: a sparse file, a compressed file, a long name with a DOS name beside
# it, a file fragmented enough to need an attribute list,
# a file whose deleted folder's MFT record went to a new live file.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing
# (ntfs_image_common.sh).
set -Eeuo pipefail
OUTDIR=$1
NAME=ntfs_cases
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s 48M "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L cases "$WORK/img" >/dev/null 2>&1


mount_img -o compression
# The folder and its file come first so that their records are the lowest
# free ones once deleted; a fresh mount then hands the folder's record to a
# new file.
mkdir "$MNT/Lost Folder"
head -c 7000 /dev/urandom >"$MNT/Lost Folder/orphan data.bin"
note orphan "/Lost Folder/orphan data.bin"
# Sparse: holes at the start, between and after two written pieces.
truncate -s 3000000 "$MNT/sparse.bin"
head -c 10000 /dev/urandom | dd of="$MNT/sparse.bin" bs=4096 seek=100 conv=notrunc status=none
head -c 5000 /dev/urandom | dd of="$MNT/sparse.bin" bs=4096 seek=500 conv=notrunc status=none
note deleted "/sparse.bin"
# Appends with a small live file written after each, so the next append
# cannot extend the file in place: hundreds of runs, more than one record
# can map, so the data moves to extension records behind an attribute list.
mkdir "$MNT/spacers"
python3 - "$MNT/many runs.bin" "$MNT/many runs kept.bin" "$MNT/spacers" <<'PY'
import os, sys
for i in range(600):
    for n, name in enumerate(sys.argv[1:3]):
        with open(name, "ab") as f:
            f.write(os.urandom(4096))
        with open(os.path.join(sys.argv[3], "s%03d-%d" % (i, n)), "wb") as f:
            f.write(os.urandom(4096))
PY
# Deleting it frees the extension records, and ntfs-3g empties them: the
# name and the runs past the base record are gone, the base record stays.
note lost_names "/many runs.bin"
note live "/many runs kept.bin"
# A folder marked compressed: ntfs-3g compresses what is written into it.
mkdir "$MNT/packed"
python3 - "$MNT/packed" <<'PY'
import os, sys
os.setxattr(sys.argv[1], "system.ntfs_attrib_be", (0x800).to_bytes(4, "big"))
text = b"".join(b"line %06d of a compressible text\n" % i for i in range(8000))
with open(os.path.join(sys.argv[1], "text.txt"), "wb") as f:
    f.write(text + os.urandom(70000) + b"tail" * 5000)
PY
note deleted "/packed/text.txt"
# A long name with a DOS short name beside it; the DOS name comes first in
# the record.
head -c 3000 /dev/urandom >"$MNT/A long file name.txt"
python3 -c 'import os, sys; os.setxattr(sys.argv[1], "system.ntfs_dos_name", b"ALONGF~1.TXT")' \
    "$MNT/A long file name.txt"
note deleted "/A long file name.txt"
head -c 1234 /dev/urandom >"$MNT/kept.txt"
note live /kept.txt
rm "$MNT/Lost Folder/orphan data.bin"
rmdir "$MNT/Lost Folder"
umount_img

mount_img
echo "took the folder's record" >"$MNT/reuser.txt"
note live /reuser.txt
rm "$MNT/sparse.bin" "$MNT/many runs.bin" "$MNT/packed/text.txt" "$MNT/A long file name.txt"
umount_img

mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
