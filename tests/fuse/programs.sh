#!/usr/bin/env bash
# Programs that rewrite their files in ways a plain copy never does, on korva mount: sqlite3's
# VACUUM (shrinks the database file to a size other than zero) and git gc (packs loose
# objects and deletes them though they are read-only); then korva check must be clean.
# Usage: programs.sh KORVA      Skips (77) without FUSE, sqlite3 or git.
set -u
KORVA=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
fuse_usable || { echo "no usable /dev/fuse or fusermount3; skipping"; exit 77; }
for tool in sqlite3 git; do
  command -v $tool >/dev/null 2>&1 || { echo "no $tool; skipping"; exit 77; }
done
fresh_volume 128 || exit $?

# sqlite3: a database that loses most of its rows, then VACUUM gives the space back.
db="$work/m/t.db"
sqlite3 "$db" "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
  INSERT INTO t(v) SELECT printf('%0200d', i) FROM n;" || fail "sqlite3 fill"
full=$(stat -c %s "$db")
sqlite3 "$db" "DELETE FROM t WHERE id % 10 != 0; VACUUM;" || fail "sqlite3 VACUUM"
vacuumed=$(stat -c %s "$db")
[ "$vacuumed" -lt $((full / 4)) ] || fail "VACUUM left the database at $vacuumed of $full bytes"
[ "$(sqlite3 "$db" 'PRAGMA integrity_check; SELECT count(*) FROM t;' | tr '\n' ' ')" = "ok 2000 " ] ||
  fail "the database after VACUUM: $(sqlite3 "$db" 'PRAGMA integrity_check;' 2>&1 | head -3)"

# git: commits make loose objects (mode 0444); gc packs them and removes the loose ones.
repo="$work/m/repo"
export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@t GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t
export GIT_CONFIG_NOSYSTEM=1 HOME="$work"
git init -q "$repo" || fail "git init"
for i in 1 2 3 4 5; do
  seq 1 $((i * 1000)) >"$repo/file$i"
  mkdir -p "$repo/dir$i" && echo "$i" >"$repo/dir$i/x"
  (cd "$repo" && git add -A && git commit -qm "commit $i") || fail "git commit $i"
done
loose=$(find "$repo/.git/objects" -path '*/objects/??/*' -type f | wc -l)
(cd "$repo" && git gc -q --prune=now) || fail "git gc"
left=$(find "$repo/.git/objects" -path '*/objects/??/*' -type f | wc -l)
[ "$loose" -gt 0 ] && [ "$left" -eq 0 ] || fail "git gc left $left of $loose loose objects"
(cd "$repo" && git fsck --full --no-progress) || fail "git fsck after gc"
[ "$(cd "$repo" && git rev-list --count HEAD)" = 5 ] || fail "history after gc"

finish_volume
