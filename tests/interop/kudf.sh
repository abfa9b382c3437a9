# Finds a tool of the kernel guest harness (kudf-run, kudf-ls): the path given (from the
# environment) or the shared tools beside the checkout, whichever folder the checkout is in.
# Prints the path; fails when there is none.
find_kudf() { # TOOL [GIVEN]
  local here c
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  if [ -n "${2:-}" ]; then
    echo "$2"
    return 0
  fi
  for c in "$here/../../../shared/tools/kudf/$1" "$here/../../../../shared/tools/kudf/$1" \
    "$here/../../shared/tools/kudf/$1"; do
    [ -x "$c" ] && echo "$c" && return 0
  done
  return 1
}
