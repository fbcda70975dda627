#!/usr/bin/env bash
# Makes a package with cpack from a build folder's install rules and checks
# what it holds; with --static, that its romseed is statically linked and
# runs. Usage: archive_test.sh BUILD_DIR TGZ|ZIP [--static] NAME...
set -u
build=$(realpath "$1")
generator=$2
shift 2
static=false
if [ "${1:-}" = --static ]; then static=true && shift; fi
source "$(dirname "$0")/check.sh"
cd "$scratch"

# Under the umask many distributions give users: folders stay 0755.
(umask 0002 && cpack -G "$generator" --config "$build/CPackConfig.cmake" >cpack.log 2>&1)
archive=$(ls romseed-* 2>/dev/null | head -n 1)
check "$generator archive made" test -n "$archive"
if [ "$generator" = TGZ ]; then
  check "each entry once" test -z "$(tar -tzf "$archive" | sort | uniq -d)"
  check "standard modes" test -z "$(tar -tvzf "$archive" | awk '$1 !~ /^(drwxr-xr-x|-rwxr-xr-x|-rw-r--r--)$/')"
fi
mkdir unpacked
case $generator in
  TGZ) tar -xzf "$archive" -C unpacked ;;
  ZIP) unzip -q "$archive" -d unpacked ;;
esac
for name in "$@"; do
  check "$archive holds $name" test -n "$(find unpacked -name "$name" -type f)"
done
# Windows documents end every line with CR LF.
if [ -n "$(find unpacked -name README.txt -type f)" ]; then
  for doc in README.txt README.md LICENSE; do
    path=$(find unpacked -name "$doc" -type f)
    check "$doc ends every line with CR LF" test -n "$path" -a -z "$(grep -v $'\r$' "$path")"
  done
fi
if $static; then
  tool=$(find unpacked -name romseed -type f)
  check "statically linked" bash -c "file '$tool' | grep -q 'statically linked'"
  printf 'NET a;\n' >top.ucf && printf '\x01' >fw.bin
  check "it runs" bash -c "'$tool' fw.bin top.ucf rom | grep -q '^complete!$'"
fi

finish
