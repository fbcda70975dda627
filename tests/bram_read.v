// A read model of one port of a Xilinx block RAM, from the Libraries
// Guides: a port of DW data and PW parity bits reads word a from bits
// DW*a to DW*a+DW-1 of the INIT_ values taken as one number (INIT_00 its
// least significant 256 bits), and its parity bits from bits PW*a on of the
// INITP_ values; DIP/DOP are the word's top bits.
module bram_read #(parameter DW = 8, parameter PW = 0, parameter DEPTH = 2048,
                   parameter [DW*DEPTH-1:0] INIT = 0,
                   parameter [(PW > 0 ? PW : 1)*DEPTH-1:0] INITP = 0)
                  (input [15:0] addr, output [DW+PW-1:0] q);
  wire [DW-1:0] data = INIT[addr*DW +: DW];
  generate
    if (PW > 0) begin : with_parity
      assign q = {INITP[addr*PW +: PW], data};
    end else begin : data_only
      assign q = data;
    end
  endgenerate
endmodule
