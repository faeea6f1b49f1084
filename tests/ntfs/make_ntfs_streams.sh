#!/usr/bin/env bash
# Builds OUTDIR/ntfs_streams.img, a whole-volume NTFS image whose deleted
# files carry named data streams (written through ntfs-3g's Windows-style
# "file:stream" names), and OUTDIR/ntfs_streams.manifest:
#   deleted <TAB> path        <TAB> size <TAB> sha256   a deleted file's own data
#   stream  <TAB> path:stream <TAB> size <TAB> sha256   a named stream of a deleted file
#   live    <TAB> path:stream <TAB> size <TAB> sha256   a named stream of a live file
# Streams: resident, non-resident, fragmented over many runs, and a file
# whose only data is a named stream.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing
# (ntfs_image_common.sh).
set -Eeuo pipefail
OUTDIR=$1
NAME=ntfs_streams
source "$(dirname "${BASH_SOURCE[0]}")/ntfs_image_common.sh"
truncate -s 32M "$WORK/img"
mkntfs -F -Q -q -s 512 -c 4096 -L streams "$WORK/img" >/dev/null 2>&1

ntfs-3g -o no_detach,streams_interface=windows "$WORK/img" "$MNT" 2>"$WORK/err" &
PID=$!
for _ in $(seq 1 100); do
    mountpoint -q "$MNT" && break
    kill -0 "$PID" 2>/dev/null || { PID=""; skip "ntfs-3g cannot mount here: $(cat "$WORK/err")"; }
    sleep 0.1
done
mountpoint -q "$MNT" || { echo "ntfs-3g did not mount" >&2; exit 1; }
note() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$(stat -c %s "$MNT$2")" "$(sha256sum <"$MNT$2" | cut -c1-64)" >>"$WORK/man"; }
: >"$WORK/man"

head -c 20000 /dev/urandom >"$MNT/photo.jpg"
printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$MNT/photo.jpg:Zone.Identifier"
head -c 50000 /dev/urandom >"$MNT/photo.jpg:thumb"
note deleted /photo.jpg
note stream /photo.jpg:Zone.Identifier
note stream /photo.jpg:thumb
# Appends with a small live file written after each: the stream's clusters
# end up in many runs.
mkdir "$MNT/spacers"
head -c 3000 /dev/urandom >"$MNT/report.docx"
python3 - "$MNT/report.docx:history" "$MNT/spacers" <<'PY'
import os, sys
for i in range(60):
    with open(sys.argv[1], "ab") as f:
        f.write(os.urandom(4096))
    with open(os.path.join(sys.argv[2], "s%03d" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
note deleted /report.docx
note stream /report.docx:history
: >"$MNT/only stream.dat"
head -c 9000 /dev/urandom >"$MNT/only stream.dat:payload"
note stream "/only stream.dat:payload"
head -c 500 /dev/urandom >"$MNT/kept.txt"
head -c 700 /dev/urandom >"$MNT/kept.txt:live"
note live /kept.txt:live
rm "$MNT/photo.jpg" "$MNT/report.docx" "$MNT/only stream.dat"
sync
fusermount -u "$MNT"
wait "$PID"
PID=""

mv "$WORK/man" "$MAN.tmp"
mv "$WORK/img" "$IMG"
mv "$MAN.tmp" "$MAN"
echo "$HASH" >"$STAMP"
