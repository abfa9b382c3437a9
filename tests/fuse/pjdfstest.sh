#!/usr/bin/env bash
# pjdfstest (the POSIX file system test suite) over a fresh image mounted with korva mount;
# then korva check on the unmounted volume must be clean. Every test must pass except those
# listed in pjdfstest.exclude (each with the reason it cannot pass on UDF or through FUSE).
# A mount that dies on the way fails the test.
# Usage: pjdfstest.sh KORVA
# Skips (77) without root, FUSE, prove, a C compiler, autotools or the pjdfstest sources
# (PJDFSTEST_SRC, else /work/shared/tools/pjdfstest found from here). PJDFSTEST_ONLY="chmod
# rename" runs those folders of the suite only; PJDFSTEST_LEAVE_OUT="rename/09.t" leaves those
# test files out; PJDFSTEST_JOBS=n runs n folders at a time; PJDFSTEST_CACHE=DIR keeps the
# built suite there for the next run.
set -u
KORVA=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
src=${PJDFSTEST_SRC:-$(shared_tool pjdfstest pjdfstest.c)}
[ -n "$src" ] || { echo "no pjdfstest sources; skipping"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "pjdfstest switches users and needs root; skipping"; exit 77; }
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
for tool in prove autoreconf make cc; do
  command -v $tool >/dev/null 2>&1 || { echo "no $tool; skipping"; exit 77; }
done
# The suite's other users must reach the mount point: fresh_volume lets them in.
fresh_volume 256 || exit $?
# Built the way its build.sh does, with the configure script made first; once for every run
# that names the same PJDFSTEST_CACHE folder (scripts/test shares one between its builds).
build_pjdfstest() {
  mkdir "$1" && cp -r "$src"/. "$1"/ &&
    (cd "$1" && autoreconf -fi && ./configure && make pjdfstest) >"$work/build.log" 2>&1
}
cache=${PJDFSTEST_CACHE:-}
if [ -n "$cache" ] && [ -x "$cache/pjdfstest" ] && cmp -s "$src/pjdfstest.c" "$cache/pjdfstest.c"; then
  cp -r "$cache" "$work/pjd"
else
  build_pjdfstest "$work/pjd" || { echo "pjdfstest does not build:"; tail -20 "$work/build.log"; exit 1; }
  # Put in place whole, so that a run that stops half way leaves no half-made cache.
  [ -z "$cache" ] || { rm -rf "$cache.new" && cp -r "$work/pjd" "$cache.new" && rm -rf "$cache" &&
    mv "$cache.new" "$cache"; }
fi

folders=(${PJDFSTEST_ONLY:-$(cd "$work/pjd/tests" && ls -d -- */ | tr -d /)})
started=$(date +%s)
# The folders run side by side, PJDFSTEST_JOBS (4) at a time, each in a prove of its own:
# most of the suite's time goes to sleeps that let timestamps move, not to the mount.
mkdir "$work/prove"
# Each folder's test files, less those left out, as paths prove takes from the mount point.
for d in "${folders[@]}"; do
  (cd "$work/pjd/tests" && find "$d" -name '*.t' | sort |
    grep -vxF $(printf -- '-e %s ' ${PJDFSTEST_LEAVE_OUT:-} /) | sed "s|^|$work/pjd/tests/|") \
    >"$work/prove/$d.list"
done
printf '%s\n' "${folders[@]}" | (cd "$work/m" &&
  xargs -n 1 -P "${PJDFSTEST_JOBS:-4}" sh -c 'prove -v $(cat "$0/$1.list") >"$0/$1.txt" 2>&1' \
    "$work/prove")
for d in "${folders[@]}"; do cat "$work/prove/$d.txt"; done >"$work/prove.txt"
echo "pjdfstest ran in $(($(date +%s) - started)) s: $(grep -E '^(Files|Result)' "$work/prove.txt" | tr '\n' ' ')"
grep -q "Parse errors" "$work/prove.txt" && fail "test files ended early: $(grep -B1 'Parse errors' "$work/prove.txt" | head -4)"

# "not ok" lines as FILE NUMBER, FILE relative to the tests folder.
awk -v base="$work/pjd/tests/" '
  /\.t \.+/ { file = $1; sub(base, "", file); next }
  /^not ok [0-9]+/ && $0 !~ /# TODO/ { print file, $3 }' "$work/prove.txt" | sort -u >"$work/failed"
grep -v '^#' "$here/pjdfstest.exclude" | awk 'NF { print $1, $2 }' | sort -u >"$work/excluded"
unexpected=$(comm -23 "$work/failed" "$work/excluded")
if [ -n "$unexpected" ]; then
  fail "pjdfstest failures not in the exclusion list:"
  echo "$unexpected"
  while read -r file number; do
    grep -E "^not ok $number( |$)" -m1 -A0 <(awk -v f="$file" 'index($0, f " ..") { on = 1; next }
      /\.t \.+/ { on = 0 } on' "$work/prove.txt")
  done <<<"$unexpected" | head -40
fi
passing=$(comm -13 "$work/failed" "$work/excluded")
[ -z "$passing" ] || echo "note: excluded tests that passed: $(echo "$passing" | tr '\n' ' ')"
echo "failed $(wc -l <"$work/failed") tests, $(wc -l <"$work/excluded") excluded"

finish_volume
