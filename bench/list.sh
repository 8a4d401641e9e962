#!/usr/bin/env bash
# Times skelvane --list against unpacking the same image, side by side, and
# prints the medians, their ratio and --list's peak RSS.
#
#   bench/list.sh [FILES]   the small scenario of run.sh (FILES files of 0 to
#                           4 KiB in directories of 50, 250 links; 10000 by
#                           default), nine rounds (ROUNDS=N for another count)
#
# As in run.sh: a Release build in build-bench/ (or SKELVANE=PATH), the tree
# from make_tree.pl and its genromfs image kept in the cache directory, and
# each unpack into a new ext4 on a loop file in /dev/shm (tmpfs with
# SKELVANE_BENCH_FS=tmpfs or where it cannot be mounted), with the image in
# the page cache and the trace on the output's file system. The listing
# writes its lines there too. Needs root to mount.
set -euo pipefail

files=${1:-10000} rounds=${ROUNDS:-9}
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}/list$files
if [[ -n ${SKELVANE:-} ]]; then
  skelvane=$(realpath "$SKELVANE")
else
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
  cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
  skelvane=$repo/build-bench/skelvane
fi
if [[ ! -f $cache/image.romfs ]]; then
  rm -rf "$cache" && mkdir -p "$cache"
  perl "$repo/bench/make_tree.pl" small "$files" 250 "$cache/tree"
  genromfs -f "$cache/image.romfs" -d "$cache/tree" -V small
fi
image=$cache/image.romfs

name=list
# shellcheck source=bench/scratch_fs.sh
source "$repo/bench/scratch_fs.sh"

unpack=() list=()
for ((r = 0; r < rounds; r++)); do
  cat "$image" >/dev/null
  # Each in turn first, so that neither always follows the other.
  for what in $( ((r % 2)) && echo "list unpack" || echo "unpack list"); do
    fs_up && sync
    t0=$EPOCHREALTIME
    if [[ $what == unpack ]]; then
      "$skelvane" "$image" "$mnt/out" >"$mnt/trace"
      unpack+=("$(since "$t0")")
    else
      "$skelvane" --list "$image" >"$mnt/list"
      list+=("$(since "$t0")")
    fi
    fs_down
  done
done
u=$(printf '%s\n' "${unpack[@]}" | median) l=$(printf '%s\n' "${list[@]}" | median)
rss=$(/usr/bin/time -f %M "$skelvane" --list "$image" 2>&1 >/dev/null | tail -1)
echo "image: $(stat -c %s "$image") bytes, $("$skelvane" --list "$image" | wc -l) entries; output on $fstype"
echo "unpack: ${unpack[*]}"
echo "list:   ${list[*]}"
echo "median unpack $u s, --list $l s, ratio $(echo "scale=3; $l / $u" | bc), --list peak RSS $((rss / 1024)).$((rss % 1024 * 10 / 1024)) MiB"
