# Sourced by the NTFS case-image builders after they set NAME and OUTDIR:
# checks the tools, returns at once when OUTDIR/$NAME.img is current (same
# builder and this file), takes the build lock, and sets up a work folder
# with a mount point that is unmounted and removed on exit; mount_img,
# umount_img and note (a manifest line for a file on the mounted image)
# serve the builders that mount the image themselves.
# Exit 77 with "skip: <reason>" when mkntfs, ntfs-3g or FUSE is missing.
export PATH="$PATH:/usr/sbin:/sbin" LC_ALL=C.UTF-8
skip() { echo "skip: $*" >&2; exit 77; }
for t in mkntfs ntfs-3g fusermount mountpoint python3 sha256sum; do
    command -v "$t" >/dev/null 2>&1 || skip "'$t' is not installed"
done
[[ -r /dev/fuse && -w /dev/fuse ]] || skip "no usable /dev/fuse (ntfs-3g needs FUSE)"

mkdir -p "$OUTDIR"
IMG="$OUTDIR/$NAME.img"
MAN="$OUTDIR/$NAME.manifest"
STAMP="$OUTDIR/$NAME.stamp"
HASH=$(cat "$0" "${BASH_SOURCE[0]}" | sha256sum | cut -c1-64)
built() { [[ -f $IMG && -f $MAN && -f $STAMP && $(cat "$STAMP") == "$HASH" ]]; }
built && exit 0
exec 9>"$OUTDIR/$NAME.lock"
flock -w 600 9
built && exit 0
rm -f "$STAMP"

WORK=$(mktemp -d "$OUTDIR/.$NAME.XXXXXX")
MNT="$WORK/mnt"
mkdir "$MNT"
PID=""
cleanup() {
    if [[ -n $PID ]]; then fusermount -u "$MNT" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

mount_img() {   # mount_img [-o OPTIONS]
    ntfs-3g -o no_detach "$@" "$WORK/img" "$MNT" 2>"$WORK/err" &
    PID=$!
    for _ in $(seq 1 100); do
        mountpoint -q "$MNT" && return 0
        kill -0 "$PID" 2>/dev/null || { PID=""; skip "ntfs-3g cannot mount here: $(cat "$WORK/err")"; }
        sleep 0.1
    done
    echo "ntfs-3g did not mount" >&2; exit 1
}
umount_img() { sync; fusermount -u "$MNT"; wait "$PID"; PID=""; }
note() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$(stat -c %s "$MNT$2")" "$(sha256sum <"$MNT$2" | cut -c1-64)" >>"$WORK/man"; }
: >"$WORK/man"
