# Shared steps of the mount tests: skipping where FUSE cannot be used, starting a mount in
# the foreground and stopping it with fusermount3, comparing trees.
# Sourced with KORVA set to the tool.

fuse_usable() {
  [ -c /dev/fuse ] && command -v fusermount3 >/dev/null 2>&1
}

# start_mount MOUNTPOINT ARGS... : runs "korva ARGS mount MOUNTPOINT -f" in the background
# (log in $work/mount.log); returns 77 when the kernel refuses FUSE mounts here.
start_mount() {
  local mp=$1
  shift
  mkdir -p "$mp"
  "$KORVA" "$@" mount "$mp" -f 2>>"$work/mount.log" &
  mount_pid=$!
  for _ in $(seq 1 100); do
    grep -q " $mp fuse.korva " /proc/mounts && return 0
    kill -0 "$mount_pid" 2>/dev/null || break
    sleep 0.05
  done
  if grep -q "cannot mount here" "$work/mount.log"; then return 77; fi
  echo "the mount did not come up:"; cat "$work/mount.log"
  return 1
}

# stop_mount MOUNTPOINT : unmounts and checks that korva ended with status 0.
stop_mount() {
  fusermount3 -u "$1" || { echo "fusermount3 -u $1 failed"; return 1; }
  local rc=0
  wait "$mount_pid" || rc=$?
  if [ $rc -ne 0 ]; then
    echo "korva mount exited with $rc:"; cat "$work/mount.log"; return 1
  fi
}

# A tree with the sizes and names that matter: empty files, around a block, a packet,
# several MiB, nested and empty directories, non-ASCII names.
make_tree() {
  local t=$1
  mkdir -p "$t/a/b/c" "$t/empty" "$t/ünïcødé/日本語" "$t/with space"
  : >"$t/a/empty.txt"
  : >"$t/ünïcødé/日本語/空"
  head -c 1 /dev/urandom >"$t/a/one"
  head -c 2048 /dev/urandom >"$t/a/b/2048"
  head -c 2049 /dev/urandom >"$t/a/b/2049"
  head -c 65536 /dev/urandom >"$t/a/b/packet"
  head -c 5000000 /dev/urandom >"$t/a/b/c/several-mib"
  echo "файл" >"$t/ünïcødé/файл.txt"
  echo "space" >"$t/with space/a b.txt"
}

# fail MESSAGE : records a failure and goes on, so one run shows every problem.
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# fresh_volume SIZE_MIB : a work folder $work that others may enter (removed at exit, the
# mount stopped first) holding a fresh image of SIZE_MIB MiB, mounted at $work/m.
fresh_volume() {
  work=$(mktemp -d)
  chmod 755 "$work"
  mount_pid=
  failures=0
  trap 'fusermount3 -u "$work/m" 2>/dev/null; rm -rf "$work"' EXIT
  "$KORVA" -i "$work/v.img" format --size "$1" >/dev/null || { echo "format failed"; return 1; }
  start_mount "$work/m" -i "$work/v.img"
}

# finish_volume : unmounts the volume of fresh_volume, which korva check must find clean;
# exits with the outcome of the whole test.
finish_volume() {
  kill -0 "$mount_pid" 2>/dev/null || fail "korva mount died during the run"
  stop_mount "$work/m" || fail "unmount"
  "$KORVA" -i "$work/v.img" check || fail "korva check finds problems"
  exit $((failures != 0))
}

# shared_tool NAME FILE : the folder of a tool shared by the machine's projects
# (/work/shared/tools/NAME, found from this checkout) that holds FILE; empty when none.
shared_tool() {
  local c
  for c in "$here/../../../shared/tools/$1" "$here/../../../../shared/tools/$1"; do
    [ -e "$c/$2" ] && { (cd "$c" && pwd); return; }
  done
}
