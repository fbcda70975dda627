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

void Print(Sink& out, std::string_view text) {
  out.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string CantReplace(const Job& job) { return "can't replace ucf file " + job.ucf_path; }

bool Fail(std::string message, std::string* err) {
  *err = std::move(message);
  return false;
}

bool CheckArguments(const std::vector<std::string>& args, Job* job, std::string* err) {
  if (args.size() < 4) return Fail("use:romseed [binaryfile] [ucf-in] [component_name]", err);
  // The name becomes part of a quoted instance name in every statement;
  // these characters would end the quotes or the line. An empty one (an
  // unset make variable) would drop every instance of the design.
  if (args[3].empty() || args[3].find_first_of("\"\r\n") != std::string::npos) {
    return Fail("invalid component name " + args[3], err);
  }
  *job = Job{args[1], args[2], "INST \"" + args[3]};
  return true;
}

// The UCF is held from here to the end of the run, so that a run on it
// from elsewhere waits and then starts from this run's result.
bool OpenInputs(Platform& sys, const Job& job, Inputs* in, std::string* err) {
  if (!sys.OpenInput(job.bin_path, &in->bin)) {
    return Fail("can't open binary file " + job.bin_path, err);
  }
  if (!sys.OpenUcf(job.ucf_path, &in->ucf)) return Fail("can't open ucf file " + job.ucf_path, err);
  // Read-only is how a user or their version control says "do not change".
  if (in->ucf->info().read_only) return Fail("ucf file " + job.ucf_path + " is read-only", err);
  if (in->bin->info().id == in->ucf->info().id) {
    return Fail("binary file " + job.bin_path + " is the ucf file " + job.ucf_path, err);
  }
  return true;
}

bool TakeWorkingFile(Platform& sys, const Job& job, const Inputs& in, Made* work,
                     std::string* err) {
  // What stands at the name may be a file the run must not destroy, or where
  // its messages go; and the UCF, held by this run, would never have its turn.
  FileInfo named;
  if (sys.Stat(kWorkingName, &named)) {
    if (named.id == sys.StandardOutputId()) {
      return Fail(std::string("standard output is the working file ") + kWorkingName, err);
    }
    if (named.id == in.bin->info().id) {
      return Fail("binary file " + job.bin_path + " is the working file " + kWorkingName, err);
    }
    if (named.id == in.ucf->info().id) {
      return Fail("ucf file " + job.ucf_path + " is the working file " + kWorkingName, err);
    }
  }
  if (!sys.OpenWorkingFile(kWorkingName, &work->file, &work->owned)) {
    return Fail(kCantOpenWorking, err);
  }
  if (!work->owned && !work->file->TakeOver()) return Fail(kCantOpenWorking, err);
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

// Right before `file` takes the UCF's place: if the UCF is no longer what
// the run read (an editor saved it meanwhile), their save is kept instead.
bool TakePlace(Platform& sys, const Job& job, const std::string& target, const FileInfo& ucf,
               OutputFile& file, bool* cross_device, std::string* err) {
  FileInfo now;
  if (!sys.Stat(target, &now) || !(now.id == ucf.id) || now.size != ucf.size ||
      now.mtime != ucf.mtime) {
    return Fail("ucf file " + job.ucf_path + " changed during the run", err);
  }
  // Private until this moment, as the UCF's content may be.
  file.TakePermissions(ucf);
  return file.MoveTo(target, cross_device) || Fail(CantReplace(job), err);
}

// A rename cannot cross file systems: the content goes to a new file beside
// the UCF, which takes its place instead.
bool CopyBeside(Platform& sys, const Job& job, const std::string& target, const FileInfo& ucf,
                Made* work, std::string* err) {
  Made copy;
  if (!sys.CreateBeside(target, &copy.file)) return Fail(CantReplace(job), err);
  copy.owned = true;
  if (!work->file->Rewind() || !CopyAll(*work->file, *copy.file) || !copy.file->Sync()) {
    return Fail(CantReplace(job), err);
  }
  // The working file goes before the copy takes the UCF's place, so that a
  // failure to remove it leaves the UCF as it was.
  if (!work->file->Remove()) return Fail(CantReplace(job), err);
  work->owned = false;
  bool cross_device;
  if (!TakePlace(sys, job, target, ucf, *copy.file, &cross_device, err)) return false;
  copy.owned = false;
  return true;
}

// Puts the new content in the UCF's place: durable first, then in one step,
// so that the UCF holds either its old or its new content at any moment.
bool ReplaceUcf(Platform& sys, const Job& job, const FileInfo& ucf, Made* work, std::string* err) {
  if (!work->file->Sync()) return Fail(kCantWriteWorking, err);
  std::string target;
  if (!sys.ResolvePath(job.ucf_path, &target)) return Fail(CantReplace(job), err);
  bool cross_device = false;
  if (TakePlace(sys, job, target, ucf, *work->file, &cross_device, err)) {
    work->owned = false;
  } else if (!cross_device || !CopyBeside(sys, job, target, ucf, work, err)) {
    return false;
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
    if (!out.ok()) return Fail(kCantWriteWorking, err);
    // A NUL byte: the arguments are most likely swapped.
    if (!kept.text) return Fail("ucf file " + job.ucf_path + " is not a text file", err);
    return Fail("can't read ucf file " + job.ucf_path, err);
  }
  counts->copy_count = kept.copy_count;
  counts->delete_count = kept.delete_count;
  const char* eol = kept.crlf ? "\r\n" : "\n";
  if (!WriteInits(bin, out, job.delstr, eol, kept.open_line ? eol : "", &counts->add_count)) {
    return Fail(out.ok() ? "can't read binary file " + job.bin_path : kCantWriteWorking, err);
  }
  return out.Flush() || Fail(kCantWriteWorking, err);
}

int Run(const std::vector<std::string>& args, Platform& sys, Sink& out) {
  Print(out, kBanner);
  std::string err;
  Job job;
  Inputs in;
  Made work;
  Counts counts;
  auto fail = [&] {
    Print(out, err);
    return 1;
  };
  if (!CheckArguments(args, &job, &err)) return fail();
  if (!OpenInputs(sys, job, &in, &err)) return fail();
  if (!TakeWorkingFile(sys, job, in, &work, &err)) return fail();
  Print(out, "'" + job.delstr + "'\n");
  Output output(*work.file);
  if (!Rewrite(*in.ucf, *in.bin, output, job, &counts, &err)) return fail();
  // Closed first: some systems cannot replace a file that is open.
  in.bin.reset();
  in.ucf->Close();
  Print(out, "copy lines " + std::to_string(counts.copy_count) + "\n" +
                 "delete lines " + std::to_string(counts.delete_count) + "\n" +
                 "add lines " + std::to_string(counts.add_count) + "\n");
  if (!ReplaceUcf(sys, job, in.ucf->info(), &work, &err)) return fail();
  Print(out, "complete!\n");
  return 0;
}

int Main(const std::vector<std::string>& args, Platform& sys, Sink& out) {
  try {
    return Run(args, sys, out);
  } catch (const std::exception& e) {
    // Whatever the run made was removed as the stack unwound.
    Print(out, std::string("romseed: ") + e.what());
    return 1;
  }
}

}  // namespace romseed
