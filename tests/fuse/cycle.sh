#!/bin/bash
# A directory entry that leads back to the root: through the mount, find and rm -rf end
# (the way back answers ELOOP, as the kernel's UDF driver does) and remove nothing outside
# the tree they were given.
# Usage: cycle.sh KORVA MAKE_CYCLE
set -u
KORVA=$1
MAKE_CYCLE=$2
work=$(mktemp -d)
failures=0
# shellcheck source=tests/fuse/lib.sh
. "$(dirname "$0")/lib.sh"
cleanup() {
  fusermount3 -u "$work/m" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fuse_usable || { echo "FUSE is not usable here"; exit 77; }

img=$work/cycle.img
"$KORVA" -i "$img" format --size 20 --label CYCLE >/dev/null || { echo "format failed"; exit 1; }
mkdir -p "$work/src/a/b/loop"
echo outside >"$work/src/top.txt"
echo inside >"$work/src/a/b/inner.txt"
"$KORVA" -i "$img" put "$work/src/top.txt" "$work/src/a" / >/dev/null || { echo "put failed"; exit 1; }
"$MAKE_CYCLE" "$img" '\a\b' loop || exit 1

m=$work/m
start_mount "$m" -i "$img"
rc=$?
[ $rc -eq 0 ] || exit $rc

timeout 60 find "$m" >"$work/find.out" 2>"$work/find.err"
rc=$?
[ $rc -ne 124 ] || fail "find ran for a minute"
[ $rc -ne 0 ] || fail "find reported no error for the cycle"
grep -q "Too many levels of symbolic links" "$work/find.err" || fail "find was not told ELOOP: $(cat "$work/find.err")"
[ "$(grep -c . "$work/find.out")" -le 8 ] || fail "find listed $(grep -c . "$work/find.out") paths"
stat "$m/a/b/loop" >/dev/null 2>&1 && fail "stat follows the way back"

timeout 60 rm -rf "$m/a" 2>"$work/rm.err"
[ $? -ne 124 ] || fail "rm -rf ran for a minute"
[ "$(cat "$m/top.txt" 2>/dev/null)" = outside ] || fail "rm -rf removed a file outside its tree"
[ -e "$m/a/b/inner.txt" ] && fail "rm -rf left a file it could reach"
stop_mount "$m" || fail "unmount"

# The cycle is still there for repair, which cuts it and keeps every sound file.
"$KORVA" -i "$img" repair >/dev/null 2>&1
"$KORVA" -i "$img" check >/dev/null || fail "check after repair is not clean"
[ "$("$KORVA" -i "$img" cat /top.txt)" = outside ] || fail "top.txt after repair"

echo "cycle: $failures failures"
[ $failures -eq 0 ]
