#!/usr/bin/perl
# Makes one romfs image of a hostile shape for bench/memory.sh: small or
# empty entries, many of them or deep down, which cost the unpacker memory
# or system calls rather than bytes. genromfs cannot make these (a chain of
# "." entries, hard links that name no file), so the image is laid out here.
#
#   make_hostile.pl deep LEAVES FILE   254 nested directories with 255-byte
#                                      names, above LEAVES empty leaf
#                                      directories, each holding one "."
#   make_hostile.pl dots N FILE        N "." entries in the root's chain
#   make_hostile.pl fifos N FILE       N FIFOs in the root
#   make_hostile.pl dangling N FILE    N hard links in the root that name no
#                                      file (their header offset is 0)
#   make_hostile.pl linkdeep N FILE    a file 254 directories down, and N hard
#                                      links to it in the root
#
# A "." entry is a hard link to its directory, as genromfs writes it.
use strict;
use warnings;

my $img = '';   # the image as it is laid out
my @headers;    # every entry's header offset, for the checksums

use constant { HARD => 0, DIR => 1, FILE => 2, FIFO => 7 };

# The name and its terminator, padded to 16 bytes.
sub padded_name { my ($name) = @_; return $name . "\0" x (16 - length($name) % 16) }

# Appends an entry whose next is 0 for now; returns its header offset.
sub entry {
  my ($type, $name, $info, $data) = @_;
  $info //= 0;
  $data //= '';
  my $at = length $img;
  push @headers, $at;
  $img .= pack('NNNN', $type, $info, length $data, 0) . padded_name($name);
  $img .= $data . "\0" x ((16 - length($data) % 16) % 16);
  return $at;
}

# Links the entries at these header offsets into one chain, in this order.
sub chain {
  my @at = @_;
  for my $i (0 .. $#at - 1) {
    my $word = unpack('N', substr($img, $at[$i], 4));
    substr($img, $at[$i], 4) = pack('N', $at[$i + 1] | ($word & 15));
  }
}

sub sum_words {
  my ($bytes) = @_;
  my $sum = 0;
  $sum += $_ for unpack('N*', $bytes);
  return $sum % 2**32;
}

# Every header and padded name sums to 0, and so do the first 512 bytes.
sub finish {
  for my $at (@headers) {
    my $end = index($img, "\0", $at + 16);
    my $length = 16 + length padded_name(substr($img, $at + 16, $end - $at - 16));
    substr($img, $at + 12, 4) = pack('N', (2**32 - sum_words(substr($img, $at, $length))) % 2**32);
  }
  substr($img, 8, 4) = pack('N', length $img);
  my $first = substr($img, 0, 512);
  $first .= "\0" x (512 - length $first);
  substr($img, 12, 4) = pack('N', (2**32 - sum_words($first)) % 2**32);
}

my ($kind, $count, $file) = @ARGV;
die "usage: $0 deep|dots|fifos|dangling|linkdeep COUNT FILE\n"
  unless defined $file && $kind =~ /^(deep|dots|fifos|dangling|linkdeep)$/ && $count =~ /^[1-9][0-9]*$/;

$img = "-rom1fs-" . pack('NN', 0, 0) . padded_name($kind);
my $root = length $img;    # the root's first entry
if ($kind eq 'deep') {
  # Each directory's chain starts right after its name: 16 + 256 bytes on.
  entry(DIR, 'n' x 255, length($img) + 16 + 256) for 1 .. 254;
  my @leaves;
  for my $i (0 .. $count - 1) {
    my $leaf = entry(DIR, "l$i", length($img) + 32);
    entry(HARD, '.', $leaf);
    push @leaves, $leaf;
  }
  chain(@leaves);
} elsif ($kind eq 'dots') {
  chain(map { entry(HARD, '.', $root) } 1 .. $count);
} elsif ($kind eq 'fifos') {
  chain(map { entry(FIFO, sprintf('p%07d', $_)) } 1 .. $count);
} elsif ($kind eq 'dangling') {
  chain(map { entry(HARD, sprintf('h%07d', $_), 0) } 1 .. $count);
} else {
  my $top = entry(DIR, 'd', length($img) + 32);
  entry(DIR, 'd', length($img) + 32) for 2 .. 254;
  my $target = entry(FILE, 'f', 0, "deep down\n");
  chain($top, map { entry(HARD, sprintf('h%04d', $_), $target) } 1 .. $count);
}
finish();
open(my $out, '>:raw', $file) or die "$file: $!";
print $out $img;
close $out or die "$file: $!";
