#!/bin/bash
# Imaging a failing disk: quarvel-cli image against GNU ddrescue (default
# options) on the same image served through FUSE with EIO on about 0.1 % of
# its sectors (in clusters) and a slow zone. Prints both times and their
# ratio, compares the sectors each rescued and the images, and checks that
# each tool continues the other's stopped map.
#
# usage: bench/image/bench_image.sh QUARVEL_CLI [SIZE_MIB (1024)] [WORK_DIR (/tmp/quarvel_bench_image)]
# Needs root or a user allowed to mount FUSE, libfuse3-dev, and installs
# gddrescue with apt-get when ddrescue is missing.
set -euo pipefail

cli=$(realpath "$1")
size_mib=${2:-1024}
work=${3:-/tmp/quarvel_bench_image}
here=$(dirname "$(realpath "$0")")

if ! command -v ddrescue >/dev/null || ! command -v ddrescuelog >/dev/null; then
    apt-get install -y gddrescue >/dev/null
fi
mkdir -p "$work" "$work/mnt"
cc -O2 -Wall -o "$work/failing_fuse" "$here/failing_fuse.c" $(pkg-config --cflags --libs fuse3)

sectors=$((size_mib * 2048))
image="$work/disk.img"
if [ ! -f "$image" ] || [ "$(stat -c %s "$image")" -ne $((sectors * 512)) ]; then
    # Incompressible data, as a disk full of photos is.
    # (openssl ends by SIGPIPE, which pipefail would take for a failure.)
    head -c $((sectors * 512)) < <(openssl enc -aes-128-ctr -pass pass:quarvel -nosalt </dev/zero 2>/dev/null) >"$image"
fi
# About 0.1 % of the sectors in clusters of 1 to 64, spread over the disk;
# a slow zone of 8 MiB (5 ms a read) in the middle.
python3 - "$sectors" >"$work/bad.txt" <<'PY'
import random, sys
sectors = int(sys.argv[1])
random.seed(38)
bad = set()
while len(bad) < sectors // 1000:
    start = random.randrange(0, sectors - 64)
    bad.update(range(start, start + random.randint(1, 64)))
print("\n".join(str(s) for s in sorted(bad)))
PY
slow_first=$((sectors / 2)); slow_count=16384; slow_ms=5
echo "disk: $size_mib MiB, $(wc -l <"$work/bad.txt") bad sectors, slow zone of $((slow_count / 2048)) MiB at ${slow_ms} ms a read"

mnt="$work/mnt"
fusermount3 -u "$mnt" 2>/dev/null || true
"$work/failing_fuse" "$image" "$work/bad.txt" $slow_first $slow_count $slow_ms "$mnt" &
fuse_pid=$!
trap 'fusermount3 -u "$mnt" 2>/dev/null || kill $fuse_pid 2>/dev/null; true' EXIT
for _ in $(seq 50); do [ -e "$mnt/disk" ] && break; sleep 0.1; done
disk="$mnt/disk"

clock() { date +%s.%N; }
rm -f "$work"/ours.img* "$work"/theirs.img* "$work"/timed.img* "$work"/a.img* "$work"/b.img*

t0=$(clock)
"$cli" image "$disk" "$work/ours.img" --map "$work/ours.img.map" 2>"$work/ours.log" || true
t1=$(clock)
ddrescue "$disk" "$work/theirs.img" "$work/theirs.img.map" >"$work/theirs.log" 2>&1 || true
t2=$(clock)
# As on a disk: every read on a helper thread, so that one that hangs can be given up.
"$cli" image "$disk" "$work/timed.img" --timeout 30 2>/dev/null || true
t3=$(clock)
ours=$(echo "$t1 - $t0" | bc)
theirs=$(echo "$t2 - $t1" | bc)
timed=$(echo "$t3 - $t2" | bc)
echo "quarvel-cli image: ${ours} s    ddrescue: ${theirs} s    ratio $(echo "scale=2; $ours / $theirs" | bc)"
echo "quarvel-cli image --timeout 30 (each read on a helper thread, as on a disk): ${timed} s    ratio $(echo "scale=2; $timed / $theirs" | bc)"

rescued_ours=$(ddrescuelog -b512 -l+ "$work/ours.img.map" | wc -l)
rescued_theirs=$(ddrescuelog -b512 -l+ "$work/theirs.img.map" | wc -l)
echo "sectors rescued: ours $rescued_ours, ddrescue $rescued_theirs, of $sectors ($(($(wc -l <"$work/bad.txt"))) bad)"
if ddrescuelog -b512 -l+ "$work/ours.img.map" | cmp -s - <(ddrescuelog -b512 -l+ "$work/theirs.img.map"); then
    echo "maps: the same sectors rescued"
else
    echo "maps: DIFFER"
fi
# ddrescue writes only what it rescued: compare over the ddrescue image's length.
if cmp -s -n "$(stat -c %s "$work/theirs.img")" "$work/ours.img" "$work/theirs.img"; then
    echo "images: equal"
else
    echo "images: DIFFER"
fi

# Each continues the other's stopped run.
timeout -s INT 2 "$cli" image "$disk" "$work/a.img" 2>/dev/null || true
ddrescue "$disk" "$work/a.img" "$work/a.img.map" >/dev/null 2>&1 || true
timeout -s INT 2 ddrescue "$disk" "$work/b.img" "$work/b.img.map" >/dev/null 2>&1 || true
"$cli" image "$disk" "$work/b.img" 2>/dev/null || true
for run in a b; do
    if ddrescuelog -b512 -l+ "$work/$run.img.map" | cmp -s - <(ddrescuelog -b512 -l+ "$work/theirs.img.map") &&
        cmp -s -n "$(stat -c %s "$work/theirs.img")" "$work/$run.img" "$work/theirs.img"; then
        echo "continued ($( [ $run = a ] && echo 'ours stopped, ddrescue went on' || echo 'ddrescue stopped, ours went on')): same result"
    else
        echo "continued ($run): DIFFERS"
    fi
done
