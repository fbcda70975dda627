#!/usr/bin/env bash
# Sources each XDC that romseed writes in tclsh, with stand-in set_property
# and get_cells procedures that record every property, and compares the
# record with the UCF statements of the same run (same inputs, options and
# layout): the file is valid Tcl, and the values are the UCF's. Then the
# check holds each XDC. Usage: xdc_tcl_test.sh ROMSEED. Exits 77 (skipped)
# without tclsh.
set -u
command -v tclsh >/dev/null || { echo "tclsh is not installed: skipped"; exit 77; }
tool=$(realpath "$1")
source "$(dirname "$0")/check.sh"
cd "$scratch"

cat >record.tcl <<'EOF'
set out [open [lindex $argv 1] w]
proc get_cells {args} { return [lindex $args end] }
proc get_ports {args} { return [lindex $args end] }
proc create_clock {args} {}
proc set_property {args} {
  global out
  if {[lindex $args 0] eq "-quiet"} { set args [lrange $args 1 end] }
  lassign $args name value cells
  puts $out "$cells [string toupper $name] [string tolower $value]"
}
source [lindex $argv 0]
close $out
EOF
head -c 20000 /dev/urandom >fw.bin
printf '// 18-bit words\n3ffff 00001 @7ff 2a5a5\n' >fw.mem
cat >m.bmm <<'EOF'
ADDRESS_SPACE progmem RAMB36 [0x00000000:0x00003FFF]
  BUS_BLOCK
    cpu/mem/ram3 [31:24]; cpu/mem/ram2 [23:16]; cpu/mem/ram1 [15:8]; cpu/mem/ram0 [7:0];
  END_BUS_BLOCK;
END_ADDRESS_SPACE;
EOF
# NAME|ARGS|UCF ARGS: the UCF's run names the block RAM that an XDC's takes
# by default, and RAMB18E1 for RAMB18E2, of which a UCF has none.
while IFS='|' read -r name args ucf_args; do
  # A last line without its end, whose backslash would continue it, with
  # the carriage return of a line end cut short, which the new line end completes.
  printf 'create_clock -period 10 [get_ports clk] \\\r' >top.xdc
  : >top.ucf
  "$tool" --xdc $args top.xdc rom >/dev/null 2>&1
  "$tool" $ucf_args top.ucf rom >/dev/null 2>&1
  tclsh record.tcl top.xdc xdc.txt 2>tcl.err
  sed 's/^INST "\(.*\)" \(INITP\?_..\) = \([0-9a-f]*\);$/\1 \2 256'"'"'h\3/' top.ucf >ucf.txt
  check "$name: tclsh sources the XDC ($(head -c 200 tcl.err))" test ! -s tcl.err
  check "$name: its properties are the UCF's statements" cmp -s xdc.txt ucf.txt
  check "$name: the check holds it" sh -c "'$tool' --xdc -c $args top.xdc rom >/dev/null"
done <<'EOF'
bytes into RAMB36E1|fw.bin|-p RAMB36E1 fw.bin
bytes into RAMB18E2|-p RAMB18E2 fw.bin|-p RAMB18E1 fw.bin
18-bit words into RAMB18E1|-p RAMB18E1 -w 18 fw.mem|-p RAMB18E1 -w 18 fw.mem
EOF

# A layout: the BMM's space instead of a component.
printf 'create_clock -period 10 [get_ports clk]\r\n' >top.xdc
: >top.ucf
"$tool" --xdc -l m.bmm -f bin fw.bin top.xdc progmem >/dev/null 2>&1
"$tool" -l m.bmm -f bin fw.bin top.ucf progmem >/dev/null 2>&1
tclsh record.tcl top.xdc xdc.txt 2>tcl.err
sed 's/^INST "\(.*\)" \(INITP\?_..\) = \([0-9a-f]*\);$/\1 \2 256'"'"'h\3/' top.ucf >ucf.txt
check "a layout: its properties are the UCF's statements" cmp -s xdc.txt ucf.txt
check "a layout: its lanes' cells, as they stand" grep -q '^cpu/mem/ram3 INIT_7F ' xdc.txt
: >plain.Xdc
"$tool" fw.bin plain.Xdc rom 2>err.txt >/dev/null
check "an XDC without --xdc: written as a UCF, with a warning" grep -q "give --xdc" err.txt
check "a layout: the check holds it" sh -c "'$tool' --xdc -c -l m.bmm -f bin fw.bin top.xdc progmem >/dev/null"
finish
