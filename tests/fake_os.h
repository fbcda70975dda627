#ifndef ROMSEED_TESTS_FAKE_OS_H_
#define ROMSEED_TESTS_FAKE_OS_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "os.h"

namespace romseed {

// Files in memory behind the OS layer. Every call is recorded as "verb path",
// a run of equal calls once, and then handed to `meanwhile`; the `fail_nth`
// call equal to `fail` fails, one equal to `raise` throws; files in ext/
// lie on a file system of their own, with `nameless` a folder can hold
// nameless files, and with `exchange` two names can be swapped.
class FakeOs : public Os {
 public:
  struct Node {
    std::string data;
    FileInfo info;
  };

  class FakeFile : public File {
   public:
    FakeFile(FakeOs* os, std::string name, std::shared_ptr<Node> node)
        : node_(std::move(node)), os_(os), name_(std::move(name)) {
      Refresh();
    }
    bool Read(unsigned char* p, std::size_t n, std::size_t* got, OsError* err) override {
      *got = std::min(n, node_->data.size() - std::min(pos_, node_->data.size()));
      std::memcpy(p, node_->data.data() + pos_, *got);
      pos_ += *got;
      return Call("read ", err);
    }
    bool Write(const unsigned char* p, std::size_t n, OsError* err) override {
      node_->data.replace(pos_, n, reinterpret_cast<const char*>(p), n);
      pos_ += n;
      return Call("write ", err);
    }
    bool Lock(bool wait, OsError* err) override {
      if (!wait && os_->busy.count(name_)) return (*err = {OsError::kOther, "busy"}, false);
      return Call("lock ", err) && (Refresh(), true);
    }
    bool TakeAttributesOf(const File&, OsError* err) override { return Call("chmod ", err); }
    bool Sync(OsError* err) override { return Call("sync ", err); }
    bool Rewind(OsError*) override { return (pos_ = 0) == 0; }
    void Refresh() {
      info_ = node_->info;
      info_.size = node_->data.size();
    }
    std::shared_ptr<Node> node_;

   private:
    bool Call(const std::string& verb, OsError* err) { return os_->Called(verb + name_, err); }
    FakeOs* os_;
    std::string name_;
    std::size_t pos_ = 0;
  };

  static std::string Folder(const std::string& path) {
    return path.substr(0, path.find_last_of('/') + 1);
  }
  // Files in ext/ lie on a file system of their own.
  static std::uint64_t Device(const std::string& path) { return Folder(path) == "ext/" ? 2 : 1; }
  std::shared_ptr<Node> Put(const std::string& path, const std::string& data) {
    files[path] = std::make_shared<Node>(Node{data, {}});
    files[path]->info.id = {Device(path), ++made_, true};
    return files[path];
  }
  std::set<std::string> Paths() const {
    std::set<std::string> paths;
    for (const auto& entry : files) paths.insert(entry.first);
    return paths;
  }
  bool Call(const std::string& call);
  // The position of the first `call`, or of the end.
  std::size_t At(const std::string& call) const {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  }

  std::unique_ptr<File> Open(const std::string& path, unsigned flags, OsError* err) override;
  // The lock of the file that `path` names, as "lock path".
  std::unique_ptr<Turn> TakeTurn(const std::string& path, bool, bool wait, OsError* err) override {
    if (!Called("lock " + path, err)) return nullptr;
    if (!files.count(path)) return (*err = {OsError::kGone, "No such file"}, nullptr);
    if (!wait && busy.count(path)) return (*err = {OsError::kOther, "busy"}, nullptr);
    return std::make_unique<Turn>();
  }
  std::unique_ptr<File> CreateNameless(const std::string& path) override;
  bool Move(File& file, const std::string& from, const std::string& to, OsError* err) override;
  bool Stat(const std::string& path, bool, FileInfo* info) override;
  FileId StandardStreamId(Stream which) override {
    return which == Stream::kOutput ? stdout_id : stderr_id;
  }
  bool ResolvePath(const std::string& path, std::string* target, OsError* err) override;
  bool Rename(const std::string& from, const std::string& to, OsError* err) override;
  bool Exchange(const std::string& a, const std::string& b) override;
  bool Remove(const std::string& path, OsError* err) override {
    return Called("remove " + path, err) && files.erase(path);
  }
  bool MakeWritable(const std::string& path, OsError* err) override {
    if (!Called("chmod+w " + path, err)) return false;
    files[path]->info.read_only = false;
    return true;
  }
  bool SyncFolder(const std::string& path, OsError* err) override {
    return Called("syncdir " + path, err);
  }
  std::vector<std::string> List(const std::string& path, const std::string& prefix) override;
  // Tokens count up from 1, so that each run of a test names alike.
  // Without `random`, none: the run draws its own.
  bool Random(std::uint64_t* n) override { return random && (*n = static_cast<std::uint64_t>(++tokens_)); }
  static std::string Token(int n);
  // The name that a file beside `target` bears with the `n`th token.
  static std::string Beside(const std::string& target, int n = 1) {
    return Folder(target) + ".romseed-" + target.substr(Folder(target).size()) + "." + Token(n);
  }
  // Call, with `*err` set when it fails.
  bool Called(const std::string& call, OsError* err) {
    if (Call(call)) return true;
    *err = {OsError::kOther, "injected failure"};
    return false;
  }

  std::map<std::string, std::shared_ptr<Node>> files;
  std::vector<std::string> calls;
  std::function<void(const std::string&)> meanwhile;
  std::string fail, raise;
  int fail_nth = 1;
  bool fail_always = false;  // every such call, not just the nth
  bool failed = false;       // the last call
  bool nameless = false;
  bool exchange = false;
  bool random = true;
  bool folders = false;  // folders can be looked at (else only the rename tells file systems apart)
  std::set<std::string> busy;  // locked by another run: a run must wait for them
  FileId stdout_id, stderr_id;

 private:
  std::uint64_t made_ = 0;
  int tokens_ = 0;
};

}  // namespace romseed

#endif  // ROMSEED_TESTS_FAKE_OS_H_
