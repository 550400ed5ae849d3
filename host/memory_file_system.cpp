#include "host/memory_file_system.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/temporary_mark.h"

namespace quorvantix::host {

struct MemoryFileSystem::Volume {
  std::uint64_t device = 0;
  std::int64_t bytes = 0;
  bool write_protected = false;
};

struct MemoryFileSystem::Node {
  ObjectType type = ObjectType::other;
  std::string contents;
  std::map<std::string, NodePtr> entries;  // a folder's
  std::shared_ptr<Volume> volume;
  std::uint64_t inode = 0;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  bool marked = false;  // our temporary
  bool held = false;    // by the writer of a live process
};

namespace {

std::vector<std::string> components_of(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// `path` against `current`, "." and ".." taken away; ".." stops at the root,
// as it does in a confined tree.
std::vector<std::string> resolved(const std::string& current, const std::string& path) {
  std::vector<std::string> parts = path.starts_with("/") ? std::vector<std::string>{} : components_of(current);
  for (const std::string& part : components_of(path)) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != ".") {
      parts.push_back(part);
    }
  }
  return parts;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

}  // namespace

// --- The objects handed out ---

class MemoryFileSystem::Held final : public HeldObject {
 public:
  Held(const MemoryFileSystem& fs, NodePtr node) : fs_(fs), node_(std::move(node)) {}
  bool examine(ExamineData& data) const override {
    data.type = node_->type;
    data.file_size = static_cast<std::int64_t>(node_->contents.size());
    data.device = node_->volume->device;
    data.inode = node_->inode;
    return true;
  }
  bool may_read() const override { return fs_.allowed(*node_, 4); }
  bool volume_info(VolumeInfo& info) const override {
    info.write_protected = node_->volume->write_protected;
    info.bytes_free = node_->volume->bytes - fs_.used(*node_->volume);
    return true;
  }
  const MemoryFileSystem& fs_;
  NodePtr node_;
};

class MemoryFileSystem::Scan final : public EntryScan {
 public:
  Scan(const MemoryFileSystem& fs, const Node& folder) : fs_(fs) {
    for (const auto& [name, node] : folder.entries) {
      if (!is_temporary_name(name.c_str())) entries_.emplace_back(name, node);
    }
  }
  bool next(ExamineData& entry) override {
    if (at_ == entries_.size()) return false;
    const auto& [name, node] = entries_[at_++];
    entry = {};
    Held(fs_, node).examine(entry);
    std::snprintf(entry.name, sizeof entry.name, "%s", fs_.wire_form(name).c_str());
    return true;
  }

 private:
  const MemoryFileSystem& fs_;
  std::vector<std::pair<std::string, NodePtr>> entries_;
  std::size_t at_ = 0;
};

class MemoryFileSystem::Reader final : public FileReader {
 public:
  explicit Reader(NodePtr node) : node_(std::move(node)) {}
  long read(void* into, std::size_t count) override {
    const std::size_t got = std::min(count, node_->contents.size() - at_);
    std::memcpy(into, node_->contents.data() + at_, got);
    at_ += got;
    return static_cast<long>(got);
  }

 private:
  NodePtr node_;
  std::size_t at_ = 0;
};

class MemoryFileSystem::Writer final : public FileWriter {
 public:
  Writer(const MemoryFileSystem& fs, NodePtr folder, NodePtr file, std::string temporary, std::string target,
         mode_t mode)
      : fs_(fs), folder_(std::move(folder)), file_(std::move(file)), temporary_(std::move(temporary)),
        target_(std::move(target)), mode_(mode) {}
  ~Writer() override {
    file_->held = false;
    if (!abandoned_) discard();
  }
  bool write(const void* from, std::size_t count) override {
    const Volume& volume = *file_->volume;
    if (fs_.used(volume) + static_cast<std::int64_t>(count) > volume.bytes) return false;
    file_->contents.append(static_cast<const char*>(from), count);
    return true;
  }
  bool commit() override {
    const auto found = folder_->entries.find(temporary_);
    if (found == folder_->entries.end() || found->second != file_) return false;
    folder_->entries.erase(found);
    file_->marked = false;
    file_->mode = mode_;
    folder_->entries[target_] = file_;
    temporary_.clear();
    return true;
  }
  void abandon() { abandoned_ = true; }

 private:
  void discard() {
    const auto found = folder_->entries.find(temporary_);
    if (found != folder_->entries.end() && found->second == file_) folder_->entries.erase(found);
  }

  const MemoryFileSystem& fs_;
  NodePtr folder_, file_;
  std::string temporary_, target_;
  mode_t mode_;
  bool abandoned_ = false;
};

// --- Setting up and looking in ---

MemoryFileSystem::MemoryFileSystem(std::int64_t bytes) {
  root_ = make_node(ObjectType::directory, nullptr, 0755);
  root_->volume = std::make_shared<Volume>(Volume{1, bytes, false});
}

MemoryFileSystem::~MemoryFileSystem() = default;

MemoryFileSystem::NodePtr MemoryFileSystem::make_node(ObjectType type, const NodePtr& parent, mode_t mode) const {
  auto node = std::make_shared<Node>();
  node->type = type;
  node->volume = parent ? parent->volume : nullptr;
  node->inode = next_inode_++;
  node->mode = mode;
  node->owner = user_.uid;
  node->group = user_.gid;
  return node;
}

MemoryFileSystem::NodePtr MemoryFileSystem::folder_for(const std::string& path, std::string& last) {
  std::vector<std::string> parts = resolved("/", path);
  if (parts.empty()) return nullptr;
  last = parts.back();
  parts.pop_back();
  NodePtr folder = root_;
  for (const std::string& part : parts) {
    NodePtr& next = folder->entries[part];
    if (!next) next = make_node(ObjectType::directory, folder, 0755);
    if (next->type != ObjectType::directory) return nullptr;
    folder = next;
  }
  return folder;
}

bool MemoryFileSystem::add_folder(const std::string& path, mode_t mode, std::int64_t volume_bytes) {
  std::string last;
  NodePtr folder;  // none for the root itself
  if (!resolved("/", path).empty() && !(folder = folder_for(path, last))) return false;
  NodePtr& made = folder ? folder->entries[last] : root_;
  if (!made) made = make_node(ObjectType::directory, folder, mode);
  if (made->type != ObjectType::directory) return false;
  made->mode = mode;
  if (volume_bytes > 0) made->volume = std::make_shared<Volume>(Volume{made->inode + 1000, volume_bytes, false});
  return true;
}

bool MemoryFileSystem::add_file(const std::string& path, const std::string& contents, mode_t mode, uid_t owner,
                                gid_t group) {
  std::string last;
  const NodePtr folder = folder_for(path, last);
  if (!folder) return false;
  const NodePtr file = make_node(ObjectType::plain_file, folder, mode);
  file->contents = contents;
  file->owner = owner;
  file->group = group;
  folder->entries[last] = file;
  return true;
}

bool MemoryFileSystem::add_other(const std::string& path) {
  std::string last;
  const NodePtr folder = folder_for(path, last);
  if (!folder) return false;
  folder->entries[last] = make_node(ObjectType::other, folder, 0644);
  return true;
}

bool MemoryFileSystem::remove(const std::string& path) {
  std::string last;
  const NodePtr folder = folder_for(path, last);
  return folder && folder->entries.erase(last) == 1;
}

bool MemoryFileSystem::set_write_protected(const std::string& path, bool write_protected) {
  const NodePtr node = find(path.starts_with("/") ? path : "/" + path, nullptr, false);
  if (!node) return false;
  node->volume->write_protected = write_protected;
  return true;
}

std::optional<std::string> MemoryFileSystem::contents(const std::string& path) const {
  const NodePtr node = find(path, nullptr, false);
  if (!node || node->type != ObjectType::plain_file) return std::nullopt;
  return node->contents;
}

std::optional<MemoryFileSystem::Attributes> MemoryFileSystem::attributes(const std::string& path) const {
  const NodePtr node = find(path, nullptr, false);
  if (!node) return std::nullopt;
  return Attributes{node->type, node->mode, node->owner, node->group, node->marked};
}

std::vector<std::string> MemoryFileSystem::names_in(const std::string& path) const {
  std::vector<std::string> names;
  if (const NodePtr folder = find(path, nullptr, false)) {
    for (const auto& entry : folder->entries) names.push_back(entry.first);
  }
  return names;
}

void MemoryFileSystem::abandon(std::unique_ptr<FileWriter> writer) {
  if (auto* ours = dynamic_cast<Writer*>(writer.get())) ours->abandon();
}

// --- Names, modes, room ---

MemoryFileSystem::NodePtr MemoryFileSystem::find(const std::string& path, std::string* normal, bool as_user) const {
  const std::vector<std::string> parts = resolved(current_, path);
  NodePtr node = root_;
  for (const std::string& part : parts) {
    if (node->type != ObjectType::directory || (as_user && !allowed(*node, 1))) return nullptr;
    const auto found = node->entries.find(part);
    if (found == node->entries.end()) return nullptr;
    node = found->second;
  }
  if (normal != nullptr) *normal = joined(parts);
  return node;
}

bool MemoryFileSystem::in_group(gid_t group) const {
  return group == user_.gid || std::find(user_.groups.begin(), user_.groups.end(), group) != user_.groups.end();
}

bool MemoryFileSystem::allowed(const Node& node, unsigned want) const {
  if (user_.uid == 0) return true;
  const unsigned shift = node.owner == user_.uid ? 6 : in_group(node.group) ? 3 : 0;
  return ((node.mode >> shift) & want) == want;
}

std::int64_t MemoryFileSystem::used(const Volume& volume) const {
  std::int64_t bytes = 0;
  std::vector<const Node*> folders{root_.get()};
  while (!folders.empty()) {
    const Node* folder = folders.back();
    folders.pop_back();
    for (const auto& entry : folder->entries) {
      const Node& node = *entry.second;
      if (node.type == ObjectType::directory) folders.push_back(&node);
      if (node.volume.get() == &volume) bytes += static_cast<std::int64_t>(node.contents.size());
    }
  }
  return bytes;
}

// Only our marked temporaries go, and only those no live writer holds; a
// folder that may not be changed keeps them, as the host's does.
void MemoryFileSystem::sweep(Node& folder) const {
  if (!allowed(folder, 3) || folder.volume->write_protected) return;
  std::erase_if(folder.entries, [](const auto& entry) {
    const Node& node = *entry.second;
    return is_temporary_name(entry.first.c_str()) && node.type == ObjectType::plain_file && node.marked && !node.held;
  });
}

// --- The file system's operations ---

void MemoryFileSystem::current_dir_name(char* name) const {
  name[0] = '\0';
  const std::string wire = wire_form(current_);
  if (wire.size() < kFullNameBytes) std::memcpy(name, wire.c_str(), wire.size() + 1);
}

bool MemoryFileSystem::set_current(const char* name) {
  std::string host, normal;
  if (!names_.to_host(name, host)) return false;
  const NodePtr node = find(host, &normal);
  if (!node || node->type != ObjectType::directory || !allowed(*node, 1)) return false;
  current_ = normal;
  return true;
}

void MemoryFileSystem::return_to_start() { current_ = "/"; }

void MemoryFileSystem::sweep_temporaries() const {
  if (read_only_) return;
  const NodePtr here = find("");
  if (here && here->type == ObjectType::directory) sweep(*here);
}

std::unique_ptr<HeldObject> MemoryFileSystem::hold(const char* name) const {
  std::string host;
  if (!names_.to_host(name, host)) return nullptr;
  NodePtr node = find(host);
  return node ? std::make_unique<Held>(*this, std::move(node)) : nullptr;
}

std::unique_ptr<HeldObject> MemoryFileSystem::hold_folder_of(const char* target, std::string& name) const {
  std::string path;
  const bool named = names_.to_host(target, path);
  if (!named) path = target;
  const std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
  name = !named ? "" : slash == std::string::npos ? path : path.substr(slash + 1);
  // A target that is no name in the wire set still has its folder held, so
  // that the caller learns that it was the name.
  if (!named && !names_.to_host(std::string(folder), folder)) return nullptr;
  NodePtr node = find(folder);
  if (!node || node->type != ObjectType::directory) return nullptr;
  return std::make_unique<Held>(*this, std::move(node));
}

std::unique_ptr<EntryScan> MemoryFileSystem::scan_current() const {
  const NodePtr here = find("");
  if (!here || here->type != ObjectType::directory || !allowed(*here, 4)) return nullptr;
  return std::make_unique<Scan>(*this, *here);
}

std::unique_ptr<FileReader> MemoryFileSystem::open_to_read(const char* name, const ExamineData& examined) const {
  std::string host;
  if (!names_.to_host(name, host)) return nullptr;
  NodePtr node = find(host);
  if (!node || node->type != ObjectType::plain_file || node->inode != examined.inode ||
      node->volume->device != examined.device || !allowed(*node, 4)) {
    return nullptr;
  }
  return std::make_unique<Reader>(std::move(node));
}

std::unique_ptr<FileWriter> MemoryFileSystem::replace(const HeldObject& folder, const std::string& name) const {
  const auto* held = dynamic_cast<const Held*>(&folder);
  if (held == nullptr || &held->fs_ != this || held->node_->type != ObjectType::directory) return nullptr;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return nullptr;
  if (is_temporary_name(name.c_str())) return nullptr;
  Node& dir = *held->node_;
  if (!allowed(dir, 3) || dir.volume->write_protected) return nullptr;
  const auto existing = dir.entries.find(name);
  const Node* old = existing == dir.entries.end() ? nullptr : existing->second.get();
  if (old != nullptr && (old->type != ObjectType::plain_file || !allowed(*old, 2))) return nullptr;
  sweep(dir);
  const NodePtr file = make_node(ObjectType::plain_file, held->node_, kTemporaryMode);
  file->marked = file->held = true;
  mode_t mode = 0666 & ~umask_;
  if (old != nullptr) {
    // What the host lets a process keep: the superuser any owner and group,
    // others only their own owner, and a group they are in.
    file->owner = user_.uid == 0 ? old->owner : user_.uid;
    file->group = user_.uid == 0 || in_group(old->group) ? old->group : user_.gid;
    mode = replacement_mode(old->mode, file->owner == old->owner && file->group == old->group);
  }
  std::string temporary = "." + name.substr(0, 200) + ".part-0-" + std::to_string(next_temporary_++) + "-0";
  dir.entries[temporary] = file;
  return std::make_unique<Writer>(*this, held->node_, file, std::move(temporary), name, mode);
}

}  // namespace quorvantix::host
