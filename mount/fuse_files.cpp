#include "mount/fuse_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mount/closing_process.h"

namespace quorvantix::mount {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

MountedFiles& mounted() { return *static_cast<MountedFiles*>(fuse_get_context()->private_data); }

// Held by each operation that may need the line.
Turns::Whole in_turn() { return Turns::Whole(mounted().turns); }

void fill_stat(const Attributes& attributes, struct stat* st) {
  const MountedFiles& m = mounted();
  std::memset(st, 0, sizeof *st);
  const KeptAttributes& kept = attributes.kept;
  st->st_mode = attributes.is_dir ? S_IFDIR | 0755 : S_IFREG | kept.mode.value_or(0644);
  st->st_nlink = attributes.is_dir ? 2 : 1;
  st->st_size = attributes.size;
  st->st_blksize = 1024;
  st->st_blocks = (attributes.size + 511) / 512;
  st->st_uid = kept.owner.value_or(m.owner);
  st->st_gid = kept.group.value_or(m.group);
  st->st_atim = st->st_mtim = st->st_ctim = kept.modified.value_or(m.since);
}

void* init(fuse_conn_info* connection, fuse_config* config) {
  // An open with O_TRUNC starts the file empty, without fetching it first.
  if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  config->use_ino = 0;
  // Sizes are asked for each time: a copy fetched since the listing may differ
  // from it, and reads must end where the copy ends.
  config->attr_timeout = 0;
  return fuse_get_context()->private_data;
}

// What is kept answers at once, without waiting for the line's turn.
int cached_attributes(const char* path, Attributes& attributes) {
  const auto state = mounted().turns.state();
  return mounted().files.cached_attributes(path, attributes);
}

int listed(const char* path, FolderEntries& entries) {
  {
    const auto state = mounted().turns.state();
    if (const int result = mounted().files.cached_list(path, entries); result != -EAGAIN) return result;
  }
  entries.clear();
  const auto turn = in_turn();
  return mounted().files.list(path, entries);
}

int getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  Attributes attributes;
  int result = fi != nullptr ? -EAGAIN : cached_attributes(path, attributes);
  if (result == -EAGAIN) {
    const auto turn = in_turn();
    result = fi != nullptr ? mounted().files.attributes(fi->fh, attributes)
                           : mounted().files.attributes(path, attributes);
  }
  if (result == 0) fill_stat(attributes, st);
  return result;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  FolderEntries entries;
  if (const int result = listed(path, entries); result != 0) return result;
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  for (const auto& [name, attributes] : entries) {
    struct stat st {};
    fill_stat(attributes, &st);
    if (fill(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{}) != 0) break;
  }
  return 0;
}

int open(const char* path, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.open(path, fi->flags, fi->fh);
}

int create(const char* path, mode_t mode, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.create(path, fi->fh, mode);
}

int read(const char*, char* into, size_t size, off_t offset, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.read(fi->fh, into, size, offset);
}

int write(const char*, const char* from, size_t size, off_t offset, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.write(fi->fh, from, size, offset);
}

int truncate(const char* path, off_t size, fuse_file_info* fi) {
  const auto turn = in_turn();
  return fi != nullptr ? mounted().files.truncate(fi->fh, size) : mounted().files.truncate(path, size);
}

int flush(const char*, fuse_file_info* fi) {
  const Closing how = killed_by_a_signal(fuse_get_context()->pid) ? Closing::by_a_killed_writer : Closing::by_its_program;
  const auto turn = in_turn();
  return mounted().files.flush(fi->fh, how);
}

int fsync(const char*, int, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.fsync(fi->fh);
}

int release(const char*, fuse_file_info* fi) {
  const auto turn = in_turn();
  return mounted().files.release(fi->fh);
}

int rename(const char* from, const char* to, unsigned int flags) {
  if ((flags & ~RENAME_NOREPLACE) != 0) return -EINVAL;
  const auto turn = in_turn();
  return mounted().files.rename(from, to, (flags & RENAME_NOREPLACE) != 0);
}

int unlink(const char* path) {
  const auto turn = in_turn();
  return mounted().files.unlink(path);
}

int set_mode(const char* path, mode_t mode, fuse_file_info*) {
  const auto turn = in_turn();
  return mounted().files.set_mode(path, mode);
}

int set_owner(const char* path, uid_t owner, gid_t group, fuse_file_info*) {
  const auto turn = in_turn();
  return mounted().files.set_owner(path, owner, group);
}

// UTIME_NOW and UTIME_OMIT as utimensat(2) has them; the access time is not kept.
int set_times(const char* path, const std::timespec* times, fuse_file_info*) {
  std::timespec modified{};
  if (times != nullptr && times[1].tv_nsec == UTIME_OMIT) return 0;
  if (times == nullptr || times[1].tv_nsec == UTIME_NOW) {
    clock_gettime(CLOCK_REALTIME, &modified);
  } else {
    modified = times[1];
  }
  const auto turn = in_turn();
  return mounted().files.set_times(path, modified);
}

// What the line has no command for.
int refuse_path(const char*) { return -EPERM; }
int refuse_two_paths(const char*, const char*) { return -EPERM; }
int refuse_mode(const char*, mode_t) { return -EPERM; }
int refuse_node(const char*, mode_t, dev_t) { return -EPERM; }

fuse_operations make_operations() {
  fuse_operations operations{};
  operations.init = init;
  operations.getattr = getattr;
  operations.readdir = readdir;
  operations.open = open;
  operations.create = create;
  operations.read = read;
  operations.write = write;
  operations.truncate = truncate;
  operations.flush = flush;
  operations.fsync = fsync;
  operations.release = release;
  operations.utimens = set_times;
  operations.unlink = unlink;
  operations.rmdir = refuse_path;
  operations.mkdir = refuse_mode;
  operations.mknod = refuse_node;
  operations.symlink = refuse_two_paths;
  operations.link = refuse_two_paths;
  operations.rename = rename;
  operations.chmod = set_mode;
  operations.chown = set_owner;
  return operations;
}

}  // namespace

void store_due_files(MountedFiles& files, bool all) {
  const Turns::Whole turn(files.turns);
  files.files.store_due(all);
}

const fuse_operations& mount_operations() {
  static const fuse_operations operations = make_operations();
  return operations;
}

}  // namespace quorvantix::mount
