#!/usr/bin/env bash
# The example Makefile's rule, with two components in one UCF: each runs
# when its own binary changed or the UCF no longer holds its statements, and
# never otherwise; both keep their statements; the check target fails when a
# binary changed; a failure shows why. Usage: makefile_test.sh ROMSEED SOURCE_DIR
set -u
tool=$(realpath "$1")
src=$(realpath "$2")
source "$(dirname "$0")/check.sh"
cd "$scratch"
cp "$src/examples/top.ucf" "$src/examples/firmware.bin" .
cp top.ucf pristine.ucf
head -c 100 /dev/zero | tr '\0' '\377' >font.bin
# The tool, counting its runs (a check is none).
cat >counted <<END
#!/bin/sh
case "\$1" in -c|--check) ;; *) echo run >>runs.log ;; esac
exec "$tool" "\$@"
END
chmod +x counted
mk() { make -f "$src/examples/Makefile" ROMSEED=./counted COMPONENTS="rom char_rom" char_rom_BIN=font.bin "$@"; }
runs() {  # runs WHAT N: make runs the tool N times
  rm -f runs.log
  mk -s >/dev/null
  check "$1: $2 runs" test "$(cat runs.log 2>/dev/null | wc -l)" = "$2"
}
# changed FILE...: those are newer than everything else
changed() { touch -d '1 hour ago' ./*.stamp ./*.bin top.ucf && touch "$@"; }

runs "first make" 2
check "rom's statements" grep -q '^INST "rom01" INIT_03 = ' top.ucf
check "char_rom's statements" grep -q '^INST "char_rom00" INIT_03 = 0*ffffffff;' top.ucf
runs "after both ran" 0
check "then up to date" test "$(mk -n)" = "make: Nothing to be done for 'all'."
head -c 40 /dev/urandom >>font.bin && changed font.bin
runs "one firmware changed" 1
check "rom kept its statements" grep -q '^INST "rom01" INIT_03 = ' top.ucf
cp pristine.ucf top.ucf && changed top.ucf
runs "ucf restored without the statements" 2
changed top.ucf
runs "ucf newer, statements there" 0
check "the check finds both" mk -s check >/dev/null
head -c 40 /dev/urandom >>font.bin
mk -s check >check.txt 2>&1
check "the check fails on changed firmware" test $? != 0
check "and says what differs" grep -q 'top.ucf does not hold font.bin for char_rom: 2 differences' check.txt
chmod 444 top.ucf
head -c 40 /dev/urandom >>firmware.bin && changed firmware.bin
check "a failure says why" test "$(mk -s 2>&1 | head -n 1)" = "romseed: ucf file top.ucf is read-only"
finish
