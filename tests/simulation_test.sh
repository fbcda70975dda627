#!/usr/bin/env bash
# Reads a program back through the block RAMs that romseed filled: iverilog
# instantiates every instance of a layout with its UCF values in a read
# model of the primitive (bram_read.v, itself held against yosys's mapping
# of an inferred ROM), reads every bus word through the lanes and banks,
# and compares it with the program's words as od shows them: 4 x 8-bit
# RAMB16 lanes, 8 x 4-bit, 32 x 1-bit, 2 banks by depth, a big-endian
# [0:31] layout, RAMB36 with 36-bit parity lanes from a word file, and
# 9-bit lanes whose data bits a program of bytes fills.
# Usage: simulation_test.sh ROMSEED. Exits 77 (skipped) without the tools.
set -u
for t in iverilog vvp python3 riscv64-unknown-elf-gcc powerpc-linux-gnu-as; do
  command -v $t >/dev/null || { echo "$t is not installed: skipped"; exit 77; }
done
tool=$(realpath "$1")
model=$(realpath "$(dirname "$0")/bram_read.v")
source "$(dirname "$0")/check.sh"
source "$(dirname "$0")/synth_rom.sh"
cd "$scratch"

# The model against yosys: a 2048 x 9 ROM of random words, mapped to a
# RAMB16_S9 with yosys's own INIT_ and INITP_ values, reads back its words.
if command -v yosys >/dev/null; then
  python3 -c "import random; random.seed(9)
for a in range(2048): print('%03x' % random.getrandbits(9))" >rom.hex
  synth_rom xc3s 2048 9 rom.hex
  python3 - <<'EOF'
import re
v = open("net.v").read()
init = {m[0]: m[1] for m in re.findall(r"\.(INITP?_[0-9A-Fa-f]{2})\(256'h([0-9a-fA-F]+)\)", v)}
def whole(kind, n):
    return "".join(init.get("%s_%02X" % (kind, k), init.get("%s_%02x" % (kind, k), "0" * 64)) for k in reversed(range(n)))
open("tb.v", "w").write("""module tb; reg [15:0] a; wire [8:0] q; integer i;
bram_read #(.DW(8), .PW(1), .DEPTH(2048), .INIT(16384'h%s), .INITP(2048'h%s)) r(.addr(a), .q(q));
initial begin for (i = 0; i < 2048; i = i + 1) begin a = i; #1 $display("%%h", q); end end
endmodule
""" % (whole("INIT", 64), whole("INITP", 8)))
EOF
  iverilog -o model.vvp "$model" tb.v && vvp -n model.vvp >read.txt
  check "the read model reads yosys's RAMB16_S9 as its ROM" cmp -s read.txt rom.hex
fi

# A program of code and random data; a big-endian one of random words.
awk 'BEGIN { srand(11); printf "const unsigned table[3000] = {"
             for (i = 0; i < 3000; ++i) printf "%u,", int(rand() * 4294967296); print "};" }' >table.c
echo 'extern const unsigned table[]; int _start(void) { return (int)table[5]; }' >prog.c
riscv64-unknown-elf-gcc -march=rv32i -mabi=ilp32 -nostdlib -Wl,-N,-Ttext=0 -o rv.elf prog.c table.c 2>/dev/null
riscv64-unknown-elf-objcopy -O binary rv.elf rv.bin
awk 'BEGIN { srand(13); for (i = 0; i < 2048; ++i) printf "  .long %u\n", int(rand() * 4294967296) }' >be.s
powerpc-linux-gnu-as -o be.o be.s && powerpc-linux-gnu-ld -N -Ttext=0 -e 0 -o be.elf be.o 2>/dev/null
powerpc-linux-gnu-objcopy -O binary be.elf be.bin
python3 -c "import random; random.seed(72)
for a in range(1024): print('%018x' % random.getrandbits(72))" >wide.mem

# Each layout: its space, its block RAM, its banks of lanes as (name, bits),
# its program; written as a BMM (m.bmm) and, below, as a testbench.
cat >layouts.py <<'EOF'
lanes = lambda w, n, p, fmt="[%d:%d]": [("%s%d" % (p, k), fmt % ((k + 1) * w - 1, k * w)) for k in reversed(range(n))]
LAYOUTS = {
    "bytes": ("RAMB16", 0x1FFF, [lanes(8, 4, "ram")], "rv.elf"),
    "nibbles": ("RAMB16", 0x3FFF, [lanes(4, 8, "nib")], "rv.elf"),
    "bits": ("RAMB16", 0xFFFF, [[("b%d" % k, "[%d]" % k if k % 2 else "[%d:%d]" % (k, k)) for k in range(32)]], "rv.elf"),
    "banks": ("RAMB16", 0x3FFF, [lanes(8, 4, "lo"), lanes(8, 4, "hi")], "rv.elf"),
    "be": ("RAMB16", 0x1FFF, [[("be%d" % k, "[%d:%d]" % (8 * k, 8 * k + 7)) for k in range(4)]], "be.elf"),
    "wide": ("RAMB36", 0x1FFF, [lanes(36, 2, "w")], "wide.mem"),
    "parity": ("RAMB16", 0x1FFF, [lanes(9, 4, "p")], "rv.elf"),
}
with open("m.bmm", "w") as f:
    for name, (ram, end, banks, _) in LAYOUTS.items():
        f.write("ADDRESS_SPACE %s %s [0x00000000:0x%08X]\n" % (name, ram, end))
        for bank in banks:
            f.write("  BUS_BLOCK\n" + "".join("    %s %s;\n" % lane for lane in bank) + "  END_BUS_BLOCK;\n")
        f.write("END_ADDRESS_SPACE;\n")
EOF
python3 layouts.py

cat >bench.py <<'EOF'
# Writes tb.v: every instance of a space with its UCF values, and a loop
# that prints every bus word through lanes and banks.
import re, sys
from layouts import LAYOUTS
space = sys.argv[1]
ram, end, banks, _ = LAYOUTS[space]
values = {}
for m in re.finditer(r'^INST "([^"]+)" (INITP?)_([0-9A-F]{2}) = ([0-9a-f]{64});', open(space + ".ucf").read(), re.M):
    values.setdefault((m[1], m[2]), {})[int(m[3], 16)] = m[4]
def bits(text):
    a, b = (int(x) for x in (text[1:-1].split(":") * 2)[:2])
    return a, b
width = sum(abs(a - b) + 1 for a, b in map(bits, (l[1] for l in banks[0])))
lane_width = abs(bits(banks[0][0][1])[0] - bits(banks[0][0][1])[1]) + 1
dw, pw = (lane_width // 9 * 8, lane_width // 9) if lane_width % 9 == 0 else (lane_width, 0)
bytes_per_ram = 4096 if ram == "RAMB36" else 2048
depth = bytes_per_ram * 8 // dw
out = ["module tb; reg [31:0] w; integer i;", "wire [%d:0] %s;" % (width - 1, ", ".join("bank%d" % k for k in range(len(banks))))]
# Each bank's words from its first: the address its RAMs see.
out += ["wire [15:0] addr%d = w - %d;" % (k, k * depth) for k in range(len(banks))]
for k, bank in enumerate(banks):
    for name, text in bank:
        a, b = bits(text)
        # [a:b] with a < b numbers from the top: bus bit a is Verilog bit width-1-a.
        hi, lo = (width - 1 - a, width - 1 - b) if a < b else (a, b)
        v = values.get((name, "INIT"), {})
        p = values.get((name, "INITP"), {})
        init = "".join(v.get(n, "0" * 64) for n in reversed(range(dw * depth // 256)))
        initp = "".join(p.get(n, "0" * 64) for n in reversed(range(max(pw * depth // 256, 1))))
        inst = "l_" + re.sub(r"\W", "_", name)
        out.append("wire [%d:0] %s_q;" % (lane_width - 1, inst))
        out.append("bram_read #(.DW(%d), .PW(%d), .DEPTH(%d), .INIT(%d'h%s), .INITP(%d'h%s)) %s(.addr(addr%d), .q(%s_q));"
                   % (dw, pw, depth, len(init) * 4, init, len(initp) * 4, initp, inst, k, inst))
        out.append("assign bank%d[%d:%d] = %s_q;" % (k, hi, lo, inst))
words = (end + 1) * 8 // (width // 9 * 8 if pw else width)
select = "bank0" if len(banks) == 1 else "w < %d ? bank0 : bank1" % depth
out.append("initial begin for (i = 0; i < %d; i = i + 1) begin w = i; #1 $display(\"%%h\", %s); end end" % (words, select))
out.append("endmodule")
open("tb.v", "w").write("\n".join(out) + "\n")
EOF

for space in bytes nibbles bits banks be wide parity; do
  program=$(python3 -c "from layouts import LAYOUTS; print(LAYOUTS['$space'][3])")
  : >$space.ucf
  "$tool" -l m.bmm "$program" $space.ucf $space >/dev/null 2>err.txt
  check "$space: written" grep -q INIT_ $space.ucf
  python3 bench.py $space && iverilog -o $space.vvp "$model" tb.v && vvp -n $space.vvp >read.txt
  end=$(python3 -c "from layouts import LAYOUTS; print(LAYOUTS['$space'][1] + 1)")
  case $space in
    be) order=big flat=be.bin ;;
    *) order=little flat=rv.bin ;;
  esac
  if [ $space = wide ]; then
    cp wide.mem want.txt
  else
    # The program's bytes from address 0, as many as the space holds, zeros after them.
    head -c "$end" $flat >flat.bin && truncate -s "$end" flat.bin
    od -An -v -tx4 -w4 --endian=$order flat.bin | tr -d ' ' >want.txt
  fi
  if [ $space = parity ]; then
    # Lanes of 9 bits: each its byte of the word and a parity bit of 0.
    python3 -c "import sys
for l in open('want.txt'): x = int(l, 16); print('%09x' % sum((x >> 8 * k & 255) << 9 * k for k in range(4)))" >p.txt
    mv p.txt want.txt
  fi
  check "$space: every bus word reads as the program has it" cmp -s read.txt want.txt
done
finish
