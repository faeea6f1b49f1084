# Sourced by the NTFS case-image builders after they set NAME and OUTDIR:
# checks the tools, returns at once when OUTDIR/$NAME.img is current (same
# builder and this file), takes the build lock, and sets up a work folder
# with a mount point that is unmounted and removed on exit.
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
