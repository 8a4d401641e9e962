#!/usr/bin/env bash
# Times skelvane --tar side by side with what it stands in for, and prints
# the medians and their ratios.
#
#   bench/tar.sh [FILES]   nine rounds (ROUNDS=N for another count) of
#     big:   skelvane --tar - IMAGE | cat >/dev/null against
#            tar -cf - -C TREE . | cat >/dev/null, the large scenario of
#            run.sh (four 128 MiB files)
#     small: skelvane --tar OUT/a.tar IMAGE against unpacking the image into
#            OUT, the small scenario of run.sh with FILES files (20000 by
#            default), each into a new ext4 on a loop file in /dev/shm
#            (tmpfs with SKELVANE_BENCH_FS=tmpfs or where it cannot be
#            mounted)
#
# As in run.sh: a Release build in build-bench/ (or SKELVANE=PATH), trees
# from make_tree.pl and their genromfs images kept in the cache directory,
# every input read once before each run so that it is in the page cache.
# Needs root to mount.
set -euo pipefail

files=${1:-20000} rounds=${ROUNDS:-9}
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}
if [[ -n ${SKELVANE:-} ]]; then
  skelvane=$(realpath "$SKELVANE")
else
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
  cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
  skelvane=$repo/build-bench/skelvane
fi
big=$cache/tar-large small=$cache/tar-small$files
if [[ ! -f $big/image.romfs ]]; then
  rm -rf "$big" && mkdir -p "$big"
  perl "$repo/bench/make_tree.pl" large 128 "$big/tree"
  genromfs -f "$big/image.romfs" -d "$big/tree" -V large
fi
if [[ ! -f $small/image.romfs ]]; then
  rm -rf "$small" && mkdir -p "$small"
  perl "$repo/bench/make_tree.pl" small "$files" 250 "$small/tree"
  genromfs -f "$small/image.romfs" -d "$small/tree" -V small
fi

name=tar
# shellcheck source=bench/scratch_fs.sh
source "$repo/bench/scratch_fs.sh"

gnu=() archive=() unpack=() small_tar=()
for ((r = 0; r < rounds; r++)); do
  # Each in turn first, so that neither always follows the other.
  for what in $( ((r % 2)) && echo "archive gnu" || echo "gnu archive"); do
    cat "$big/image.romfs" >/dev/null
    find "$big/tree" -type f -exec cat {} + >/dev/null
    t0=$EPOCHREALTIME
    if [[ $what == gnu ]]; then
      tar -cf - -C "$big/tree" . | cat >/dev/null
      gnu+=("$(since "$t0")")
    else
      "$skelvane" --tar - "$big/image.romfs" | cat >/dev/null
      archive+=("$(since "$t0")")
    fi
  done
  for what in $( ((r % 2)) && echo "tar unpack" || echo "unpack tar"); do
    cat "$small/image.romfs" >/dev/null
    fs_up && sync
    t0=$EPOCHREALTIME
    if [[ $what == unpack ]]; then
      "$skelvane" "$small/image.romfs" "$mnt/out" >"$mnt/trace"
      unpack+=("$(since "$t0")")
    else
      "$skelvane" --tar "$mnt/a.tar" "$small/image.romfs"
      small_tar+=("$(since "$t0")")
    fi
    fs_down
  done
done
g=$(printf '%s\n' "${gnu[@]}" | median) a=$(printf '%s\n' "${archive[@]}" | median)
u=$(printf '%s\n' "${unpack[@]}" | median) s=$(printf '%s\n' "${small_tar[@]}" | median)
rss=$(/usr/bin/time -f %M "$skelvane" --tar - "$big/image.romfs" 2>&1 >/dev/null | tail -1)
echo "big: $(stat -c %s "$big/image.romfs") bytes"
echo "  tar -cf:  ${gnu[*]}"
echo "  --tar -:  ${archive[*]}"
echo "  median tar -cf $g s, --tar $a s, ratio $(echo "scale=3; $a / $g" | bc), --tar peak RSS $((rss / 1024)) MiB"
echo "small: $(stat -c %s "$small/image.romfs") bytes, $files files; output on $fstype"
echo "  unpack:   ${unpack[*]}"
echo "  --tar:    ${small_tar[*]}"
echo "  median unpack $u s, --tar $s s, ratio $(echo "scale=3; $s / $u" | bc)"
echo "load average before and after: $(cut -d' ' -f1-3 /proc/loadavg)"
