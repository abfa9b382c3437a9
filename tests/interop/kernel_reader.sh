#!/usr/bin/env bash
# Writes a tree into a fresh image with the korva tool, then lets the kernel's UDF driver
# mount it and checks that it sees every file with the same bytes and the right free space.
# Usage: kernel_reader.sh KORVA SAMPLES_DIR      Exit 77 when no kernel reader is available.
set -u
korva=$1 samples=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kudf.sh"
reader=$(find_kudf kudf-ls "${KUDF_LS:-}") || { echo "no kernel reader found; skipping"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
img="$work/k.iso"
"$korva" -i "$img" format --size 64 --label KERNEL >/dev/null || { echo "format failed"; exit 1; }
"$korva" -i "$img" mkdir /empty >/dev/null || { echo "mkdir failed"; exit 1; }
"$korva" -i "$img" put "$samples" / >/dev/null || { echo "put failed"; exit 1; }
# A file that needs several extents' worth of packets.
head -c 3000000 /dev/urandom >"$work/big.bin"
"$korva" -i "$img" put "$work/big.bin" / >/dev/null || { echo "put big failed"; exit 1; }
free_blocks=$("$korva" -i "$img" info --json | sed -n 's/.*"free_blocks":\([0-9]*\).*/\1/p')

"$reader" -o bs=2048 "$img" >"$work/report" 2>"$work/err"
rc=$?
if [ $rc -eq 2 ]; then
  echo "kernel reader harness unavailable; skipping"; tail -5 "$work/err"; exit 77
fi
if [ $rc -ne 0 ]; then
  echo "the kernel did not mount the volume:"; cat "$work/report"; exit 1
fi
fail=0
if ! grep -q "Mounting volume 'KERNEL'" "$work/report"; then
  echo "kernel did not report the label"; fail=1
fi
if grep -E -i 'error|warning' <(sed -n '/KUDF DMESG/,/KUDF LS/p;/DMESG-LATER/,/KUDF END/p' "$work/report"); then
  echo "kernel logged errors"; fail=1
fi
# Every local file must be there with the same checksum.
(cd "$samples" && find . -type f -exec md5sum {} \;) | sed 's# \./#samples/#' >"$work/expect"
md5sum "$work/big.bin" | sed "s#$work/##" >>"$work/expect"
sed -n '/KUDF MD5/,/KUDF DF/p' "$work/report" | grep -v '^===' >"$work/got"
while read -r sum path; do
  if ! grep -qxF "$sum  $path" "$work/got"; then echo "missing or different: $path"; fail=1; fi
done <"$work/expect"
if [ "$(wc -l <"$work/got")" -ne "$(wc -l <"$work/expect")" ]; then
  echo "the kernel sees a different number of files"; fail=1
fi
grep -q ' ./empty$' "$work/report" || { echo "the empty directory is missing"; fail=1; }
# df reports 1K blocks; the volume's blocks are 2048 bytes.
avail_k=$(sed -n '/KUDF DF/,/DMESG-LATER/p' "$work/report" | awk '$1=="/dev/vda"{print $4}')
if [ -n "$free_blocks" ] && [ "$avail_k" != "$((free_blocks * 2))" ]; then
  echo "free space differs: kernel ${avail_k} KiB, korva ${free_blocks} blocks"; fail=1
fi
[ $fail -eq 0 ] && echo "kernel reader agrees: $(wc -l <"$work/got") files"
exit $fail
