#include "replace.h"

#include <memory>

#include "command_line.h"

namespace romseed {
namespace {

std::string CantReplace(const ReadUcf& ucf) { return "can't replace " + ucf.file + ucf.path; }

// Sets `*hash` to the hash of the content of `path`. False, with `*err`
// set, if it cannot be read.
bool HashOf(Os& os, const std::string& path, std::uint64_t* hash, OsError* err) {
  std::unique_ptr<File> file = os.Open(path, kOpenRead, err);
  if (!file) return false;
  HashingSource hashed(*file);
  Discard none;
  if (!CopyAll(hashed, none, err)) return false;
  *hash = hashed.hash();
  return true;
}

// Puts `file` in the UCF's place: the UCF's permissions, then the content
// made durable (a failure says `unwritten`), then its name beside the UCF,
// and then, if the UCF is still what the run read (an editor may have saved
// it meanwhile, and their save is kept instead), the replace, with the check
// made as close to it as the system allows. Sets `*unnamed`, if given, when
// `file` has no name and none can be given it, with the UCF as it was.
bool TakePlace(Os& os, const ReadUcf& ucf, const std::string& target, MadeFile& file,
               const std::string& unwritten, Failure* err, bool* unnamed = nullptr) {
  // Private until now, as the UCF's content may be; given before the flush,
  // so that a crash cannot leave the new UCF with the working file's.
  OsError error;
  {
    // Opened again: the run let go of the UCF, which some systems cannot
    // replace while it is open. Should another file stand there now, the
    // replace finds it changed.
    std::unique_ptr<File> from = os.Open(target, kOpenRead | kOpenNoWait, &error);
    if (!from || !file.file().TakeAttributesOf(*from, &error)) {
      return Fail(err, CantReplace(ucf), error.reason);
    }
  }
  if (!file.file().Sync(&error)) return Fail(err, unwritten, error.reason);
  if (!file.MoveBeside(target, &error)) {
    if (unnamed) *unnamed = error.kind == OsError::kNeedsCopy;
    return Fail(err, CantReplace(ucf), error.reason);
  }
  const FileInfo& read = ucf.info;
  OsError unread;  // why the content could not be compared, if it could not
  auto unchanged = [&](const std::string& path) {
    FileInfo now;
    if (!os.Stat(path, true, &now) || !(now.id == read.id) || now.size != read.size ||
        now.mtime != read.mtime) {
      return false;
    }
    std::uint64_t hash;
    return !ucf.hash || (HashOf(os, path, &hash, &unread) && hash == *ucf.hash);
  };
  switch (file.MoveTo(target, unchanged, &error)) {
    case MadeFile::Moved::kDone:
      return true;
    case MadeFile::Moved::kChanged:
      // Not known to have changed: the UCF stays as it was all the same.
      if (unread.kind != OsError::kNone) return Fail(err, CantReplace(ucf), unread.reason);
      return Fail(err, ucf.file + ucf.path + " changed during the run");
    case MadeFile::Moved::kFailed:
      break;
  }
  return Fail(err, CantReplace(ucf), error.reason);
}

// A file cannot move across file systems: its content goes to a new file
// beside the UCF, which takes its place instead.
bool CopyBeside(Os& os, const ReadUcf& ucf, const std::string& target, MadeFile& work,
                Failure* err) {
  // Nameless where the folder can make such a file and give it a name at
  // the end; where it cannot give one (no hard links), named at once.
  for (bool nameless : {true, false}) {
    OsError error;
    std::unique_ptr<MadeFile> copy = CreateBeside(os, target, nameless, &error);
    if (!copy) return Fail(err, CantReplace(ucf), error.reason);
    if (!work.file().Rewind(&error)) return Fail(err, CantReplace(ucf), error.reason);
    if (!CopyAll(work.file(), copy->file(), &error)) return Fail(err, CantReplace(ucf), error.reason);
    // The working file goes before the copy takes the UCF's place, so that a
    // failure to remove it leaves the UCF as it was. (Still open, it can be
    // read again.)
    if (!work.Remove(&error)) return Fail(err, CantReplace(ucf), error.reason);
    bool unnamed = false;
    if (TakePlace(os, ucf, target, *copy, CantReplace(ucf), err, &unnamed)) return true;
    if (!unnamed) return false;
  }
  return false;
}

}  // namespace

bool ReplaceUcf(Os& os, const ReadUcf& ucf, MadeFile& work, Failure* err) {
  std::string target;
  OsError error;
  if (!os.ResolvePath(ucf.path, &target, &error)) return Fail(err, CantReplace(ucf), error.reason);
  // The working file leaves its folder, whose names others may change,
  // before it gets the UCF's permissions: the UCF's place goes to it alone,
  // from a name beside the UCF that only this run made; and a run killed
  // meanwhile leaves no working file of another owner behind. On a file
  // system of its own (or if another file took its only name), the UCF's
  // folder gets a copy instead.
  const bool moved = work.MoveBeside(target, &error);
  if (!moved && error.kind != OsError::kNeedsCopy) return Fail(err, CantReplace(ucf), error.reason);
  // Its old name gone for good before the file changes owner or takes the
  // UCF's place: else a crash could leave that name to another user's file,
  // or to the new UCF, in the way of the next run.
  // Unflushed, a crash may leave the old name too: the next run takes it over.
  OsError unflushed;
  if (moved) os.SyncFolder(kWorkingName, &unflushed);
  const std::string unwritten = std::string("can't write file ") + kWorkingName;
  if (moved ? !TakePlace(os, ucf, target, work, unwritten, err)
            : !CopyBeside(os, ucf, target, work, err)) {
    return false;
  }
  // The UCF holds its new content already; this makes the rename outlast a
  // crash, and a failure leaves nothing to undo. A file from another folder
  // needs that folder's name gone too, or a crash could leave the working
  // file as a second name of the new UCF.
  os.SyncFolder(target, &unflushed);
  const std::string folder_path = FolderOf(target);
  FileInfo folder, here;
  if (folder_path != "." && os.Stat(folder_path, true, &folder) && folder.id.known &&
      os.Stat(".", true, &here) && !(here.id == folder.id)) {
    os.SyncFolder(kWorkingName, &unflushed);
  }
  return true;
}

}  // namespace romseed
