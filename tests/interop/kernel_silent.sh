#!/usr/bin/env bash
# The Linux kernel's UDF driver logs no error or warning on volumes korva formats, whatever
# their size and however full: korva formats 20, 100 and 600 MiB and a DVD-size image; it
# fills the 20 MiB one and half the 100 MiB one, the kernel (read-write) fills the rest of the
# 100 MiB one and writes into the others: files, a directory of many entries, mode bits, an
# overwrite inside the last block of a korva file, a sparse file. Korva reads every byte of
# it, grows what the kernel left (through its mount where FUSE works), writes more, and the
# kernel mounts all again read-write, then kudf-ls reads the DVD-size one. Every kernel log
# is searched for UDF errors and warnings. The three smaller images share one disk (a
# partition each) so that the guest boots three times in all, not once per image.
# Usage: kernel_silent.sh KORVA      Exit 77 when the kernel guest cannot run.
set -u
korva=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kudf.sh"
run=$(find_kudf kudf-run "${KUDF_RUN:-}") || { echo "no kernel guest found; skipping"; exit 77; }
kls=$(dirname "$run")/kudf-ls

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
k() { local img=$1; shift; "$korva" -i "$work/$img" "$@"; }

sizes=(20 100 600)
names=(a20 b100 c600)
dvd=dvd.img
for i in 0 1 2; do
  k "${names[$i]}.img" format --size "${sizes[$i]}" >/dev/null || { echo "format failed"; exit 1; }
done
k "$dvd" format --size 4482 --label DVD >/dev/null || { echo "format failed"; exit 1; }

free_bytes() { k "$1" info --json | sed -n 's/.*"free_bytes":\([0-9]*\).*/\1/p'; }

# Korva fills the 20 MiB volume (all but a block for the file entry), half of the 100 MiB
# one, and puts a few files on the others.
head -c $(($(free_bytes a20.img) - 2048)) /dev/urandom >"$work/full.bin"
k a20.img put "$work/full.bin" /full.bin >/dev/null || bad "korva could not fill the 20 MiB volume"
head -c $((50 << 20)) /dev/urandom >"$work/half.bin"
k b100.img put "$work/half.bin" /half.bin >/dev/null || bad "korva could not half-fill 100 MiB"
printf 'korva was here\n' >"$work/note.txt"
head -c 10000 /dev/urandom >"$work/tail.bin"
for img in c600.img "$dvd"; do
  k "$img" mkdir /k >/dev/null && k "$img" put "$work/note.txt" "$work/tail.bin" /k >/dev/null ||
    bad "korva could not write to $img"
done

# One disk of three partitions (1 MiB aligned) holding the three smaller images.
disk="$work/disk.img"
le32() {
  local n=$1
  printf "\\$(printf %03o $((n & 255)))\\$(printf %03o $(((n >> 8) & 255)))\\$(printf %03o $(((n >> 16) & 255)))\\$(printf %03o $(((n >> 24) & 255)))"
}
starts=(1 22 123) # MiB
pack() {
  truncate -s $((123 + 600 + 1))M "$disk"
  for i in 0 1 2; do
    dd if="$work/${names[$i]}.img" of="$disk" bs=1M seek="${starts[$i]}" conv=notrunc,sparse status=none
    { printf '\000\000\000\000\203\000\000\000'; le32 $((starts[i] * 2048)); le32 $((sizes[i] * 2048)); } |
      dd of="$disk" bs=1 seek=$((446 + 16 * i)) conv=notrunc status=none
  done
  printf '\125\252' | dd of="$disk" bs=1 seek=510 conv=notrunc status=none
}
unpack() {
  for i in 0 1 2; do
    dd if="$disk" of="$work/${names[$i]}.img" bs=1M skip="${starts[$i]}" count="${sizes[$i]}" \
      conv=notrunc status=none
  done
}

# Runs a shell script in the guest with the disk given; the script sees each volume mounted
# read-write at /m1, /m2, ... (one per partition, or /m1 for a whole disk), and the kernel's
# log is searched afterwards. Output in $work/$tag.out.
guest() {
  local tag=$1 img=$2 parts=$3 script=$4
  local mounts="" umounts=""
  for p in $parts; do
    local dev=/dev/vda$p
    [ "$p" = 0 ] && dev=/dev/vda && p=1
    mounts+="mkdir -p /m$p && mount -t udf -o loud,rw,bs=2048 $dev /m$p || exit 3; "
    umounts+="umount /m$p || exit 4; "
  done
  "$run" -t 300 --disk "$img" -- sh -c "$mounts $script; s=\$?; cd /; $umounts echo '=== DMESG'; dmesg; exit \$s" \
    >"$work/$tag.out" 2>"$work/$tag.err"
  local rc=$?
  if [ $rc -eq 2 ]; then
    echo "kernel guest unavailable; skipping"; tail -5 "$work/$tag.err"; exit 77
  fi
  [ $rc -eq 0 ] || { bad "the kernel's part ($tag) failed ($rc)"; cat "$work/$tag.out"; }
  if sed -n '/^=== DMESG/,$p' "$work/$tag.out" | grep -i 'udf' | grep -E -i 'error|warn|fail|exceed'; then
    bad "the kernel logged UDF errors or warnings ($tag)"
  fi
  grep -q 'UDF-fs: INFO Mounting volume' "$work/$tag.out" || bad "no kernel mount was logged ($tag)"
}

# The kernel's first session. The 100 MiB volume is filled to the last block; the 600 MiB
# one a sample of 64 MiB (the guest has no hardware virtualisation here: big writes are slow);
# the DVD-size one the cases Korva has to grow from.
pack
guest small "$disk" "1 2 3" '
  md5sum /m1/full.bin /m2/half.bin /m3/k/note.txt &&
  { dd if=/dev/zero of=/m2/kfill.bin bs=1M 2>/dev/null; true; } &&
  dd if=/dev/zero of=/m3/quarter.bin bs=1M count=64 2>/dev/null && echo quarter >>/m3/quarter.bin &&
  echo "=== SUMS" && md5sum /m2/kfill.bin /m3/quarter.bin && sync'
unpack
grep -q "$(md5sum <"$work/full.bin" | cut -c1-32)  /m1/full.bin" "$work/small.out" ||
  bad "the kernel reads other bytes in the full 20 MiB volume"
[ "$(free_bytes b100.img)" -lt 1000000 ] || bad "the kernel did not fill the 100 MiB volume"

guest dvd "$work/$dvd" 0 '
  cd /m1 && mkdir -m 1777 tmp && mkdir -m 2755 shared && echo x >tool && chmod 4755 tool &&
  mkdir many && i=0 && while [ $i -lt 300 ]; do echo $i >many/entry-$i; i=$((i + 1)); done &&
  printf KERNEL | dd of=k/tail.bin bs=1 seek=9990 conv=notrunc 2>/dev/null &&
  printf start >sparse && dd if=/dev/zero of=sparse bs=1 count=0 seek=200000 2>/dev/null &&
  printf middle | dd of=sparse bs=1 seek=100000 conv=notrunc 2>/dev/null &&
  echo "=== SUMS" && md5sum sparse k/tail.bin && sync'

# Korva reads every byte the kernel wrote, with no repair first.
sum_of() { k "$1" cat "$2" | md5sum | cut -c1-32; }
check_sum() { # tag image path
  local want
  want=$(sed -n "/^=== SUMS/,\$p" "$work/$1.out" | grep -E "  (/m[0-9]+/)?${3#/}\$" | head -1 | cut -c1-32)
  [ -n "$want" ] || { bad "no kernel sum for $3"; return; }
  [ "$(sum_of "$2" "$3")" = "$want" ] || bad "korva reads other bytes than the kernel in $2:$3"
}
check_sum small b100.img /kfill.bin
check_sum small c600.img /quarter.bin
check_sum dvd "$dvd" /sparse
check_sum dvd "$dvd" /k/tail.bin
[ "$(k "$dvd" ls /many | wc -l)" = 300 ] || bad "korva lists other than 300 kernel entries"

# Korva grows what the kernel left: with put (a new file into the directory of many entries,
# new contents for a kernel file, which keeps its mode), and through its mount where FUSE
# works (appends to the file whose last extent the kernel rounded up, writes into the sparse
# file's hole, extends it; the mode bits show as stored).
printf 'appended\n' >"$work/more.txt"
k "$dvd" put "$work/more.txt" /many/korva-entry >/dev/null || bad "put into 300 kernel entries failed"
k "$dvd" put "$work/more.txt" /tool >/dev/null || bad "put over the kernel's file failed"
KORVA=$korva
. "$here/../fuse/lib.sh"
if fuse_usable && start_mount "$work/mp" -i "$work/$dvd"; then
  cat "$work/more.txt" >>"$work/mp/k/tail.bin" || bad "append through the mount failed"
  printf 'hole' | dd of="$work/mp/sparse" bs=1 seek=150000 conv=notrunc status=none ||
    bad "a write into the hole through the mount failed"
  truncate -s 300000 "$work/mp/sparse" || bad "extending the sparse file through the mount failed"
  stat -c %A "$work/mp/tmp" | grep -qx drwxrwxrwt || bad "the mount drops the sticky bit"
  stat -c %A "$work/mp/shared" | grep -qx drwxr-sr-x || bad "the mount drops the set-group-ID bit"
  stat -c %A "$work/mp/tool" | grep -qx -- -rwsr-xr-x || bad "tool is not -rwsr-xr-x after put"
  stop_mount "$work/mp" || bad "unmount failed"
  [ "$(k "$dvd" cat /k/tail.bin | tail -c 9)" = appended ] || bad "the append did not land"
  [ "$(k "$dvd" cat /sparse | dd bs=1 skip=150000 count=4 status=none)" = hole ] ||
    bad "the write into the hole did not land"
else
  echo "FUSE not usable here: the mount part is left out"
fi
k c600.img put "$work/half.bin" /k/korva-half.bin >/dev/null || bad "korva could not add to 600 MiB"
k a20.img ls / >/dev/null || bad "korva cannot list the full 20 MiB volume"

# The kernel again, read-write, on everything korva changed; then kudf-ls on the DVD-size one.
pack
guest again "$disk" "1 2 3" 'md5sum /m3/k/korva-half.bin /m2/kfill.bin >/dev/null && echo k >/m3/k/again.txt && sync'
guest dvd2 "$work/$dvd" 0 'cat /m1/many/korva-entry /m1/tool /m1/sparse /m1/k/tail.bin >/dev/null && echo k >/m1/again.txt'
"$kls" -o bs=2048 "$work/$dvd" >"$work/kls.out" 2>"$work/kls.err"
case $? in
0) ;;
2) echo "kudf-ls unavailable"; tail -5 "$work/kls.err" ;;
*) bad "kudf-ls could not mount the DVD-size volume"; cat "$work/kls.out" ;;
esac
if sed -n '/=== KUDF DMESG/,$p' "$work/kls.out" | grep -i 'udf' | grep -E -i 'error|warn|fail|exceed'; then
  bad "kudf-ls logged UDF errors or warnings"
fi
if grep -E 'I/O error|md5sum:' "$work/kls.out"; then bad "kudf-ls could not read a file"; fi

for img in a20.img b100.img c600.img "$dvd"; do
  k "$img" check >"$work/check.out" 2>&1 || { bad "check of $img after the kernel"; cat "$work/check.out"; }
done
[ $fail = 0 ] && echo "the kernel stayed silent on every volume"
exit $fail
