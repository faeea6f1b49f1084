#!/usr/bin/env bash
# A card that was partly emptied and shot on again, then emptied: small files
# fill a FAT16 card, every other one is deleted, photos are copied on (so they
# land in the gaps between the live files, as a camera puts them) and then
# deleted. Counts the photos that come back byte for byte from ours and from
# tsk_recover, and times both, in one run. Not a test: it never fails on numbers.
#
#   bench_shot_again.sh QUARVEL_CLI [PHOTOS]
#
# Needs mkfs.fat, mtools and ImageMagick's convert; tsk_recover when installed.
set -Eeuo pipefail
CLI=$(realpath "$1")
PHOTOS=${2:-10}
export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
for t in mkfs.fat mcopy mdel convert; do
    command -v "$t" >/dev/null || { echo "'$t' is not installed" >&2; exit 77; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/shot-again.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

truncate -s 64M card.img
mkfs.fat -F 16 -s 4 -n CARD card.img >/dev/null
mkdir src
for i in $(seq -w 0 239); do head -c $((500 + 10#$i * 23 % 6000)) /dev/urandom >"src/F$i.BIN"; done
mcopy -i card.img src/F*.BIN ::
for i in $(seq -w 1 2 239); do mdel -i card.img "::F$i.BIN"; done
for p in $(seq 1 "$PHOTOS"); do
    convert -seed "$p" -size 400x300 plasma: -quality 85 "src/P$p.JPG"
    mcopy -i card.img "src/P$p.JPG" ::
done
for p in $(seq 1 "$PHOTOS"); do mdel -i card.img "::P$p.JPG"; done

# Photos equal to one that was put on, by content (names differ by tool).
exact() {
    local n=0
    for p in $(seq 1 "$PHOTOS"); do
        for f in "$1"/*; do
            if cmp -s "$f" "src/P$p.JPG"; then n=$((n + 1)); break; fi
        done
    done
    echo "$n"
}
seconds() { local s; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; echo "$(date +%s.%N) - $s" | bc; }

t_ours=$(seconds "$CLI" recover card.img --name '*.JPG' --to ours)
printf '%-14s %3s/%s byte-exact  %.3f s\n' "quarvel-cli" "$(exact ours)" "$PHOTOS" "$t_ours"
t_guess=$(seconds "$CLI" recover card.img --no-verify --name '*.JPG' --to guess)
printf '%-14s %3s/%s byte-exact  %.3f s (--no-verify)\n' "quarvel-cli" "$(exact guess)" "$PHOTOS" "$t_guess"
# The content check's time against the listing's, and the states it gave.
t_list=$(seconds "$CLI" scan card.img --no-verify)
t_scan=$(seconds "$CLI" scan card.img)
states=$("$CLI" --json scan card.img --name '*.JPG' | grep -o '"state":"[^"]*"' | sort | uniq -c | tr -s ' ' | paste -sd ',')
printf 'listing %.3f s, with the content check %.3f s; photos: %s\n' "$t_list" "$t_scan" "$states"
if command -v tsk_recover >/dev/null; then
    t_tsk=$(seconds tsk_recover card.img tsk)
    mkdir -p tsk
    printf '%-14s %3s/%s byte-exact  %.3f s (every deleted file)\n' "tsk_recover" "$(exact tsk)" "$PHOTOS" "$t_tsk"
fi
