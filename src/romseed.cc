#include "romseed.h"

#include <memory>

#include "filter.h"
#include "init_writer.h"
#include "io.h"
#include "platform.h"

#ifndef ROMSEED_VERSION
#define ROMSEED_VERSION "dev"
#endif

namespace romseed {
namespace {

// The name becomes part of a quoted instance name in every statement; these
// characters would end the quotes or the line.
bool IsUsableName(const std::string& name) {
  return name.find_first_of("\"\r\n") == std::string::npos;
}

}  // namespace

RewriteStatus Rewrite(Source& ucf, Source& bin, Output& out, std::string_view delstr,
                      Counts* counts) {
  FilterResult kept;
  IoStatus status = FilterUcf(ucf, out, delstr, &kept);
  if (status != IoStatus::kOk) {
    return status == IoStatus::kReadError ? RewriteStatus::kUcfReadError
                                          : RewriteStatus::kWriteError;
  }
  counts->copy_count = kept.copy_count;
  counts->delete_count = kept.delete_count;
  const char* eol = kept.crlf ? "\r\n" : "\n";
  status = WriteInits(bin, out, delstr, eol, kept.open_line ? eol : "", &counts->add_count);
  if (status != IoStatus::kOk) {
    return status == IoStatus::kReadError ? RewriteStatus::kBinaryReadError
                                          : RewriteStatus::kWriteError;
  }
  return RewriteStatus::kOk;
}

int Run(const std::vector<std::string>& args, std::ostream& out) {
  out << "romseed test vertsion\n"
      << "romseed " ROMSEED_VERSION ": writes a binary file into a UCF as INIT statements\n";
  if (args.size() < 4) {
    out << "use:romseed [binaryfile] [ucf-in] [component_name]";
    return 1;
  }
  const std::string& bin_path = args[1];
  const std::string& ucf_path = args[2];
  const std::string& name = args[3];
  if (!IsUsableName(name)) {
    out << "invalid component name " << name;
    return 1;
  }

  std::unique_ptr<InputFile> bin = OpenInput(bin_path, false);
  if (!bin) {
    out << "can't open binary file " << bin_path;
    return 1;
  }
  std::unique_ptr<InputFile> ucf = OpenInput(ucf_path, true);
  if (!ucf) {
    out << "can't open ucf file " << ucf_path;
    return 1;
  }
  // Not held while another run has its turn: some systems cannot replace a
  // file that is open. Opened again after it, since that run may have
  // replaced this very UCF.
  ucf.reset();
  std::unique_ptr<WorkingFile> work = OpenWorkingFile(kWorkingName);
  if (!work) {
    out << "can't open file " << kWorkingName;
    return 1;
  }
  if (!(ucf = OpenInput(ucf_path, true))) {
    out << "can't open ucf file " << ucf_path;
    return 1;
  }
  // Emptying the working file would destroy an input that is that same file.
  if (work->IsSameFile(*bin)) {
    out << "binary file " << bin_path << " is the working file " << kWorkingName;
    return 1;
  }
  if (work->IsSameFile(*ucf)) {
    out << "ucf file " << ucf_path << " is the working file " << kWorkingName;
    return 1;
  }
  if (!work->Truncate()) {
    out << "can't open file " << kWorkingName;
    return 1;
  }

  const std::string delstr = "INST \"" + name;
  out << "'" << delstr << "'\n";

  Output output(*work);
  Counts counts;
  RewriteStatus status = Rewrite(*ucf, *bin, output, delstr, &counts);
  if (status == RewriteStatus::kUcfReadError) {
    out << "can't read ucf file " << ucf_path;
    return 1;
  }
  if (status == RewriteStatus::kBinaryReadError) {
    out << "can't read binary file " << bin_path;
    return 1;
  }
  if (status != RewriteStatus::kOk || !output.Flush()) {
    out << "can't write file " << kWorkingName;
    return 1;
  }
  bin.reset();
  ucf->Close();  // some systems cannot replace a file that is still open

  out << "copy lines " << counts.copy_count << "\n"
      << "delete lines " << counts.delete_count << "\n"
      << "add lines " << counts.add_count << "\n";

  switch (work->Replace(ucf_path, *ucf)) {
    case ReplaceStatus::kOk:
      break;
    case ReplaceStatus::kWriteError:
      out << "can't write file " << kWorkingName;
      return 1;
    case ReplaceStatus::kReplaceError:
      out << "can't replace ucf file " << ucf_path;
      return 1;
  }
  out << "complete!\n";
  return 0;
}

}  // namespace romseed
