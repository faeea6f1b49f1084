#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for SECONDS
# (default 60) on seeds made from small real images and files.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
out=build/fuzz/fuzz
seeds=build/fuzz/seeds
export PATH="$PATH:/usr/sbin:/sbin"

# Seeds: a FAT32 and an NTFS boot region made by the real tools, the program's
# own configuration file, a small scan file, and a few real pictures.
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds"/{boot_sector,ntfs,scan_file,carve_config,carve}
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  if command -v mkfs.fat >/dev/null; then
    truncate -s 40M "$tmp/fat.img" && mkfs.fat -F 32 "$tmp/fat.img" >/dev/null
    head -c 512 "$tmp/fat.img" >"$seeds/boot_sector/fat32"
  fi
  if command -v mkntfs >/dev/null; then
    truncate -s 8M "$tmp/ntfs.img" && mkntfs -F -q -Q "$tmp/ntfs.img" >/dev/null 2>&1
    head -c 512 "$tmp/ntfs.img" >"$seeds/boot_sector/ntfs"
    head -c 512 "$tmp/ntfs.img" >"$seeds/ntfs/boot"
    python3 - "$tmp/ntfs.img" "$seeds/ntfs" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
at, n = data.find(b'FILE0'), 0
while at >= 0 and n < 16:
    open(f"{sys.argv[2]}/record{n}", 'wb').write(data[at:at + 1024])
    at, n = data.find(b'FILE0', at + 1024), n + 1
PY
  fi
  python3 - "$seeds/scan_file/two" <<'PY'
import struct, sys
head = b'/dev/sdz1'.ljust(256, b'\0')
recs = struct.pack('<qqq8s', 0, 512, 1000, b'jpg') + struct.pack('<qqq8s', 1, 4096, 77, b'longtype')
open(sys.argv[1], 'wb').write(head + recs)
PY
  cp data/Quarvel.conf "$seeds/carve_config/"
  # Not a pipe into head: under pipefail, find's SIGPIPE would end the script.
  mapfile -t pictures < <(find resources -name '*.png' -size -8k | sort | head -n 8)
  [ ${#pictures[@]} -eq 0 ] || cp "${pictures[@]}" "$seeds/carve/"
  # One small file of every carved type the sample builder makes.
  python3 tests/carve/make_samples.py "$tmp/carve-samples" >/dev/null 2>&1 &&
    find "$tmp/carve-samples" -type f -size -64k -exec cp {} "$seeds/carve/" \;
fi
# The translations whole, and sections cut out of them; a seed's first line
# names the section the target loads.
if [ ! -d "$seeds/language" ]; then
  mkdir -p "$seeds/language"
  cp data/language.ini "$seeds/language/whole"
  python3 - data/language.ini "$seeds/language" <<'PY'
import sys
lines = open(sys.argv[1], 'rb').read().split(b'\n')
heads = [i for i, l in enumerate(lines) if l.startswith(b'[')]
for n, at in enumerate(heads[:4]):
    name = lines[at].strip()[1:-1]
    piece = lines[at:at + 12] + lines[heads[-1]:heads[-1] + 3]
    open(f"{sys.argv[2]}/section{n}", 'wb').write(b'\n'.join([name] + piece) + b'\n')
PY
fi

# Seeds for the FAT and exFAT walks: small volumes written and partly
# deleted by the real tools, cut after their last sector in use (the readers
# stop at an image's end whatever its boot sector claims), and the exFAT
# directories alone for the entry-set parser.
trim_image() {
  python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
used = [at for at in range(0, len(data), 512) if any(data[at:at + 512])]
end = -(-((used[-1] + 512) if used else 512) // 8192) * 8192
open(sys.argv[2], 'wb').write(data[:end])
PY
}
# A FAT volume of the given bits and size with long, non-ASCII and short
# names, nested folders, deleted files and a deleted folder tree, one of its
# folders grown past its first cluster after its files' data.
fat_seed() {
  local bits=$1 size=$2 img="$work/fat$1.img" extra=""
  [ "$bits" != 32 ] || extra="-f 1"
  local -x MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
  truncate -s "$size" "$img" && mkfs.fat -F "$bits" -s 1 $extra "$img" >/dev/null &&
  mmd -i "$img" ::/docs ::/docs/old ::/gone ::/gone/inner &&
  mcopy -i "$img" "$work/data.bin" "::/A rather long file name.txt" &&
  mcopy -i "$img" "$work/data.bin" "::/keep.txt" &&
  mcopy -i "$img" "$work/data.bin" "::/docs/old/Ünïcode name ☃ with a long tail.bin" &&
  mcopy -i "$img" "$work/data.bin" "::/docs/SHORT.TXT" &&
  mcopy -i "$img" "$work/data.bin" "::/gone/inner/deep file.dat" &&
  mmd -i "$img" ::/gone/many &&
  for n in 1 2 3 4 5 6 7 8 9 10 11 12; do
    mcopy -i "$img" "$work/data.bin" "::/gone/many/holiday picture number $n.jpg" || return 1
  done &&
  mdel -i "$img" "::/A rather long file name.txt" "::/docs/SHORT.TXT" &&
  mdeltree -i "$img" ::/gone &&
  trim_image "$img" "$seeds/fat_dir/fat$bits"
}
# An exFAT volume; with root, a loop device and exfat-fuse it holds files,
# folders and fragments, some deleted.
exfat_seed() {
  local img="$work/exfat.img" m="$work/mnt" loop=""
  truncate -s 2M "$img" && mkfs.exfat -c 4K -b 4K -L SEED "$img" >/dev/null || return 1
  if [ "$(id -u)" -eq 0 ] && command -v mount.exfat-fuse >/dev/null && [ -c /dev/fuse ] &&
     loop=$(losetup -f --show "$img" 2>/dev/null) && mkdir -p "$m" && mount.exfat-fuse "$loop" "$m" >/dev/null 2>&1; then
    mkdir -p "$m/docs/old" "$m/gone/inner" &&
    head -c 9000 /dev/urandom >"$m/A rather long file name.txt" &&
    head -c 100 /dev/urandom >"$m/keep.txt" &&
    head -c 5000 /dev/urandom >"$m/docs/old/Ünïcode name ☃.bin" &&
    head -c 3000 /dev/urandom >"$m/gone/inner/deep file.dat" &&
    for i in 1 2 3; do head -c 4096 /dev/urandom >>"$m/docs/frag.bin"; head -c 4096 /dev/urandom >>"$m/docs/other.bin"; sync; done &&
    rm -r "$m/A rather long file name.txt" "$m/gone" "$m/docs/frag.bin"
    umount "$m"
  else
    echo "no root, exfat-fuse or loop device: the exFAT seed is an empty volume"
  fi
  [ -z "$loop" ] || losetup -d "$loop"
  trim_image "$img" "$seeds/exfat/volume" &&
  # The directories alone: every 4 KiB block holding a file entry set.
  python3 - "$seeds/exfat/volume" "$seeds/exfat" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
blocks = sorted({at // 4096 for at in range(0, len(data) - 64, 32)
                 if data[at] in (0x85, 0x05) and data[at + 32] in (0xC0, 0x40)})
for n, block in enumerate(blocks[:16]):
    open(f"{sys.argv[2]}/directory{n}", 'wb').write(data[block * 4096:(block + 1) * 4096])
PY
}
if [ ! -d "$seeds/fat_dir" ]; then
  mkdir -p "$seeds/fat_dir"
  work=$(mktemp -d)
  if command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null; then
    head -c 3000 /dev/urandom >"$work/data.bin"
    for bits_and_size in 12:200K 16:3M 32:34M; do
      fat_seed "${bits_and_size%%:*}" "${bits_and_size#*:}" || echo "the FAT${bits_and_size%%:*} seed could not be made: skipped"
    done
  else
    echo "mkfs.fat or mtools missing: no FAT seeds (fuzz_fat_dir starts from nothing)"
  fi
  rm -rf "$work"
fi
if [ ! -d "$seeds/exfat" ]; then
  mkdir -p "$seeds/exfat"
  work=$(mktemp -d)
  if command -v mkfs.exfat >/dev/null; then
    exfat_seed || echo "the exFAT seed could not be made: skipped"
  else
    echo "mkfs.exfat missing: no exFAT seeds (fuzz_exfat starts from nothing)"
  fi
  rm -rf "$work"
fi

status=0
# The content-name readers start from files that name themselves (a PDF, an
# MP3, a docx, a camera raw file).
if [ ! -d "$seeds/carve_names" ]; then
  mkdir -p "$seeds/carve_names"
  python3 tests/carve/make_named_samples.py "$seeds/carve_names" /nonexistent >/dev/null 2>&1 ||
    echo "some content-name seeds could not be made"
fi
# A small GPT disk made by sgdisk (the leading byte chooses 512-byte sectors).
if [ ! -d "$seeds/gpt" ]; then
  mkdir -p "$seeds/gpt"
  gpt_disk=$(mktemp)
  if truncate -s 128K "$gpt_disk" && sgdisk -n 1:40:+20K -t 1:8300 "$gpt_disk" >/dev/null 2>&1; then
    { printf '\0'; cat "$gpt_disk"; } >"$seeds/gpt/disk512"
  else
    echo "sgdisk missing: no GPT seeds (fuzz_gpt starts from nothing)"
  fi
  rm -f "$gpt_disk"
fi
for target in boot_sector gpt ntfs scan_file vmdk_descriptor carve_config carve carve_names fat_dir exfat language rescue_map; do
  mkdir -p "build/fuzz/corpus/$target" "$seeds/$target"
  echo "== fuzz_$target ($seconds s)"
  if ! "$out/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
       -artifact_prefix="build/fuzz/crash-$target-" "build/fuzz/corpus/$target" "$seeds/$target" 2>"build/fuzz/$target.log"; then
    echo "fuzz_$target found a fault: see build/fuzz/$target.log"
    status=1
  fi
  grep -E "stat::number_of_executed_units" "build/fuzz/$target.log" || true
done
exit $status
