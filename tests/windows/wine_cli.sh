#!/usr/bin/env bash
# The Windows korva.exe under Wine, as a user would run it: an image formatted, filled,
# listed, read back, checked and repaired; then read by the Linux korva, udfinfo and (when
# its harness is around) the kernel's UDF driver, and compared with an image the Linux tool
# made from the same inputs. Then the virtual drive DLL on a CD-RW and a DVD+RW, loaded
# through --aspi and, copied as WNASPI32.DLL beside the program, by its default name.
# Usage: wine_cli.sh KORVA_EXE VDRIVE_DLL [LINUX_KORVA]      Exit 77 without Wine.
set -u
exe=$1 dll=$2 linux=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
wine=${KORVA_WINE:-}
[ -n "$wine" ] || wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "no wine; skipping"; exit 77; }
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$(pwd)/wineprefix}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$exe" korva.exe && cp "$dll" korva_vdrive.dll || exit 1
fail=0
win() { "$wine" ./korva.exe "$@"; }
bad() { echo "FAIL: $*"; fail=1; }

# Inputs: a small tree with a file spanning several packets.
mkdir -p src/docs/deep && echo hello >src/a.txt && printf 'x\r\ny\n' >src/docs/crlf.txt
head -c 3000000 /dev/urandom >src/docs/deep/big.bin && : >src/docs/empty

win -i w.iso format --size 100 --label WINE >out 2>&1 || { cat out; bad "format"; }
win -i w.iso put src / >out 2>&1 || { cat out; bad "put"; }
win -i w.iso ls -l -R / >win.ls 2>&1 || { cat win.ls; bad "ls"; }
win -i w.iso get /src got >out 2>&1 || { cat out; bad "get"; }
diff -r src got/src >/dev/null 2>&1 || diff -r src got >/dev/null 2>&1 || bad "get: the tree read back differs"
win -i w.iso info --json >win.json 2>&1 || { cat win.json; bad "info"; }
grep -q '"label":"WINE"' win.json && grep -q '"files":4' win.json || { cat win.json; bad "info --json"; }
win -i w.iso check >out 2>&1 || { cat out; bad "check"; }
win -i w.iso repair >out 2>&1 || { cat out; bad "repair"; }

if [ -n "$linux" ] && [ -x "$linux" ]; then
  # The Linux tool reads what Windows wrote: the same listing, the same bytes.
  "$linux" -i w.iso ls -l -R / >linux.ls 2>&1 || bad "Linux ls of the Windows image"
  tr -d '\r' <win.ls | diff - linux.ls >/dev/null || { diff <(tr -d '\r' <win.ls) linux.ls; bad "listings differ"; }
  "$linux" -i w.iso get /src lgot >/dev/null 2>&1 || bad "Linux get"
  (cd src && find . -type f -exec md5sum {} + | sort) >src.md5
  (cd lgot/src 2>/dev/null || cd lgot; find . -type f -exec md5sum {} + | sort) >lgot.md5
  diff src.md5 lgot.md5 >/dev/null || bad "md5s differ between the input and the Linux read"
  "$linux" -i w.iso check >/dev/null 2>&1 || bad "Linux check of the Windows image"
  # The same inputs through the Linux tool make the same volume: counts and free space.
  "$linux" -i l.iso format --size 100 --label WINE >/dev/null && "$linux" -i l.iso put src / >/dev/null
  strip() { sed 's/"target":"[^"]*",//' "$1"; }
  "$linux" -i l.iso info --json >linux.json
  [ "$(strip win.json | tr -d '\r')" = "$(strip linux.json)" ] || { cat win.json linux.json; bad "info differs"; }
else
  echo "no Linux korva given: the Linux reading is left out"
fi
if command -v udfinfo >/dev/null 2>&1; then
  udfinfo w.iso >udfinfo.out 2>&1 && grep -q "label=WINE" udfinfo.out || { cat udfinfo.out; bad "udfinfo"; }
fi
kudf=${KUDF_LS:-}
for c in "$here/../../../shared/tools/kudf/kudf-ls" "$here/../../../../shared/tools/kudf/kudf-ls"; do
  [ -z "$kudf" ] && [ -x "$c" ] && kudf=$c
done
if [ -n "$kudf" ] && [ "${KORVA_WINE_KERNEL:-1}" != 0 ]; then
  "$kudf" -o bs=2048 w.iso >kudf.out 2>&1
  case $? in
    0) # The kernel's md5s of every file, against the inputs put under /src.
       sed -n '/=== KUDF MD5 ===/,/=== KUDF DF ===/p' kudf.out |
         sed -n 's#^\([0-9a-f]\{32\}\)  src/#\1 ./#p' | sort >kudf.md5
       (cd src && find . -type f -exec md5sum {} + | sed 's#  # #' | sort) >src1.md5
       diff src1.md5 kudf.md5 >/dev/null || { diff src1.md5 kudf.md5; tail -20 kudf.out; bad "the kernel reads other files or bytes"; } ;;
    2) echo "kernel reader harness unavailable" ;;
    *) tail -20 kudf.out; bad "the kernel did not mount the Windows image" ;;
  esac
fi

# Virtual drives through the ASPI-style DLL.
export KORVA_VDRIVE="cd-rw:cd.img;dvd+rw:dvd.img"
win --aspi korva_vdrive.dll drives >drives.out 2>&1 || { cat drives.out; bad "drives"; }
[ "$(grep -c KORVA drives.out)" = 2 ] || { cat drives.out; bad "drives: two drives expected"; }
for d in D E; do
  win --aspi korva_vdrive.dll -d $d format >out 2>&1 || { cat out; bad "format of drive $d"; }
  win --aspi korva_vdrive.dll -d $d put src / >out 2>&1 || { cat out; bad "put on drive $d"; }
  win --aspi korva_vdrive.dll -d $d get /src/docs/deep/big.bin big.$d >out 2>&1 || { cat out; bad "get from drive $d"; }
  cmp -s big.$d src/docs/deep/big.bin || bad "drive $d: the file read back differs"
done
# By the default name, from beside the program. Wine has a WNASPI32.DLL of its own that it
# prefers to one beside the program; Windows has none, so the override says what Windows does.
cp korva_vdrive.dll WNASPI32.DLL
export WINEDLLOVERRIDES="wnaspi32=n,b"
win drives >out 2>&1 && [ "$(grep -c KORVA out)" = 2 ] || { cat out; bad "WNASPI32.DLL by its default name"; }
win -d E ls /src/docs/deep >out 2>&1 && grep -q big.bin out || { cat out; bad "ls through WNASPI32.DLL"; }

[ $fail -eq 0 ] && echo "korva.exe under Wine: all checks passed"
exit $fail
