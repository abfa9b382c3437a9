#!/usr/bin/env bash
# korva mount on the virtual drive: a tree copied in through the mount reads back the same,
# the drive only ever receives whole, aligned packet writes (CD-RW fixed packets, DVD+RW),
# and a write failure of the drive reaches the program as EIO, makes the mount read-only,
# and leaves a volume that korva repair restores.
# Usage: mount_vdrive.sh KORVA VDRIVE_MODULE FAULT_SHIM      Exit 77 without FUSE.
set -u
KORVA=$1 module=$(realpath "$2") shim=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
work=$(mktemp -d)
mount_pid=
trap 'fusermount3 -u "$work/m" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
make_tree "$work/src"

# Every WRITE(10) in a trace: LBA (CDB bytes 2-5) a multiple of the packet, length (bytes
# 7-8) exactly one packet.
check_writes() { # TRACE PACKET
  awk -v p="$2" 'function hex(s,  v, k) {
      v = 0; for (k = 1; k <= length(s); k++) v = v * 16 + index("0123456789ABCDEF", substr(s, k, 1)) - 1
      return v
    }
    /\(2A\)/ {
      for (i = 1; i <= NF; i++) if ($i ~ /^\[/) break
      lba = hex($(i+2) $(i+3) $(i+4) $(i+5)); len = hex($(i+7) $(i+8))
      n++; if (lba % p != 0 || len != p) { bad++; print "unaligned write: lba " lba " length " len }
    } END { print n " packet writes checked"; exit (n == 0 || bad > 0) }' "$1"
}

for spec in "cd-rw 32" "dvd+rw 16"; do
  set -- $spec
  kind=$1 packet=$2
  export KORVA_VDRIVE="$kind/formatted:$work/$kind.disc"
  drive=(--aspi "$module" -d 0)
  "$KORVA" "${drive[@]}" format --quick --label VD >/dev/null || { fail "$kind: format"; continue; }
  rm -f "$work/trace.log"
  start_mount "$work/m" "${drive[@]}" --trace "$work/trace.log" || exit $?
  cp -r "$work/src" "$work/m/tree" || fail "$kind: cp -r"
  diff -r "$work/src" "$work/m/tree" || fail "$kind: diff through the mount"
  stop_mount "$work/m" || fail "$kind: unmount"
  check_writes "$work/trace.log" "$packet" || fail "$kind: writes that are not whole packets"
  rm -rf "$work/back"
  "$KORVA" "${drive[@]}" get /tree "$work/back" >/dev/null || fail "$kind: korva get"
  diff -r "$work/src" "$work/back" || fail "$kind: the tree read back differs"
done

# Without -f: korva returns once the volume is mounted, the daemon (forked before the
# module started its threads) serves reads and writes and ends cleanly at unmount.
export KORVA_VDRIVE="dvd+rw/formatted:$work/dvd+rw.disc"
drive=(--aspi "$module" -d 0)
mkdir -p "$work/m"
if timeout 60 "$KORVA" "${drive[@]}" mount "$work/m" 2>>"$work/mount.log"; then
  grep -q " $work/m fuse.korva " /proc/mounts || fail "background mount: not mounted on return"
  cp "$work/src/a/b/packet" "$work/m/background" || fail "background mount: write"
  cmp "$work/src/a/b/packet" "$work/m/background" || fail "background mount: read back"
  diff -r "$work/src" "$work/m/tree" || fail "background mount: reading the tree"
  fusermount3 -u "$work/m" || fail "background mount: unmount"
  # The daemon lets go of the disc when it ends; then the volume is closed and clean.
  for _ in $(seq 1 200); do "$KORVA" "${drive[@]}" check >/dev/null 2>&1 && break; sleep 0.05; done
  "$KORVA" "${drive[@]}" check >/dev/null || fail "background mount: volume not clean afterwards"
  "$KORVA" "${drive[@]}" get /background "$work/background" >/dev/null &&
    cmp "$work/src/a/b/packet" "$work/background" || fail "background mount: file not kept"
else
  fail "korva mount without -f failed or hung: $(tail -3 "$work/mount.log")"
fi

# A failing drive. Writes wait in memory, so the failure comes at a flush: the call that
# flushed (fsync, or a create that had to write what was pending) fails with EIO; a failure
# found by the idle flush fails the program's next call that writes with EIO, never nothing.
# Either way the mount stops writing and its log says why first, and korva repair restores
# the volume.
export KORVA_VDRIVE="cd-rw/formatted:$work/cd-rw.disc"
drive=(--aspi "$module" -d 0)
# A sanitizer build wants its runtime loaded before anything preloaded.
asan=$(ldd "$KORVA" | awk '/libasan/ {print $3}')
failing_mount() { # ROUND
  : >"$work/mount.log"
  LD_PRELOAD=${asan:+$asan:}$shim KORVA_FAULT_FILE=$work/fault KORVA_FAULT_MODULE=$module \
    start_mount "$work/m" "${drive[@]}" || exit $?
  ls "$work/m/tree" >/dev/null
  rm -f "$work/fault.done"
  echo "fail-next 2A 100000" >"$work/fault"
  for _ in $(seq 1 100); do [ -e "$work/fault.done" ] && break; sleep 0.05; done
  [ "$(cat "$work/fault.done" 2>/dev/null)" = 0 ] || fail "$1: the fault could not be injected"
}
after_failure() { # ROUND
  # Nothing is written any more (the engine may refuse reads too: its pending changes are
  # lost, so the volume is unusable until it is mounted again).
  out=$(mkdir "$work/m/after" 2>&1) && fail "$1: mkdir after the failure succeeded"
  case $out in *"Read-only file system"* | *"Input/output error"*) ;;
    *) fail "$1: expected EROFS or EIO after the failure, got: $out" ;; esac
  fusermount3 -u "$work/m"
  wait "$mount_pid" && fail "$1: korva mount ended with status 0 after an I/O failure"
  head -1 "$work/mount.log" | grep -q "I/O failure" ||
    fail "$1: the log does not start with the failure: $(head -1 "$work/mount.log")"
  "$KORVA" "${drive[@]}" repair >/dev/null 2>&1
  "$KORVA" "${drive[@]}" check >/dev/null || fail "$1: the volume is not clean after repair"
  rm -rf "$work/back2"
  "$KORVA" "${drive[@]}" get /tree "$work/back2" >/dev/null && diff -r "$work/src" "$work/back2" ||
    fail "$1: the tree is not intact after the failure and repair"
}

failing_mount fsync
out=$(dd if="$work/src/a/b/packet" of="$work/m/new" bs=64k conv=fsync 2>&1) &&
  fail "fsync: a synced write to a failing drive succeeded"
case $out in *"Input/output error"*) ;; *) fail "fsync: expected EIO, got: $out" ;; esac
after_failure fsync

failing_mount idle
if out=$(cp "$work/src/a/b/packet" "$work/m/new" 2>&1); then
  # The copy went to memory; the idle flush meets the failure, the next write reports it.
  sleep 2
  out=$(mkdir "$work/m/next" 2>&1) && fail "idle: the call after a failed idle flush succeeded"
fi
case $out in *"Input/output error"*) ;; *) fail "idle: expected EIO, got: $out" ;; esac
after_failure idle

[ $failures -eq 0 ] && echo "mount on the virtual drive: all good"
[ $failures -eq 0 ]
