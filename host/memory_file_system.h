// A file system kept in memory, for tests and fuzz targets: folders, plain
// files and other objects (as FIFOs are), with modes and owners checked
// against a user as the host checks them, volumes of a set size that can be
// write-protected, and temporaries that behave as the host's do (marked,
// held while being written, swept only when marked and no longer held).
// It needs no privileges: a test makes any owner, mode or volume it needs.
//
// Paths in the calls for tests below are host names from the root ("/a/b");
// names from the FileSystem calls are in wire form, as everywhere.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/file_system.h"

namespace quorvantix::host {

class MemoryFileSystem final : public FileSystem {
 public:
  // Who the process is, as the checks of modes and owners see it.
  struct User {
    uid_t uid = 0;  // 0: the superuser, whom no mode stops
    gid_t gid = 0;
    std::vector<gid_t> groups{};  // supplementary
  };
  // What a test can see of an object.
  struct Attributes {
    ObjectType type = ObjectType::other;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    bool marked = false;  // carries the mark of our temporaries
  };

  // An empty root folder, current, on a volume of `bytes` (1 GiB unless told).
  explicit MemoryFileSystem(std::int64_t bytes = std::int64_t{1} << 30);
  ~MemoryFileSystem() override;

  // Makes a folder and the folders on its way; a folder given its own
  // `volume_bytes` (above 0) starts a volume of that size, which holds what
  // is made inside it. False when the way is blocked by something else.
  bool add_folder(const std::string& path, mode_t mode = 0755, std::int64_t volume_bytes = 0);
  // Makes (or replaces) a plain file, its folders made on the way.
  bool add_file(const std::string& path, const std::string& contents, mode_t mode = 0644, uid_t owner = 0,
                gid_t group = 0);
  // Makes an object that is neither a file nor a folder (a FIFO, say).
  bool add_other(const std::string& path);
  // Removes an object, a folder with what it holds.
  bool remove(const std::string& path);
  // The volume of the folder `path` is mounted read-only, or no longer.
  bool set_write_protected(const std::string& path, bool write_protected);

  std::optional<std::string> contents(const std::string& path) const;
  std::optional<Attributes> attributes(const std::string& path) const;
  // Every name in the folder, temporaries included, sorted.
  std::vector<std::string> names_in(const std::string& path) const;

  void set_user(User user) { user_ = std::move(user); }
  void set_umask(mode_t mask) { umask_ = mask; }
  // Ends `writer` as a killed process ends it: its temporary stays, marked,
  // and held by nobody.
  static void abandon(std::unique_ptr<FileWriter> writer);

  // The current directory's path from the root ("/" at the root).
  void current_dir_name(char* name) const override;
  bool set_current(const char* name) override;
  // The root.
  void return_to_start() override;
  void sweep_temporaries() const override;
  std::unique_ptr<HeldObject> hold(const char* name) const override;
  std::unique_ptr<HeldObject> hold_folder_of(const char* target, std::string& name) const override;
  // In the order of the names' bytes.
  std::unique_ptr<EntryScan> scan_current() const override;
  std::unique_ptr<FileReader> open_to_read(const char* name, const ExamineData& examined) const override;
  std::unique_ptr<FileWriter> replace(const HeldObject& folder, const std::string& name) const override;

  struct Volume;
  struct Node;

 private:
  class Held;
  class Scan;
  class Reader;
  class Writer;

  using NodePtr = std::shared_ptr<Node>;
  // The object `path` (host form) leads to from the current directory, or
  // from the root, its path from the root in `normal`; null when it does not
  // exist or the way may not be passed (`as_user`: by the user's rights).
  NodePtr find(const std::string& path, std::string* normal = nullptr, bool as_user = true) const;
  NodePtr make_node(ObjectType type, const NodePtr& parent, mode_t mode) const;
  NodePtr folder_for(const std::string& path, std::string& last);
  // Whether the user may `want` (4 read, 2 write, 1 search) the object.
  bool allowed(const Node& node, unsigned want) const;
  bool in_group(gid_t group) const;
  std::int64_t used(const Volume& volume) const;
  void sweep(Node& folder) const;

  NodePtr root_;
  std::string current_ = "/";
  User user_{};
  mode_t umask_ = 022;
  mutable std::uint64_t next_inode_ = 1;
  mutable std::uint64_t next_temporary_ = 1;
};

}  // namespace quorvantix::host
