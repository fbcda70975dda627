# Sourced by the tests that hold romseed against yosys: synth_rom FAMILY
# DEPTH WIDTH HEX writes rom.v, a ROM of DEPTH words of WIDTH bits read
# with $readmemh from HEX, and maps it with yosys's synth_xilinx for FAMILY
# into net.v, its INIT_ and INITP_ values as yosys makes them.
synth_rom() {
  local family=$1 depth=$2 width=$3 hex=$4 abits=0
  while ((1 << abits < depth)); do abits=$((abits + 1)); done
  cat >rom.v <<EOF2
module rom(input clk, input [$((abits - 1)):0] addr, output reg [$((width - 1)):0] data);
  reg [$((width - 1)):0] mem [0:$((depth - 1))];
  initial \$readmemh("$hex", mem);
  always @(posedge clk) data <= mem[addr];
endmodule
EOF2
  yosys -q -p "read_verilog rom.v; synth_xilinx -family $family -top rom; setundef -zero -params;
               write_verilog -noattr net.v" >yosys.log 2>&1
}
