#!/usr/bin/env bash
# Times skelvane --scan against grep -obUaF -- -rom1fs- on the same file,
# side by side, page cache warm, and prints a Markdown table of medians.
#
#   bench/scan.sh            nine rounds
#   ROUNDS=N bench/scan.sh   N rounds
#
# Environment:
#   SKELVANE=PATH        time this binary; by default a Release build of this
#                        repository is made in build-bench/
#   SKELVANE_BENCH_DIR   where the files are kept
#                        (default ${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench)
#
# Files: random (256 MiB from /dev/urandom: a "-" every 256 bytes) and
# firmware (64 MiB: a 64-byte header, a 4 MiB kernel of random bytes holding
# "-rom1fs-" three times, 4 MiB of text thick with "-", the romfs image of
# make_tree.pl's firmware tree of 1,000 files, 0xFF padding to 64 MiB).
# Needs genromfs, grep, perl, /usr/bin/time.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-9}
dir=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}/scan
mkdir -p "$dir"

if [[ -n ${SKELVANE:-} ]]; then
  skelvane=$SKELVANE
else
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
  cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
  skelvane=$repo/build-bench/skelvane
fi

if [[ ! -f $dir/random.bin ]]; then
  head -c $((256 << 20)) /dev/urandom >"$dir/random.bin.tmp" && mv "$dir/random.bin.tmp" "$dir/random.bin"
fi
if [[ ! -f $dir/firmware.bin ]]; then
  rm -rf "$dir/tree" && perl "$repo/bench/make_tree.pl" firmware 1000 "$dir/tree"
  genromfs -f "$dir/rootfs.romfs" -d "$dir/tree" -V rootfs
  perl -e '
    open(my $r, "<:raw", "/dev/urandom") or die; read($r, my $k, 4 << 20);
    substr($k, $_, 8) = "-rom1fs-" for (100003, 2000001, 4000007);
    print "HDR0", "\0" x 60, $k;
    my $t = ""; my $i = 0;
    $t .= sprintf("  --opt-%d  set the -x-%d value (see --help-all) -- done\n", $i, $i++) while length($t) < 4 << 20;
    print $t;' >"$dir/firmware.bin.tmp"
  cat "$dir/rootfs.romfs" >>"$dir/firmware.bin.tmp"
  size=$(stat -c %s "$dir/firmware.bin.tmp")
  head -c $(((64 << 20) - size)) /dev/zero | tr '\0' '\377' >>"$dir/firmware.bin.tmp"
  mv "$dir/firmware.bin.tmp" "$dir/firmware.bin"
fi

# Seconds of one run. The output goes to a file: GNU grep stops at the
# first match when it writes to /dev/null.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >"$dir/out" || true
  echo "$EPOCHREALTIME - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "| file | size (MiB) | skelvane --scan (s) | grep -obUaF (s) | scan/grep | peak RSS (MiB) | images listed |"
echo "|---|---|---|---|---|---|---|"
for name in random firmware; do
  file=$dir/$name.bin
  cat "$file" >/dev/null  # warm
  : >"$dir/scan.times"
  : >"$dir/grep.times"
  : >"$dir/ratios"
  for ((i = 0; i < rounds; ++i)); do
    s=$(seconds "$skelvane" --scan "$file")
    g=$(seconds grep -obUaF -- -rom1fs- "$file")
    echo "$s" >>"$dir/scan.times"
    echo "$g" >>"$dir/grep.times"
    echo "$s / $g" | bc -l >>"$dir/ratios"
  done
  s=$(median <"$dir/scan.times")
  g=$(median <"$dir/grep.times")
  r=$(median <"$dir/ratios")
  rss=$( (/usr/bin/time -f %M "$skelvane" --scan "$file" 2>&1 >/dev/null || true) | tail -1)
  listed=$("$skelvane" --scan "$file" | grep -c "^[0-9]" || true)
  printf '| %s | %d | %.4f | %.4f | %.2f (%.2f) | %.1f | %s |\n' "$name" \
    $(($(stat -c %s "$file") >> 20)) "$s" "$g" "$(echo "$s / $g" | bc -l)" "$r" \
    "$(echo "$rss / 1024" | bc -l)" "$listed"
done
