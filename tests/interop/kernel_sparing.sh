#!/usr/bin/env bash
# The kernel's UDF driver reads a volume whose packets were relocated through the sparing
# table, after korva wrote into a relocated packet: it must see the bytes korva wrote.
# Usage: kernel_sparing.sh SPARING_PREPARE      Exit 77 when no kernel reader is available.
set -u
prepare=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kudf.sh"
reader=$(find_kudf kudf-ls "${KUDF_LS:-}") || { echo "no kernel reader found; skipping"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$prepare" "$work/s.img" "$work/f.bin" || { echo "preparing the image failed"; exit 1; }
"$reader" -o bs=2048 "$work/s.img" >"$work/report" 2>"$work/err"
rc=$?
if [ $rc -eq 2 ]; then
  echo "kernel reader harness unavailable; skipping"; tail -5 "$work/err"; exit 77
fi
[ $rc -eq 0 ] || { echo "the kernel did not mount the volume:"; cat "$work/report"; exit 1; }
fail=0
if grep -E -i 'error|warning' <(sed -n '/KUDF DMESG/,/KUDF LS/p;/DMESG-LATER/,/KUDF END/p' "$work/report"); then
  echo "kernel logged errors"; fail=1
fi
sum=$(md5sum <"$work/f.bin" | cut -d' ' -f1)
grep -Eq "^$sum +(\./)?D/f.bin\$" "$work/report" || {
  echo "the kernel reads other bytes in /D/f.bin:"; sed -n '/KUDF MD5/,/KUDF DF/p' "$work/report"; fail=1; }
[ $fail -eq 0 ] && echo "the kernel reads the bytes korva wrote into the relocated packet"
exit $fail
