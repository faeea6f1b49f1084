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
fi

status=0
for target in boot_sector ntfs scan_file carve_config carve; do
  mkdir -p "build/fuzz/corpus/$target"
  echo "== fuzz_$target ($seconds s)"
  if ! "$out/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
       -artifact_prefix="build/fuzz/crash-$target-" "build/fuzz/corpus/$target" "$seeds/$target" 2>"build/fuzz/$target.log"; then
    echo "fuzz_$target found a fault: see build/fuzz/$target.log"
    status=1
  fi
  grep -E "stat::number_of_executed_units" "build/fuzz/$target.log" || true
done
exit $status
