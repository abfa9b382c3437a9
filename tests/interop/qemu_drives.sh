#!/usr/bin/env bash
# Drive commands of the korva tool against QEMU's emulated optical drives (SCSI scsi-cd and
# ATAPI ide-cd), through the guest kernel's sr and sg drivers and the real SG_IO path: an
# MMC implementation this project did not write.
# Usage: qemu_drives.sh KORVA      Exit 77 when the guest cannot be booted here.
set -u
korva=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kudf.sh"
runner=$(find_kudf kudf-run "${KUDF_RUN:-}") || { echo "kudf-run not found; skipping"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Any medium will do: QEMU reports every medium as a CD-ROM.
head -c 1048576 /dev/zero >"$work/cd.iso"

# One boot per drive kind; each step prints "== NAME rc=N" after its output.
guest_script='
step() { name=$1; shift; "$@"; echo "== $name rc=$?"; }
step info korva -d D drive-info --json
step sg-info env KORVA_DRIVES=D=/dev/sg0 korva -d D drive-info --json
step speed korva -d D speed max
step lock korva -d D lock
step eject-locked korva -d D eject
step unlock korva -d D unlock
step eject korva -d D eject
'

fail=0
check() { # KIND WHAT PATTERN
  if ! grep -qE -- "$3" "$work/$1.out"; then
    echo "$1: $2 (no match for: $3)"; fail=1
  fi
}

for kind in scsi ide; do
  args=(--cd "$work/cd.iso" --bin "$korva")
  [ $kind = ide ] && args=(--ide "${args[@]}")
  "$runner" -t 100 "${args[@]}" -- sh -c "$guest_script" >"$work/$kind.out" 2>"$work/$kind.err"
  rc=$?
  if [ $rc -eq 2 ] && ! grep -q '^== ' "$work/$kind.out"; then
    echo "the guest did not run ($kind); skipping"; tail -5 "$work/$kind.err"; exit 77
  fi
  echo "---- $kind"; cat "$work/$kind.out"
  # A failed READ BUFFER CAPACITY never yields a size: the page's buffer size stands in.
  # ATAPI answers page 2Ah only with current values; its capabilities still show.
  if [ $kind = scsi ]; then buffer=2097152 read=2816; else buffer=524288 read=704; fi
  for step in info sg-info; do
    check $kind "$step buffer" "\"buffer_bytes\":$buffer[,}].*" 
    check $kind "$step capabilities" '"capabilities":\["read CD-R"'
    check $kind "$step read speed" "\"read_speed\":$read,"
  done
  check $kind "info succeeds" '^== info rc=0$'
  check $kind "sg info succeeds" '^== sg-info rc=0$'
  # scsi-cd refuses SET CD SPEED; ide-cd accepts it.
  if [ $kind = scsi ]; then
    check $kind "refused speed fails" '^== speed rc=1$'
    check $kind "refused speed names the drive's reason" 'sense 5/20/00'
  else
    check $kind "speed" '^== speed rc=0$'
  fi
  # The lock outlives the process that set it, until unlock.
  check $kind "lock" '^== lock rc=0$'
  check $kind "eject while locked is refused" '^== eject-locked rc=1$'
  check $kind "unlock" '^== unlock rc=0$'
  check $kind "eject after unlock" '^== eject rc=0$'
done
[ $fail -eq 0 ] && echo "QEMU's drives agree"
exit $fail
