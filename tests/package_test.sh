#!/bin/bash
# Builds the Debian package from a configured and built tree, unpacks it
# into a scratch root, and runs the installed program on the sample image.
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR VERSION
# Exits 77 (skipped) where dpkg is missing.
set -u

cpack=$1 build=$2 source=$3 version=$4

for tool in dpkg dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing"
    exit 77
  fi
done

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

work=$build/package-test
rm -rf "$work" && mkdir -p "$work" || exit 1
cd "$work" || exit 1

# The package: its name, control fields and file list.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >cpack.log 2>&1 ||
  { cat cpack.log; fail "cpack -G DEB"; exit 1; }
deb=pkg/skelvane_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { ls pkg; fail "no $deb"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == skelvane ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
[[ $(field Section) == utils ]] || fail "Section: $(field Section)"
maintainer='^[^<>]+ <[^<>@]+@[^<>]+>$'
[[ $(field Maintainer) =~ $maintainer ]] || fail "Maintainer: $(field Maintainer)"
[[ $(field Description) == "unpack romfs images into a directory tree"$'\n'* ]] ||
  fail "Description: $(field Description)"
# Computed from the binary: the C and C++ runtimes, with versions.
depends=", $(field Depends)"
for lib in libc6 libstdc++6; do
  [[ $depends == *", $lib (>= "[0-9]* ]] || fail "Depends lacks $lib: $depends"
done

dpkg -x "$deb" root || { fail "dpkg -x"; exit 1; }
(cd root && find . | LC_ALL=C sort) >tree.actual
printf '%s\n' . ./usr ./usr/bin ./usr/bin/skelvane ./usr/share ./usr/share/doc \
  ./usr/share/doc/skelvane ./usr/share/doc/skelvane/copyright ./usr/share/man \
  ./usr/share/man/man1 ./usr/share/man/man1/skelvane.1.gz >tree.expected
diff tree.expected tree.actual || fail "files in the package"
[[ -x root/usr/bin/skelvane ]] || fail "usr/bin/skelvane is not executable"

# The manual page: the one of the source tree, rendering without warnings.
page=root/usr/share/man/man1/skelvane.1.gz
gzip -dc "$page" | cmp - "$source/doc/skelvane.1" || fail "manual page differs from doc/skelvane.1"
warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ $? == 0 && -z $warnings ]] || fail "man --warnings: $warnings"

# The installed program on the sample image: whole trace, status, and tree.
cp "$source/sample/sample.img" sample.img || exit 1
umask 022
root/usr/bin/skelvane sample.img out >trace.actual
status=$?
[[ $status == 0 ]] || fail "exit status $status"
printf '%s\n' \
  'Image name=sample (6)' \
  'UNPACKING ROMFS IMAGE sample.img to out...' \
  '[.] ' \
  '[..] ' \
  '[bin] ' \
  '...[.] ' \
  '...[..] ' \
  '...hello (43) (X)' \
  '...hi <SYMBOLIC LINK> (5) ' \
  'README (52) ' \
  '' \
  'RESOLVING SYMBOLIC LINKS...' \
  '-> create symbolic link out\bin\hi with hello (done)' \
  '' \
  'DONE. (1 symbolic links, 0 unresolved)' >trace.expected
diff trace.expected trace.actual || fail "trace"

(cd out && find . -printf '%y %m %p\n' | LC_ALL=C sort -k3) >out.actual
printf '%s\n' 'd 755 .' 'f 644 ./README' 'd 755 ./bin' 'f 755 ./bin/hello' 'l 777 ./bin/hi' \
  >out.expected
diff out.expected out.actual || fail "unpacked tree"
printf 'This tree was unpacked from sample.img by skelvane.\n' | cmp - out/README ||
  fail "out/README"
printf '#!/bin/sh\necho hello from the sample image\n' | cmp - out/bin/hello || fail "out/bin/hello"
[[ $(readlink out/bin/hi) == hello ]] || fail "out/bin/hi -> $(readlink out/bin/hi)"

if ((failures)); then
  echo "$failures check(s) failed; see $work"
  exit 1
fi
echo "package test passed: $deb"
