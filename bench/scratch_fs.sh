# Sourced by the side-by-side benchmarks: a fresh file system for each run,
# mounted at $mnt, and the medians. Set name (for the paths) first.
mnt=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-$name.XXXXXX")
backing=/dev/shm/skelvane-$name.$$.ext4
fstype=${SKELVANE_BENCH_FS:-ext4}
# A new ext4 on a loop file in /dev/shm, or tmpfs where that cannot be mounted.
fs_up() {
  if [[ $fstype == ext4 ]] && truncate -s 2G "$backing" &&
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$backing" &&
    mount -o loop "$backing" "$mnt" 2>/dev/null; then
    return
  fi
  fstype=tmpfs
  mount -t tmpfs -o size=2G "skelvane-$name" "$mnt"
}
fs_down() {
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  rm -f "$backing"
}
trap 'fs_down; rmdir "$mnt"' EXIT

# The wall time of the run since $1 (an EPOCHREALTIME), in seconds.
since() { echo "scale=4; ($EPOCHREALTIME - $1) / 1" | bc; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
