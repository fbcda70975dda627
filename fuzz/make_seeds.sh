#!/bin/sh
# Writes the fuzzer's seed corpus into folder $1: the example UCF and binary
# under several read sizes and faults, a UCF of over 64 KiB whose lines
# cross the passes' read buffers, and word files of 18 and 36 bits for
# RAMB16 and RAMB36, in the fuzzer's input layout.
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
