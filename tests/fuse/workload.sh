#!/usr/bin/env bash
# The random workload against a mounted image, then once more after unmounting and mounting
# again, with korva's check in between. Usage: workload.sh KORVA WORKLOAD [SEED [STEPS]]
# (STEPS also from KORVA_WORKLOAD_STEPS; 2000 by default).
set -u
KORVA=$1 WORKLOAD=$2
seed=${3:-${KORVA_WORKLOAD_SEED:-$(date +%s)}} steps=${4:-${KORVA_WORKLOAD_STEPS:-2000}}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
work=$(mktemp -d)
mount_pid=
trap 'fusermount3 -u "$work/m" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
"$KORVA" -i "$work/v.img" format --size 64 >/dev/null || { echo "format failed"; exit 1; }
mkdir "$work/plain"
echo "seed $seed (rerun: $0 KORVA WORKLOAD $seed $steps)"
start_mount "$work/m" -i "$work/v.img" || exit $?
"$WORKLOAD" "$work/m" "$work/plain" "$seed" "$steps" || fail "the workload found a difference"
stop_mount "$work/m" || fail "unmount"
"$KORVA" -i "$work/v.img" check || fail "korva check finds problems"
start_mount "$work/m" -i "$work/v.img" || exit $?
"$WORKLOAD" "$work/m" "$work/plain" "$seed" 0 || fail "the volume differs after mounting again"
stop_mount "$work/m" || fail "second unmount"
[ $failures -eq 0 ]
