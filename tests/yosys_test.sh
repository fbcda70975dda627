#!/usr/bin/env bash
# Synthesises a 512 x 8 ROM initialised with each block of the example
# firmware with yosys, which maps it onto a Virtex block RAM (RAMB4_S8) with
# INIT values of its own making, and checks that they are romseed's
# statements for that block. The firmware has a full block and a short last
# one, whose missing words yosys makes zeros. Then the same for the 1-, 2-,
# 4- and 16-bit ports (RAMB4_S1 to RAMB4_S16) of the first block, and for
# ROMs of 9-, 18- and 36-bit words, parity bits and all, in the block RAMs
# of the later families.
# Usage: yosys_test.sh ROMSEED SOURCE_DIR. Exits 77 (skipped) without yosys.
set -u
command -v yosys >/dev/null || { echo "yosys is not installed: skipped"; exit 77; }
tool=$(realpath "$1")
src=$(realpath "$2")
source "$(dirname "$0")/check.sh"
source "$(dirname "$0")/synth_rom.sh"
cd "$scratch"

cp "$src/examples/firmware.bin" fw.bin
: >top.ucf
"$tool" fw.bin top.ucf rom >/dev/null
blocks=$((($(stat -c %s fw.bin) + 511) / 512))
check "firmware of a full and a short block" test "$blocks" = 2
for ((b = 0; b < blocks; ++b)); do
  od -An -v -tx1 -w1 -j $((512 * b)) -N 512 fw.bin | tr -d ' ' >block.hex
  synth_rom xcv 512 8 block.hex
  check "block $b: one RAMB4_S8" test "$(grep -c 'RAMB4_S8 ' net.v)" = 1
  # INIT_0A and INIT_0a alike, as "index value" lines.
  grep -o "INIT_0[0-9A-Fa-f](256'h[0-9a-fx]*" net.v | sed "s/INIT_0\(.\)(256'h/0\1 /" |
    tr 'A-F' 'a-f' >yosys.txt
  name=$(printf 'rom%02x' "$b")
  grep "^INST \"$name\" INIT_" top.ucf | sed 's/.*INIT_\(..\) = \([0-9a-f]*\);/\1 \2/' >tool.txt
  zeros=$(printf '0%.0s' {1..64})
  for k in 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f; do
    want=$(grep "^$k " tool.txt | cut -d' ' -f2)
    check "block $b INIT_$k" test "$(grep "^$k " yosys.txt | cut -d' ' -f2)" = "${want:-$zeros}"
  done
done

# The other port widths of the same block RAM read the same 4096 bits: word
# a of a w-bit port is bits w*a to w*a+w-1, so byte 0 of each 512 bytes is
# bits 7..0 of INIT_00, and a 16-bit port reads little-endian words. Each
# width's ROM holds the first block's words so; yosys must make the INIT
# values of the statements for that block.
grep '^INST "rom00" INIT_' top.ucf | sed 's/.*INIT_\(..\) = \([0-9a-f]*\);/\1 \2/' | sort >tool.txt
for width in 1 2 4 16; do
  python3 -c '
import sys
w = int(sys.argv[1])
bits = int.from_bytes(open("fw.bin", "rb").read()[:512], "little")
for a in range(4096 // w):
    print("%x" % (bits >> (w * a) & ((1 << w) - 1)))' "$width" >block.hex
  synth_rom xcv $((4096 / width)) "$width" block.hex
  check "$width-bit port: one RAMB4_S$width" test "$(grep -c "RAMB4_S$width " net.v)" = 1
  grep -o "INIT_0[0-9A-Fa-f](256'h[0-9a-fx]*" net.v | sed "s/INIT_0\(.\)(256'h/0\1 /" |
    tr 'A-F' 'a-f' | sort >yosys.txt
  check "$width-bit port: the statements' INIT values" diff tool.txt yosys.txt
done

# A ROM of random words read with $readmemh fills one block RAM with parity
# bits; yosys lays its bits out in lanes of 9 (--parity=lanes), and its INIT_
# and INITP_ values must be romseed's statements for the same word file.
while read -r family depth width primitive; do
  python3 -c "import random; random.seed($depth * $width)
for a in range($depth): print('%x' % random.getrandbits($width))" >words.hex
  synth_rom "$family" "$depth" "$width" words.hex
  what="$depth x $width on $family"
  check "$what: one $primitive" test "$(grep -c "$primitive " net.v)" = 1
  grep -o "INITP\?_[0-9A-Fa-f]*(256'h[0-9a-fx]*" net.v | sed "s/(256'h/ /" |
    sed 's/_\(..\) /_\L\1 /' | sort >yosys.txt
  : >words.ucf
  parity=$([ "$width" = 9 ] || echo --parity=lanes)
  "$tool" -p "$primitive" -w "$width" $parity words.hex words.ucf rom >/dev/null
  # The index in upper case, as the tool writes it for RAMB16 and later.
  sed 's/^INST "rom00" \(INITP\?_\)\(..\) = \([0-9a-f]*\);/\1\L\2 \3/' words.ucf | sort >tool.txt
  check "$what: the statements' INIT_ and INITP_ values" diff tool.txt yosys.txt
done <<'EOF'
xc3s 2048 9 RAMB16_S9
xc3s 1024 18 RAMB16_S18
xc3s 512 36 RAMB16_S36
xc6s 1024 18 RAMB16BWER
xc6s 512 18 RAMB8BWER
xc5v 1024 18 RAMB18
xc5v 1024 36 RAMB36
EOF

finish
