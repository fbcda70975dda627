#!/usr/bin/env bash
# The example Makefile's rule, with two components in one UCF: each runs
# when its own binary changes, both keep their statements, the check target
# fails when a binary changed, and a failure shows why. Usage: makefile_test.sh ROMSEED SOURCE_DIR
set -u
tool=$(realpath "$1")
src=$(realpath "$2")
source "$(dirname "$0")/check.sh"
cd "$scratch"
cp "$src/examples/top.ucf" "$src/examples/firmware.bin" .
head -c 100 /dev/zero | tr '\0' '\377' >font.bin
mk() { make -f "$src/examples/Makefile" ROMSEED="$tool" COMPONENTS="rom char_rom" char_rom_BIN=font.bin "$@"; }

check "both components run" mk -s
check "rom's statements" grep -q '^INST "rom01" INIT_03 = ' top.ucf
check "char_rom's statements" grep -q '^INST "char_rom00" INIT_03 = 0*ffffffff;' top.ucf
check "up to date" test "$(mk -n)" = "make: Nothing to be done for 'all'."
touch -d '2 hours ago' ./*.bin && touch -d '1 hour ago' ./*.stamp && touch font.bin
check "only the changed one runs again" test "$(mk -n | grep -c "$tool")" = 1
mk -s
check "rom kept its statements" grep -q '^INST "rom01" INIT_03 = ' top.ucf
check "the check finds both" mk -s check >/dev/null
head -c 40 /dev/urandom >>font.bin
mk -s check >check.txt 2>&1
check "the check fails on changed firmware" test $? != 0
check "and says what differs" grep -q 'top.ucf does not hold font.bin for char_rom: 2 differences' check.txt
chmod 444 top.ucf
touch -d '1 hour ago' ./*.stamp && touch firmware.bin
check "a failure says why" test "$(mk -s 2>&1 | head -n 1)" = "romseed: ucf file top.ucf is read-only"
finish
