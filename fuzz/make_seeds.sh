#!/bin/sh
# Writes the fuzzer's seed corpus into folder $1: the example UCF and binary
# under several read sizes and faults, and a UCF of over 64 KiB whose lines
# cross the passes' read buffers, in the fuzzer's input layout.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
ucf=$here/../examples/top.ucf
bin=$here/../examples/firmware.bin
octal() { printf "\\$(printf %03o "$1")"; }
# seed FILE STEPS FAULT UCF: the header, the name rom, the UCF and the binary.
seed() {
  size=$(wc -c <"$4")
  {
    printf '\003'"$2$3"
    octal $((size % 256)); octal $((size / 256 % 256)); octal $((size / 65536))
    printf '\000\002rom'
    cat "$4" "$bin"
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
