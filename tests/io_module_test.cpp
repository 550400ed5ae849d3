// Transfers and listings between the two ends on the simulated cable.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "fs_module.h"
#include "io_module.h"
#include "service.h"
#include "session.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

platform::Tree confined_to(const std::string& root) {
  std::string error;
  std::optional<platform::Tree> tree = platform::Tree::confined(root.c_str(), error);
  if (!tree) throw std::runtime_error(error);
  return std::move(*tree);
}

}  // namespace

TEST(ServedTree, AConfinedServiceReadsAndWritesNothingOutsideItsRootAndListsNoTemporaries) {
  TempDir outer, local;
  const std::string root = outer / "root";
  fs::create_directories(root + "/sub");
  write_file(outer / "secret", pattern_bytes(10));
  fs::create_symlink(outer / "secret", root + "/abs");
  write_file(local / "up.bin", pattern_bytes(2000, 5));
  // Left by a killed service, held by one that still stores, and a file of a user.
  for (const char* name : {".up.bin.part-1-2-3", ".held.part-4-5-6", ".c.part-7-8"}) write_file(root + "/" + name, {});
  const platform::UniqueFd held(open((root + "/.held.part-4-5-6").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  SimPair pair;
  ServiceState service{pair.service, "sim", 0, {}, confined_to(root)};
  customer_side::Session session(pair.customer);
  std::vector<customer_side::RemoteEntry> entries;
  pair.clock.run(
      [&] {
        ASSERT_EQ(customer_side::reach_service(session), LINK_OK);
        EXPECT_EQ(customer_side::remote_cd(session, "sub"), LINK_OK);
        EXPECT_EQ(session.remote_dir, "/sub");
        EXPECT_NE(customer_side::remote_get(session, outer / "secret", local / "got", nullptr), FILE_OK);
        EXPECT_NE(customer_side::remote_get(session, "../abs", local / "got", nullptr), FILE_OK);
        EXPECT_EQ(customer_side::remote_put(session, local / "up.bin", "../../abs", nullptr), FILE_OK);
        EXPECT_EQ(customer_side::remote_cd(session, ".."), LINK_OK);
        EXPECT_EQ(customer_side::remote_list(session, entries), DIR_OK);
        customer_side::shutdown_service(session);
      },
      {[&] {
        wait_for_customer(service);
        exec_commands(service);
      }});
  EXPECT_EQ(names_in(outer.path()), (std::vector<std::string>{"root", "secret"}));
  EXPECT_EQ(read_file(outer / "secret"), pattern_bytes(10));
  EXPECT_EQ(names_in(root), (std::vector<std::string>{".c.part-7-8", ".held.part-4-5-6", "abs", "sub"}));
  EXPECT_EQ(read_file(root + "/abs"), pattern_bytes(2000, 5));
  EXPECT_EQ(entries.size(), 3U);  // all but the held temporary
  EXPECT_FALSE(exists(local / "got"));
}

// The header is answered once the room on the volume the file lands on is
// known; an acknowledged header with no blocks after it ends in failures,
// and leaves the folder as it was.
TEST(ServedTree, RoomIsJudgedOnTheVolumeTheFileLandsOn) {
  TempDir root;
  const std::string small = root / "small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::unique_ptr<const char, int (*)(const char*)> unmount(small.c_str(), [](const char* at) {
    return umount2(at, MNT_DETACH);
  });
  write_file(small + "/little", pattern_bytes(10));
  const struct { const char* cwd; const char* name; int blocks; bool read_only; long status; } cases[] = {
      {"/", "small/big", 2048, false, FILE_NO_ROOM},
      {"/small", "../big", 2048, false, FILE_TOO_MANY_FAILURES},
      {"/small", "little", 10, false, FILE_TOO_MANY_FAILURES},
      {"/small", "../little", 10, true, FILE_WRITE_PROTECTED},  // a read-only tree
      {"/", "small/little", 10, false, FILE_WRITE_PROTECTED},   // the volume mounted read-only
  };
  for (const auto& c : cases) {
    if (c.status == FILE_WRITE_PROTECTED && !c.read_only) {
      ASSERT_EQ(mount(nullptr, small.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m"), 0);
    }
    SimPair pair;
    platform::Tree tree = confined_to(root.path());
    ASSERT_EQ(set_akt_dir(tree, c.cwd), 1);
    tree.set_read_only(c.read_only);
    long status = -1;
    char header[kHeaderBytes + 1] = {};
    std::snprintf(header, sizeof header, "%s %d 0", c.name, c.blocks);
    pair.clock.run([&] { status = receive_file(pair.service, tree, nullptr); },
                   {[&] { send_data(pair.customer, header, kHeaderBytes); }});
    EXPECT_EQ(status, c.status) << c.cwd << " " << c.name;
    // The header's answer: ACK once the file can come, NAK at once when it cannot.
    EXPECT_EQ(pair.cable.sent_by(SimCable::a).at(0), c.status == FILE_TOO_MANY_FAILURES ? 0x06 : 0x15);
  }
  EXPECT_EQ(names_in(root.path()), std::vector<std::string>{"small"});
  EXPECT_EQ(names_in(small), std::vector<std::string>{"little"});
  EXPECT_EQ(read_file(small + "/little"), pattern_bytes(10));
}
