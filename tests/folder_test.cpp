// The current directory and its local listing, the tree names resolve in,
// the service confined to a tree, and how files are stored, on real
// directories.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "host/memory_file_system.h"
#include "tests/support/fixtures.h"
#include "tests/support/running.h"
#include "wire/folder.h"

namespace fs = std::filesystem;

namespace {

std::string current_name(const host::Tree& tree) {
  char name[kDirNameBytes + 1] = "not written";
  return get_akt_dir(tree, name), name;
}

// Marks a file as a temporary of ours, as a killed store leaves it.
void mark_as_ours(const std::string& path) {
  ASSERT_EQ(setxattr(path.c_str(), host::kTemporaryAttribute, "1", 1, 0), 0) << path;
}

// Stores `bytes` as `target`, as a receive does; true once it is in place.
bool store(const host::FileSystem& files, const std::string& target, const Bytes& bytes) {
  std::string name;
  const std::unique_ptr<host::HeldObject> folder = files.hold_folder_of(target.c_str(), name);
  const std::unique_ptr<host::FileWriter> file = folder ? files.replace(*folder, name) : nullptr;
  return file && file->write(bytes.data(), bytes.size()) && file->commit();
}

// Runs `body` as the superuser of a user and mount namespace of its own, in
// a child: it may mount there whoever runs the test. Its exit status; 2 when
// the host allows no such namespace.
int in_own_namespace(const std::function<int()>& body) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  return in_child([&] {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 2;
    const auto put = [](const char* file, const std::string& text) {
      const host::UniqueFd fd(open(file, O_WRONLY | O_CLOEXEC));
      return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    };
    if (!put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") || !put("/proc/self/setgroups", "deny") ||
        !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 2;
    }
    return body();
  });
}

}  // namespace

TEST(FsModule, SetAktDirEntersOnlyADirectoryAndGetAktDirNamesItInFull) {
  TempDir tmp;
  const std::string sub = tmp / std::string(100, 's'), longest = sub + "/" + std::string(249 - sub.size() - 1, 'd');
  for (const auto& dir : {sub + "/inner", longest, longest + "d"}) fs::create_directories(dir);
  write_file(sub + "/plain", {});
  // A full name of 249 characters is named; one of 250 is too long.
  const struct { std::string dir; long result; std::string now_in; } cases[] = {
      {"", 1, sub},          {"missing", 0, sub},     {"plain", 0, sub},
      {"inner", 1, sub + "/inner"}, {longest, 1, longest}, {longest + "d", 1, ""},
  };
  for (const auto& c : cases) {
    CurrentDirectory start(sub);
    host::Tree tree = host::Tree::whole();
    EXPECT_EQ(set_akt_dir(tree, c.dir.c_str()).ok(), c.result == 1) << c.dir;
    EXPECT_EQ(current_name(tree), c.now_in) << c.dir;
  }
}

TEST(ConfinedTree, NeitherDotDotNorAbsoluteNamesNorLinksLeadOutAndLinksAreReplacedNotWrittenThrough) {
  TempDir outer;
  const std::string root = outer / "root", secret = outer / "secret";
  fs::create_directories(root + "/sub/deep");
  write_file(secret, pattern_bytes(10));
  write_file(root + "/sub/inside", pattern_bytes(10));
  fs::create_symlink(secret, root + "/abs");
  fs::create_symlink("../secret", root + "/rel");
  const std::string live(60, 'l');  // longer than a listing line's field: listed whole all the same
  fs::create_symlink("sub/inside", root + "/" + live);
  fs::create_directory_symlink(outer.path(), root + "/out");
  host::Tree tree = confined_to(root);
  const fs::path process_directory = fs::current_path();
  // A link is listed as what it leads to inside the root.
  int whole = 0;
  for (const Entry& entry : read_akt_dir(tree)) {
    EXPECT_EQ(entry.is_folder(), entry.name == "sub") << entry.name;
    whole += entry.name == live && entry.size == 10;
  }
  EXPECT_EQ(whole, 1) << "the whole name, and the size of what it leads to";
  // One after another: the result, and where the tree is then, named inside it.
  const struct { std::string dir; long result; std::string now_in; } cds[] = {
      {"..", 1, "/"},           {"sub/deep", 1, "/sub/deep"}, {"../../../..", 1, "/"}, {"/sub", 1, "/sub"},
      {outer.path(), 0, "/sub"}, {"/out", 0, "/sub"},          {"/etc", 0, "/sub"},    {"", 1, "/sub"},
  };
  for (const auto& c : cds) {
    EXPECT_EQ(set_akt_dir(tree, c.dir.c_str()).ok(), c.result == 1) << c.dir;
    EXPECT_EQ(current_name(tree), c.now_in) << c.dir;
  }
  EXPECT_EQ(fs::current_path(), process_directory);
  for (const std::string name : {"../../secret", secret.c_str(), "/abs", "../rel", "/out/secret", "/../secret"}) {
    EXPECT_FALSE(host::FsLock::obtain(tree, name.c_str())) << name;
  }
  EXPECT_TRUE(host::FsLock::obtain(tree, "/sub/../sub/inside"));
  // Stored through ".." or as a link, live or leading out, a file stays inside.
  for (const std::string& name : Strings{"../../x", "/abs", "/" + live}) EXPECT_TRUE(store(tree, name, pattern_bytes(3))) << name;
  EXPECT_EQ(names_in(outer.path()), (Strings{"root", "secret"}));
  EXPECT_EQ(read_file(secret), pattern_bytes(10));
  EXPECT_EQ(read_file(root + "/sub/inside"), pattern_bytes(10));
  for (const std::string& name : Strings{"/x", "/abs", "/" + live}) EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root + name)));
}

// Through the service's commands too: its temporaries, those a killed
// service left and those of another that still stores, are swept or left
// alone, and never listed.
TEST(ConfinedTree, TheServiceReadsAndWritesNothingOutsideItsRootAndListsNoTemporaries) {
  Served ends;
  const std::string root = ends.remote / "root", outer = ends.remote.path();
  fs::create_directories(root + "/sub");
  write_file(outer + "/secret", pattern_bytes(10));
  fs::create_symlink(outer + "/secret", root + "/abs");
  write_file(ends.local / "up.bin", pattern_bytes(2000, 5));
  // Left by a killed service, held by one that still stores, and files of a user.
  for (const char* name : {".up.bin.part-1-2-3", ".held.part-4-5-6", ".c.part-7-8"}) write_file(root + "/" + name, {});
  for (const char* name : {".up.bin.part-1-2-3", ".held.part-4-5-6"}) mark_as_ours(root + "/" + name);
  const host::UniqueFd held(open((root + "/.held.part-4-5-6").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  ends.service.tree = std::make_unique<host::Tree>(confined_to(root));
  std::vector<session::RemoteEntry> entries;
  session::Session& session = ends.session;
  ends.run([&] {
    EXPECT_TRUE(ok(session.remote_cd("sub")));
    EXPECT_EQ(session.remote_dir(), "/sub");
    EXPECT_FALSE(ok(session.remote_get(outer + "/secret", ends.local / "got", nullptr)));
    EXPECT_FALSE(ok(session.remote_get("../abs", ends.local / "got", nullptr)));
    EXPECT_TRUE(ok(session.remote_put(ends.local / "up.bin", "../../abs", nullptr)));
    EXPECT_TRUE(ok(session.remote_cd("..")));
    EXPECT_TRUE(ok(session.remote_list(entries)));
  });
  EXPECT_EQ(names_in(outer), (Strings{"root", "secret"}));
  EXPECT_EQ(read_file(outer + "/secret"), pattern_bytes(10));
  EXPECT_EQ(names_in(root), (Strings{".c.part-7-8", ".held.part-4-5-6", "abs", "sub"}));
  EXPECT_EQ(read_file(root + "/abs"), pattern_bytes(2000, 5));
  EXPECT_EQ(entries.size(), 3U);  // all but the held temporary
  EXPECT_FALSE(exists(ends.local / "got"));
}

// Only our temporaries go: those that carry our mark, by attribute or by
// mode, and whose process has ended; a read-only tree sweeps nothing. A
// stored file keeps neither mark, and no file is stored under such a name.
TEST(StoredFiles, TheSweepTakesOnlyMarkedLeftoversAndAReadOnlyTreeNothing) {
  TempDir dir;
  const Strings all = {".a.part-1-1-1", ".held.part-2-2-2", ".m.part-3-3-3", ".users.part-4-4-4"};
  for (const auto& name : all) write_file(dir / name, pattern_bytes(10));
  for (const char* name : {".a.part-1-1-1", ".held.part-2-2-2"}) mark_as_ours(dir / name);
  ASSERT_EQ(chmod((dir / ".m.part-3-3-3").c_str(), host::kTemporaryMode), 0);
  const host::UniqueFd held(open((dir / ".held.part-2-2-2").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  host::Tree tree = confined_to(dir.path());
  tree.set_read_only(true);
  tree.sweep_temporaries();
  EXPECT_EQ(names_in(dir.path()), all);
  tree.set_read_only(false);
  tree.sweep_temporaries();
  EXPECT_EQ(names_in(dir.path()), (Strings{".held.part-2-2-2", ".users.part-4-4-4"}));
  EXPECT_FALSE(store(tree, ".b.part-5-5-5", pattern_bytes(10)));
  ASSERT_TRUE(store(tree, "stored", pattern_bytes(10)));
  struct stat st {};
  EXPECT_EQ(stat((dir / "stored").c_str(), &st) | (st.st_mode & 01000), 0);
  EXPECT_LT(getxattr((dir / "stored").c_str(), host::kTemporaryAttribute, nullptr, 0), 0);
}

// The superuser keeps any owner; another user only its own, and a group it
// is in. The host's, for a file of our own: its mode, setuid included, and
// for a new file what the umask leaves.
TEST(StoredFiles, AReplacementKeepsModeOwnerAndGroupAndSetuidOnlyWithBoth) {
  constexpr uid_t n = 65534;
  constexpr gid_t g = 65534, extra = 5678;
  const struct { bool as_nobody; uid_t uid; gid_t gid; mode_t mode; uid_t new_uid; gid_t new_gid; mode_t new_mode; }
      cases[] = {
          {false, 1234, 4321, 06755, 1234, 4321, 06755}, {true, n, g, 06757, n, g, 06757},
          {true, 1234, extra, 06775, n, extra, 0775},     {true, 1234, 4321, 03757, n, g, 01757},
          {true, 0, 0, 0, n, g, 0640},  // no file yet: the umask's 027 on 0666
      };
  for (const auto& c : cases) {
    host::MemoryFileSystem files;
    files.add_folder("/", 0777);
    if (c.mode != 0) files.add_file("/file", "old", c.mode, c.uid, c.gid);
    files.set_umask(027);
    if (c.as_nobody) files.set_user({n, g, {extra}});
    ASSERT_TRUE(store(files, "file", pattern_bytes(20, 3))) << std::oct << c.mode;
    const auto got = files.attributes("/file");
    ASSERT_TRUE(got);
    EXPECT_EQ(std::make_tuple(got->owner, got->group, got->mode), std::make_tuple(c.new_uid, c.new_gid, c.new_mode))
        << "old mode " << std::oct << c.mode << std::dec << " owner " << c.uid << " as nobody " << c.as_nobody;
  }
  TempDir dir;
  const std::string kept = dir / "kept", made = dir / "made";
  write_file(kept, pattern_bytes(10));
  ASSERT_EQ(chmod(kept.c_str(), 06750), 0);
  EXPECT_EQ(in_child([&] {
    umask(027);
    return store(host::Tree::whole(), kept, {1}) && store(host::Tree::whole(), made, {2}) ? 0 : 1;
  }), 0);
  EXPECT_EQ(fs::status(kept).permissions(), fs::perms(06750));
  EXPECT_EQ(fs::status(made).permissions(), fs::perms(0640));
}

// Where the host cannot name an unnamed file (here /proc is hidden), a named
// temporary stands in: it goes with a file that is dropped, and one that a
// process ending without cleaning up (as if killed) left goes with the next
// file stored in its folder; a user's file of that shape of name stays. It
// carries our mark: the attribute, or on a file system without attributes
// (ramfs) the mode, which the stored file does not keep, named or unnamed.
TEST(StoredFiles, ANamedTemporaryWhereFilesCannotBeUnnamedLeavesNothingEither) {
  TempDir dir;
  const std::string ext = dir / "ext", ram = dir / "ram";
  fs::create_directories(ext), fs::create_directories(ram);
  const auto begin = [&](const std::string& target) {
    std::string name;
    host::ReplacementFile file = host::ReplacementFile::create(
        host::FsLock::folder_of(host::Tree::whole(), target.c_str(), name), name);
    return file && file.write("a", 1) ? std::optional(std::move(file)) : std::nullopt;
  };
  const auto marked = [](const std::string& path, bool by_mode) {
    struct stat st {};
    const bool attribute = getxattr(path.c_str(), host::kTemporaryAttribute, nullptr, 0) >= 0;
    return stat(path.c_str(), &st) == 0 && attribute != by_mode && ((st.st_mode & 07777) == host::kTemporaryMode) == by_mode;
  };
  const auto mode_of = [](const std::string& path) { struct stat st {}; stat(path.c_str(), &st); return st.st_mode & 07777; };
  const int ended = in_own_namespace([&] {
    umask(022);
    if (mount("ramfs", ram.c_str(), "ramfs", 0, nullptr) != 0) return 2;
    if (!store(host::Tree::whole(), ram + "/unnamed", {1}) || mode_of(ram + "/unnamed") != 0644) return 3;
    if (mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) return 2;
    for (const std::string& folder : {ext, ram}) {
      write_file(folder + "/.users.part-1-2-3", {});
      if (!begin(folder + "/dropped")) return 6;
      if (names_in(folder).size() != (folder == ram ? 2 : 1)) return 3;
      if (fork() == 0) _exit(begin(folder + "/killed") ? 0 : 1);
      wait(nullptr);
      const Strings left = names_in(folder);
      const auto leftover = std::find_if(left.begin(), left.end(), [](auto& n) { return n.starts_with(".killed.part-"); });
      if (leftover == left.end() || !marked(folder + "/" + *leftover, folder == ram)) return 4;
      if (!store(host::Tree::whole(), folder + "/kept", {1}) || mode_of(folder + "/kept") != 0644) return 5;
    }
    return names_in(ram) == Strings{".users.part-1-2-3", "kept", "unnamed"} ? 0 : 7;
  });
  if (ended == 2) GTEST_SKIP() << "this host allows no user namespace, in which to hide /proc and mount a ramfs";
  EXPECT_EQ(ended, 0);
  EXPECT_EQ(names_in(ext), (Strings{".users.part-1-2-3", "kept"}));
}
