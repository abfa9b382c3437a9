#!/bin/bash
# Fails on an include that runs upward: between the top-level folders, or between the parts
# of the volume engine. Usage: layers.sh SOURCE_DIR
set -u
root=${1:?source directory}
cd "$root" || exit 2

# What each folder may include besides itself and the public headers (korva/).
declare -A below=(
  [udf]=""
  [device]="udf"
  [vdrive]="udf device"
  [volume]="udf device"
  [component]="udf device volume"
  [lib]="udf device volume component"
  [tools]="udf device volume component"
  [demo]="component"
)
# The engine's parts, lowest first; the files directly in volume/ serve all of them.
declare -A part_rank=([base]=0 [medium]=1 [fs]=2 [check]=3 [life]=3)

part_of() { # volume/<part>/file or volume/file -> part
  local rest=${1#volume/}
  [[ $rest == */* ]] && echo "${rest%%/*}" || echo base
}

bad=0
report() {
  echo "$1:$2: includes \"$3\", which lies above it"
  bad=1
}

check_file() {
  local file=$1 top=${1%%/*} n=0 line target
  while IFS= read -r line; do
    n=$((n + 1))
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]+\"([^\"]+)\" ]] || continue
    target=${BASH_REMATCH[1]}
    [[ $target == */* ]] || continue # a neighbour in the same folder
    local ttop=${target%%/*}
    [[ $ttop == korva ]] && continue
    if [[ $ttop != "$top" ]]; then
      [[ " ${below[$top]} " == *" $ttop "* ]] || report "$file" "$n" "$target"
      continue
    fi
    [[ $top == volume ]] || continue
    local from to
    from=$(part_of "$file")
    to=$(part_of "$target")
    if [[ -z ${part_rank[$from]:-} || -z ${part_rank[$to]:-} ]]; then
      echo "$file: engine part '$from' or '$to' is not in this test's table"
      bad=1
    elif [[ $from != "$to" && ${part_rank[$to]} -ge ${part_rank[$from]} ]]; then
      report "$file" "$n" "$target"
    fi
  done <"$file"
}

count=0
for top in "${!below[@]}"; do
  [[ -d $top ]] || continue
  while IFS= read -r -d '' f; do
    check_file "$f"
    count=$((count + 1))
  done < <(find "$top" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \) -print0)
done
if ((count < 100)); then
  echo "only $count sources found under $root: wrong directory?"
  exit 1
fi
((bad)) && exit 1
echo "$count sources: every include runs downward"
