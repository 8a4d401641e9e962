#!/usr/bin/env bash
# Times skelvane against tar -xf and cp -a on three image shapes, side by
# side in one run, and prints the results as Markdown tables.
#
#   bench/run.sh           five repetitions of everything
#   bench/run.sh --quick   three repetitions, no 5,000/10,000-file series
#
# Source trees, images and tarballs are made once and kept in
# $SKELVANE_BENCH_DIR (default ${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench);
# the fresh output directories are made there too, so every tool writes to
# the same file system. Needs genromfs, GNU tar, cp, /usr/bin/time, strace, perl.
#
# Outputs are kept until the end of the run, and the next run waits until six
# minutes have passed since their deletion reached the disk: ext4 without a
# journal checks, and steps over, every inode freed in the last 60 seconds
# (360 once a new inode has dirtied its table block) when it allocates one,
# which makes whichever tool runs after a large deletion many times slower.
set -euo pipefail

reps=5
series=(5000 10000)
case "${1:-}" in
  "") ;;
  --quick) reps=3 series=() ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}
scratch=$cache/scratch
logs=$cache/logs

for tool in genromfs tar cp strace perl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
mkdir -p "$cache" "$logs"

# Built apart from the developer's own build tree, always optimised.
cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
skelvane=$repo/build-bench/skelvane

# Leftovers of an interrupted run go first, and then freed inodes must age.
delete_scratch() {
  rm -rf "$scratch"
  sync
  echo "$EPOCHSECONDS" >"$cache/deleted-at"
}
if [[ -e $scratch ]]; then delete_scratch; fi
if [[ -f $cache/deleted-at ]]; then
  wait_s=$(($(<"$cache/deleted-at") + 365 - EPOCHSECONDS))
  if ((wait_s > 0)); then
    echo "waiting ${wait_s}s for the last run's deleted inodes to age..." >&2
    sleep "$wait_s"
  fi
fi

# The large scenario's tree, image and tarball take 3 GiB, and every run of
# it leaves 1 GiB of output until the end; the rest takes under 2 GiB.
need_kib=$(((3 + 3 * (reps + 1) + 2) * 1024 * 1024))
free_kib=$(df -Pk "$cache" | awk 'NR == 2 { print $4 }')
if ((free_kib < need_kib)); then
  echo "need $((need_kib >> 20)) GiB free under $cache, have $((free_kib >> 20)) GiB" >&2
  exit 1
fi

# Makes scenario $1's tree, romfs image and tarball unless the cache has them
# from the same generator.
prepare() {
  local name=$1 dir=$cache/$1
  shift
  local stamp
  stamp="$(sha256sum "$repo/bench/make_tree.pl" | cut -c1-16) $*"
  if [[ -f $dir/stamp && $(<"$dir/stamp") == "$stamp" ]]; then return; fi
  echo "making $name (once)..." >&2
  rm -rf "$dir"
  mkdir -p "$dir"
  perl "$repo/bench/make_tree.pl" "$@" "$dir/tree"
  genromfs -f "$dir/image.romfs" -d "$dir/tree" -V "$name"
  tar -cf "$dir/tree.tar" -C "$dir/tree" .
  echo "$stamp" >"$dir/stamp"
}

# The untimed part before every run: a new output path, and the last run's
# data on disk, so its writeback does not slow this one.
runs=0
fresh() {
  runs=$((runs + 1))
  out=$scratch/$runs
  mkdir -p "$scratch"
  sync
}

run_skelvane() { "$skelvane" "$cache/$1/image.romfs" "$out" >"$out.trace"; }
run_tar() { mkdir "$out" && tar -xf "$cache/$1/tree.tar" -C "$out"; }
run_cp() { cp -a "$cache/$1/tree" "$out"; }

# Sets seconds to the wall-clock time of one run of tool $1 on scenario $2.
time_one() {
  fresh
  local t0=$EPOCHREALTIME
  "run_$1" "$2"
  local t1=$EPOCHREALTIME
  seconds=$(awk -v a="${t0/./}" -v b="${t1/./}" 'BEGIN { printf "%.4f", (b - a) / 1e6 }')
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Times the tools named after the scenario, interleaved and starting with a
# different one each round, after one untimed round that fills the page cache
# and checks skelvane's output against the source tree. Sets med[tool].
declare -A med
measure() {
  local scenario=$1
  shift
  local tools=("$@") tool r i
  declare -A samples=()
  for tool in "${tools[@]}"; do
    fresh
    "run_$tool" "$scenario"
    if [[ $tool == skelvane ]]; then
      diff -r --no-dereference "$cache/$scenario/tree" "$out" >/dev/null ||
        { echo "skelvane output differs from the $scenario tree" >&2; exit 1; }
    fi
  done
  for ((r = 0; r < reps; r++)); do
    for ((i = 0; i < ${#tools[@]}; i++)); do
      tool=${tools[(r + i) % ${#tools[@]}]}
      time_one "$tool" "$scenario"
      samples[$tool]+="$seconds "
    done
  done
  for tool in "${tools[@]}"; do
    med[$tool]=$(tr ' ' '\n' <<<"${samples[$tool]}" | grep . | median)
    echo "$scenario $tool: ${samples[$tool]}" >>"$logs/samples.txt"
  done
}

# Sets rss to skelvane's peak resident set in MiB on scenario $1.
peak_rss() {
  fresh
  /usr/bin/time -v -o "$logs/$1.time" "$skelvane" "$cache/$1/image.romfs" "$out" >"$out.trace"
  rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$logs/$1.time")
}

# Sets calls to skelvane's system calls per entry of scenario $1's tree
# (directories, files and links).
calls_per_entry() {
  fresh
  strace -c -f -o "$logs/$1.strace" "$skelvane" "$cache/$1/image.romfs" "$out" >"$out.trace"
  local entries total
  entries=$(find "$cache/$1/tree" -mindepth 1 | wc -l)
  total=$(awk '$NF == "total" { print $4 }' "$logs/$1.strace")
  calls=$(awk -v c="$total" -v e="$entries" 'BEGIN { printf "%.2f (%d calls, %d entries)", c / e, c, e }')
}

prepare small-20000 small 20000
prepare large large
prepare firmware firmware
for n in "${series[@]}"; do prepare "small-$n" small "$n"; done
: >"$logs/samples.txt"

echo "## skelvane against tar -xf and cp -a"
echo
echo "Median wall-clock seconds of $reps runs each; the trace goes to a file."
echo
echo "| scenario | skelvane | tar -xf | cp -a | skelvane/tar | skelvane/cp | peak RSS (MiB) | system calls per entry |"
echo "|---|---|---|---|---|---|---|---|"
for scenario in small-20000 large firmware; do
  measure "$scenario" skelvane tar cp
  peak_rss "$scenario"
  calls_per_entry "$scenario"
  echo "| $scenario | ${med[skelvane]} | ${med[tar]} | ${med[cp]} |" \
    "$(ratio "${med[skelvane]}" "${med[tar]}") | $(ratio "${med[skelvane]}" "${med[cp]}") |" \
    "$rss | $calls |"
done

if ((${#series[@]})); then
  echo
  echo "## Many small files at three sizes"
  echo
  echo "| files | skelvane (s) | µs per file | tar -xf (s) | skelvane/tar |"
  echo "|---|---|---|---|---|"
  for n in "${series[@]}" 20000; do
    measure "small-$n" skelvane tar
    echo "| $n | ${med[skelvane]} | $(awk -v t="${med[skelvane]}" -v n="$n" 'BEGIN { printf "%.1f", t * 1e6 / n }') |" \
      "${med[tar]} | $(ratio "${med[skelvane]}" "${med[tar]}") |"
  done
fi

delete_scratch
echo
echo "Samples, strace and time reports: $logs"
