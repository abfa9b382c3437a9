#!/usr/bin/env bash
# fsync through korva mount returns only when the file is durable: the mount runs with its
# image writes held in memory until each fdatasync (image_barriers.so); the power goes the
# moment the fsync of a new file returns (fsync_kill), with a later write under way; the
# repaired image holds that file and everything before it whole, the later file absent or a
# leading part of its bytes.
# Usage: fsync.sh KORVA IMAGE_BARRIERS_SO FSYNC_KILL      Exit 77 when FUSE cannot be used.
set -u
KORVA=$1
SHIM=$2
FSYNC_KILL=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
work=$(mktemp -d)
mount_pid=
trap 'fusermount3 -u -z "$work/m" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
img=$work/v.img m=$work/m
"$KORVA" -i "$img" format --size 64 --label FSYNC >/dev/null || { echo "format failed"; exit 1; }
head -c 300000 /dev/urandom >"$work/synced"
head -c 300000 /dev/urandom >"$work/old"
"$KORVA" -i "$img" mkdir /d >/dev/null && "$KORVA" -i "$img" put "$work/old" /d/old >/dev/null ||
  { echo "put failed"; exit 1; }
head -c 5000 /dev/urandom >"$work/small"
head -c 200000 /dev/urandom >"$work/later"

export KORVA_HOLD_IMAGE=$img KORVA_HOLD_CUT=$work/cut
# Under the sanitizers their runtime must come first.
asan=$(ldd "$KORVA" | awk '/libasan/ {print $3}')
LD_PRELOAD=${asan:+$asan:}$SHIM start_mount "$m" -i "$img" || exit $?
unset KORVA_HOLD_IMAGE KORVA_HOLD_CUT
cp "$work/small" "$m/d/small" || fail "writes before the fsync"
cp "$work/later" "$m/d/before" || fail "a file before the fsync"
"$FSYNC_KILL" "$mount_pid" "$work/cut" "$work/synced" "$m/d/synced" "$work/later" "$m/later" ||
  fail "fsync_kill"
wait "$mount_pid" 2>/dev/null
fusermount3 -u -z "$m" 2>/dev/null

"$KORVA" -i "$img" repair >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; fail "repair"; }
"$KORVA" -i "$img" get /d/synced "$work/back" >/dev/null 2>&1 || fail "the fsynced file is gone"
cmp -s "$work/synced" "$work/back" || fail "the fsynced file differs after repair"
# What the fsync made durable with it: everything done before it.
"$KORVA" -i "$img" get /d/old "$work/old-back" >/dev/null 2>&1 &&
  cmp -s "$work/old" "$work/old-back" || fail "the file put before the mount is lost"
"$KORVA" -i "$img" get /d/before "$work/before-back" >/dev/null 2>&1 &&
  cmp -s "$work/later" "$work/before-back" || fail "a file written before the fsync is lost"
"$KORVA" -i "$img" get /d/small "$work/small-back" >/dev/null 2>&1 &&
  cmp -s "$work/small" "$work/small-back" || fail "the first file written through the mount is lost"
# The file written after the fsync: absent, or a leading part of its bytes.
if "$KORVA" -i "$img" get /later "$work/later-back" >/dev/null 2>&1; then
  size=$(stat -c %s "$work/later-back")
  cmp -s -n "$size" "$work/later" "$work/later-back" ||
    fail "the file written after the fsync holds other bytes"
fi
"$KORVA" -i "$img" check >"$work/check.log" 2>&1 || { cat "$work/check.log"; fail "check after repair"; }
[ $failures -eq 0 ] && echo "fsync: passed" || { echo "fsync: $failures failure(s)"; exit 1; }
