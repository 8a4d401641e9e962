#!/usr/bin/env bash
# Times skelvane against tar -xf and cp -a on four image shapes, side by
# side in one run, and prints the results as Markdown tables.
#
#   bench/run.sh           nine rounds
#   bench/run.sh --quick   three rounds
#   bench/run.sh --links   instead, whether the time grows linearly with the
#                          number of links: images of 100,000 and 200,000
#                          links, side by side (with --quick, three rounds)
#
# Environment:
#   ROUNDS=N                 rounds instead of nine (or three with --quick)
#   SKELVANE=PATH            time this binary; by default a Release build of
#                            this repository is made in build-bench/
#   BASELINE=PATH            also time this binary (an earlier release, say)
#                            in the same rounds, in pairs with skelvane, each
#                            round the other one first; the report adds both
#                            medians and their ratios
#   SCENARIOS="small large firmware rootfs"   which scenarios to run
#                            (default: all)
#   SKELVANE_BENCH_DIR       where trees, images and tarballs are kept
#                            (default ${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench)
#   SKELVANE_BENCH_FS=tmpfs  use tmpfs even where a loop ext4 can be mounted
#   SKELVANE_BENCH_LOOP_DIR  where the loop file lives (default /dev/shm)
#
# Scenarios: small (10,000 files of 0 to 4 KiB in 200 directories, 250
# links), large (four 128 MiB files), firmware (a rootfs-shaped tree of 1,000
# files, a busybox among them, and 250 links to it), rootfs (the same shape
# with 2,000 files, 1,000 symbolic links, 100 hard links and 50 device
# entries, unpacked with --all). With --links: links100k and links200k,
# 100,000 and 200,000 links (one in ten a hard link) in directories of 1,000
# with ten small files each, also unpacked with --all. The trees come from
# make_tree.pl, with the same shapes on every machine, and are made once, with
# their romfs images (genromfs) and tarballs, about 2.2 GiB in all.
#
# No tool creates device nodes: skelvane only lists them, so the tree that
# tar, cp, the floors and the check of skelvane's output see has none (they
# are in the romfs image only).
#
# Every run of every tool gets a file system of its own, made just before it
# and removed after it, so that no run pays for what another created or
# deleted: ext4 (mkfs.ext4 defaults, with a journal) on a sparse 4 GiB file
# mounted through a loop device, or tmpfs where that cannot be mounted. Each
# tool runs in two placements: with its input (image, tarball or source tree)
# in the cache, on another file system than the output, and with its input
# copied onto the output's file system first. The copy is untimed, and so is
# a read of the input just before the run, so every tool starts with its
# input in the page cache. The trace goes to a file on the output's file
# system. A round runs every tool in both placements, and the floors, each
# round starting at another of them; the tables give medians.
#
# The floors are what any unpacker must pay on this machine: bench/floor.c,
# built with cc -O2, creates the same directories, files and links from a
# list and nothing else, once with every file empty (the cost of the inodes),
# once writing every file's bytes from a buffer in memory (the cost of the
# data, page-cache write bandwidth).
#
# The report: medians per scenario and placement with skelvane's peak RSS
# (/usr/bin/time -v) and system calls per entry (strace -c), one untimed run
# each; the distance to the floors; and each round's ratios, to show the
# spread. With BASELINE: per scenario and placement, both medians, the ratio
# of the medians and each round's ratio (min / median / max), skelvane over
# the baseline. With --links: the medians for both images in the other-fs
# placement, and the time of 200,000 links over that of 100,000, from the
# medians and round by round. Samples and reports are kept in logs/ under
# the cache directory.
#
# Needs root to mount, and these Debian packages: genromfs, tar, coreutils,
# findutils, diffutils, time (for /usr/bin/time), strace, perl, gcc (cc),
# e2fsprogs (mkfs.ext4), mount and util-linux (losetup, mount, mountpoint,
# umount), and cmake, g++ and make to build skelvane. Space: about 2.2 GiB in
# the cache directory, and up to 1.5 GiB of the loop file's 4 GiB at a time.
# A full run takes about 4 minutes here (--quick about 1.5), --links about 10
# (--quick about 4), plus about a minute the first time to make the trees.
set -euo pipefail

rounds=9 links=
for arg in "$@"; do
  case $arg in
    --quick) rounds=3 ;;
    --links) links=1 ;;
    *) echo "usage: $0 [--quick] [--links]" >&2; exit 2 ;;
  esac
done
rounds=${ROUNDS:-$rounds}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "ROUNDS must be a positive number" >&2; exit 2; }
read -ra scenarios <<<"${SCENARIOS:-small large firmware rootfs}"
for s in "${scenarios[@]}"; do
  case $s in small | large | firmware | rootfs) ;; *) echo "unknown scenario: $s" >&2; exit 2 ;; esac
done
if [[ -n $links ]]; then scenarios=(); fi

started=$EPOCHSECONDS
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}
logs=$cache/logs

for tool in genromfs tar cp diff find strace perl cc mkfs.ext4 losetup mount mountpoint umount /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
mkdir -p "$cache" "$logs"

if [[ -n ${SKELVANE:-} ]]; then
  skelvane=$(realpath "$SKELVANE")
  [[ -x $skelvane ]] || { echo "SKELVANE=$SKELVANE is not an executable" >&2; exit 1; }
  binary_note="\`$skelvane\` (sha256 $(sha256sum "$skelvane" | cut -c1-12))"
else
  # Built apart from the developer's own build tree, always optimised.
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
  cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
  skelvane=$repo/build-bench/skelvane
  binary_note="Release build of $(git -C "$repo" describe --always --dirty 2>/dev/null || echo "$repo")"
fi
if [[ -n ${BASELINE:-} ]]; then
  baseline=$(realpath "$BASELINE")
  [[ -x $baseline ]] || { echo "BASELINE=$BASELINE is not an executable" >&2; exit 1; }
  binary_note+="; baseline: \`$baseline\` (sha256 $(sha256sum "$baseline" | cut -c1-12))"
else
  baseline=
fi
floor=$cache/floor
cc -O2 -Wall -o "$floor" "$repo/bench/floor.c"

# Prints the entries under directory $1, parents before children, one a
# line: type (d, f, l, or h for a further name of a file met before), a
# file's size, a link's target (a hard link's: the path it names), the path.
list_of() {
  find "$1" -mindepth 1 -printf '%y\t%s\t%l\t%P\t%i\n' | LC_ALL=C sort -t $'\t' -k4,4 |
    awk -F'\t' -v OFS='\t' '$1 == "d" { $2 = 0 }
      $1 == "f" && ($5 in seen) { $1 = "h"; $3 = seen[$5] }
      $1 == "f" { seen[$5] = $4 }
      { print $1, $2, $3, $4 }'
}

# Makes scenario $1's tree, romfs image, tarball and entry list unless the
# cache has them from the same generator and arguments.
prepare() {
  local name=$1 dir=$cache/$1
  shift
  local stamp
  stamp="$(sha256sum "$repo/bench/make_tree.pl" | cut -c1-16) $(declare -f prepare list_of | sha256sum | cut -c1-16) $*"
  if [[ -f $dir/stamp && $(<"$dir/stamp") == "$stamp" ]]; then return; fi
  echo "making $name (once)..." >&2
  rm -rf "$dir"
  mkdir -p "$dir"
  perl "$repo/bench/make_tree.pl" "$@" "$dir/tree"
  genromfs -f "$dir/image.romfs" -d "$dir/tree" -V "$name"
  # The device entries' source files, now in the image.
  find "$dir/tree" -type f -name '@*,[bcp],*' -print -delete | wc -l >"$dir/devices"
  tar -cf "$dir/tree.tar" -C "$dir/tree" .
  list_of "$dir/tree" >"$dir/list"
  echo "$stamp" >"$dir/stamp"
}

# --- The file system for one run ------------------------------------------

mnt=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-bench.XXXXXX")
fs_size=4G
# The loop file lives in /dev/shm, in RAM, by default. Then nothing in a run
# waits on the shared virtual disk, whose speed changes with other users'
# load and after large deletions; what is measured is ext4 itself (inode and
# block allocation, journal, page cache), as on a disk up to the device. No
# tool here calls fsync and a run writes far less than the dirty-page limits,
# so the device is not in the timed path on a real disk either, except for
# journal commits. The disk is used where /dev/shm is missing or too small.
loop_dir=${SKELVANE_BENCH_LOOP_DIR:-/dev/shm}
if [[ ! -d $loop_dir || ! -w $loop_dir ]] ||
  (($(df -Pk "$loop_dir" | awk 'NR == 2 { print $4 }') < 3 * 1024 * 1024)); then
  loop_dir=$cache
fi
backing=$loop_dir/skelvane-bench.$$.ext4

# Makes a new file system and mounts it on $mnt.
fs_up() {
  if [[ $fstype == ext4 ]]; then
    # Inode tables and journal are zeroed now, not by a kernel thread while
    # the tool runs.
    truncate -s "$fs_size" "$backing" &&
      mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$backing" &&
      loopdev=$(losetup -f --show "$backing") &&
      mount "$loopdev" "$mnt"
  else
    mount -t tmpfs -o "size=$fs_size" skelvane-bench "$mnt"
  fi
}

# Unmounts and removes it, whatever state fs_up (or a signal during it) left
# it in. The loop devices are found from the file, which is this run's alone.
fs_down() {
  if mountpoint -q "$mnt"; then umount "$mnt" || umount -l "$mnt"; fi
  local dev
  for dev in $(losetup -n -O NAME -j "$backing" 2>/dev/null); do losetup -d "$dev"; done
  rm -f "$backing"
}

cleanup() {
  set +e
  fs_down
  rmdir "$mnt"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fstype=${SKELVANE_BENCH_FS:-ext4}
if [[ $fstype != ext4 && $fstype != tmpfs ]]; then
  echo "SKELVANE_BENCH_FS must be ext4 or tmpfs" >&2
  exit 2
fi
if [[ $fstype == ext4 ]] && ! fs_up 2>"$logs/mount.err"; then
  fs_down 2>/dev/null || true
  echo "cannot mount a loop ext4 ($(head -1 "$logs/mount.err")); using tmpfs" >&2
  fstype=tmpfs
fi
if [[ $fstype == tmpfs ]] && ! fs_up; then
  echo "cannot mount tmpfs either: the benchmark needs root" >&2
  exit 1
fi
fs_down
if [[ $fstype == ext4 ]]; then
  fs_note="ext4 (mkfs.ext4 defaults, journal) on a loop device over a sparse $fs_size file in \`$loop_dir\`"
else
  fs_note="tmpfs ($fs_size)"
fi

# --- One run ---------------------------------------------------------------

# What each tool reads, in the scenario's cache directory.
declare -A input_of=([skelvane]=image.romfs [baseline]=image.romfs [tar]=tree.tar [cp]=tree [empty]=list [write]=list)

# skelvane's option per scenario: --all where the image holds more than 256
# symbolic links, hard links or devices.
declare -A option_of=([rootfs]=--all [links100k]=--all [links200k]=--all)

# Runs program $1 on the image, under the command in the rest of $@ if any.
unpack() {
  local program=$1
  shift
  "$@" "$program" ${option_of[$scn]:+"${option_of[$scn]}"} "$input" "$out" >"$mnt/trace"
}
run_skelvane() { unpack "$skelvane" "$@"; }
run_baseline() { unpack "$baseline" "$@"; }
run_tar() { mkdir "$out" && tar -xf "$input" -C "$out"; }
run_cp() { cp -a "$input" "$out"; }
run_empty() { "$floor" empty "$input" "$out"; }
run_write() { "$floor" write "$input" "$out"; }

# The untimed part before a run of tool $2 on scenario $scn: a new file
# system, the input in placement $1 (other: in the cache; same: copied onto
# the new file system; the floors' list stays in the cache), written back and
# read once. Sets input and out.
setup() {
  local placement=$1 tool=$2 what=${input_of[$2]}
  fs_up || { echo "cannot make the file system" >&2; exit 1; }
  input=$cache/$scn/$what
  if [[ $placement == same ]]; then
    mkdir "$mnt/in"
    cp -a "$input" "$mnt/in/"
    input=$mnt/in/$what
  fi
  find "$input" -type f -exec cat {} + >/dev/null
  out=$mnt/out
  sync
}

# Sets seconds to the wall-clock time of one run of tool $2 in placement $1.
time_one() {
  setup "$1" "$2"
  local t0=$EPOCHREALTIME
  "run_$2"
  local t1=$EPOCHREALTIME
  fs_down
  seconds=$(awk -v a="${t0/./}" -v b="${t1/./}" 'BEGIN { printf "%.4f", (b - a) / 1e6 }')
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Prints $1 / $2 with $3 decimals (2 by default).
ratio() { awk -v a="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { printf "%." d "f", a / b }'; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.4f", a - b }'; }
# Prints min / median / max of the numbers in $1, with $2 decimals (2 by
# default).
spread() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk -v d="${2:-2}" '{ v[NR] = $1 }
    END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; f = "%." d "f"; printf f " / " f " / " f, v[1], m, v[NR] }'
}

placement_name() { if [[ $1 == other ]]; then echo "other fs"; else echo "same fs"; fi; }

# Once per scenario, untimed: skelvane's output must be the source tree, with
# the same bytes, links and hard links.
check_output() {
  echo "$scn: checking skelvane's output..." >&2
  setup other skelvane
  run_skelvane
  diff -r --no-dereference "$cache/$scn/tree" "$out" >/dev/null ||
    { echo "skelvane output differs from the $scn tree" >&2; exit 1; }
  list_of "$out" | cmp -s - "$cache/$scn/list" ||
    { echo "skelvane output's entries differ from the $scn tree's" >&2; exit 1; }
  fs_down
}

# Sets rss to skelvane's peak resident memory in MiB and calls to its
# system calls per entry, one untimed run each in placement $1.
measure_skelvane() {
  local p=$1 entries
  entries=$(wc -l <"$cache/$scn/list")
  setup "$p" skelvane
  run_skelvane /usr/bin/time -v -o "$logs/$scn-$p.time"
  fs_down
  rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$logs/$scn-$p.time")
  setup "$p" skelvane
  run_skelvane strace -c -f -o "$logs/$scn-$p.strace"
  fs_down
  calls=$(awk -v e="$entries" '$NF == "total" { printf "%.2f (%d calls, %d entries)", $4 / e, $4, e }' "$logs/$scn-$p.strace")
}

# Prints scenario $scn's shape, as a list item.
shape() {
  local list=$cache/$scn/list
  awk -F'\t' -v dev="$(<"$cache/$scn/devices")" '{ n[$1]++ } $1 == "f" { b += $2 }
    END {
      printf "- %s: %d files, %d directories, %d links", scn, n["f"], n["d"], n["l"]
      if (n["h"]) printf ", %d hard links", n["h"]
      if (dev) printf ", %d device entries (in the image only)", dev
      printf ", %.1f MiB of file data.\n", b / 1048576
    }' scn="$scn" "$list"
}

# --- The measurements ------------------------------------------------------

# Times every unit in $@, placement:tool, or scenario/placement:tool for
# another scenario than $scn, once a round, each round starting one further
# along. With a baseline, each skelvane unit brings a baseline unit, timed
# right after it in even rounds and right before it in odd ones. Sets samples
# (each unit's times), per_round (unit:round's time) and med (each unit's
# median).
run_rounds() {
  local label=$scn units=("$@") timed=("$@") unit u r i pair
  declare -gA samples=() per_round=() med=()
  if [[ -n $baseline ]]; then
    for unit in "${units[@]}"; do
      if [[ $unit == *:skelvane ]]; then timed+=("${unit%:*}:baseline"); fi
    done
  fi
  for ((r = 0; r < rounds; r++)); do
    echo "$label: round $((r + 1)) of $rounds..." >&2
    for ((i = 0; i < ${#units[@]}; i++)); do
      pair=("${units[(r + i) % ${#units[@]}]}")
      if [[ -n $baseline && ${pair[0]} == *:skelvane ]]; then
        pair+=("${pair[0]%:*}:baseline")
        if ((r % 2)); then pair=("${pair[1]}" "${pair[0]}"); fi
      fi
      for unit in "${pair[@]}"; do
        if [[ $unit == */* ]]; then scn=${unit%%/*}; fi
        u=${unit#*/}
        time_one "${u%%:*}" "${u#*:}"
        samples[$unit]+="$seconds "
        per_round[$unit:$r]=$seconds
      done
    done
  done
  scn=$label
  for unit in "${timed[@]}"; do
    med[$unit]=$(median <<<"${samples[$unit]}")
    echo "$label $unit: ${samples[$unit]}" >>"$logs/samples.txt"
  done
}

# Prints the baseline table's row for the units $1:skelvane and $1:baseline,
# scenario $2, placement $3.
baseline_row() {
  local s=${med[$1:skelvane]} b=${med[$1:baseline]} each= r
  for ((r = 0; r < rounds; r++)); do
    each+="$(ratio "${per_round[$1:skelvane:$r]}" "${per_round[$1:baseline:$r]}" 3) "
  done
  echo "| $2 | $3 | $s | $b | $(ratio "$s" "$b" 3) | $(spread "$each" 3) |"
}

main_rows= floor_rows= spread_rows= baseline_rows= shapes=
: >"$logs/samples.txt"

for scn in "${scenarios[@]}"; do
  case $scn in
    small) prepare small small 10000 250 ;;
    large) prepare large large 128 ;;
    firmware) prepare firmware firmware 1000 ;;
    rootfs) prepare rootfs rootfs 2000 1000 100 50 ;;
  esac
  bytes=$(awk -F'\t' '$1 == "f" { s += $2 } END { print s + 0 }' "$cache/$scn/list")
  shapes+="$(shape)"$'\n'
  check_output
  run_rounds other:skelvane other:tar other:cp same:skelvane same:tar same:cp floor:empty floor:write

  for p in other same; do
    pn=$(placement_name $p)
    measure_skelvane "$p"
    s=${med[$p:skelvane]} t=${med[$p:tar]} c=${med[$p:cp]}
    e=${med[floor:empty]} w=${med[floor:write]}
    main_rows+="| $scn | $pn | $s | $t | $c | $(ratio "$s" "$t") | $(ratio "$s" "$c") | $rss | $calls |"$'\n'
    floor_rows+="| $scn | $pn | $s | $e | $(ratio "$s" "$e") | $(minus "$s" "$e") |"
    floor_rows+=" $w | $(awk -v b="$bytes" -v t="$w" 'BEGIN { printf "%.0f", b / 1048576 / t }') | $(ratio "$s" "$w") | $(minus "$s" "$w") |"$'\n'

    st= sc=
    for ((r = 0; r < rounds; r++)); do
      st+="$(ratio "${per_round[$p:skelvane:$r]}" "${per_round[$p:tar:$r]}") "
      sc+="$(ratio "${per_round[$p:skelvane:$r]}" "${per_round[$p:cp:$r]}") "
    done
    spread_rows+="| $scn | $pn | $(spread "$st") | $(spread "$sc") |"$'\n'
    if [[ -n $baseline ]]; then baseline_rows+="$(baseline_row "$p" "$scn" "$pn")"$'\n'; fi
  done
done

if [[ -n $links ]]; then
  # Both images in every round, so that their ratio is measured side by side.
  sizes=(links100k links200k)
  prepare links100k links 100000
  prepare links200k links 200000
  for scn in "${sizes[@]}"; do
    shapes+="$(shape)"$'\n'
    check_output
  done
  scn=links
  units=()
  for tool in skelvane tar empty; do
    for n in "${sizes[@]}"; do units+=("$n/other:$tool"); done
  done
  run_rounds "${units[@]}"
  links_rows='' growth_rows=''
  declare -A rss_of=()
  for scn in "${sizes[@]}"; do
    measure_skelvane other
    rss_of[$scn]=$rss
    s=${med[$scn/other:skelvane]} t=${med[$scn/other:tar]} e=${med[$scn/other:empty]}
    links_rows+="| $scn | $s | $t | $e | $(ratio "$s" "$t") | $(ratio "$s" "$e") | $rss | $calls |"$'\n'
    if [[ -n $baseline ]]; then baseline_rows+="$(baseline_row "$scn/other" "$scn" "other fs")"$'\n'; fi
  done
  for tool in skelvane tar empty; do
    a=${sizes[0]}/other:$tool b=${sizes[1]}/other:$tool g=
    for ((r = 0; r < rounds; r++)); do g+="$(ratio "${per_round[$b:$r]}" "${per_round[$a:$r]}") "; done
    growth_rows+="| $tool | $(ratio "${med[$b]}" "${med[$a]}") | $(spread "$g") |"$'\n'
  done
  growth_rows+="| skelvane peak RSS | $(ratio "${rss_of[${sizes[1]}]}" "${rss_of[${sizes[0]}]}") | |"$'\n'
fi

# --- The report ------------------------------------------------------------

if [[ -n $links ]]; then
  echo "## Growth with the number of links"
else
  echo "## skelvane against tar -xf and cp -a"
fi
echo
echo "Median wall-clock seconds of $rounds rounds; the trace goes to a file."
echo "Every run writes to a file system of its own: $fs_note."
echo "Placement: *other fs*, the input (image, tarball, source tree) in \`$cache\`"
echo "on $(df --output=source,fstype "$cache" | awk 'NR == 2 { print $1 " (" $2 ")" }'),"
echo "another file system than the output's; *same fs*, the input copied onto the"
echo "output's file system before the run. skelvane: $binary_note."
echo
if [[ -n $links ]]; then
  echo "Both images in the other-fs placement, side by side in every round; the"
  echo "empty floor is bench/floor.c making the same tree with every file empty."
  echo
  echo "| image | skelvane (s) | tar -xf (s) | empty floor (s) | skelvane/tar | skelvane/empty | skelvane peak RSS (MiB) | skelvane system calls per entry |"
  echo "|---|---|---|---|---|---|---|---|"
  printf '%s' "$links_rows"
  echo
  printf '%s' "$shapes"
  echo
  echo "The time for ${sizes[1]} over that for ${sizes[0]}: of the medians, and each"
  echo "round's own ratio (min / median / max)."
  echo
  echo "| what | ratio of the medians | round by round |"
  echo "|---|---|---|"
  printf '%s' "$growth_rows"
else
  echo "| scenario | placement | skelvane (s) | tar -xf (s) | cp -a (s) | skelvane/tar | skelvane/cp | skelvane peak RSS (MiB) | skelvane system calls per entry |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s' "$main_rows"
  echo
  printf '%s' "$shapes"
  echo
  echo "## Distance to the floors"
  echo
  echo "The same directories, files and links made by bench/floor.c from a list,"
  echo "on a fresh file system each, medians of $rounds: *empty*, every file left"
  echo "empty; *write*, every file's bytes written from a buffer in memory."
  echo
  echo "| scenario | placement | skelvane (s) | empty floor (s) | skelvane/empty | skelvane − empty (s) | write floor (s) | write floor (MiB/s) | skelvane/write | skelvane − write (s) |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  printf '%s' "$floor_rows"
  echo
  echo "## Ratios round by round"
  echo
  echo "Each round's skelvane time over the same round's tar or cp time: min / median / max."
  echo
  echo "| scenario | placement | skelvane/tar | skelvane/cp |"
  echo "|---|---|---|---|"
  printf '%s' "$spread_rows"
fi
if [[ -n $baseline ]]; then
  echo
  echo "## skelvane against the baseline"
  echo
  echo "Both in the same rounds, in pairs, each round the other one first, each"
  echo "run on a fresh file system: median seconds of $rounds, the ratio of the"
  echo "medians, and each round's own ratio (min / median / max)."
  echo
  echo "| scenario | placement | skelvane (s) | baseline (s) | skelvane/baseline | round by round |"
  echo "|---|---|---|---|---|---|"
  printf '%s' "$baseline_rows"
fi
echo
elapsed=$((EPOCHSECONDS - started))
echo "Took $((elapsed / 60)) min $((elapsed % 60)) s on $(nproc) cores; load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after."
echo "Samples, strace and time reports: \`$logs\`"
