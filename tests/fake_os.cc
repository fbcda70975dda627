#include "fake_os.h"

#include "hex.h"
#include "made_file.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace romseed {

bool FakeOs::Call(const std::string& call) {
  if (calls.empty() || calls.back() != call) calls.push_back(call);
  if (meanwhile) meanwhile(call);
  if (call == raise) throw std::runtime_error("injected failure");
  failed = call == fail && (fail_always || --fail_nth == 0);
  return !failed;
}

std::unique_ptr<File> FakeOs::Open(const std::string& path, unsigned flags, OsError* err) {
  const bool create = flags & kOpenCreate;
  if (!Called((create ? "create " : "open ") + path, err)) return nullptr;
  const bool exists = files.count(path);
  if (exists == create) {
    *err = {exists ? OsError::kExists : OsError::kGone, exists ? "File exists" : "No such file"};
    return nullptr;
  }
  return std::make_unique<FakeFile>(this, path, create ? Put(path, "") : files[path]);
}

std::unique_ptr<File> FakeOs::CreateNameless(const std::string& path) {
  if (!nameless || !Call("nameless " + Folder(path))) return nullptr;
  auto node = std::make_shared<Node>(Node{"", {}});
  node->info.id = {Device(path), ++made_, true};
  return std::make_unique<FakeFile>(this, "nameless", node);
}

bool FakeOs::Move(File& file, const std::string& from, const std::string& to, OsError* err) {
  std::shared_ptr<Node> node = static_cast<FakeFile&>(file).node_;
  if (!Called("move " + (from.empty() ? "nameless" : from) + " " + to, err)) return false;
  if (node->info.id.device != Device(to)) {
    *err = {OsError::kNeedsCopy, "Invalid cross-device link"};
    return false;
  }
  if (files.count(to)) {
    *err = {OsError::kExists, "File exists"};
    return false;
  }
  files[to] = node;
  if (files.count(from) && files[from] == node) files.erase(from);
  return true;
}

bool FakeOs::Stat(const std::string& path, bool, FileInfo* info) {
  if (!Call("stat " + path)) return false;
  if (folders && (path == "." || path == "ext" || path == "sub")) {
    *info = FileInfo();
    info->id = {Device(path + "/"), std::hash<std::string>()(path), true};
    return true;
  }
  if (!files.count(path)) return false;
  *info = files[path]->info;
  info->size = files[path]->data.size();
  return true;
}

bool FakeOs::ResolvePath(const std::string& path, std::string* target, OsError* err) {
  *target = path;
  return Called("resolve " + path, err);
}

bool FakeOs::Rename(const std::string& from, const std::string& to, OsError* err) {
  if (!Called("rename " + from + " " + to, err)) return false;
  files[to] = files[from];
  return files.erase(from);
}

bool FakeOs::Exchange(const std::string& a, const std::string& b) {
  if (!exchange || !Call("exchange " + a + " " + b)) return false;
  std::swap(files[a], files[b]);
  return true;
}

std::vector<std::string> FakeOs::List(const std::string& path, const std::string& prefix) {
  std::vector<std::string> names;
  if (!Call("list " + Folder(path))) return names;
  for (const auto& entry : files) {
    const std::string name = entry.first.substr(Folder(entry.first).size());
    if (Folder(entry.first) == Folder(path) && name.compare(0, prefix.size(), prefix) == 0) {
      names.push_back(name);
    }
  }
  return names;
}

std::string FakeOs::Token(int n) { return Hex(n, kTokenDigits); }

}  // namespace romseed
