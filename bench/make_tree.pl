#!/usr/bin/perl
# Makes one benchmark source tree. Sizes and names come from a fixed seed,
# so every machine benchmarks the same shape; the bytes are random, so no
# file system or tool can take a short cut over them.
#
#   make_tree.pl small FILES LINKS DIR  FILES files of 0 to 4 KiB, 50 per
#                                       directory, and LINKS symbolic links to
#                                       files in the next directory
#   make_tree.pl large MIB DIR          four files of MIB MiB
#   make_tree.pl firmware FILES DIR     a rootfs-shaped tree: FILES files
#                                       (busybox among them), 30 MiB per
#                                       1,000 files, and 250 symbolic links
#   make_tree.pl rootfs FILES LINKS HARD DEVICES DIR
#                                       the same tree with LINKS symbolic
#                                       links, HARD further names of programs
#                                       (hard links) and DEVICES device
#                                       entries in dev/
#   make_tree.pl links LINKS DIR        LINKS links, nine in ten symbolic,
#                                       one in ten hard, 1,000 a directory
#                                       with ten small files they name
#
# A device entry is an empty file named @name,type,major,minor, which
# genromfs turns into a device node's entry.
use strict;
use warnings;
use File::Path qw(make_path);

my $pool = '';  # random bytes that file contents are cut from
{
  open(my $r, '<:raw', '/dev/urandom') or die "/dev/urandom: $!";
  read($r, $pool, 8 << 20) == 8 << 20 or die "short read from /dev/urandom";
  close $r;
}

sub put_file {
  my ($path, $size) = @_;
  open(my $f, '>:raw', $path) or die "$path: $!";
  while ($size > 0) {
    my $n = $size < length($pool) / 2 ? $size : length($pool) / 2;
    print $f substr($pool, int(rand(length($pool) - $n)), $n);
    $size -= $n;
  }
  close $f or die "$path: $!";
}

sub put_link {
  my ($target, $path) = @_;
  symlink($target, $path) or die "$path: $!";
}

sub small_tree {
  my ($files, $links, $root) = @_;
  my $dirs = int($files / 50);
  for my $d (0 .. $dirs - 1) {
    my $dir = sprintf("%s/d%03d", $root, $d);
    make_path($dir);
    put_file(sprintf("%s/f%05d", $dir, $d * 50 + $_), int(rand(4097))) for 0 .. 49;
  }
  for my $l (0 .. $links - 1) {
    my $d = $l % $dirs;
    my $next = ($d + 1) % $dirs;
    put_link(sprintf("../d%03d/f%05d", $next, $next * 50 + $l % 50), sprintf("%s/d%03d/l%03d", $root, $d, $l));
  }
}

sub large_tree {
  my ($mib, $root) = @_;
  make_path($root);
  put_file("$root/blob$_", $mib << 20) for 0 .. 3;
}

# Log-uniform sizes between lo and hi bytes: many small, a few big.
sub spread {
  my ($lo, $hi) = @_;
  return int(exp(log($lo) + rand() * (log($hi) - log($lo))));
}

sub firmware_tree {
  my ($nfiles, $nlinks, $nhard, $ndevices, $root) = @_;
  my @plan;  # [directory, name prefix, count, smallest, largest]
  push @plan, ['etc', 'conf', 120, 40, 4096], ['etc/init.d', 'S', 40, 200, 3000],
    ['etc/config', 'cfg', 60, 100, 2000], ['etc/ssl/certs', 'ca', 140, 1000, 2200];
  push @plan, ['lib', 'lib', 40, 8 << 10, 768 << 10], ['usr/lib', 'lib', 150, 4 << 10, 400 << 10];
  push @plan, ["lib/modules/5.10.0/kernel/drivers/$_", 'mod', 60, 4 << 10, 200 << 10]
    for qw(net usb mtd gpio i2c spi);
  push @plan, ['usr/bin', 'tool', 100, 8 << 10, 300 << 10], ['usr/sbin', 'daemon', 40, 16 << 10, 300 << 10];
  push @plan, ["usr/share/locale/l$_", 'msg', 30, 200, 16 << 10] for 0 .. 9;
  push @plan, ["usr/share/terminfo/$_", 'term', 30, 500, 3000] for qw(a l v x);
  push @plan, ["www/$_", 'page', 80, 100, 40 << 10] for qw(cgi-bin css js img html);
  push @plan, ['usr/share/misc', 'data', 80, 50, 8 << 10];

  # The counts above are for 2,000 files; scale them to the number asked for.
  $_->[2] = int($_->[2] * $nfiles / 2000 + 0.5) || 1 for @plan;

  my $total = 0;
  my @files;
  for my $p (@plan) {
    my ($dir, $prefix, $count, $lo, $hi) = @$p;
    make_path("$root/$dir");
    for my $i (0 .. $count - 1) {
      my $size = spread($lo, $hi);
      push @files, ["$root/$dir/$prefix$i", $size];
      $total += $size;
    }
  }
  make_path("$root/$_") for qw(bin sbin dev proc sys tmp var/run var/log mnt root);
  push @files, ["$root/bin/busybox", 1200 << 10];
  $total += 1200 << 10;
  # Firmware blobs make up the rest of the files and of the bytes.
  make_path("$root/lib/firmware");
  my $blobs = $nfiles - @files;
  my $rest = int($nfiles * (30 << 20) / 1000) - $total;
  die "too few files for the tree's shape" if $blobs < 1;
  die "tree too big for its size" if $rest < 0;
  push @files, ["$root/lib/firmware/fw$_", int($rest / $blobs)] for 0 .. $blobs - 1;
  put_file(@$_) for @files;

  # Busybox applets, as firmware ships them.
  for my $l (0 .. $nlinks - 1) {
    my @where = (['bin', 'busybox'], ['sbin', '../bin/busybox'], ['usr/bin', '../../bin/busybox']);
    my ($dir, $target) = @{ $where[$l % 3] };
    put_link($target, sprintf("%s/%s/applet%03d", $root, $dir, $l));
  }
  # Programs known by several names, 25 of them, each name in another
  # directory in turn.
  die "too few files for the tree's shape" if $nhard && !-e "$root/usr/bin/tool24";
  for my $h (0 .. $nhard - 1) {
    my $dir = (qw(bin sbin usr/bin usr/sbin))[$h % 4];
    link(sprintf("%s/usr/bin/tool%d", $root, $h % 25), sprintf("%s/%s/alias%03d", $root, $dir, $h))
      or die "$root/$dir/alias$h: $!";
  }
  # Serial ports and flash partitions.
  for my $d (0 .. $ndevices - 1) {
    my $name = $d % 5 == 4 ? sprintf('mtdblock%d,b,31,%d', $d / 5, $d / 5)
      : sprintf('ttyS%d,c,4,%d', 64 + $d, 64 + $d);
    put_file("$root/dev/\@$name", 0);
  }
}

sub links_tree {
  my ($nlinks, $root) = @_;
  for my $d (0 .. int(($nlinks + 999) / 1000) - 1) {
    my $dir = sprintf("%s/d%03d", $root, $d);
    make_path($dir);
    put_file("$dir/f$_", int(rand(4097))) for 0 .. 9;
    for my $l ($d * 1000 .. ($d + 1) * 1000 - 1) {
      last if $l >= $nlinks;
      if ($l % 10 == 9) {
        my $file = sprintf("%s/f%d", $dir, $l / 10 % 10);
        link($file, "$dir/h$l") or die "$dir/h$l: $!";
      } else {
        put_link("f" . $l % 10, "$dir/s$l");
      }
    }
  }
}

srand(5);
my $kind = shift // '';
if ($kind eq 'small' && @ARGV == 3) { small_tree(@ARGV) }
elsif ($kind eq 'large' && @ARGV == 2) { large_tree(@ARGV) }
elsif ($kind eq 'firmware' && @ARGV == 2) { firmware_tree($ARGV[0], 250, 0, 0, $ARGV[1]) }
elsif ($kind eq 'rootfs' && @ARGV == 5) { firmware_tree(@ARGV) }
elsif ($kind eq 'links' && @ARGV == 2) { links_tree(@ARGV) }
else {
  die "usage: $0 small FILES LINKS DIR | large MIB DIR | firmware FILES DIR\n"
    . "       | rootfs FILES LINKS HARD DEVICES DIR | links LINKS DIR\n";
}
