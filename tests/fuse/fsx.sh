#!/usr/bin/env bash
# fsx (the file system exerciser) on korva mount with a fixed list of seeds, with and without
# mapped reads and writes, two files at once; then korva check must be clean. A failing seed
# replays with the same fsx options.
# Usage: fsx.sh KORVA      Skips (77) without FUSE, gcc or the fsx sources (FSX_SRC, else
# /work/shared/tools/fsx found from here).
set -u
KORVA=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
src=${FSX_SRC:-$(shared_tool fsx build.sh)}
[ -n "$src" ] || { echo "no fsx sources; skipping"; exit 77; }
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
command -v gcc >/dev/null 2>&1 || { echo "no gcc; skipping"; exit 77; }
fresh_volume 64 || exit $?
"$src/build.sh" "$work" >"$work/build.log" 2>&1 || { echo "fsx does not build:"; cat "$work/build.log"; exit 1; }

# No fallocate, hole punching, zero, collapse or insert ranges: the mount has none of them.
common=(-q -N 4000 -F -H -z -C -I -P "$work")
# seed, then the options of that run: mapped I/O, read()/write() only, and both with a close
# and open every 50 operations and larger files.
runs=("1" "2 -W -R" "3 -c 50 -l 1048576" "4 -W -R -c 50 -l 1048576" "5 -o 200000" "6 -W -R -r 4096 -w 4096")
started=$(date +%s)
for ((i = 0; i < ${#runs[@]}; i += 2)); do
  pids=()
  for run in "${runs[i]}" "${runs[i + 1]}"; do
    read -r seed opts <<<"$run"
    # shellcheck disable=SC2086
    "$work/fsx" "${common[@]}" -S "$seed" $opts "$work/m/fsx$seed" >"$work/fsx$seed.log" 2>&1 &
    pids+=("$!:$seed:$opts")
  done
  for p in "${pids[@]}"; do
    IFS=: read -r pid seed opts <<<"$p"
    if ! wait "$pid"; then
      fail "fsx -S $seed $opts"
      tail -30 "$work/fsx$seed.log"
    fi
  done
done
echo "fsx ran ${#runs[@]} seeds in $(($(date +%s) - started)) s"
finish_volume
