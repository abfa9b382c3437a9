#!/usr/bin/env bash
# korva mount against the korva tool's own commands, in one run on the same machine:
#   - a 256 MiB file: cp into the mounted image vs korva put, cat from the mount vs korva cat
#     (the mount is remounted before reading, so the kernel's page cache does not answer);
#   - packets written per MiB of that file, counted in the virtual drive's command trace
#     (DVD+RW, 16-sector packets), for cp through the mount and for korva put;
#   - 2,000 small files (1 to 4 KiB in 20 directories) copied in with cp -r.
# Usage: bench/mount_bench.sh KORVA VDRIVE_MODULE [MiB]
set -eu
KORVA=$(realpath "$1") module=$(realpath "$2") mib=${3:-256}
work=$(mktemp -d)
trap 'fusermount3 -u "$work/m" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/m"
size=$((mib * 3 / 2 + 64))

mount_bg() { "$KORVA" "$@" mount "$work/m" -f 2>>"$work/log" & pid=$!
  until grep -q " $work/m fuse.korva " /proc/mounts; do sleep 0.05; done; }
umount_bg() { fusermount3 -u "$work/m"; wait "$pid"; }
seconds() { local s=$(date +%s.%N); "$@"; awk -v s="$s" -v e="$(date +%s.%N)" 'BEGIN{printf "%.2f", e - s}'; }
rate() { awk -v m="$mib" -v t="$1" 'BEGIN{printf "%.1f", m / t}'; }
per_mib() { awk -v n="$1" -v m="$mib" 'BEGIN{printf "%.2f", n / m}'; }

head -c $((mib << 20)) /dev/urandom >"$work/big"
"$KORVA" -i "$work/put.img" format --size $size >/dev/null
"$KORVA" -i "$work/mnt.img" format --size $size >/dev/null
sync

t_put=$(seconds sh -c "'$KORVA' -i '$work/put.img' put '$work/big' /big >/dev/null")
t_kcat=$(seconds sh -c "'$KORVA' -i '$work/put.img' cat /big >/dev/null")
mount_bg -i "$work/mnt.img"
t_cp=$(seconds sh -c "cp '$work/big' '$work/m/big' && sync '$work/m/big'")
umount_bg
mount_bg -i "$work/mnt.img"
t_cat=$(seconds sh -c "cat '$work/m/big' >/dev/null")
umount_bg
cmp "$work/big" <("$KORVA" -i "$work/mnt.img" cat /big) || { echo "the copy differs"; exit 1; }

# Packets written, counted on the virtual drive.
writes() { grep -c '(2A)' "$1"; }
export KORVA_VDRIVE="dvd+rw/formatted:$work/a.disc;dvd+rw/formatted:$work/b.disc"
"$KORVA" --aspi "$module" -d 0 format --quick >/dev/null
"$KORVA" --aspi "$module" -d 1 format --quick >/dev/null
"$KORVA" --aspi "$module" -d 0 --trace "$work/put.trace" put "$work/big" /big >/dev/null
mount_bg --aspi "$module" -d 1 --trace "$work/cp.trace"
cp "$work/big" "$work/m/big"
umount_bg

# 2,000 small files.
for d in $(seq 1 20); do
  mkdir -p "$work/small/d$d"
  for f in $(seq 1 100); do head -c $((1024 + (d * 100 + f) % 3072)) /dev/urandom >"$work/small/d$d/f$f"; done
done
"$KORVA" -i "$work/small.img" format --size 64 >/dev/null
mount_bg -i "$work/small.img"
t_small=$(seconds cp -r "$work/small" "$work/m/small")
umount_bg
"$KORVA" -i "$work/small2.img" format --size 64 >/dev/null
t_small_put=$(seconds sh -c "'$KORVA' -i '$work/small2.img' put '$work/small' /small >/dev/null")

printf '%-44s %8s s %8s MiB/s\n' "korva put ${mib} MiB" "$t_put" "$(rate "$t_put")"
printf '%-44s %8s s %8s MiB/s\n' "cp into the mount ${mib} MiB" "$t_cp" "$(rate "$t_cp")"
printf '%-44s %8s s %8s MiB/s\n' "korva cat ${mib} MiB" "$t_kcat" "$(rate "$t_kcat")"
printf '%-44s %8s s %8s MiB/s\n' "cat from the mount ${mib} MiB" "$t_cat" "$(rate "$t_cat")"
printf '%-44s %8s packets, %s per MiB\n' "korva put, DVD+RW packet writes" "$(writes "$work/put.trace")" \
  "$(per_mib "$(writes "$work/put.trace")")"
printf '%-44s %8s packets, %s per MiB\n' "cp into the mount, DVD+RW packet writes" "$(writes "$work/cp.trace")" \
  "$(per_mib "$(writes "$work/cp.trace")")"
printf '%-44s %8s s\n' "cp -r of 2,000 small files into the mount" "$t_small"
printf '%-44s %8s s\n' "korva put of the same 2,000 files" "$t_small_put"
