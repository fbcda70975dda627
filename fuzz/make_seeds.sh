#!/bin/sh
# Writes the fuzzer's seed corpus into folder $1: the example UCF and
# binary, under several read sizes, in the fuzzer's input layout.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
ucf=$here/../examples/top.ucf
bin=$here/../examples/firmware.bin
size=$(wc -c <"$ucf")
for steps in '\000\000' '\004\005' '\007\010'; do
  {
    printf '\003'"$steps"
    printf "\\$(printf %03o $((size % 256)))\\$(printf %03o $((size / 256)))"
    printf rom
    cat "$ucf" "$bin"
  } >"$1/example-$(printf "$steps" | od -An -tx1 | tr -d ' ')"
done
