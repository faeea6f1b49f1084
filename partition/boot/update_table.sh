#!/bin/sh
# Assembles mbr.asm and prints the bytes as the body of the table in
# partition/boot_code.cpp. Paste the output there after changing the source.
set -eu
here=$(dirname "$0")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
nasm -f bin -o "$out" "$here/mbr.asm"
size=$(wc -c < "$out")
[ "$size" -eq 440 ] || { echo "mbr.asm assembles to $size bytes, not 440" >&2; exit 1; }
od -An -v -tx1 -w12 "$out" | sed -e 's/^ *//' -e 's/ *$//' -e 's/\([0-9a-f][0-9a-f]\)/0x\1,/g' -e 's/^/    /'
