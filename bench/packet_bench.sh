#!/usr/bin/env bash
# Small files through the packet layer, one run on one machine:
#   - drive commands per file (WRITE(10) packets, READ(10), SYNCHRONIZE CACHE) from the
#     command trace of the virtual drive, CD-RW and DVD+RW, for `korva put` of 2,000 files
#     of 3,000 bytes and of N empty files;
#   - image I/O per file (pread64, pwrite64, fdatasync) counted with strace -c;
#   - wall time of `korva put` and `korva get` of both trees on tmpfs against `cp -r` of the
#     same tree to the same file system, and the peak RSS of each korva run;
#   - with DISK_DIR (a directory on a real disk): the cost of the barriers, as the wall time
#     of `korva put` of the small files to an image there against the same on tmpfs, and the
#     fdatasync calls and the seconds spent in them (strace -c);
#   - WRITE(10) per MiB for one 256 MiB file on the virtual DVD+RW.
# Usage: bench/packet_bench.sh KORVA VDRIVE_MODULE [EMPTY_FILES] [DRIVE_EMPTY_FILES] [DISK_DIR]
# (EMPTY_FILES default 20000; the drive runs of empty files default to 2000, as the old
# write path makes a 20,000-file run on the virtual drive take the better part of an hour).
# For a before/after table run it once per build in the same session.
set -eu
KORVA=$(realpath "$1") module=$(realpath "$2") nempty=${3:-20000} ndrive=${4:-2000} disk=${5:-}
work=$(mktemp -d /dev/shm/korva-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

tree() { # DIR COUNT BYTES
  mkdir -p "$1"
  if [ "$3" -eq 0 ]; then (cd "$1" && seq -f "f%05g" "$2" | xargs touch)
  else head -c "$3" /dev/urandom >"$work/one"; for i in $(seq -f "%05g" "$2"); do cp "$work/one" "$1/f$i"; done
  fi
}
seconds() { local s=$(date +%s.%N); "$@" >/dev/null; awk -v s="$s" -v e="$(date +%s.%N)" 'BEGIN{printf "%.2f", e - s}'; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
per() { awk -v n="$1" -v d="$2" 'BEGIN{printf "%.2f", n / d}'; }

tree "$work/small" 2000 3000
tree "$work/empty" "$nempty" 0
tree "$work/dempty" "$ndrive" 0

echo "== drives (per file, from the trace)"
echo "medium tree files WRITE10 READ10 SYNC blocks_written/packet"
for kind in cd-rw dvd+rw; do
  for t in small dempty; do
    n=$(ls "$work/$t" | wc -l)
    rm -f "$work/disc" "$work/disc".*
    export KORVA_VDRIVE="$kind/formatted:$work/disc"
    "$KORVA" --aspi "$module" -d D format --quick >/dev/null
    "$KORVA" --aspi "$module" -d D --trace "$work/t.elg" put "$work/$t" / >/dev/null
    w=$(grep -c '(2A)' "$work/t.elg" || true) r=$(grep -c '(28)' "$work/t.elg" || true)
    s=$(grep -c '(35)' "$work/t.elg" || true)
    used=$("$KORVA" --aspi "$module" -d D info --json | tr ',{}' '\n\n\n' | awk -F: '/"used_blocks"/{print $2}')
    echo "$kind $t $n $(per "$w" "$n") $(per "$r" "$n") $(per "$s" "$n") writes=$w reads=$r syncs=$s used_blocks=$used"
  done
done

echo "== images (per file, strace -c)"
for t in small empty; do
  n=$(ls "$work/$t" | wc -l)
  rm -f "$work/i.img"
  "$KORVA" -i "$work/i.img" format --size 200 >/dev/null
  strace -f -c -o "$work/st" -e trace=pread64,pwrite64,fdatasync,fsync "$KORVA" -i "$work/i.img" put "$work/$t" / >/dev/null
  c() { awk -v k="$1" '$NF==k{print $4}' "$work/st" | head -1; }
  pw=$(c pwrite64) pr=$(c pread64) fs=$(c fdatasync)
  echo "$t files=$n pwrite64/file=$(per "${pw:-0}" "$n") pread64/file=$(per "${pr:-0}" "$n") fdatasync=${fs:-0}"
done

echo "== wall time on tmpfs (seconds) and peak RSS (KiB)"
for t in small empty; do
  rm -rf "$work/cp" "$work/out"; rm -f "$work/i.img"
  "$KORVA" -i "$work/i.img" format --size 200 >/dev/null
  sync
  tcp=$(seconds cp -r "$work/$t" "$work/cp")
  tput=$(seconds "$KORVA" -i "$work/i.img" put "$work/$t" /)
  tget=$(seconds "$KORVA" -i "$work/i.img" get "/$t" "$work/out")
  rm -rf "$work/out"
  mput=$(rm -f "$work/j.img"; "$KORVA" -i "$work/j.img" format --size 200 >/dev/null; rss "$KORVA" -i "$work/j.img" put "$work/$t" /)
  mget=$(rss "$KORVA" -i "$work/j.img" get "/$t" "$work/out")
  echo "$t cp=$tcp put=$tput ($(per "$tput" "$tcp")x) get=$tget ($(per "$tget" "$tcp")x) rss_put=$mput rss_get=$mget"
done

if [ -n "$disk" ]; then
  echo "== barriers: put of the small files to an image on tmpfs and on $disk (seconds)"
  for where in "$work" "$disk"; do
    img=$(mktemp -u -p "$where" korva-bench.XXXXXX)
    "$KORVA" -i "$img" format --size 200 >/dev/null
    sync
    t=$(seconds "$KORVA" -i "$img" put "$work/small" /)
    rm -f "$img"; "$KORVA" -i "$img" format --size 200 >/dev/null
    strace -f -c -o "$work/st" -e trace=fdatasync "$KORVA" -i "$img" put "$work/small" / >/dev/null
    n=$(awk '$NF=="fdatasync"{print $4}' "$work/st") s=$(awk '$NF=="fdatasync"{print $2}' "$work/st")
    rm -f "$img"
    echo "$where put=$t fdatasync=${n:-0} seconds_in_fdatasync=${s:-0}"
  done
fi

echo "== one 256 MiB file on the virtual DVD+RW"
rm -rf "$work/small" "$work/empty" "$work/dempty" "$work/cp" "$work/out" "$work"/*.img
head -c $((256 << 20)) /dev/urandom >"$work/big"
rm -f "$work/disc" "$work/disc".*
export KORVA_VDRIVE="dvd+rw/formatted:$work/disc"
"$KORVA" --aspi "$module" -d D format --quick >/dev/null
m=$(rss "$KORVA" --aspi "$module" -d D --trace "$work/t.elg" put "$work/big" /)
w=$(grep -c '(2A)' "$work/t.elg" || true)
echo "256MiB WRITE10=$w per_MiB=$(per "$w" 256) rss_put=$m"
