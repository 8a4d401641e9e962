#!/bin/sh
# Adds images made by genromfs, a maker nobody here wrote, to the seed corpus
# in $1. Without genromfs there are none.
set -eu
out=$1
if ! command -v genromfs >/dev/null; then
  echo "genromfs is missing: no genromfs seeds"
  exit 0
fi
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree/small/bin" "$tree/small/etc/init.d" "$tree/small/empty"
printf '#!/bin/sh\necho hi\n' >"$tree/small/bin/tool"
chmod +x "$tree/small/bin/tool"
ln -s tool "$tree/small/bin/alias"
ln -s /bin/tool "$tree/small/etc/abs"
printf 'x' >"$tree/small/etc/init.d/rcS"
: >"$tree/small/etc/zero"
printf 'blank and \\ backslash' >"$tree/small/etc/a b\\c"
genromfs -f "$out/genromfs-small.img" -d "$tree/small" -V small
genromfs -f "$out/genromfs-aligned.img" -d "$tree/small" -V aligned -a 64

# A root file system for --all, which an odd last byte picks: a hard link,
# devices and a fifo.
cp -a "$tree/small" "$tree/rootfs"
ln "$tree/rootfs/bin/tool" "$tree/rootfs/etc/tool-again"
mkdir "$tree/rootfs/dev"
: >"$tree/rootfs/dev/@console,c,5,1"
: >"$tree/rootfs/dev/@mtdblock0,b,31,0"
mkfifo "$tree/rootfs/dev/initctl"
genromfs -f "$out/genromfs-rootfs-all.img" -d "$tree/rootfs" -V rootfs
printf '\001' >>"$out/genromfs-rootfs-all.img"

mkdir "$tree/empty"
genromfs -f "$out/genromfs-empty.img" -d "$tree/empty" -V ''
