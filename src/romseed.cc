#include "romseed.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "filter.h"
#include "init_writer.h"
#include "made_file.h"

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
  std::unique_ptr<File> bin;
  std::unique_ptr<File> ucf;
};

void Print(Sink& out, std::string_view text) {
  out.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string CantReplace(const Job& job) { return "can't replace ucf file " + job.ucf_path; }

bool Fail(std::string message, std::string* err) {
  *err = std::move(message);
  return false;
}

// Why a run failed: its message for standard output, exactly as scripts know
// it, and the system's reason where there is one, for a person.
struct Failure {
  std::string message;
  std::string reason;
};

bool Fail(std::string message, Failure* err, std::string reason = std::string()) {
  *err = {std::move(message), std::move(reason)};
  return false;
}

// Says, where a person sees it, why a run seems to hang.
void SayWaiting(Sink& errors, const std::string& path) {
  Print(errors, "romseed: waiting for another run on " + path + "\n");
}

// The message for a pass over `input` ("ucf file top.ucf") that failed.
std::string Why(PassResult result, const std::string& input) {
  if (result == PassResult::kCantRead) return "can't read " + input;
  // Most likely the arguments are swapped.
  if (result == PassResult::kNotText) return input + " is not a text file";
  return kCantWriteWorking;
}

// True if `path` ends in ".ucf", in any case.
bool NamesUcf(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  for (char& c : end) c = static_cast<char>(c | 0x20);
  return end == ".ucf";
}

bool CheckArguments(const std::vector<std::string>& args, Job* job, Failure* err) {
  if (args.size() < 4) return Fail("use:romseed [binaryfile] [ucf-in] [component_name]", err);
  // Swapped, the binary would be rewritten as a UCF (a ROM of text and
  // 0xff padding holds no byte that tells).
  if (NamesUcf(args[1]) && !NamesUcf(args[2])) {
    return Fail("binary file " + args[1] + " is named as a ucf file", err);
  }
  // The name becomes part of a quoted instance name in every statement;
  // a quote or a control character would end the quotes or the line. An
  // empty one (an unset make variable) would drop every instance.
  // A wildcard would write statements that match other instances too.
  const bool odd = std::any_of(args[3].begin(), args[3].end(), [](unsigned char c) {
    return c < 0x20 || c == 0x7f || c == '"' || c == '*' || c == '?';
  });
  if (args[3].empty() || odd) return Fail("invalid component name " + args[3], err);
  *job = Job{args[1], args[2], "INST \"" + args[3], std::nullopt};
  return true;
}

// The UCF is held from here to the end of the run, so that a run on it
// from elsewhere waits and then starts from this run's result.
bool OpenInputs(Os& os, const Job& job, Inputs* in, Failure* err, Sink& errors) {
  OpenError error;
  in->bin = os.Open(job.bin_path, OpenMode::kRead, &error);
  if (!in->bin) return Fail("can't open binary file " + job.bin_path, err, os.LastError());
  std::string why;
  in->ucf = OpenUcf(os, job.ucf_path, kWorkingName, &why, [&] { SayWaiting(errors, job.ucf_path); });
  if (!in->ucf) return Fail("can't open ucf file " + job.ucf_path, err, why);
  // Read-only is how a user or their version control says "do not change".
  if (in->ucf->info().read_only) return Fail("ucf file " + job.ucf_path + " is read-only", err);
  if (in->bin->info().id == in->ucf->info().id) {
    return Fail("binary file " + job.bin_path + " is the ucf file " + job.ucf_path, err);
  }
  return true;
}

bool TakeWorkingFile(Os& os, const Job& job, const Inputs& in, std::unique_ptr<MadeFile>* work,
                     Failure* err, Sink& errors) {
  // What stands at the name may be a file the run must not destroy, or where
  // its messages go; and the UCF, held by this run, would never have its turn.
  FileInfo named;
  if (os.Stat(kWorkingName, true, &named)) {
    if (named.id == os.StandardOutputId()) {
      return Fail(std::string("standard output is the working file ") + kWorkingName, err);
    }
    if (named.id == in.bin->info().id) {
      return Fail("binary file " + job.bin_path + " is the working file " + kWorkingName, err);
    }
    if (named.id == in.ucf->info().id) {
      return Fail("ucf file " + job.ucf_path + " is the working file " + kWorkingName, err);
    }
  }
  std::string why;
  *work = TakeWorkingFile(os, kWorkingName, &why, [&] { SayWaiting(errors, kWorkingName); });
  return *work || Fail(kCantOpenWorking, err, why);
}

// Hashes what is read through it (64-bit FNV-1a).
class HashingSource : public Source {
 public:
  explicit HashingSource(Source& in) : in_(in) {}
  bool Read(unsigned char* p, std::size_t n, std::size_t* got) override {
    if (!in_.Read(p, n, got)) return false;
    for (std::size_t i = 0; i < *got; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
    return true;
  }
  std::uint64_t hash = 14695981039346656037ull;

 private:
  Source& in_;
};

bool CopyAll(Source& from, Sink& to) {
  std::unique_ptr<unsigned char[]> buf(new unsigned char[1 << 16]);
  for (;;) {
    std::size_t got;
    if (!from.Read(buf.get(), 1 << 16, &got)) return false;
    if (got == 0) return true;
    if (!to.Write(buf.get(), got)) return false;
  }
}

// Takes what is written and keeps none of it.
class Discard : public Sink {
 public:
  bool Write(const unsigned char*, std::size_t) override { return true; }
};

// The hash of the content of `path`, if it can be read.
std::optional<std::uint64_t> HashOf(Os& os, const std::string& path) {
  OpenError error;
  std::unique_ptr<File> file = os.Open(path, OpenMode::kRead, &error);
  if (!file) return std::nullopt;
  HashingSource hashed(*file);
  Discard none;
  if (!CopyAll(hashed, none)) return std::nullopt;
  return hashed.hash;
}

// Puts `file` in the UCF's place: the UCF's permissions, then the content
// made durable (a failure says `unwritten`), then its name beside the UCF,
// and then, if the UCF is still what the run read (an editor may have saved
// it meanwhile, and their save is kept instead), the replace, with the check
// made as close to it as the system allows.
bool TakePlace(Os& os, const Job& job, const std::string& target, const File& ucf,
               MadeFile& file, const std::string& unwritten, Failure* err) {
  // Private until now, as the UCF's content may be; given before the flush,
  // so that a crash cannot leave the new UCF with the working file's.
  if (!file.file().TakeAttributesOf(ucf)) return Fail(CantReplace(job), err, os.LastError());
  if (!file.file().Sync()) return Fail(unwritten, err, os.LastError());
  bool needs_copy;
  if (!file.MoveBeside(target, &needs_copy)) return Fail(CantReplace(job), err, os.LastError());
  auto unchanged = [&](const std::string& path) {
    FileInfo now;
    return os.Stat(path, true, &now) && now.id == ucf.info().id && now.size == ucf.info().size &&
           now.mtime == ucf.info().mtime && (!job.ucf_hash || HashOf(os, path) == job.ucf_hash);
  };
  switch (file.MoveTo(target, unchanged)) {
    case MadeFile::Moved::kDone:
      return true;
    case MadeFile::Moved::kChanged:
      return Fail("ucf file " + job.ucf_path + " changed during the run", err);
    case MadeFile::Moved::kFailed:
      break;
  }
  return Fail(CantReplace(job), err, os.LastError());
}

// A file cannot move across file systems: its content goes to a new file
// beside the UCF, which takes its place instead.
bool CopyBeside(Os& os, const Job& job, const std::string& target, const File& ucf,
                MadeFile& work, Failure* err) {
  std::string why;
  std::unique_ptr<MadeFile> copy = CreateBeside(os, target, &why);
  if (!copy) return Fail(CantReplace(job), err, why);
  if (!work.file().Rewind() || !CopyAll(work.file(), copy->file())) {
    return Fail(CantReplace(job), err, os.LastError());
  }
  // The working file goes before the copy takes the UCF's place, so that a
  // failure to remove it leaves the UCF as it was.
  if (!work.Remove()) return Fail(CantReplace(job), err, os.LastError());
  return TakePlace(os, job, target, ucf, *copy, CantReplace(job), err);
}

// Puts the new content in the UCF's place: durable first, then in one step,
// so that the UCF holds either its old or its new content at any moment.
bool ReplaceUcf(Os& os, const Job& job, const File& ucf, MadeFile& work, Failure* err) {
  std::string target;
  if (!os.ResolvePath(job.ucf_path, &target)) return Fail(CantReplace(job), err, os.LastError());
  // The working file leaves its folder, whose names others may change,
  // before it gets the UCF's permissions: the UCF's place goes to it alone,
  // from a name beside the UCF that only this run made; and a run killed
  // meanwhile leaves no working file of another owner behind. On a file
  // system of its own (or if another file took its only name), the UCF's
  // folder gets a copy instead.
  bool needs_copy = false;
  const bool moved = work.MoveBeside(target, &needs_copy);
  if (!moved && !needs_copy) return Fail(CantReplace(job), err, os.LastError());
  if (moved ? !TakePlace(os, job, target, ucf, work, kCantWriteWorking, err)
            : !CopyBeside(os, job, target, ucf, work, err)) {
    return false;
  }
  // The UCF holds its new content already; this makes the rename outlast a
  // crash, and a failure leaves nothing to undo. A file from another folder
  // needs that folder's name gone too, or a crash could leave the working
  // file as a second name of the new UCF.
  os.SyncFolder(target);
  const std::string folder_path = FolderOf(target);
  FileInfo folder, here;
  if (folder_path != "." && os.Stat(folder_path, true, &folder) && folder.id.known &&
      os.Stat(".", true, &here) && !(here.id == folder.id)) {
    os.SyncFolder(kWorkingName);
  }
  return true;
}

}  // namespace

bool Rewrite(Source& ucf, Source& bin, Output& out, const Job& job, Counts* counts,
             std::string* err) {
  FilterResult kept;
  PassResult result = FilterUcf(ucf, out, job.delstr, &kept);
  if (result != PassResult::kOk) return Fail(Why(result, "ucf file " + job.ucf_path), err);
  counts->copy_count = kept.copy_count;
  counts->delete_count = kept.delete_count;
  counts->other_count = kept.other_count;
  counts->first_other_line = kept.first_other_line;
  counts->first_other = kept.first_other;
  const char* eol = kept.crlf ? "\r\n" : "\n";
  result = WriteInits(bin, out, job.delstr, eol, kept.open_line ? eol : "", &counts->add_count);
  if (result != PassResult::kOk) return Fail(Why(result, "binary file " + job.bin_path), err);
  return out.Flush() || Fail(kCantWriteWorking, err);
}

int Run(const std::vector<std::string>& args, Os& os, Sink& out, Sink& errors) {
  Print(out, kBanner);
  Failure err;
  Job job;
  Inputs in;
  std::unique_ptr<MadeFile> work;
  Counts counts;
  auto fail = [&] {
    Print(out, err.message);
    Print(errors, "romseed: " + err.message + (err.reason.empty() ? "" : ": " + err.reason) + "\n");
    return 1;
  };
  if (!CheckArguments(args, &job, &err)) return fail();
  if (!OpenInputs(os, job, &in, &err, errors)) return fail();
  if (!TakeWorkingFile(os, job, in, &work, &err, errors)) return fail();
  Print(out, "'" + job.delstr + "'\n");
  Output output(work->file());
  // A time in whole seconds is most likely a file system's whole grain (FAT,
  // ext3, many NFS servers), where a save in place within the same second
  // leaves size and time as they were: then the content itself is compared.
  HashingSource ucf(*in.ucf);
  const bool coarse = in.ucf->info().mtime % 1000000000 == 0;
  if (!Rewrite(coarse ? static_cast<Source&>(ucf) : *in.ucf, *in.bin, output, job, &counts,
               &err.message)) {
    // The pass's failed read or write was the last call.
    if (err.message.rfind("can't ", 0) == 0) err.reason = os.LastError();
    return fail();
  }
  if (coarse) job.ucf_hash = ucf.hash;
  // Let go first: some systems cannot replace a file that is open.
  in.bin.reset();
  in.ucf->Release();
  Print(out, "copy lines " + std::to_string(counts.copy_count) + "\n" +
                 "delete lines " + std::to_string(counts.delete_count) + "\n" +
                 "add lines " + std::to_string(counts.add_count) + "\n");
  if (!ReplaceUcf(os, job, *in.ucf, *work, &err)) return fail();
  if (counts.other_count > 0) {
    // A name that begins another's, or a constraint written with quotes.
    const bool one = counts.other_count == 1;
    Print(errors, "romseed: warning: dropped " + std::to_string(counts.other_count) +
                      (one ? " line that is not an INIT statement of this component, at line "
                           : " lines that are not this component's INIT statements, the first at line ") +
                      std::to_string(counts.first_other_line) + ": " + counts.first_other + "\n");
  }
  Print(out, "complete!\n");
  return 0;
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
