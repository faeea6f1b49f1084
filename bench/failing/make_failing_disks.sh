#!/bin/bash
# Builds the three disks bench_failing.py reads: 512 MiB MBR images, one
# partition at sector 2048, formatted FAT32, exFAT and NTFS by the real tools
# and holding the same files in five folders, of which 200 are then deleted.
#
# usage: make_failing_disks.sh FILES_DIR WORK_DIR
#   FILES_DIR: folder1..folder5 with the files (made by bench_failing.py)
# Writes WORK_DIR/{fat32,exfat,ntfs}.img and WORK_DIR/deleted.txt (one
# path a line, relative to FILES_DIR). Needs root: exFAT is written through
# exfat-fuse on a loop device, NTFS through ntfs-3g.
set -euo pipefail
files=$(realpath "$1")
work=$(realpath "$2")
export MTOOLS_SKIP_CHECK=1 PATH="$PATH:/usr/sbin:/sbin"
for tool in mkfs.fat mcopy mdel mkfs.exfat mount.exfat-fuse mkntfs ntfs-3g sfdisk losetup; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "building the disks needs root (loop device and FUSE mounts)" >&2; exit 77; }

disk_mib=512
part_sectors=$(((disk_mib - 1) * 2048))
mnt="$work/mnt"
mkdir -p "$mnt"
loop=""
cleanup() {
    mountpoint -q "$mnt" && umount "$mnt" || true
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
}
trap cleanup EXIT

# The 200 deleted: 40 of each folder's 50, every file whose number is not a
# multiple of 5.
(cd "$files" && find . -type f | sed 's|^\./||' | sort | awk -F'[^0-9]+' '{ n = $(NF-1) + 0; if (n % 5) print }') >"$work/deleted.txt"

disk_of() {  # volume image -> MBR disk image
    local volume=$1 disk=$2 type=$3
    truncate -s 0 "$disk"
    truncate -s ${disk_mib}M "$disk"
    echo "2048,$part_sectors,$type" | sfdisk -q "$disk"
    dd if="$volume" of="$disk" bs=1M seek=1 conv=notrunc status=none
    rm -f "$volume"
}

# FAT32 through mtools: no mount needed.
vol="$work/fat32.vol"
truncate -s 0 "$vol"; truncate -s $((part_sectors * 512)) "$vol"
mkfs.fat -F 32 -n FAILING "$vol" >/dev/null
for d in "$files"/*/; do mcopy -s -Q -i "$vol" "${d%/}" ::; done
mapfile -t doomed < <(sed 's|^|::/|' "$work/deleted.txt")
mdel -i "$vol" "${doomed[@]}"
disk_of "$vol" "$work/fat32.img" c

# exFAT through exfat-fuse, which mounts block devices only.
vol="$work/exfat.vol"
truncate -s 0 "$vol"; truncate -s $((part_sectors * 512)) "$vol"
mkfs.exfat -L FAILING "$vol" >/dev/null
loop=$(losetup -f --show "$vol")
mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1
cp -r "$files"/. "$mnt"/
sync
(cd "$mnt" && xargs -d '\n' rm -f <"$work/deleted.txt")
umount "$mnt"; losetup -d "$loop"; loop=""
disk_of "$vol" "$work/exfat.img" 7

# NTFS through ntfs-3g.
vol="$work/ntfs.vol"
truncate -s 0 "$vol"; truncate -s $((part_sectors * 512)) "$vol"
mkntfs -F -Q -L FAILING -p 2048 -H 255 -S 63 "$vol" >/dev/null 2>&1
ntfs-3g "$vol" "$mnt"
cp -r "$files"/. "$mnt"/
sync
(cd "$mnt" && xargs -d '\n' rm -f <"$work/deleted.txt")
umount "$mnt"
disk_of "$vol" "$work/ntfs.img" 7
