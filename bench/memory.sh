#!/usr/bin/env bash
# Peak memory of skelvane on hostile images, whose cost lies in their shape
# (depth, long names, millions of tiny entries) rather than their bytes, once
# under a 256 MiB address-space limit, and the openat calls of hard links to
# a file deep down. Prints a Markdown table.
#
#   bench/memory.sh                 the Release build of this tree (build-bench/)
#   bench/memory.sh PROGRAM...      these programs instead, one column each
#                                   (an older build beside a newer one, say)
#
# Environment:
#   SKELVANE_BENCH_DIR   where the images are kept, made once by
#                        make_hostile.pl (about 100 MiB; default
#                        ${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench)
#   TMPDIR               where the output trees are made and removed
#
# Peak RSS is GNU time's "Maximum resident set size" (%M) of one run, the
# trace sent to /dev/null; it does not depend on the machine's load, so this
# may run beside other work. The openat calls are counted by strace -c -f.
# Needs perl, GNU time (/usr/bin/time) and strace; no root. About a minute,
# plus half a minute the first time to make the images.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${SKELVANE_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/skelvane-bench}/hostile
for tool in perl strace /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

programs=()
if (($# == 0)); then
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF >/dev/null
  cmake --build "$repo/build-bench" -j2 --target skelvane >/dev/null
  programs=("$repo/build-bench/skelvane")
  notes="- Release build of $(git -C "$repo" describe --always --dirty 2>/dev/null || echo "$repo")."
else
  notes=
  for p in "$@"; do
    [[ -x $p ]] || { echo "not a program: $p" >&2; exit 2; }
    programs+=("$(realpath "$p")")
    notes+="- [${#programs[@]}] \`$p\` (sha256 $(sha256sum "$p" | cut -c1-12))"$'\n'
  done
fi

# The images, made once for each version of their maker.
stamp=$(sha256sum "$repo/bench/make_hostile.pl" | cut -c1-16)
images=(deep:2000 deep:10000 dots:1000000 fifos:1000000 dangling:1000000 linkdeep:1000)
if [[ ! -f $cache/stamp || $(<"$cache/stamp") != "$stamp" ]]; then
  rm -rf "$cache"
  mkdir -p "$cache"
  for i in "${images[@]}"; do
    echo "making ${i%:*} ${i#*:} (once)..." >&2
    perl "$repo/bench/make_hostile.pl" "${i%:*}" "${i#*:}" "$cache/${i%:*}-${i#*:}.img"
  done
  echo "$stamp" >"$cache/stamp"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-memory.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# One run of program $1 on image $2 with the options in $3, under an
# address-space limit of $4 KiB if given: sets cell to its peak RSS in MiB,
# and the exit status where it is not 0.
measure() {
  local kib status signal
  rm -rf "$scratch/out"
  # shellcheck disable=SC2086 # the options are words
  (
    ulimit -v "${4:-unlimited}"
    exec /usr/bin/time -f '%M %x' -o "$scratch/time" "$1" $3 "$cache/$2.img" "$scratch/out"
  ) >/dev/null 2>&1 || true
  # A line before the figures names a signal that ended the run.
  read -r kib status < <(tail -n 1 "$scratch/time") || { cell='(no figure)'; return; }
  cell=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
  signal=$(grep -o 'terminated by signal [0-9]*' "$scratch/time" | grep -o '[0-9]*$' || true)
  if [[ -n $signal ]]; then
    cell+=" (killed by signal $signal)"
  elif [[ $status != 0 ]]; then
    cell+=" (exit $status)"
  fi
}

# The openat calls of one run of program $1 with --all on the linkdeep image:
# sets cell to those calls per hard link, and the total.
count_openat() {
  rm -rf "$scratch/out"
  strace -f -c -o "$scratch/strace" "$1" --all "$cache/linkdeep-1000.img" "$scratch/out" >/dev/null 2>&1 || true
  cell=$(awk '$NF == "openat" { printf "%.1f (%d)", $4 / 1000, $4 }' "$scratch/strace")
  [[ -n $cell ]] || cell='(none)'
}

header="| image | size | options | goal |"
rule="|---|---|---|---|"
for ((i = 1; i <= ${#programs[@]}; i++)); do
  header+=" peak RSS (MiB)"
  if ((${#programs[@]} > 1)); then header+=" [$i]"; fi
  header+=" |"
  rule+="---|"
done

rows=
row() {
  local image=$1 options=$2 goal=$3 limit=${4:-} size
  size=$(stat -c %s "$cache/$image.img" | awk '{ if ($1 < 1e6) printf "%.0f KB", $1 / 1e3; else printf "%.1f MB", $1 / 1e6 }')
  rows+="| $image | $size | ${options:-(none)}${limit:+, address space $((limit / 1024)) MiB} | $goal |"
  for p in "${programs[@]}"; do
    echo "$image ${options:-(none)}: ${p}..." >&2
    measure "$p" "$image" "$options" "$limit"
    rows+=" $cell |"
  done
  rows+=$'\n'
}

for options in "" --all; do
  row deep-2000 "$options" "≤ 24"
  row deep-10000 "$options" "≤ 24, ≤ deep-2000 + 4"
done
row dots-1000000 "" "≤ 24"
row fifos-1000000 --all "≤ 24"
row dangling-1000000 --all "≤ 80"
row linkdeep-1000 --all "—"
# Where memory runs out, the run ends with a message, not an abort.
row deep-10000 "" "no abort" 262144
rows+="| linkdeep-1000: openat calls per link (total) | | --all | ≤ 3 a link |"
for p in "${programs[@]}"; do
  count_openat "$p"
  rows+=" $cell |"
done
rows+=$'\n'

echo "$header"
echo "$rule"
printf '%s' "$rows"
echo
printf '%s' "$notes"
