#include "romseed.h"

#include <exception>
#include <memory>

#include "filter.h"
#include "init_writer.h"

#ifndef ROMSEED_VERSION
#define ROMSEED_VERSION "dev"
#endif

namespace romseed {
namespace {

const std::string kCantOpenWorking = std::string("can't open file ") + kWorkingName;
const std::string kCantWriteWorking = std::string("can't write file ") + kWorkingName;

// The first line is spelt as it has always been: scripts match on it.
constexpr char kBanner[] =
    "romseed test vertsion\n"
    "romseed " ROMSEED_VERSION ": writes a binary file into a UCF as INIT statements\n";

struct Inputs {
  std::unique_ptr<InputFile> bin;
  std::unique_ptr<InputFile> ucf;
};

// A file the run made: its name is removed, while it is still open and so
// still locked, unless it has taken the UCF's place.
struct Made {
  ~Made() {
    if (owned) file->Remove();
  }
  std::unique_ptr<OutputFile> file;
  bool owned = false;
};

bool Fail(std::string message, std::string* err) {
  *err = std::move(message);
  return false;
}

bool CheckArguments(const std::vector<std::string>& args, Job* job, std::string* err) {
  if (args.size() < 4) return Fail("use:romseed [binaryfile] [ucf-in] [component_name]", err);
  // The name becomes part of a quoted instance name in every statement;
  // these characters would end the quotes or the line.
  if (args[3].find_first_of("\"\r\n") != std::string::npos) {
    return Fail("invalid component name " + args[3], err);
  }
  *job = Job{args[1], args[2], "INST \"" + args[3]};
  return true;
}

bool OpenInputs(Platform& sys, const Job& job, Inputs* in, std::string* err) {
  if (!sys.OpenInput(job.bin_path, false, &in->bin)) {
    return Fail("can't open binary file " + job.bin_path, err);
  }
  if (!sys.OpenInput(job.ucf_path, true, &in->ucf)) {
    return Fail("can't open ucf file " + job.ucf_path, err);
  }
  return true;
}

bool TakeWorkingFile(Platform& sys, const Job& job, Inputs* in, Made* work, std::string* err) {
  // Not held while another run has its turn: some systems cannot replace a
  // file that is open. Opened again after it, since that run may have
  // replaced this very UCF.
  in->ucf.reset();
  if (!sys.OpenWorkingFile(kWorkingName, &work->file)) {
    return Fail(kCantOpenWorking, err);
  }
  if (!sys.OpenInput(job.ucf_path, true, &in->ucf)) {
    return Fail("can't open ucf file " + job.ucf_path, err);
  }
  // Emptying the working file would destroy an input that is that same file.
  if (work->file->id() == in->bin->info().id) {
    return Fail("binary file " + job.bin_path + " is the working file " + kWorkingName, err);
  }
  if (work->file->id() == in->ucf->info().id) {
    return Fail("ucf file " + job.ucf_path + " is the working file " + kWorkingName, err);
  }
  if (!work->file->Truncate()) return Fail(kCantOpenWorking, err);
  work->owned = true;
  return true;
}

bool CopyAll(Source& from, Sink& to) {
  std::unique_ptr<unsigned char[]> buf(new unsigned char[1 << 16]);
  for (;;) {
    std::size_t got;
    if (!from.Read(buf.get(), 1 << 16, &got)) return false;
    if (got == 0) return true;
    if (!to.Write(buf.get(), got)) return false;
  }
}

// A rename cannot cross file systems: the content goes to a new file beside
// the UCF, which takes its place instead.
bool CopyBeside(Platform& sys, const std::string& target, const FileInfo& ucf, Made* work) {
  Made copy;
  if (!sys.CreateBeside(target, &copy.file)) return false;
  copy.owned = true;
  if (!work->file->Rewind() || !CopyAll(*work->file, *copy.file)) return false;
  copy.file->TakePermissions(ucf);
  // The working file goes before the copy takes the UCF's place, so that a
  // failure to remove it leaves the UCF as it was.
  if (!copy.file->Sync() || !work->file->Remove()) return false;
  work->owned = false;
  bool cross_device;
  if (!copy.file->MoveTo(target, &cross_device)) return false;
  copy.owned = false;
  return true;
}

// Puts the new content in the UCF's place: durable first, then in one step,
// so that the UCF holds either its old or its new content at any moment.
bool ReplaceUcf(Platform& sys, const Job& job, const FileInfo& ucf, Made* work, std::string* err) {
  const std::string cant_replace = "can't replace ucf file " + job.ucf_path;
  work->file->TakePermissions(ucf);
  if (!work->file->Sync()) return Fail(kCantWriteWorking, err);
  std::string target;
  if (!sys.ResolvePath(job.ucf_path, &target)) return Fail(cant_replace, err);
  bool cross_device = false;
  if (work->file->MoveTo(target, &cross_device)) {
    work->owned = false;
  } else if (!cross_device || !CopyBeside(sys, target, ucf, work)) {
    return Fail(cant_replace, err);
  }
  // The UCF holds its new content already; this makes the rename outlast a
  // crash, and a failure leaves nothing to undo.
  sys.SyncFolder(target);
  return true;
}

}  // namespace

bool Rewrite(Source& ucf, Source& bin, Output& out, const Job& job, Counts* counts,
             std::string* err) {
  FilterResult kept;
  if (!FilterUcf(ucf, out, job.delstr, &kept)) {
    return Fail(out.ok() ? "can't read ucf file " + job.ucf_path : kCantWriteWorking, err);
  }
  counts->copy_count = kept.copy_count;
  counts->delete_count = kept.delete_count;
  const char* eol = kept.crlf ? "\r\n" : "\n";
  if (!WriteInits(bin, out, job.delstr, eol, kept.open_line ? eol : "", &counts->add_count)) {
    return Fail(out.ok() ? "can't read binary file " + job.bin_path : kCantWriteWorking, err);
  }
  return out.Flush() || Fail(kCantWriteWorking, err);
}

int Run(const std::vector<std::string>& args, Platform& sys, std::ostream& out) {
  out << kBanner;
  std::string err;
  Job job;
  Inputs in;
  Made work;
  Counts counts;
  auto fail = [&] {
    out << err;
    return 1;
  };
  if (!CheckArguments(args, &job, &err)) return fail();
  if (!OpenInputs(sys, job, &in, &err)) return fail();
  if (!TakeWorkingFile(sys, job, &in, &work, &err)) return fail();
  out << "'" << job.delstr << "'\n";
  Output output(*work.file);
  if (!Rewrite(*in.ucf, *in.bin, output, job, &counts, &err)) return fail();
  const FileInfo ucf = in.ucf->info();
  // Both closed first: some systems cannot replace a file that is open, and
  // the binary may be the UCF itself.
  in = Inputs();
  out << "copy lines " << counts.copy_count << "\n"
      << "delete lines " << counts.delete_count << "\n"
      << "add lines " << counts.add_count << "\n";
  if (!ReplaceUcf(sys, job, ucf, &work, &err)) return fail();
  out << "complete!\n";
  return 0;
}

int Main(const std::vector<std::string>& args, Platform& sys, std::ostream& out) {
  try {
    return Run(args, sys, out);
  } catch (const std::exception& e) {
    // Whatever the run made was removed as the stack unwound.
    out << "romseed: " << e.what();
    return 1;
  }
}

}  // namespace romseed
