#!/usr/bin/env bash
# A volume passed back and forth between the korva tool and the Linux kernel's UDF driver
# (read-write, in a qemu guest): korva formats and puts; the kernel adds a directory, a small
# and a larger file (which it records embedded and with long descriptors) and appends to a
# korva file; korva repairs, reads every byte, adds, replaces and deletes; the kernel sees
# exactly that tree with the same bytes, logs no UDF error or warning, and changes it again;
# korva repairs and reads once more. Free space left only in small holes makes the kernel
# record two larger files in more extents than its file entry holds, continued in allocation
# extent descriptors; korva appends to one (through its FUSE mount, where FUSE works) and
# deletes the other.
# Usage: kernel_roundtrip.sh KORVA      Exit 77 when the kernel guest cannot run.
set -u
korva=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kudf.sh"
run=$(find_kudf kudf-run "${KUDF_RUN:-}") || { echo "no kernel guest found; skipping"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
img="$work/rt.iso"
k() { "$korva" -i "$img" "$@"; }
fail=0
bad() { echo "$*"; fail=1; }

# The kernel part: mounts read-write, runs the commands, unmounts, then prints its log.
guest() {
  local script=$1
  shift
  "$run" --disk "$img" "$@" -- sh -c "mount -t udf -o rw,bs=2048 /dev/vda /mnt && cd /mnt && $script && cd / && umount /mnt; s=\$?; echo '=== DMESG'; dmesg; exit \$s" >"$work/out" 2>"$work/err"
  local rc=$?
  if [ $rc -eq 2 ]; then
    echo "kernel guest unavailable; skipping"; tail -5 "$work/err"; exit 77
  fi
  [ $rc -eq 0 ] || { echo "the kernel's part failed ($rc):"; cat "$work/out"; exit 1; }
  if sed -n '/^=== DMESG/,$p' "$work/out" | grep -i 'udf' | grep -E -i 'error|warn'; then
    bad "the kernel logged UDF errors or warnings"
  fi
}

same() { # volume path, local file
  k cat "$1" >"$work/got" 2>"$work/cat.err" || { bad "korva cannot read $1: $(cat "$work/cat.err")"; return; }
  cmp -s "$work/got" "$2" || bad "korva reads different bytes in $1"
}

printf 'written by korva\n' >"$work/note.txt"
head -c 150000 /dev/urandom >"$work/kbig.bin"
k format --size 64 --label ROUNDTRIP >/dev/null || { echo "format failed"; exit 1; }
k mkdir /docs >/dev/null && k put "$work/note.txt" "$work/kbig.bin" /docs >/dev/null ||
  { echo "put failed"; exit 1; }

# Holes of two blocks (a file entry and its data block) between blocks in use, and a filler
# over the rest of the free space.
mkdir "$work/holes"
for i in $(seq 1 900); do printf '%d' "$i" >"$work/holes/h$i"; done
k put "$work/holes" / >/dev/null || { echo "put of the small files failed"; exit 1; }
free=$(k info --json | sed 's/.*"free_blocks":\([0-9]*\).*/\1/')
head -c $(((free - 4) * 2048)) /dev/zero >"$work/filler"
k put "$work/filler" / >/dev/null || { echo "put of the filler failed"; exit 1; }
k rm $(for i in $(seq 1 2 900); do echo "/holes/h$i"; done) >/dev/null || { echo "rm failed"; exit 1; }

head -c 300000 /dev/urandom >"$work/lbig.bin"
head -c 600000 /dev/urandom >"$work/frag.bin"
head -c 580000 /dev/urandom >"$work/frag2.bin"
guest 'mkdir kdir && echo hello >kdir/small.txt && cp /tmp/lbig.bin kdir/big.bin && echo appended >>docs/note.txt && cp /tmp/frag.bin /tmp/frag2.bin kdir/' \
  --copy "$work/lbig.bin=/tmp/" --copy "$work/frag.bin=/tmp/" --copy "$work/frag2.bin=/tmp/"
printf 'written by korva\nappended\n' >"$work/note.want"
printf 'hello\n' >"$work/small.want"

# Taken back: repair, then every byte as the kernel left it.
k repair >"$work/repair" 2>&1 || { echo "repair refused:"; cat "$work/repair"; exit 1; }
same /docs/note.txt "$work/note.want"
same /docs/kbig.bin "$work/kbig.bin"
same /kdir/small.txt "$work/small.want"
same /kdir/big.bin "$work/lbig.bin"
same /kdir/frag.bin "$work/frag.bin"
same /kdir/frag2.bin "$work/frag2.bin"
k rm /filler /kdir/frag2.bin >/dev/null || bad "korva rm of the filler and a fragmented file failed"
k check >"$work/check" 2>&1 || { bad "korva check after deleting a fragmented file:"; cat "$work/check"; }

# An append to the kernel's fragmented file goes on in its list of long descriptors.
KORVA=$korva
. "$here/../fuse/lib.sh"
head -c 70000 /dev/urandom >"$work/more.bin"
if fuse_usable && start_mount "$work/mp" -i "$img"; then
  cat "$work/more.bin" >>"$work/mp/kdir/frag.bin" || bad "append through the mount failed"
  stop_mount "$work/mp" || bad "unmount failed"
  cat "$work/more.bin" >>"$work/frag.bin"
else
  echo "FUSE cannot be used here: the append to the fragmented file is left out"
fi
same /kdir/frag.bin "$work/frag.bin"

# Korva changes what both wrote: adds into the kernel's directory, replaces the kernel's
# small file, deletes its own large file, adds a directory.
printf 'new from korva\n' >"$work/new.txt"
head -c 70000 /dev/urandom >"$work/mid.bin"
printf 'replaced by korva\n' >"$work/small.txt"
k put "$work/new.txt" "$work/mid.bin" "$work/small.txt" /kdir >/dev/null || bad "korva put failed"
k rm /docs/kbig.bin >/dev/null || bad "korva rm failed"
k mkdir /kdir/sub >/dev/null || bad "korva mkdir failed"
k check >"$work/check" 2>&1 || { bad "korva check after the changes:"; cat "$work/check"; }

# The kernel sees exactly that tree, and changes it once more.
guest 'find . | grep -v "^./holes/" | sort && md5sum docs/note.txt kdir/big.bin kdir/frag.bin kdir/mid.bin kdir/new.txt kdir/small.txt && echo more >>kdir/new.txt && echo second >k2.txt'
want_tree=". ./docs ./docs/note.txt ./holes ./kdir ./kdir/big.bin ./kdir/frag.bin ./kdir/mid.bin ./kdir/new.txt ./kdir/small.txt ./kdir/sub ./lost+found"
got_tree=$(sed -n '1,/^=== DMESG/p' "$work/out" | grep '^\.' | tr '\n' ' ' | sed 's/ $//')
got_tree=${got_tree% ./lost+found}
[ "$got_tree" = "${want_tree% ./lost+found}" ] || bad "the kernel sees another tree: $got_tree"
for f in docs/note.txt:note.want kdir/big.bin:lbig.bin kdir/frag.bin:frag.bin kdir/mid.bin:mid.bin kdir/new.txt:new.txt kdir/small.txt:small.txt; do
  path=${f%%:*} local_file=$work/${f#*:}
  sum=$(md5sum <"$local_file" | cut -d' ' -f1)
  grep -q "^$sum  $path\$" "$work/out" || bad "the kernel reads different bytes in $path"
done

# Taken back once more.
k repair >"$work/repair" 2>&1 || { echo "second repair refused:"; cat "$work/repair"; exit 1; }
printf 'new from korva\nmore\n' >"$work/new.want"
printf 'second\n' >"$work/k2.want"
same /kdir/new.txt "$work/new.want"
same /k2.txt "$work/k2.want"
same /kdir/mid.bin "$work/mid.bin"
k check >"$work/check" 2>&1 || { bad "korva check after the second repair:"; cat "$work/check"; }
[ $fail -eq 0 ] && echo "korva and the kernel agree after two round trips; the kernel saw: $got_tree"
exit $fail
