#!/usr/bin/env bash
# Real programs through layouts, against tools no one here wrote: a RISC-V
# ELF from Debian's cross compiler and a big-endian PowerPC one from its
# cross binutils. The same program as Intel HEX, S-records and bytes (with
# --base) gives the same UCF as the ELF; each byte lane romseed writes holds
# what `objcopy --interleave` puts in that lane; and each bad input is
# answered with its reason, status 1, the UCF untouched and nothing left.
# Usage: programs_test.sh ROMSEED. Exits 77 (skipped) without the tools.
set -u
for t in riscv64-unknown-elf-gcc riscv64-unknown-elf-objcopy powerpc-linux-gnu-as powerpc-linux-gnu-ld; do
  command -v $t >/dev/null || { echo "$t is not installed: skipped"; exit 77; }
done
tool=$(realpath "$1")
source "$(dirname "$0")/check.sh"
cd "$scratch"

# Code and 6 KiB of data that no pattern makes right by chance.
awk 'BEGIN { srand(7); printf "const unsigned table[1536] = {"
             for (i = 0; i < 1536; ++i) printf "%u,", int(rand() * 4294967296); print "};" }' >table.c
cat >prog.c <<'EOF'
extern const unsigned table[1536];
int main(void) { unsigned s = 0; for (int i = 0; i < 1536; ++i) s += table[i]; return (int)s; }
void _start(void) { main(); for (;;) {} }
EOF
riscv64-unknown-elf-gcc -march=rv32i -mabi=ilp32 -nostdlib -O1 -Wl,-N,-Ttext=0x10000000 -o rv.elf prog.c table.c
for f in ihex srec binary; do riscv64-unknown-elf-objcopy -O $f rv.elf rv.$f; done
cat >m.bmm <<'EOF'
ADDRESS_SPACE lanes RAMB16 [0x10000000:0x10001FFF]
  BUS_BLOCK
    cpu/ram3 [31:24]; cpu/ram2 [23:16]; cpu/ram1 [15:8]; cpu/ram0 [7:0];
  END_BUS_BLOCK;
END_ADDRESS_SPACE;
ADDRESS_SPACE be RAMB16 [0x00000000:0x00001FFF]
  BUS_BLOCK
    be0 [0:7]; be1 [8:15]; be2 [16:23]; be3 [24:31];
  END_BUS_BLOCK;
END_ADDRESS_SPACE;
ADDRESS_SPACE small RAMB16 [0x10000000:0x100007FF]
  BUS_BLOCK small0 [7:0]; END_BUS_BLOCK;
END_ADDRESS_SPACE;
ADDRESS_SPACE nib RAMB16 [0x00000000:0x000007FF]
  BUS_BLOCK nib0 [3:0]; END_BUS_BLOCK;
END_ADDRESS_SPACE;
ADDRESS_SPACE low RAMB16 [0x00000000:0x00001FFF]
  BUS_BLOCK
    low0 [7:0]; low1 [15:8]; low2 [23:16]; low3 [31:24];
  END_BUS_BLOCK;
END_ADDRESS_SPACE;
EOF
fill() {  # fill UCF ARGS...: a UCF of a pin and a placement, filled by a layout run
  printf 'NET "clk" LOC = "P1";\r\nINST "cpu/ram0" LOC = RAMB16_X0Y0;\r\n' >"$1"
  "$tool" -l m.bmm "${@:2}" "$1" lanes >/dev/null 2>&1
}
fill top.ucf rv.elf
fill ihex.ucf rv.ihex && fill srec.ucf rv.srec && fill bin.ucf -f bin --base=0x10000000 rv.binary
for f in ihex srec bin; do check "$f gives the ELF's UCF" cmp -s top.ucf $f.ucf; done
riscv64-unknown-elf-gcc -march=rv64i -mabi=lp64 -nostdlib -O1 -Wl,-N,-Ttext=0x10000000 -o rv64.elf prog.c table.c
riscv64-unknown-elf-objcopy -O binary rv64.elf rv64.bin && fill 64.ucf rv64.elf && fill 64bin.ucf --base=0x10000000 rv64.bin
check "a 64-bit ELF gives its bytes' UCF" cmp -s 64.ucf 64bin.ucf
check "the map says which block RAM, statement and bits hold a byte" sh -c \
  "'$tool' -l m.bmm --map=0x10000105 rv.elf top.ucf lanes | grep -qx '  byte 0x10000105 bits 7:0: cpu/ram1 INIT_02 bits 15:8'"
check "the check holds each format" \
  sh -c "'$tool' -c -l m.bmm rv.srec top.ucf lanes && '$tool' -c -l m.bmm --base=0x10000000 rv.binary top.ucf lanes" >/dev/null

# The values of one instance, its statements' digits in index order.
values() { grep "^INST \"$2\" INIT_" "$1" | sed 's/.* = \([0-9a-f]*\);.*/\1/' | tr -d '\n'; }
lanes_agree() {  # lanes_agree UCF ELF OBJCOPY NAME...: lane j is objcopy's byte j of every 4
  local ucf=$1 elf=$2 objcopy=$3 j=0
  shift 3
  $objcopy -O binary "$elf" flat.bin
  for name; do
    $objcopy -I binary -O binary --interleave=4 --byte=$j flat.bin lane.bin
    : >row.ucf
    "$tool" -p RAMB16 lane.bin row.ucf L >/dev/null 2>&1
    # A row's short last instance has fewer statements: compare what it has.
    local want=$(values row.ucf L00) got=$(values "$ucf" "$name")
    [ -n "$want" ] && [ "${got:0:${#want}}" = "$want" ] || return 1
    j=$((j + 1))
  done
}
check "each little-endian lane is objcopy's" lanes_agree top.ucf rv.elf riscv64-unknown-elf-objcopy \
  cpu/ram0 cpu/ram1 cpu/ram2 cpu/ram3

# Big-endian: the ELF says so; [0:7] is the bus word's top byte, the byte at 4k.
cat >ppc.s <<'EOF'
  .text
  .long 0x11223344, 0x55667788, 0x99aabbcc, 0xddeeff00
  .ascii "a big-endian program's bytes, in address order"
  .balign 4
EOF
powerpc-linux-gnu-as -o ppc.o ppc.s && powerpc-linux-gnu-ld -N -Ttext=0 -e 0 -o ppc.elf ppc.o 2>/dev/null
: >be.ucf
"$tool" -l m.bmm ppc.elf be.ucf be >/dev/null 2>&1
check "big-endian lanes are objcopy's" lanes_agree be.ucf ppc.elf powerpc-linux-gnu-objcopy be0 be1 be2 be3
: >low.ucf
"$tool" -l m.bmm ppc.elf low.ucf low >/dev/null 2>&1
check "[7:0] of a big-endian word is its last byte" lanes_agree low.ucf ppc.elf powerpc-linux-gnu-objcopy \
  low3 low2 low1 low0
"$tool" -l m.bmm --byte-order=little ppc.elf low.ucf low >/dev/null 2>err.txt
check "--byte-order overrides the ELF's, with a notice" grep -q "is big-endian; --byte-order overrides" err.txt
check "... and the order is the one asked for" lanes_agree low.ucf ppc.elf powerpc-linux-gnu-objcopy \
  low0 low1 low2 low3

# Without a layout, a program fills the row from --base, as objcopy -O binary lays it out.
: >row1.ucf
: >row2.ucf
"$tool" -p RAMB16 -f elf --base=0x10000000 rv.elf row1.ucf rom >/dev/null 2>&1
"$tool" -p RAMB16 rv.binary row2.ucf rom >/dev/null 2>&1
check "an ELF's row is its bytes'" cmp -s row1.ucf row2.ucf

# Each mistake: its reason, status 1, the UCF as it was, no working file.
sed 's/\[0x10000000:0x10001FFF\]/[0x10000000:0x10003FFF]/' m.bmm >wrong.bmm
printf ':0100000041BE\n:0100010041BF\n' >bad.hex
riscv64-unknown-elf-gcc -march=rv32i -mabi=ilp32 -nostdlib -Wl,-N,-Ttext=0x20000000 -o far.elf prog.c table.c
cp top.ucf before.ucf
refused() {  # refused REASON ARGS...
  local reason=$1
  shift
  local status=0
  "$tool" "$@" >out.txt 2>err.txt || status=$?
  [ $status = 1 ] && grep -q -- "$reason" err.txt && cmp -s top.ucf before.ucf && [ ! -e tempucf.ucf ]
}
check "a space larger than its RAMs" refused "wrong.bmm:1: address space lanes spans 16384 bytes, but its block RAMs hold 8192" -l wrong.bmm rv.elf top.ucf lanes
check "a bad checksum" refused "bad.hex: line 2: its checksum does not hold" -l m.bmm bad.hex top.ucf lanes
check "a program linked elsewhere" refused "no byte of it lies in lanes" -l m.bmm far.elf top.ucf lanes
check "-p with a layout" refused "the layout file gives the block RAMs" -l m.bmm -p RAMB16 rv.elf top.ucf lanes
check "a check's trouble is status 2" sh -c "'$tool' -c -l wrong.bmm rv.elf top.ucf lanes >/dev/null 2>&1; [ \$? = 2 ]"
check "bytes into a bus of 4 bits" refused "give a word file" -l m.bmm rv.elf top.ucf nib
check "a byte below --base" refused "below --base 0x20000000" -f elf --base=0x20000000 rv.elf top.ucf lanes
"$tool" -l m.bmm rv.elf top.ucf small >/dev/null 2>err.txt
check "bytes outside the space are said" grep -q "4144 bytes of rv.elf lie outside small \[0x10000000:0x100007ff\], the first at 0x10000800" err.txt
finish
