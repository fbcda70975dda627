#include "romseed.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>

#include "check.h"
#include "constraints.h"
#include "filter.h"
#include "hex.h"
#include "init_writer.h"
#include "made_file.h"
#include "map.h"
#include "readers.h"
#include "replace.h"
#include "ucf.h"
#include "word_file.h"

#ifndef ROMSEED_VERSION
#define ROMSEED_VERSION "dev"
#endif

namespace romseed {
namespace {

// The first line is spelt as it has always been: scripts match on it.
constexpr char kBanner[] =
    "romseed test vertsion\n"
    "romseed " ROMSEED_VERSION ": writes a binary file into a UCF as INIT statements\n";

struct Inputs {
  std::unique_ptr<File> bin;
  HeldUcf ucf;
};

// Says, where a person sees it, why a run seems to hang.
void SayWaiting(Sink& errors, const std::string& path) {
  Print(errors, "romseed: waiting for another run on " + path + "\n");
}

// The UCF is held from here to the end of the run, so that a run on it
// from elsewhere waits and then starts from this run's result.
bool OpenInputs(Os& os, const Job& job, Inputs* in, Failure* err, Sink& errors) {
  OsError error;
  in->bin = os.Open(job.bin_path, kOpenRead, &error);
  if (!in->bin) return Fail(err, "can't open binary file " + job.bin_path, error.reason);
  if (!OpenUcf(os, job.ucf_path, &in->ucf, &error, [&] { SayWaiting(errors, job.ucf_path); })) {
    return Fail(err, "can't open " + job.file() + job.ucf_path, error.reason);
  }
  // Read-only is how a user or their version control says "do not change".
  if (in->ucf.read_only) return Fail(err, job.file() + job.ucf_path + " is read-only");
  if (in->bin->info().id == in->ucf.file->info().id) {
    return Fail(err, "binary file " + job.bin_path + " is the " + job.file() + job.ucf_path);
  }
  return true;
}

bool OpenWorkingFile(Os& os, const Job& job, const Inputs& in, std::unique_ptr<MadeFile>* work,
                     Failure* err, Sink& errors) {
  // What stands at the name may be a file the run must not destroy, or where
  // its messages go; and the UCF, held by this run, would never have its turn.
  FileInfo named;
  if (os.Stat(kWorkingName, true, &named)) {
    if (named.id == os.StandardStreamId(Os::Stream::kOutput)) {
      return Fail(err, std::string("standard output is the working file ") + kWorkingName);
    }
    if (named.id == in.bin->info().id) {
      return Fail(err, "binary file " + job.bin_path + " is the working file " + kWorkingName);
    }
    if (named.id == in.ucf.file->info().id) {
      return Fail(err, job.file() + job.ucf_path + " is the working file " + kWorkingName);
    }
  }
  OsError error;
  *work = TakeWorkingFile(os, kWorkingName, &error, [&] { SayWaiting(errors, kWorkingName); });
  if (*work) return true;
  if (error.kind == OsError::kDenied) {
    error.reason += " (the working file is made in the current folder, which this user may not "
                    "write: run romseed from a folder you may write, the UCF's own say)";
  }
  return Fail(err, std::string("can't open file ") + kWorkingName, error.reason);
}

// The new UCF, complete in the working file. A time in whole seconds is most
// likely a file system's whole grain (FAT, ext3, many NFS servers), where a
// save in place within the same second leaves size and time as they were:
// then the content read is hashed, to be compared before the replace.
bool WriteNewUcf(const Job& job, const AddressSpace* space, Inputs& in, MadeFile& work,
                 OtherLines& others, Counts* counts, std::optional<std::uint64_t>* ucf_hash,
                 bool* unchanged, Failure* err) {
  Output output(work.file());
  HashingSource hashed(*in.ucf.file);
  const bool coarse = in.ucf.file->info().mtime % 1000000000 == 0;
  Source& ucf = coarse ? static_cast<Source&>(hashed) : *in.ucf.file;
  if (!Rewrite(ucf, *in.bin, output, job, counts, err, &others, space)) {
    return false;
  }
  if (coarse) *ucf_hash = hashed.hash();
  // A replace that would change nothing but the UCF's inode and time would
  // still make everything built from the UCF out of date.
  // Not known to be the same where either cannot be read again.
  OsError unread;
  *unchanged = output.written() == in.ucf.file->info().size && in.ucf.file->Rewind(&unread) &&
               work.file().Rewind(&unread) && SameContent(*in.ucf.file, work.file());
  return true;
}

// Keeps the first bytes read through it, to tell what they look like.
class SampledSource : public Source {
 public:
  explicit SampledSource(Source& in) : in_(in) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override {
    if (!in_.Read(p, n, got, err)) return false;
    start_.append(reinterpret_cast<const char*>(p), std::min(*got, kSample - start_.size()));
    return true;
  }
  const std::string& start() const { return start_; }

 private:
  static constexpr std::size_t kSample = 256;
  Source& in_;
  std::string start_;
};

// Warns of a binary file that is empty, so that the component is left with
// no statements, or that looks like a text format, whose characters would
// be its bytes.
void WarnOfTheBinary(Sink& errors, const Job& job, const Counts& counts) {
  if (counts.add_count == 0) {
    Print(errors, "romseed: warning: " + job.bin_path + " holds no data: " + job.component +
                      " is left with no statements\n");
  } else if (counts.image_words > 2 * counts.words_given) {
    // An @address far beyond the words: a typo, or a byte address.
    Print(errors, "romseed: warning: " + job.bin_path + " gives " + std::to_string(counts.words_given) +
                      (counts.words_given == 1 ? " word" : " words") + ", but its word at @" +
                      Hex(counts.image_words - 1, 1) + " makes an image of " +
                      std::to_string(counts.image_words) + " words, the rest zeros: " +
                      std::to_string(counts.add_count) + " statements\n");
  } else if (counts.bin_format) {
    Print(errors, "romseed: warning: " + job.bin_path + " looks like " + counts.bin_format +
                      " text, whose characters became the statements' bytes: " + counts.bin_advice +
                      "\n");
  }
}

// Help or the version, as asked.
int Answer(Asked asked, Sink& out) {
  Print(out, asked == Asked::kHelp ? std::string(kHelp) + kBlockRamTable
                                   : std::string("romseed " ROMSEED_VERSION "\n"));
  return 0;
}

// `line` as a terminal shows it harmlessly: a control byte (a CR would move
// back over the message) as an escape.
std::string Escaped(std::string_view line) {
  std::string shown;
  for (unsigned char c : line) {
    if (c == '\t' || (c >= 0x20 && c != 0x7f)) {
      shown += static_cast<char>(c);
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      shown += "\\x" + Hex(c);
    }
  }
  return shown;
}

// Lists, as the filter meets them, the dropped lines that are not the
// component's statements, whole, so that none is lost: they can be pasted
// back.
class ListedLines : public OtherLines {
 public:
  explicit ListedLines(Sink& errors) : errors_(errors) {}
  void Begin(std::int64_t line) override {
    Print(errors_, "romseed: dropped line " + std::to_string(line) + ": ");
  }
  void Text(std::string_view piece) override { Print(errors_, Escaped(piece)); }
  void End() override { Print(errors_, "\n"); }

 private:
  Sink& errors_;
};

// Warns of the dropped lines listed, and says what to do: they are another
// component's, whose name begins with this one, or a constraint of this
// component's instances written with quotes.
void WarnOfOtherLines(Sink& errors, const Job& job, const Counts& counts) {
  if (counts.other_count == 0) return;
  const bool one = counts.other_count == 1;
  Print(errors, "romseed: warning: dropped " + std::to_string(counts.other_count) +
                    (one ? " line that is not an INIT statement of this component (line "
                         : " lines that are not this component's INIT statements (listed above, "
                           "the first at line ") +
                    std::to_string(counts.first_other_line) + (one ? ", above)\n" : ")\n"));
  // This component's instance: its name, then hex digits (or none) and the quote.
  const std::string rest = counts.first_other.substr(job.delstr.size());
  const std::size_t digits = rest.find_first_not_of("0123456789abcdefABCDEF");
  const std::string& name = job.component;
  if (digits != std::string::npos && rest[digits] == '"') {
    Print(errors, "romseed: to keep a constraint of " + name + "'s instances, write it where no "
                  "run drops it: without quotes (INST " + name + "00 LOC = ...;), or on the "
                  "instance path with a wildcard, or in an AREA_GROUP\n");
  } else {
    Print(errors, "romseed: another component's name begins with " + name + ": rename the "
                  "components so that no name begins another (boot_rom and char_rom, not rom "
                  "and rom_hi), and run each again\n");
  }
}

// Warns of the dropped properties whose values do not read, listed above.
void WarnOfOtherProperties(Sink& errors, const Job& job, const Counts& counts) {
  if (counts.other_count == 0) return;
  Print(errors, "romseed: warning: dropped " + std::to_string(counts.other_count) + " INIT_ line(s) of " +
                    job.component + "'s cells whose values are not 256-bit hex literals (listed above)\n");
}

// Warns of what an XDC holds that a run cannot read safely, and of an XDC
// given without --xdc, which a run fills with UCF statements as it always did.
void WarnOfTheXdc(Sink& errors, const Job& job, const Counts& counts) {
  for (std::int64_t line : counts.unsure) {
    Print(errors, "romseed: warning: kept line " + std::to_string(line) + " of " + job.ucf_path +
                      ", which sets INIT_ or INITP_ in a way romseed does not read (a foreach, a list "
                      "of cells, a variable): see that it sets no cell of this run\n");
  }
  if (!job.xdc && EndsInAnyCase(job.ucf_path, ".XDC")) {
    Print(errors, "romseed: warning: " + job.ucf_path + " is named as an XDC, but without --xdc romseed "
                  "writes UCF statements into it: give --xdc for Vivado's set_property lines\n");
  }
}

// Says what a layout run did not write: the program's bytes outside the
// space, the dropped lines that were no statements; and whose byte order it
// took.
void SayOfTheProgram(Sink& errors, const Job& job, const AddressSpace& space, const Counts& counts) {
  if (counts.other_count > 0) {
    Print(errors, "romseed: warning: dropped " + std::to_string(counts.other_count) +
                      " INIT line(s) of " + space.name + "'s block RAMs that are not statements as "
                      "romseed writes them (listed above)\n");
  }
  if (counts.outside.count > 0) {
    Print(errors, "romseed: " + std::to_string(counts.outside.count) + " bytes of " + job.bin_path +
                      " lie outside " + space.name + " " + space.range() + ", the first at " +
                      HexAddress(counts.outside.first) +
                      ": not written\n");
  }
  if (counts.file_order != ByteOrder::kUnsaid && job.order != ByteOrder::kUnsaid &&
      job.order != counts.file_order) {
    Print(errors, "romseed: notice: " + job.bin_path + " is " + OrderName(counts.file_order) +
                      "; --byte-order overrides it\n");
  }
}

// Writes the statements of the component's row for `bin`, streamed where
// it is bytes, and sets `*result`; false where its file does not parse.
bool WriteRow(Source& bin, Output& out, const Job& job, std::string_view eol, std::string_view lead,
              Counts* counts, PassResult* result, OsError* error, Failure* err) {
  if (ReadsBytes(ReaderOf(job))) {
    // Streamed: the bytes, however many, pass through once.
    SampledSource sampled(bin);
    *result = WriteInits(sampled, out, job.component, job.shape, eol, lead, &counts->add_count, error,
                         job.xdc);
    const TextFormat format = TextFormatOf(sampled.start());
    counts->bin_format = format.name;
    counts->bin_advice = format.advice;
    return true;
  }
  Image image(job.word_width);
  if (!ReadImage(bin, job, &image, err)) return false;
  const RowLayout layout(job.component, job.shape, image.width(), job.parity, image.size());
  *result = WriteImage(image, layout, out, eol, lead, &counts->add_count, job.xdc);
  counts->words_given = image.given();
  counts->image_words = image.size();
  return true;
}

}  // namespace

bool Rewrite(Source& ucf, Source& bin, Output& out, const Job& job, Counts* counts, Failure* err,
             OtherLines* others, const AddressSpace* space) {
  // A layout's program first, whole: its addresses place its bytes.
  SpaceImage read;
  if (space && !ReadSpaceImage(bin, job, *space, &read, err)) return false;
  FilterResult kept;
  OsError error;
  PassResult result =
      FilterConstraints(ucf, out, job, space, &kept, &error, nullptr, others, &counts->unsure);
  if (result == PassResult::kCantWrite) out.Flush(&error);
  if (result != PassResult::kOk) {
    return PassFailed(result, job.file() + job.ucf_path, kWorkingName, error, err);
  }
  counts->copy_count = kept.copy_count;
  counts->delete_count = kept.delete_count;
  counts->other_count = kept.other_count;
  counts->first_other_line = kept.first_other_line;
  counts->first_other = kept.first_other;
  const char* eol = kept.crlf ? "\r\n" : "\n";
  // An empty line ends what a backslash would have continued into the statements.
  const std::string lead = !kept.open_line ? "" : kept.continued ? std::string(eol) + eol : eol;
  if (space) {
    result = WriteImage(read.image, BusLayout(*space, job.parity, read.bytes), out, eol, lead,
                        &counts->add_count, job.xdc);
    counts->outside = read.outside;
    counts->file_order = read.file_order;
  } else if (!WriteRow(bin, out, job, eol, lead, counts, &result, &error, err)) {
    return false;
  }
  if (result != PassResult::kCantRead && !out.Flush(&error)) result = PassResult::kCantWrite;
  return result == PassResult::kOk ||
         PassFailed(result, "binary file " + job.bin_path, kWorkingName, error, err);
}

namespace {

// Says why a run or a check failed: the message on standard output, as
// scripts know it, and with the system's reason on standard error.
int Report(const Failure& err, bool check, Sink& out, Sink& errors) {
  Print(out, err.message + (check ? "\n" : ""));
  Print(errors, "romseed: " + err.message + (err.reason.empty() ? "" : ": " + err.reason) + "\n");
  return check ? kTrouble : 1;
}

// True if standard error goes into the UCF, where what a run says, while
// another run holds the UCF, would spoil that run's update.
bool StandardErrorIsTheUcf(Os& os, const Job& job) {
  FileInfo ucf;
  return os.Stat(job.ucf_path, true, &ucf) && ucf.id == os.StandardStreamId(Os::Stream::kError);
}

// Says which lines the run drops: the three-argument run's prefix, as
// scripts know it; a layout's space; an XDC's cells.
void SayWhatGoes(Sink& out, const Job& job, const AddressSpace* space) {
  if (space) {
    Print(out, "layout " + job.layout_path + ": " + job.component + ", " +
                   std::to_string(InstancesOf(*space).size()) + " block RAMs\n");
  } else {
    Print(out, job.xdc ? "cells " + job.component + "00 on, in " + job.ucf_path + "\n"
                       : "'" + job.delstr + "'\n");
  }
}

// The warnings and notices of a completed run, for a person.
void SayWhatWasLeft(Sink& errors, const Job& job, const AddressSpace* space, const Counts& counts) {
  if (space) SayOfTheProgram(errors, job, *space, counts);
  if (!space && job.xdc) WarnOfOtherProperties(errors, job, counts);
  if (!space && !job.xdc) WarnOfOtherLines(errors, job, counts);
  if (!space) WarnOfTheBinary(errors, job, counts);
  WarnOfTheXdc(errors, job, counts);
  if (job.shape.notice && counts.add_count > 0) {
    Print(errors, std::string("romseed: notice: ") + job.shape.notice + "\n");
  }
}

// The run that updates the UCF, in its phases: the inputs and the working
// file, the new UCF complete in it, and the replace.
int Update(const Job& job, Os& os, Sink& out, Sink& errors) {
  if (StandardErrorIsTheUcf(os, job)) {
    Print(out, "standard error is the " + job.file() + job.ucf_path);
    return 1;
  }
  Failure err;
  Inputs in;
  std::unique_ptr<MadeFile> work;
  AddressSpace read_space;
  const AddressSpace* space = job.layout_path.empty() ? nullptr : &read_space;
  if (space && !ReadLayoutOf(os, job, &read_space, &err)) return Report(err, false, out, errors);
  if (!OpenInputs(os, job, &in, &err, errors)) return Report(err, false, out, errors);
  if (!OpenWorkingFile(os, job, in, &work, &err, errors)) return Report(err, false, out, errors);
  SayWhatGoes(out, job, space);
  Counts counts;
  std::optional<std::uint64_t> ucf_hash;
  bool unchanged = false;
  ListedLines others(errors);
  if (!WriteNewUcf(job, space, in, *work, others, &counts, &ucf_hash, &unchanged, &err)) {
    return Report(err, false, out, errors);
  }
  // Let go first: some systems cannot replace a file that is open.
  in.bin.reset();
  const FileInfo read = in.ucf.file->info();
  in.ucf.file.reset();
  Print(out, "copy lines " + std::to_string(counts.copy_count) + "\n" +
                 "delete lines " + std::to_string(counts.delete_count) + "\n" +
                 "add lines " + std::to_string(counts.add_count) + "\n");
  if (unchanged) {
    Print(errors, "romseed: " + job.ucf_path + " already holds these statements\n");
  } else if (!ReplaceUcf(os, ReadUcf{job.ucf_path, read, ucf_hash, job.file()}, *work, &err)) {
    return Report(err, false, out, errors);
  }
  SayWhatWasLeft(errors, job, space, counts);
  Print(out, "complete!\n");
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, Os& os, Sink& out, Sink& errors) {
  Failure err;
  Job job;
  Asked asked;
  const bool parsed = ParseCommandLine(args, &job, &asked, &err);
  // A check's output is its verdict alone, for scripts and people; a map's, the map.
  if (!job.check && !job.map) Print(out, kBanner);
  if (!parsed) return Report(err, job.check, out, errors);
  if (asked != Asked::kRun) return Answer(asked, out);
  // A map's failure ends its line, as a check's does; its status is a run's.
  if (job.map) return Map(job, os, out, &err) ? 0 : (Report(err, true, out, errors), 1);
  if (!job.check) return Update(job, os, out, errors);
  int status;
  if (!Check(job, os, out, [&] { SayWaiting(errors, job.ucf_path); }, &status, &err)) {
    return Report(err, true, out, errors);
  }
  return status;
}

int Main(const std::vector<std::string>& args, Os& os, Sink& out, Sink& errors) {
  try {
    return Run(args, os, out, errors);
  } catch (const std::exception& e) {
    // Whatever the run made was removed as the stack unwound.
    const std::string message = std::string("romseed: ") + e.what();
    Print(out, message);
    Print(errors, message + "\n");
    return 1;
  }
}

}  // namespace romseed
