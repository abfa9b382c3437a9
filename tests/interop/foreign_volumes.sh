#!/usr/bin/env bash
# Volumes of another writer. mkudffs: mkudffs (udftools) makes one for every media type and
# UDF revision it offers; korva must read each (info, ls -l -R, check, get), say what it is,
# and refuse to change it. kernel: the kernel's UDF driver (read-write, in a qemu guest) fills
# a plain and a sparable volume made by mkudffs with a small tree, and korva must read the
# same tree with the same bytes. Skips (exit 77) without mkudffs, or for kernel without the
# guest.
# Usage: foreign_volumes.sh KORVA mkudffs|kernel
set -u
korva=$1
part=${2:-mkudffs}
command -v mkudffs >/dev/null 2>&1 || { echo "mkudffs not installed; skipping"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# Runs korva on an image; its output in $work/out, its messages in $work/err.
k() {
  local img=$1
  shift
  "$korva" -i "$img" "$@" >"$work/out" 2>"$work/err"
}

# Everything korva must do with one mkudffs volume. $3: what the note names.
read_volume() {
  local img=$1 rev=$2 kind=$3 name
  name=$(basename "$img")
  k "$img" info --json || { bad "$name: info failed: $(cat "$work/err")"; return; }
  grep -q '"compatible":true,"read_only":true' "$work/out" || bad "$name: info --json: $(cat "$work/out")"
  grep -q "\"other_writer\":\"UDF $rev volume written by \\\\\"\*Linux UDFFS\\\\\", .*$kind" "$work/out" ||
    bad "$name: info does not say what the volume is: $(cat "$work/out")"
  k "$img" ls -l -R / || bad "$name: ls failed: $(cat "$work/err")"
  grep -q '^/:$' "$work/out" || bad "$name: ls printed no root"
  k "$img" check || bad "$name: check is not clean: $(cat "$work/out" "$work/err")"
  grep -q "is clean" "$work/out" || bad "$name: check: $(cat "$work/out")"
  rm -rf "$work/got" && mkdir "$work/got"
  k "$img" get / "$work/got" || bad "$name: get failed: $(cat "$work/err")"
  # Nothing is written: a put is refused with the reason, and the image keeps every byte.
  local before after
  before=$(md5sum <"$img")
  if k "$img" put "$here/foreign_volumes.sh" /; then
    bad "$name: put was accepted"
  elif ! grep -E -q "not compatible for writing|not whole 32 KiB packets" "$work/err"; then
    bad "$name: put refused without the reason: $(cat "$work/err")"
  fi
  after=$(md5sum <"$img")
  [ "$before" = "$after" ] || bad "$name: the image changed"
}

# The partition kind each media type gets from mkudffs.
kind_of() {
  case $1 in
  cdrw | dvdrw) echo "sparable partition" ;;
  cdr | dvdr | bdr) echo "virtual partition (VAT)" ;;
  *) echo "plain partition" ;;
  esac
}

if [ "$part" = mkudffs ]; then
volumes=0
# Each media type and revision with each block size mkudffs takes (its own default, 512 for
# hd on an image file and 2048 otherwise, is one of them; the default hd volume is read
# again below); images of 8 MiB.
for bs in 512 1024 2048 4096; do
  opt=--blocksize=$bs
  size=$((8388608 / bs))
  for media in hd dvd dvdram dvdrw dvdr worm mo cdrw cdr cd bdr; do
    for rev in 1.01 1.02 1.50 2.00 2.01 2.50 2.60; do
      img="$work/$media-$rev-$bs.img"
      # Not every media type takes every revision (nor worm and mo an image file).
      mkudffs --media-type="$media" --udfrev="$rev" $opt --label=FOREIGN --new-file \
        "$img" $size >/dev/null 2>&1 || { rm -f "$img"; continue; }
      # 1.01 is recorded as 1.01 but read as the 1.02 it is compatible with.
      read_volume "$img" "$rev" "$(kind_of "$media")"
      rm -f "$img"
      volumes=$((volumes + 1))
    done
  done
done
echo "read $volumes mkudffs volumes"
[ "$volumes" -ge 80 ] || bad "mkudffs made only $volumes volumes"

# The default hd volume names its block size where it gives sizes.
img="$work/hd-default.img"
mkudffs --media-type=hd --new-file "$img" 16384 >/dev/null 2>&1 || bad "mkudffs hd failed"
k "$img" info --json || bad "info of the hd volume: $(cat "$work/err")"
grep -q '"block_size":512,"total_blocks":1[0-9]\{4\},' "$work/out" ||
  bad "info does not count 512-byte blocks: $(cat "$work/out")"

# Blocks larger than a sector are counted in their own size too.
img="$work/large-blocks.img"
mkudffs --media-type=hd --blocksize=4096 --new-file "$img" 4096 >/dev/null 2>&1 || bad "mkudffs -b 4096 failed"
k "$img" info --json || bad "info of the 4096-byte volume: $(cat "$work/err")"
grep -q '"block_size":4096,"total_blocks":3[0-9]\{3\},' "$work/out" ||
  bad "info does not count 4096-byte blocks: $(cat "$work/out")"
# The mount gives the same size in the same blocks.
if [ -w /dev/fuse ] && command -v fusermount3 >/dev/null 2>&1; then
  mkdir -p "$work/mnt"
  total=$(grep -o '"total_blocks":[0-9]*' "$work/out" | cut -d: -f2)
  if k "$img" --read-only mount "$work/mnt"; then
    [ "$(stat -f -c '%S %b' "$work/mnt")" = "4096 $total" ] ||
      bad "the mount counts other blocks: $(stat -f -c '%S %b' "$work/mnt"), info: $total"
    fusermount3 -u "$work/mnt" || bad "could not unmount the 4096-byte volume"
  else
    echo "korva mount unavailable here: $(cat "$work/err")"
  fi
fi
exit $fail
fi

# ---- filled by the kernel ------------------------------------------------------------------
. "$here/kudf.sh"
run=$(find_kudf kudf-run "${KUDF_RUN:-}") || { echo "no kernel guest found; skipping"; exit 77; }

mkdir -p "$work/tree/sub/deeper"
printf 'small\n' >"$work/tree/small.txt"
head -c 300000 /dev/urandom >"$work/tree/sub/big.bin"
head -c 5000 /dev/urandom >"$work/tree/sub/deeper/mid.bin"
printf '%s' "$(seq 1 200)" >"$work/tree/numbers"
# On 4096-byte blocks the kernel keeps data of up to 3.9 KB inside the file entry.
head -c 3500 /dev/urandom >"$work/tree/sub/inline.bin"
files="small.txt sub/big.bin sub/deeper/mid.bin numbers sub/inline.bin"
# A directory whose entries fill several blocks of every size.
mkdir "$work/tree/many"
for i in $(seq -w 1 40); do
  printf 'entry %s\n' "$i" >"$work/tree/many/a-rather-long-file-name-number-$i.txt"
  files="$files many/a-rather-long-file-name-number-$i.txt"
done

# The hd volume with mkudffs's own 512-byte blocks: directories and files cross blocks. On
# 4096-byte blocks the kernel keeps "many" (about 3.3 KB of entries) inside its file entry,
# past the entry's first sector.
for spec in "hd 2.01 2048" "cdrw 1.50 2048" "hd 2.01 512" "hd 2.01 4096"; do
  set -- $spec
  img="$work/k-$1-$2-$3.img"
  opts=rw,bs=$3
  mkudffs --media-type="$1" --udfrev="$2" --blocksize="$3" --new-file "$img" $((16777216 / $3)) \
    >/dev/null 2>&1 || { bad "mkudffs $spec failed"; continue; }
  "$run" --disk "$img" --copy "$work/tree=/tmp/" -- sh -c \
    "mount -t udf -o $opts /dev/vda /mnt && cp -r /tmp/tree/* /mnt/ && umount /mnt" \
    >"$work/kout" 2>&1
  rc=$?
  if [ $rc -eq 2 ]; then
    echo "kernel guest unavailable; skipping"
    tail -3 "$work/kout"
    exit 77
  fi
  [ $rc -eq 0 ] || { bad "the kernel could not fill the $spec volume: $(tail -5 "$work/kout")"; continue; }
  k "$img" ls -l -R / || bad "$spec: ls of the kernel's tree failed: $(cat "$work/err")"
  for f in $files; do
    grep -q " $(basename "$f")\$" "$work/out" || bad "$spec: ls does not list $f"
  done
  k "$img" check || bad "$spec: check of the kernel's tree: $(cat "$work/out" "$work/err")"
  grep -q "4 directories and 4[56] files read in full" "$work/out" || bad "$spec: check: $(cat "$work/out")"
  rm -rf "$work/got" && mkdir "$work/got"
  k "$img" get / "$work/got" || bad "$spec: get of the kernel's tree failed: $(cat "$work/err")"
  for f in $files; do
    cmp -s "$work/got/$f" "$work/tree/$f" || bad "$spec: get copied other bytes of $f"
  done
  k "$img" cat /sub/big.bin && cmp -s "$work/out" "$work/tree/sub/big.bin" || bad "$spec: cat reads other bytes"
  # Through the file system too, where FUSE works here.
  if [ -w /dev/fuse ] && command -v fusermount3 >/dev/null 2>&1; then
    mkdir -p "$work/mnt"
    if k "$img" --read-only mount "$work/mnt"; then
      for f in $files; do
        cmp -s "$work/mnt/$f" "$work/tree/$f" || bad "$spec: the mount shows other bytes of $f"
      done
      touch "$work/mnt/new" 2>/dev/null && bad "$spec: the read-only mount took a new file"
      fusermount3 -u "$work/mnt" || bad "$spec: could not unmount"
    else
      echo "korva mount unavailable here: $(cat "$work/err")"
    fi
  fi
done
exit $fail
