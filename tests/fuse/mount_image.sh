#!/usr/bin/env bash
# korva mount on an image: ordinary programs work in the mounted volume (cp, diff, rsync,
# tar, mv, rm, find, df, truncate), errors reach them as the errno they expect, a full
# volume gives ENOSPC, and after unmounting the volume is closed, clean and holds the same
# tree for korva and for the kernel's UDF driver.
# Usage: mount_image.sh KORVA      Exit 77 when FUSE cannot be used here.
set -u
KORVA=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
for tool in rsync tar diff find; do
  command -v $tool >/dev/null || { echo "$tool missing (scripts/deps.sh installs it)"; exit 1; }
done
work=$(mktemp -d)
mount_pid=
trap 'fusermount3 -u "$work/m" 2>/dev/null; fusermount3 -u "$work/full" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
img=$work/v.img m=$work/m src=$work/src
"$KORVA" -i "$img" format --size 96 --label MOUNT >/dev/null || { echo "format failed"; exit 1; }
make_tree "$src"
start_mount "$m" -i "$img" || exit $?

# Copy in and compare; then rsync a changed tree over it, keeping times and modes.
cp -r "$src" "$m/tree" || fail "cp -r into the mount"
diff -r "$src" "$m/tree" || fail "diff after cp -r"
echo changed >>"$src/a/one"
head -c 300000 /dev/urandom >"$src/a/b/new"
chmod 640 "$src/a/b/2048"
touch -d '2001-02-03 04:05:06.789' "$src/a/b/2049"
rsync -a "$src/" "$m/tree/" || fail "rsync -a over the tree"
diff -r "$src" "$m/tree" || fail "diff after rsync"
changes=$(rsync -a --dry-run --itemize-changes "$src/" "$m/tree/")
[ -z "$changes" ] || fail "rsync still sees differences (times or modes not kept): $changes"
[ "$(stat -c %a "$m/tree/a/b/2048")" = 640 ] || fail "chmod not kept"

# tar both ways.
mkdir "$m/untarred" && (cd "$src" && tar cf - .) | (cd "$m/untarred" && tar xf -) ||
  fail "tar into the mount"
diff -r "$src" "$m/untarred" || fail "diff after tar into the mount"
mkdir "$work/back" && (cd "$m/tree" && tar cf - .) | (cd "$work/back" && tar xf -) ||
  fail "tar out of the mount"
diff -r "$src" "$work/back" || fail "diff after tar out of the mount"

# Moves, mirrored in a local copy; a directory cannot go below itself.
cp -a "$src" "$work/expect"
for d in "$m/tree" "$work/expect"; do
  mv "$d/a/one" "$d/one-moved" && mv "$d/a/b" "$d/b-moved" && mv "$d/with space" "$d/ünïcødé/" ||
    fail "mv in $d"
done
diff -r "$work/expect" "$m/tree" || fail "diff after mv"
mv "$m/tree/b-moved" "$m/tree/b-moved/c/" 2>/dev/null && fail "a directory moved into itself"
echo new >"$work/expect/a/empty.txt" && echo new >"$m/tree/replacement" &&
  mv "$m/tree/replacement" "$m/tree/a/empty.txt" || fail "mv over an existing file"

# Errors as users expect them.
expect_error() { # TEXT COMMAND... : the command fails and says TEXT
  local text=$1 out
  shift
  out=$("$@" 2>&1) && { fail "$* succeeded"; return; }
  case $out in *"$text"*) ;; *) fail "$*: expected '$text', got: $out" ;; esac
}
expect_error "File exists" mkdir "$m/tree/a"
expect_error "Directory not empty" rmdir "$m/tree/a"
# Links and FIFOs are stored as such; they go again before the trees are compared.
ln -s x "$m/tree/link" && [ "$(readlink "$m/tree/link")" = x ] || fail "symbolic link"
ln "$m/tree/one-moved" "$m/tree/hard" && [ "$(stat -c %h "$m/tree/one-moved")" = 2 ] ||
  fail "hard link"
mkfifo "$m/tree/fifo" && [ -p "$m/tree/fifo" ] || fail "mkfifo"
rm "$m/tree/link" "$m/tree/hard" "$m/tree/fifo" || fail "removing links and FIFOs"
[ "$(stat -c %h "$m/tree/one-moved")" = 1 ] || fail "link count after removing a hard link"
expect_error "File name too long" touch "$m/tree/$(printf 'n%.0s' $(seq 1 255))"
expect_error "Invalid argument" touch "$m/tree/back\\slash"
truncate -s 100 "$m/tree/b-moved/c/several-mib" && truncate -s 100 "$work/expect/b-moved/c/several-mib" ||
  fail "truncate to a smaller size"
truncate -s 0 "$m/tree/b-moved/packet" && [ "$(stat -c %s "$m/tree/b-moved/packet")" = 0 ] ||
  fail "truncate to 0"
truncate -s 0 "$work/expect/b-moved/packet"
truncate -s 5000 "$m/tree/a/empty.txt" && truncate -s 5000 "$work/expect/a/empty.txt" ||
  fail "truncate to a larger size"
printf 'abc' | dd of="$m/tree/one-moved" bs=1 seek=1 conv=notrunc 2>/dev/null &&
  printf 'abc' | dd of="$work/expect/one-moved" bs=1 seek=1 conv=notrunc 2>/dev/null ||
  fail "write at an offset"
diff -r "$work/expect" "$m/tree" || fail "diff after truncates and offset writes"

# rm -r, find, df.
rm -r "$m/untarred" || fail "rm -r"
[ -e "$m/untarred" ] && fail "rm -r left the tree"
(cd "$work/expect" && find . | sort) >"$work/find.expect"
(cd "$m/tree" && find . | sort) >"$work/find.got"
diff "$work/find.expect" "$work/find.got" || fail "find lists another tree"
df -P "$m" | grep -q "korva:" || fail "df does not show the mount"
used_kib=$(df -P "$m" | awk 'NR==2{print $3}')
[ "$used_kib" -gt 100 ] || fail "df shows ${used_kib} KiB used"
stop_mount "$m" || fail "unmount"

# Closed and clean; korva itself sees the same tree.
"$KORVA" -i "$img" check >/dev/null || fail "korva check finds problems after the mount"
"$KORVA" -i "$img" get /tree "$work/got" >/dev/null || fail "korva get"
diff -r "$work/expect" "$work/got" || fail "korva get returns another tree"

# The kernel's UDF driver, where its harness is around.
reader=${KUDF_LS:-}
for c in "$here"/../../{,../,../../}shared/tools/kudf/kudf-ls; do
  [ -z "$reader" ] && [ -x "$c" ] && reader=$c
done
if [ -n "$reader" ]; then
  "$reader" -o bs=2048 "$img" >"$work/report" 2>"$work/err"
  rc=$?
  if [ $rc -eq 0 ]; then
    (cd "$work/expect" && find . -type f -exec md5sum {} \;) | sed 's#  \./#  tree/#' | sort >"$work/md5.expect"
    sed -n '/KUDF MD5/,/KUDF DF/p' "$work/report" | grep -v '^===' | sort >"$work/md5.got"
    diff "$work/md5.expect" "$work/md5.got" || fail "the kernel reads another tree"
    sed -n '/KUDF DMESG/,/KUDF LS/p;/DMESG-LATER/,/KUDF END/p' "$work/report" |
      grep -E -i 'error|warning' && fail "the kernel logged errors"
  elif [ $rc -ne 2 ]; then
    fail "the kernel did not mount the volume"; cat "$work/report"
  else
    echo "kernel reader harness unavailable; that part is left out"
  fi
else
  echo "no kernel reader found; that part is left out"
fi

# A full volume: cp is told ENOSPC and the volume stays consistent.
full=$work/full.img
"$KORVA" -i "$full" format --size 8 >/dev/null || { echo "format failed"; exit 1; }
head -c 12000000 /dev/urandom >"$work/too-big"
start_mount "$work/full" -i "$full" || exit $?
expect_error "No space left on device" cp "$work/too-big" "$work/full/too-big"
echo small >"$work/full/after" || fail "a small file after ENOSPC"
stop_mount "$work/full" || fail "unmount of the full volume"
"$KORVA" -i "$full" check >/dev/null || fail "korva check finds problems after ENOSPC"

# Read-only: reading works, every change is refused.
start_mount "$m" -i "$img" --read-only || exit $?
cmp "$work/expect/b-moved/new" "$m/tree/b-moved/new" || fail "read-only: reading"
expect_error "Read-only file system" touch "$m/tree/x"
expect_error "Read-only file system" rm "$m/tree/one-moved"
stop_mount "$m" || fail "read-only: unmount"

# Ctrl-C of a foreground mount unmounts, closes the volume and exits 0.
start_mount "$m" -i "$img" || exit $?
echo more >"$m/tree/ctrl-c" && echo more >"$work/expect/ctrl-c"
sleep 1 # past the timer thread's first round
kill -INT "$mount_pid"
for _ in $(seq 1 100); do kill -0 "$mount_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$mount_pid" 2>/dev/null && { fail "Ctrl-C did not end the mount"; fusermount3 -u "$m"; }
rc=0
wait "$mount_pid" || rc=$?
[ $rc -eq 0 ] || fail "korva mount ended with $rc after Ctrl-C"
grep -q " $m fuse.korva " /proc/mounts && { fail "still mounted after Ctrl-C"; fusermount3 -u "$m"; }
"$KORVA" -i "$img" cat /tree/ctrl-c | cmp - "$work/expect/ctrl-c" || fail "data written before Ctrl-C"

# Without -f korva returns once the file system is there and serves it in the background.
"$KORVA" -i "$img" mount "$m" || fail "a detached mount"
grep -q " $m fuse.korva " /proc/mounts || fail "korva returned before the mount was ready"
cat "$m/tree/one-moved" >/dev/null || fail "reading through a detached mount"
fusermount3 -u "$m"
for _ in $(seq 1 100); do "$KORVA" -i "$img" info >/dev/null 2>&1 && break; sleep 0.1; done
"$KORVA" -i "$img" check >/dev/null || fail "korva check after a detached mount"

[ $failures -eq 0 ] && echo "mount on an image: all good"
[ $failures -eq 0 ]
