#!/usr/bin/env bash
# Builds OUTDIR/ntfs_content.img, a whole-volume NTFS image of deleted files
# whose clusters the bitmap shows free, and OUTDIR/ntfs_content.manifest:
#   verified  <TAB> path <TAB> size <TAB> sha256   a whole PNG
#   damaged   <TAB> path <TAB> size <TAB> sha256   a PNG whose third and fourth clusters were written
#                                                  over after its delete, as by a file since gone
#   unchecked <TAB> path <TAB> size <TAB> sha256   bytes of no type a check exists for
#   resident  <TAB> path <TAB> size <TAB> sha256   data kept in the record itself
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing
# (ntfs_image_common.sh).
set -Eeuo pipefail
OUTDIR=$1
NAME=ntfs_content
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s 16M "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L content "$WORK/img" >/dev/null 2>&1

python3 - "$WORK" <<'PY'
import os, struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
def png(side):
    rows = b"".join(b"\0" + os.urandom(side * 3) for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
for name in ("good.png", "bad.png"):
    open(os.path.join(sys.argv[1], name), "wb").write(png(96))
PY
mount_img
cp "$WORK/good.png" "$MNT/good.png"; note verified /good.png
cp "$WORK/bad.png" "$MNT/bad.png"; note damaged /bad.png
head -c 30000 /dev/urandom >"$MNT/blob.bin"; note unchecked /blob.bin
printf 'kept in its record\n' >"$MNT/tiny.txt"; note resident /tiny.txt
umount_img

mount_img
rm "$MNT/good.png" "$MNT/bad.png" "$MNT/blob.bin" "$MNT/tiny.txt"
umount_img

python3 - "$WORK/img" "$WORK/bad.png" <<'PY'
import os, sys
image, bad = sys.argv[1], open(sys.argv[2], "rb").read()
with open(image, "r+b") as f:
    data = f.read()
    at = data.find(bad[:4096])
    assert at >= 0 and at % 4096 == 0 and data.find(bad[:4096], at + 1) < 0
    f.seek(at + 8192)
    f.write(os.urandom(8192))
PY

mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
