#include "command_line.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "hex.h"
#include "ucf.h"

namespace romseed {
namespace {

bool Usage(Failure* err, const std::string& reason) {
  return Fail(err, kUsage, reason + " (romseed --help lists the options)");
}

// The block RAMs of device families that a user may name instead of a block
// RAM, by the start of their names without blanks, dashes or case.
constexpr char k7Series[] = "RAMB18E1, RAMB36E1 (as ISE 14 places them)";
const struct {
  const char* start;
  const char* family;
  const char* block_rams;
} kDevices[] = {
    {"spartan6", "Spartan-6", "RAMB16BWER, RAMB8BWER"},
    {"spartan3", "Spartan-3", "RAMB16 (RAMB16BWE on Spartan-3A)"},
    {"spartan2", "Spartan-II", "RAMB4"},
    {"virtex2", "Virtex-II", "RAMB16"},
    {"virtex4", "Virtex-4", "RAMB16"},
    {"virtex5", "Virtex-5", "RAMB18, RAMB36"},
    {"virtex6", "Virtex-6", "RAMB18E1, RAMB36E1"},
    {"virtex7", "7-series", k7Series},
    {"kintex7", "7-series", k7Series},
    {"artix7", "7-series", k7Series},
    {"spartan7", "7-series", k7Series},
    {"zynq", "Zynq-7000", k7Series},
    {"virtex", "Virtex", "RAMB4"},
};

// Why `name` is no block RAM, with what to give instead where it names a
// device family.
std::string NoBlockRam(const std::string& name) {
  std::string key;
  for (char c : name) {
    if (c == '-' || c == ' ' || c == '_') continue;
    key += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  for (const auto& d : kDevices) {
    if (key.rfind(d.start, 0) == 0) {
      return "no block RAM " + name + ": that is a device family; " + d.family +
             "'s block RAMs are " + d.block_rams;
    }
  }
  return "no block RAM " + name;
}

bool TakeWidth(const char* text, Job* job, Failure* err) {
  static const char* const kWidths[] = {"1", "2", "4", "8", "9", "16", "18", "32", "36"};
  const auto known = std::find_if(std::begin(kWidths), std::end(kWidths),
                                  [&](const char* w) { return std::strcmp(w, text) == 0; });
  if (known == std::end(kWidths)) {
    return Usage(err, std::string("no word width ") + text + ": 1, 2, 4, 8, 16, 32, 9, 18 or 36");
  }
  job->word_width = 0;
  for (const char* p = text; *p; ++p)
    job->word_width = job->word_width * 10 + static_cast<unsigned>(*p - '0');
  return true;
}

bool TakeParity(const char* text, Job* job, Failure* err) {
  if (std::strcmp(text, "ports") == 0) {
    job->parity = Parity::kPorts;
  } else if (std::strcmp(text, "lanes") == 0) {
    job->parity = Parity::kLanes;
  } else {
    return Usage(err, std::string("no parity wiring ") + text + ": ports or lanes");
  }
  return true;
}

// A number as C writes it: 0x hex, or decimal.
bool TakeAddress(const char* text, std::uint64_t* value) {
  const std::string_view t(text);
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const std::string_view digits = t.substr(hex ? 2 : 0);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *value, hex ? 16 : 10);
  return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
}

bool TakeFormat(const char* text, Job* job, Failure* err) {
  static const char* const kFormats[] = {"bin", "mem", "ihex", "srec", "elf"};
  for (const char* f : kFormats) {
    if (std::strcmp(f, text) == 0) return job->format = f, true;
  }
  return Usage(err, std::string("no format ") + text + ": bin, mem, ihex, srec or elf");
}

bool TakeOrder(const char* text, Job* job, Failure* err) {
  if (std::strcmp(text, "little") == 0 || std::strcmp(text, "big") == 0) {
    job->order = text[0] == 'b' ? ByteOrder::kBig : ByteOrder::kLittle;
    return true;
  }
  return Usage(err, std::string("no byte order ") + text + ": little or big");
}

enum { kParityOption = 1000, kBaseOption, kOrderOption, kMapOption, kXdcOption };
const option kOptions[] = {{"primitive", required_argument, nullptr, 'p'},
                           {"word", required_argument, nullptr, 'w'},
                           {"parity", required_argument, nullptr, kParityOption},
                           {"layout", required_argument, nullptr, 'l'},
                           {"format", required_argument, nullptr, 'f'},
                           {"base", required_argument, nullptr, kBaseOption},
                           {"byte-order", required_argument, nullptr, kOrderOption},
                           {"map", optional_argument, nullptr, kMapOption},
                           {"xdc", no_argument, nullptr, kXdcOption},
                           {"help", no_argument, nullptr, 'h'},
                           {"version", no_argument, nullptr, 'V'},
                           {"check", no_argument, nullptr, 'c'},
                           {nullptr, 0, nullptr, 0}};

// True if `name` begins the long option `option` (getopt_long takes any
// start of a name that is no other's).
bool Begins(const std::string& name, const char* option) {
  return !name.empty() && std::string(option).compare(0, name.size(), name) == 0;
}

// True if the options of `args`, read as getopt_long reads them up to the
// first operand or "--", ask for the check: by any start of --check, or by c
// in a cluster of short options before one that takes a value.
// True if the option or cluster `arg` asks for the check; sets `*valued` if
// the next argument is the value of its last option.
bool OptionAsksForCheck(const std::string& arg, bool* valued) {
  *valued = false;
  if (arg[1] == '-') {
    const std::string name = arg.substr(2, arg.find('=') - 2);
    *valued = arg.find('=') == std::string::npos &&
              std::any_of(std::begin(kOptions), std::end(kOptions), [&](const option& o) {
                return o.name && o.has_arg == required_argument && Begins(name, o.name);
              });
    return Begins(name, "check");
  }
  for (std::size_t k = 1; k < arg.size(); ++k) {
    if (std::strchr("pwlf", arg[k])) {
      *valued = k + 1 == arg.size();
      return false;
    }
    if (arg[k] == 'c') return true;
  }
  return false;
}

bool AsksForCheck(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--" || arg.size() < 2 || arg[0] != '-') return false;
    bool valued;
    if (OptionAsksForCheck(arg, &valued)) return true;
    i += valued;
  }
  return false;
}

// What stands for option `c` in a message: a short one by its letter (it may
// stand in a cluster), a long one as given, a value given to a long option
// that takes none by its name.
std::string Given(int c, const char* arg) {
  const std::string given = arg ? arg : "";
  if (given.compare(0, 2, "--") == 0) return given;
  return c > 0 && c < 128 ? std::string("-") + static_cast<char>(c) : given;
}

// What is wrong with the option `given`, which getopt_long refused as `c`.
std::string WhatIsWrong(int c, const std::string& given) {
  const std::string::size_type equals = given.find('=');
  const bool long_with_value = given.compare(0, 2, "--") == 0 && equals != std::string::npos;
  for (const option* o = kOptions; long_with_value && o->name; ++o) {
    if (o->has_arg == no_argument && Begins(given.substr(2, equals - 2), o->name)) {
      return "option --" + std::string(o->name) + " takes no value";
    }
  }
  return (c == ':' ? "a value is missing after " : "no option ") + given;
}

// The options given that others rule out.
struct Ruled {
  bool parity = false, primitive = false, word = false;
  std::string block_ram;  // as -p names it
};

// Takes option `c` with its `value`, as given on the command line.
bool TakeOption(int c, const char* value, const std::string& given, Job* job, Asked* asked,
                Ruled* ruled, Failure* err) {
  switch (c) {
    case 'p':
      ruled->primitive = true;
      ruled->block_ram = value;
      return FindBlockRam(value, &job->shape) || Usage(err, NoBlockRam(value));
    case 'w':
      ruled->word = true;
      return TakeWidth(value, job, err);
    case kParityOption:
      ruled->parity = true;
      return TakeParity(value, job, err);
    case 'l':
      job->layout_path = value;
      return true;
    case 'f':
      return TakeFormat(value, job, err);
    case kBaseOption:
      job->base_given = true;
      return TakeAddress(value, &job->base) || Usage(err, std::string("no address ") + value);
    case kOrderOption:
      return TakeOrder(value, job, err);
    case kXdcOption:
      job->xdc = true;
      return true;
    case kMapOption:
      job->map = true;
      job->map_at = value != nullptr;
      return !value || TakeAddress(value, &job->map_address) ||
             Usage(err, std::string("no address ") + value);
    case 'c':
      job->check = true;
      return true;
    case 'h':
    case 'V':
      *asked = c == 'h' ? Asked::kHelp : Asked::kVersion;
      return true;
    default:
      return Usage(err, WhatIsWrong(c, given));
  }
}

// Takes the options, up to the first argument that is none or to "--":
// getopt_long, as GNU tools have them, rather than a parser of our own.
// Sets `*first` to the index of the first operand.
bool TakeOptions(const std::vector<std::string>& args, Job* job, Asked* asked, Ruled* ruled,
                 std::size_t* first, Failure* err) {
  std::vector<std::unique_ptr<char[]>> copies;
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    copies.emplace_back(new char[arg.size() + 1]);
    std::memcpy(copies.back().get(), arg.c_str(), arg.size() + 1);
    argv.push_back(copies.back().get());
  }
  argv.push_back(nullptr);
  optind = 0;  // afresh for each command line, as the tests give several
  opterr = 0;  // the messages are the tool's own
  int c;
  // '+': the options stop at the first operand, so what follows the three
  // arguments is ignored, as it always was.
  while ((c = getopt_long(static_cast<int>(args.size()), argv.data(), "+:p:w:l:f:hVc", kOptions,
                          nullptr)) != -1) {
    const std::string given = Given(optopt, argv[optind - 1]);
    if (!TakeOption(c, optarg, given, job, asked, ruled, err)) return false;
    if (*asked != Asked::kRun) return true;
  }
  *first = static_cast<std::size_t>(optind);
  return true;
}

// Checks the options of layouts against each other and the others.
bool LayoutOptionsFit(const Job& job, const Ruled& ruled, Failure* err) {
  const bool layout = !job.layout_path.empty();
  if (layout && (ruled.primitive || ruled.word)) {
    return Usage(err, std::string(ruled.primitive ? "-p" : "-w") +
                          " goes without --layout: the layout file gives the block RAMs and widths");
  }
  if (!layout && (job.map || job.order != ByteOrder::kUnsaid)) {
    return Usage(err, std::string(job.map ? "--map" : "--byte-order") + " goes with --layout");
  }
  return !(job.map && job.check) || Usage(err, "--map and --check: one at a time");
}

// Checks the options of programs against each other and the others.
bool ExtraOptionsFit(const Job& job, const Ruled& ruled, Failure* err) {
  if (!LayoutOptionsFit(job, ruled, err)) return false;
  const bool layout = !job.layout_path.empty();
  const bool mem = job.format ? std::strcmp(job.format, "mem") == 0 : !layout && job.word_width != 0;
  if (!layout && ((mem && job.word_width == 0) || (job.word_width != 0 && !mem))) {
    return Usage(err, mem ? "-f mem needs -w WIDTH without a layout" : "-w reads words: -f mem");
  }
  if (mem && job.base_given) return Usage(err, "--base goes with bytes: a word file's @ addresses are its own");
  if (!layout && ruled.parity && !HasParity(job.word_width)) {
    return Usage(err, "--parity goes with words of 9, 18 or 36 bits");
  }
  return true;
}

// Checks the block RAM against the constraints file's flow.
bool FlowFits(const Job& job, const Ruled& ruled, Failure* err) {
  if (job.xdc && !(job.shape.flows & BlockShape::kXdc)) {
    return Usage(err, ruled.block_ram + " is a block RAM of the families that Vivado does not place: "
                      "an XDC has none (7-series: RAMB18E1, RAMB36E1; UltraScale: RAMB18E2, RAMB36E2)");
  }
  return job.xdc || (job.shape.flows & BlockShape::kUcf) ||
         Usage(err, ruled.block_ram + " is an UltraScale block RAM, which no UCF flow has: give --xdc "
                    "for an XDC");
}

// Checks the options against each other.
bool OptionsFit(const Job& job, const Ruled& ruled, Failure* err) {
  if (!FlowFits(job, ruled, err)) return false;
  if (HasParity(job.word_width) && job.shape.initps_per_block == 0) {
    const std::string width = std::to_string(job.word_width);
    return Usage(err,
                 width + "-bit words need a block RAM with parity bits, such as -p RAMB16_S" + width);
  }
  if (!job.layout_path.empty() || job.format || job.base_given || job.order != ByteOrder::kUnsaid || job.map) {
    return ExtraOptionsFit(job, ruled, err);
  }
  return !ruled.parity || HasParity(job.word_width) ||
         Usage(err, "--parity goes with words of 9, 18 or 36 bits");
}

}  // namespace

const char kHelp[] =
    "use:romseed [OPTION]... BINARY UCF COMPONENT\n"
    "Drops the lines of UCF that begin with INST \"COMPONENT and appends the INIT\n"
    "statements that make the block RAMs COMPONENT00, COMPONENT01, ... hold BINARY.\n"
    "For ISE designs with a UCF, Virtex to 7-series; with --xdc, Vivado's XDC.\n"
    "\n"
    "  -p, --primitive=NAME  the block RAM, by block RAM family or primitive\n"
    "                        (default RAMB4)\n"
    "  -w, --word=WIDTH      BINARY is $readmemh text of WIDTH-bit words: 1, 2, 4, 8,\n"
    "                        16, 32, or, with parity bits, 9, 18, 36\n"
    "      --parity=WIRING   where a 9-, 18- or 36-bit word's parity bits go: ports\n"
    "                        (default: DI the low bits, DIP the high ones) or lanes\n"
    "                        (9-bit lanes, as synthesis lays out a memory it infers)\n"
    "  -c, --check           change nothing: say whether UCF holds BINARY (status 0),\n"
    "                        what differs (status 1), or what went wrong (status 2)\n"
    "  -l, --layout=BMM      COMPONENT names an address space of the block memory map\n"
    "                        BMM: fill its block RAMs, every lane and bank, and drop\n"
    "                        only their INIT_ and INITP_ lines\n"
    "  -f, --format=FORMAT   BINARY is bin, mem ($readmemh), ihex, srec or elf\n"
    "                        (default bin; with a layout, as its content shows)\n"
    "      --base=ADDRESS    the address of a bin's first byte; without a layout,\n"
    "                        the address the row begins at (default 0)\n"
    "      --byte-order=ORDER  little (default) or big: which byte of a bus word is\n"
    "                        its least significant (an ELF's header says it)\n"
    "      --map[=ADDRESS]   change nothing: say which block RAM holds which bits\n"
    "                        (of the bus word at ADDRESS)\n"
    "      --xdc             UCF is an XDC of Vivado's: set_property INIT_xx lines\n"
    "                        (default block RAM RAMB36E1)\n"
    "  -h, --help            this help\n"
    "  -V, --version         the version\n"
    "\n"
    "Block RAMs (any port suffix, any case):\n";

bool ParseCommandLine(const std::vector<std::string>& args, Job* job, Asked* asked, Failure* err) {
  *job = Job();
  *asked = Asked::kRun;
  // Known before any option fails, so that a check's failure has its status.
  job->check = AsksForCheck(args);
  Ruled ruled;
  std::size_t first = 1;
  if (!TakeOptions(args, job, asked, &ruled, &first, err)) return false;
  if (*asked != Asked::kRun) return true;
  if (job->xdc && !ruled.primitive) job->shape = kRamb36E1;
  if (!OptionsFit(*job, ruled, err)) return false;
  if (args.size() < first + 3) {
    static const char* const kMissing[] = {"missing BINARY, UCF and COMPONENT",
                                           "missing UCF and COMPONENT", "missing COMPONENT"};
    return Fail(err, kUsage, kMissing[args.size() - first]);
  }
  const std::string& bin = args[first];
  const std::string& ucf = args[first + 1];
  const std::string& name = args[first + 2];
  // Swapped, the binary would be rewritten as a UCF (a ROM of text and
  // 0xff padding holds no byte that tells).
  if (EndsInAnyCase(bin, ".UCF") && !EndsInAnyCase(ucf, ".UCF"))
    return Fail(err, "binary file " + bin + " is named as a ucf file");
  if (job->xdc && EndsInAnyCase(bin, ".XDC") && !EndsInAnyCase(ucf, ".XDC"))
    return Fail(err, "binary file " + bin + " is named as an xdc file");
  // The name becomes part of a quoted instance name in every statement;
  // a quote or a control character would end the quotes or the line. An
  // empty one (an unset make variable) would drop every instance.
  // A wildcard would write statements that match other instances too.
  const bool odd = std::any_of(name.begin(), name.end(), [](unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '"' || c == '*' || c == '?';
  });
  if (name.empty() || odd) return Fail(err, "invalid component name " + name);
  // In an XDC the name stands in braces, which these would end or escape.
  if (job->xdc && name.find_first_of("{}\\ \t") != std::string::npos) {
    return Fail(err, "invalid component name " + name);
  }
  job->bin_path = bin;
  job->ucf_path = ucf;
  job->component = name;
  // A layout run's lines are its instances', which begin with this alone.
  job->delstr = DeletionPrefix(job->layout_path.empty() ? name : "");
  return true;
}

}  // namespace romseed
