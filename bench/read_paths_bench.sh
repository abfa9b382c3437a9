#!/usr/bin/env bash
# The read paths of two korva builds on one of this library's own volumes (2048-byte blocks):
# `ls -l -R`, `cat` of a large file and `check` over a tree of many small files and one
# large one, each run RUNS times per build, alternating. Counts user-space instructions (the
# machine is shared, so wall time says little): with perf where the processor's counters
# can be read, else with valgrind's cachegrind (its "I refs"), else user CPU seconds. Prints
# the median per build and the ratio NEW / OLD.
# Usage: read_paths_bench.sh OLD_KORVA NEW_KORVA [RUNS]
set -u
old=$1
new=$2
runs=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
img=$work/vol.img

mkdir -p "$work/tree"
for d in $(seq 1 20); do
  mkdir -p "$work/tree/dir-$d"
  for f in $(seq 1 100); do
    printf 'file %s of %s\n' "$f" "$d" >"$work/tree/dir-$d/file-with-a-longer-name-$f.txt"
  done
done
head -c $((64 << 20)) /dev/urandom >"$work/tree/large.bin"
"$new" -i "$img" format --quick --size 200 >/dev/null || { echo "format failed"; exit 1; }
"$new" -i "$img" put "$work/tree" / >/dev/null || { echo "put failed"; exit 1; }

how=time
if perf stat -x, -e instructions:u true 2>&1 >/dev/null | grep -q '^[0-9]'; then
  how=perf
elif command -v valgrind >/dev/null 2>&1; then
  how=cachegrind
fi

# One measurement of korva with the given arguments: instructions, or user CPU seconds.
measure() {
  local bin=$1
  shift
  case $how in
  perf)
    perf stat -x, -e instructions:u "$bin" -i "$img" "$@" 2>&1 >/dev/null |
      awk -F, '/instructions/ { print $1 }'
    ;;
  cachegrind)
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
      "$bin" -i "$img" "$@" 2>&1 >/dev/null | awk '/I +refs:/ { gsub(",", "", $NF); print $NF }'
    ;;
  *)
    /usr/bin/time -f %U "$bin" -i "$img" "$@" 2>&1 >/dev/null | tail -1
    ;;
  esac
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

unit="instructions, $how"
[ $how = time ] && unit="user seconds"
printf '%-22s %16s %16s %8s   (%s, median of %s)\n' workload old new ratio "$unit" "$runs"
for workload in "ls -l -R /" "cat /tree/large.bin" "check"; do
  : >"$work/old" && : >"$work/new"
  for _ in $(seq 1 "$runs"); do
    # shellcheck disable=SC2086
    measure "$old" $workload >>"$work/old"
    # shellcheck disable=SC2086
    measure "$new" $workload >>"$work/new"
  done
  o=$(median <"$work/old")
  n=$(median <"$work/new")
  printf '%-22s %16s %16s %8s\n' "$workload" "$o" "$n" "$(awk -v o="$o" -v n="$n" 'BEGIN { printf "%.4f", n / o }')"
done
