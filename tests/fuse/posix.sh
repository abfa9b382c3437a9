#!/usr/bin/env bash
# POSIX behaviour through the mount (fuse_posix), then korva check on the unmounted volume.
# Usage: posix.sh KORVA FUSE_POSIX
set -u
KORVA=$1 POSIX=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
work=$(mktemp -d)
mount_pid=
trap 'fusermount3 -u "$work/m" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
"$KORVA" -i "$work/v.img" format --size 32 >/dev/null || { echo "format failed"; exit 1; }
start_mount "$work/m" -i "$work/v.img" || exit $?
"$POSIX" "$work/m" || fail "POSIX behaviour"
stop_mount "$work/m" || fail "unmount"
"$KORVA" -i "$work/v.img" check || fail "korva check finds problems"
[ $failures -eq 0 ]
