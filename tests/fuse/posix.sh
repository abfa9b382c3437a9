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
# The Linux kernel's UDF driver reads the links and special files back as the same kinds,
# and counts both names of the hard-linked file.
kudf=
for c in "$here/../../../shared/tools/kudf/kudf-ls" "$here/../../../../shared/tools/kudf/kudf-ls"; do
  [ -x "$c" ] && kudf=$c && break
done
if [ -n "$kudf" ] && [ "$(id -u)" = 0 ]; then
  "$kudf" -o bs=2048 "$work/v.img" >"$work/kernel.txt" 2>&1
  rc=$?
  if [ $rc -eq 2 ]; then
    echo "kernel guest unavailable; kernel part skipped"
  else
    tree=$(sed -n '/=== KUDF TREE ===/,/=== KUDF MD5 ===/p' "$work/kernel.txt")
    for want in '^l.* ./special/rel$' '^p.* ./special/fifo$' '^s.* ./special/sock$' \
                '^c.* ./special/chr$' '^b.* ./special/blk$' '^-rw------- 2 1234 5678 8 .* ./special/file$' \
                '^-rw------- 2 1234 5678 8 .* ./special/hard$' \
                '^d.* 0 77 .* ./special/sgid/sub$'; do
      echo "$tree" | grep -q -- "$want" || fail "the kernel does not list $want"
    done
    grep -q -- '-> ../target/ünï$' "$work/kernel.txt" || fail "the kernel reads another link target"
    grep -Eq '^crw.* 1, +3 .*chr$' "$work/kernel.txt" || fail "the kernel reads other device numbers"
    if [ $failures -ne 0 ]; then cat "$work/kernel.txt"; fi
  fi
fi
[ $failures -eq 0 ]
