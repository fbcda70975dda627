#!/usr/bin/env bash
# Installs the built tool into a scratch prefix and packages it; checks what
# lands where. A fully static build (a third argument, static) makes archives,
# not the Debian package, which is linked against the system's C library.
# With `lintian` as the third argument it checks only the package, with
# lintian, and exits 77 (skipped) where lintian is missing.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [static|lintian]
set -u
build=$(realpath "$1")
src=$(realpath "$2")
if [ "${3:-}" = lintian ] && ! command -v lintian >/dev/null; then
  echo "lintian is not installed: skipped"
  exit 77
fi
source "$(dirname "$0")/check.sh"

# Runs an installed romseed on a copy of the example; true if it completed.
runs_example() {
  local dir
  dir=$(mktemp -d -p "$scratch")
  cp "$src/examples/top.ucf" "$src/examples/firmware.bin" "$dir/"
  (cd "$dir" && "$1" firmware.bin top.ucf rom | grep -q '^complete!$') &&
    grep -q '^INST "rom00" INIT_03 = ' "$dir/top.ucf"
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
gz_page=$scratch/prefix/share/man/man1/romseed.1.gz
man_page=$scratch/romseed.1
gunzip -c "$gz_page" >"$man_page" 2>/dev/null
check "binary installed" runs_example "$scratch/prefix/bin/romseed"
check "man page installed" test -s "$man_page"
check "man page renders without warnings" test -z "$(groff -man -ww -z "$man_page" 2>&1)"
if command -v mandoc >/dev/null; then
  check "mandoc -Tlint finds nothing" test -z "$(mandoc -Tlint "$man_page" 2>&1)"
else
  echo "mandoc is not installed: man page not checked by it"
fi
check "man -l shows it" bash -c "MANPAGER=cat man -l '$man_page' 2>/dev/null | grep -q 'INST \"rom00\" INIT_00 = 0*30201;'"
# The README shows -h as the tool prints it, after the banner.
check "README's help is the tool's" diff <(awk '/^`romseed -h` prints/ {on = 1; next}
  on && /^```$/ {if (seen++) exit; next} seen' "$src/README.md") \
  <("$scratch/prefix/bin/romseed" -h | tail -n +3)
version=$(grep -o 'project(romseed VERSION [0-9.]*' "$src/CMakeLists.txt" | awk '{print $3}')
check "banner shows version $version" bash -c "'$scratch/prefix/bin/romseed' | sed -n 2p | grep -q 'romseed $version:'"
check "man page shows version $version" grep -q "\"romseed $version\"" "$man_page"

if [ "${3:-}" = static ]; then finish; fi
# Under the umask many distributions give users: folders stay 0755.
(cd "$scratch" && umask 0002 && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/romseed_*.deb 2>/dev/null | head -n 1)
check "package built" test -n "$deb"
# Made again a second later, from the same build: the same bytes.
mkdir "$scratch/again" && sleep 1
(cd "$scratch/again" && umask 0002 && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
check "a second package is the same bytes" cmp -s "$deb" "$scratch/again/$(basename "$deb")"
if [ -n "$deb" ]; then
  check "package version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
  dpkg-deb -x "$deb" "$scratch/root"
  check "packaged binary" runs_example "$scratch/root/usr/bin/romseed"
  check "packaged man page" test -f "$scratch/root/usr/share/man/man1/romseed.1.gz"
  check "packaged README" cmp -s <(gzip -dc "$scratch/root/usr/share/doc/romseed/README.md.gz") "$src/README.md"
  check "packaged example makefile" cmp -s "$scratch/root/usr/share/doc/romseed/examples/Makefile" \
    "$src/examples/Makefile"
  check "standard modes" test -z "$(dpkg-deb -c "$deb" | awk '$1 !~ /^(drwxr-xr-x|-rwxr-xr-x|-rw-r--r--)$/')"
  if [ "${3:-}" = lintian ]; then
    lintian -I "$deb" >"$scratch/lintian.txt" 2>&1
    cat "$scratch/lintian.txt"
    check "lintian finds no error and no warning" bash -c "! grep -E '^[EW]: ' '$scratch/lintian.txt'"
    check "lintian finds no hardening tag" bash -c "! grep -E 'hardening' '$scratch/lintian.txt'"
  fi
fi

finish
