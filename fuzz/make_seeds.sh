#!/bin/sh
# Writes the fuzzer's seed corpus into folder $1: the example UCF and binary
# under several read sizes and faults, a UCF of over 64 KiB whose lines
# cross the passes' read buffers, and word files of 18 and 36 bits for
# RAMB16 and RAMB36, in the fuzzer's input layout. With a folder $2, the
# layout fuzzer's too: block memory maps of lanes, banks and parity bits,
# with programs in each format.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
ucf=$here/../examples/top.ucf
bin=$here/../examples/firmware.bin
octal() { printf "\\$(printf %03o "$1")"; }
# seed FILE STEPS FAULT UCF [BINARY]: the header, the name rom, the UCF and
# the binary.
seed() {
  size=$(wc -c <"$4")
  {
    printf '\003'"$2$3"
    octal $((size % 256)); octal $((size / 256 % 256)); octal $((size / 65536))
    printf '\000\002rom'
    cat "$4" "${5:-$bin}"
  } >"$1"
}
for steps in '\000\000' '\004\005' '\007\010'; do
  for fault in '\000' '\001' '\002' '\003'; do
    seed "$1/example-$(printf "$steps$fault" | od -An -tx1 | tr -d ' ')" "$steps" "$fault" "$ucf"
  done
done
long=$(mktemp)
trap 'rm -f "$long"' EXIT
for i in $(seq 100); do
  cat "$ucf"
  printf 'NET "n%s" LOC = "P%s";\n' "$i" "$(head -c 150 /dev/zero | tr '\0' x)"
done >"$long"
seed "$1/long" '\007\000' '\000' "$long"
words=$(mktemp)
trap 'rm -f "$long" "$words"' EXIT
printf '// program\n3ffff 0_1234 /* two */\n@10 2a5a5\n1ff ff\n' >"$words"
# Byte 3: the block RAM in bits 2 and 3, the word width's index in 4 to 7.
seed "$1/words18-ports" '\000\000' '\204' "$ucf" "$words"
seed "$1/words18-lanes" '\011\003' '\204' "$ucf" "$words"
seed "$1/words36-lanes" '\011\000' '\234' "$ucf" "$words"
seed "$1/words9" '\000\000' '\170' "$ucf" "$words"

[ $# -ge 2 ] || exit 0
mkdir -p "$2"
lanes='ADDRESS_SPACE m RAMB16 [0x100:0x20FF] BUS_BLOCK a3 [31:24]; a2 [23:16] LOC = X0Y2; a1 [15:8]; a0 [7:0]; END_BUS_BLOCK; END_ADDRESS_SPACE;'
banks='// banks
ADDRESS_MAP cpu PPC405 0 ADDRESS_BLOCK m RAMB4 [0:1023] BUS_BLOCK b [0:7]; END_BUS_BLOCK; BUS_BLOCK c RAMB4_S8 [0:7] [512:1023]; END_BUS_BLOCK; END_ADDRESS_BLOCK; END_ADDRESS_MAP;'
parity='ADDRESS_SPACE m RAMB36 [0:0x1FFF] BUS_BLOCK /* two */ h [71:36]; l [35:0]; END_BUS_BLOCK; END_ADDRESS_SPACE;'
bits='ADDRESS_SPACE m RAMB16 [0:0x1FFF] BUS_BLOCK b3 [3]; b2 [2:2]; b1 [1]; b0 [0]; END_BUS_BLOCK; END_ADDRESS_SPACE;'
# Byte 0 the format (and the byte order above it), byte 1 the reads, the
# BMM's length, the BMM, the program.
write_seed() {  # write_seed FORMAT PROGRAM NAME
  { octal "$1"; printf '\001'; octal $((${#bmm} % 256)); octal $((${#bmm} / 256)); printf '%s' "$bmm"
    printf "$2"; } >"$f-$3"
}
for name in lanes banks parity bits; do
  eval "bmm=\$$name"
  f=$2/$name
  write_seed 0 'INST "a0" INIT_00 = 00;\nNET x;\n\001\002\003\004' bin
  write_seed 1 '@0 123456789abcdef01\n0 1 2\n' mem
  write_seed 2 ':0401000001020304F1\n:00000001FF\n' ihex
  write_seed 3 'S107010001020304ED\nS9030000FC\n' srec
  # An ELF32 of one segment: 4 bytes at 0x100, 4 zeros after them.
  write_seed 4 '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\363\000\001\000\000\000\000\000\000\000\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\050\000\000\000\000\000\001\000\000\000\124\000\000\000\000\001\000\000\000\001\000\000\004\000\000\000\010\000\000\000\005\000\000\000\004\000\000\000\001\002\003\004' elf
  write_seed 11 ':020000040000FA\n:0401000001020304F1\n' auto-big
done
