// Our customer and our mount against a service that never ends: a tree
// without bottom or with a loop, a listing without end, a file bigger than
// the disk, blocks that flood the line. Each ends with an error within
// bounds of depth, entries, room and time, and a stop ends each at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "customer/commands.h"
#include "mount/remote_files.h"
#include "tests/support/fixtures.h"
#include "tests/support/mount_end_to_end.h"
#include "tests/support/hostile_service.h"
#include "tests/support/one_session.h"
#include "tests/support/running.h"

using namespace quorvantix::session;
using namespace quorvantix::customer;

namespace {

// A hostile service on side a; the customer's session on side b, working in `home`.
struct Bounded : testing::Test {
  // Runs `body` once the session has reached the service, `beside` as more background ends.
  void run(const std::function<void()>& body, std::vector<std::function<void()>> beside = {}) {
    beside.insert(beside.begin(), [this] { service.serve(); });
    pair.clock.run([&] { ASSERT_TRUE(ok(session.reach_service())); body(); }, beside);
  }
  bool command(const Command& words) { return run_command(session, words, console).ok; }
  TempDir home;
  CurrentDirectory in_home{home.path()};
  SimPair pair;
  HostileService service{pair.service};
  Session session{pair.customer};
  std::ostringstream out, err;
  Console console{out, err};
};

// How many folders deep the tree below `top` goes (0: none below it).
std::size_t depth_of(const std::string& top) {
  std::size_t deepest = 0;
  for (auto entry = std::filesystem::recursive_directory_iterator(top); entry != decltype(entry)(); ++entry) {
    if (entry->is_directory()) deepest = std::max(deepest, static_cast<std::size_t>(entry.depth()) + 1);
  }
  return deepest;
}

// Every folder of the service lists a folder `x` and a file `f`.
void bottomless(HostileService& service) {
  service.on_list = [](HostileService& s) {
    s.send_frame(folder_line("x")), s.send_frame(file_line("f", 1)), s.send_end_marker();
  };
  service.files["f"] = {"", text("f")};
}

// "/x" `count` times.
std::string xs(int count) {
  std::string path;
  for (int i = 0; i < count; ++i) path += "/x";
  return path;
}

}  // namespace

// A folder whose cd leads back to one the walk is in, a tree without bottom,
// and a file bigger than the disk each end the walk, or the way into that
// folder, with an error; the service is back where it was.
TEST_F(Bounded, GetOfATreeStopsAtALoopAtTheDepthLimitAndWhenTheDiskHasNoRoom) {
  struct Case {
    const char* tree;
    std::function<void(HostileService&)> set_up;
    std::string said;
    std::size_t depth;
    Strings fetched, left;
  } cases[] = {
      {"loop",
       [](HostileService& s) {
         s.listings["/srv/docs"] = {folder_line("sub"), file_line("a", 1)};
         s.listings["/srv/docs/sub"] = {folder_line("up"), file_line("b", 1)};
         s.links["/srv/docs/sub/up"] = "/srv/docs";
         s.files["a"] = {"", text("a")}, s.files["b"] = {"", text("b")};
       },
       "get: left out docs/sub/up/: the service's cd leads back to /srv/docs, a folder the walk is in already", 1,
       {"docs/a", "docs/sub/b"}, {"docs/sub/up"}},
      {"bottomless", bottomless, "get: left out docs" + xs(33) + "/: get -r goes at most 32 folders deep", 32,
       {"docs/f", "docs" + xs(32) + "/f"}, {}},
      {"no room",
       [](HostileService& s) {
         s.listings["/srv/docs"] = {file_line("a", 1), file_line("big", 1), folder_line("c"), file_line("d", 1)};
         s.files["a"] = {"", text("a")}, s.files["d"] = {"", text("d")};
         s.files["big"] = {"big 2147483647 0", {}};
       },
       "get: stopped; 1 file and 1 folder not tried", 0, {"docs/a"}, {"docs/big", "docs/c", "docs/d"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tree);
    TempDir into;
    const CurrentDirectory in_into(into.path());
    HostileService fresh{pair.service};
    c.set_up(fresh);
    err.str("");
    bool ok = true;
    pair.clock.run([&] {
      ASSERT_TRUE(session.reach_service().ok());
      ok = command({"get", "-r", "docs"});
    }, {[&] { fresh.serve(); }});
    EXPECT_FALSE(ok);
    EXPECT_TRUE(has(err.str(), c.said)) << err.str().substr(0, 2000);
    EXPECT_EQ(depth_of(into / "docs"), c.depth);
    for (const auto& path : c.fetched) EXPECT_TRUE(exists(into / path)) << path;
    for (const auto& path : c.left) EXPECT_FALSE(exists(into / path)) << path;
    EXPECT_EQ(fresh.folder, "/srv");
  }
}

// Blocks that come back to back after a stop, never pausing for an answer:
// the customer gives the session up within seconds instead of waiting for a
// quiet line that never comes, and keeps nothing of the file.
TEST_F(Bounded, AStopWhileBlocksFloodInEndsWithinSecondsAndGivesTheSessionUp) {
  pair.cable.pace(9600);
  service.on_get = [](HostileService& s, const std::string&) { s.flood("big 100000 0", 1000); };
  nanoseconds stopped{}, ended{};
  run([&] {
    EXPECT_FALSE(command({"get", "big"}));
    ended = pair.clock.now();
  }, {[&] { pair.clock.sleep_for(5s), stopped = pair.clock.now(), pair.customer.cancel(); }});
  EXPECT_LT(ended - stopped, 6s);
  EXPECT_TRUE(session.lost());
  EXPECT_TRUE(has(err.str(), "get: the service sends without pause and answers nothing")) << err.str();
  EXPECT_EQ(names_in(home.path()), Strings{});
}

// The mount: a folder deeper than 32 or one whose cd leads back up is ELOOP,
// a listing past 10,000 entries EFBIG, a file bigger than the disk of the
// scratch copies ENOSPC, an interrupted listing EINTR at once; none of them
// gives the session up. A copy past the cache timeout leaves the scratch disk.
TEST_F(Bounded, TheMountAnswersLoopsDeepFoldersLongListingsAndInterruptsWithErrors) {
  bool interrupted = false;
  mount::ScratchDir scratch;
  OneSession source{session};
  mount::RemoteFiles files(source, scratch, pair.clock, 20s, {}, [&] { return interrupted; });
  service.on_list = [&](HostileService& s) {
    if (s.folder == "/srv/many") return s.send_many_files(10'001);
    if (s.folder == "/srv/slow") return interrupted = true, s.send_many_files(10'001);
    const Strings names = s.folder == "/srv" ? Strings{"deep", "loopy", "many", "slow"}
                          : s.folder == "/srv/loopy" ? Strings{"back"} : Strings{"x"};
    for (const auto& name : names) s.send_frame(folder_line(name));
    for (const auto& name : s.folder == "/srv" ? Strings{"a", "b", "big"} : Strings{}) s.send_frame(file_line(name, 1));
    s.send_end_marker();
  };
  service.links["/srv/loopy/back"] = "/srv";
  service.files["a"] = {"", text("a")}, service.files["b"] = {"", text("b")};
  service.files["big"] = {"big 2147483647 0", {}};
  run([&] {
    mount::FolderEntries entries;
    mount::Attributes found;
    EXPECT_EQ(files.list("/deep" + xs(31), entries), 0);
    EXPECT_EQ(files.list("/deep" + xs(32), entries), -ELOOP);
    EXPECT_EQ(files.attributes("/deep" + xs(32) + "/f", found), -ELOOP);
    EXPECT_EQ(files.list("/loopy", entries), 0);
    EXPECT_EQ(files.list("/loopy/back", entries), -ELOOP);
    EXPECT_EQ(files.list("/many", entries), -EFBIG);
    std::uint64_t handle = 0;
    EXPECT_EQ(files.open("/big", O_RDONLY, handle), -ENOSPC);
    EXPECT_EQ(names_in(scratch.path()), Strings{});
    EXPECT_EQ(files.open("/a", O_RDONLY, handle), 0);
    EXPECT_EQ(files.release(handle), 0);
    pair.clock.sleep_for(21s);
    EXPECT_EQ(files.open("/b", O_RDONLY, handle), 0);
    EXPECT_EQ(files.release(handle), 0);
    EXPECT_EQ(names_in(scratch.path()).size(), 1u);  // b's copy alone
    pair.cable.pace(9600);
    const nanoseconds asked = pair.clock.now();
    EXPECT_EQ(files.list("/slow", entries), -EINTR);
    EXPECT_LT(pair.clock.now() - asked, 2s);
    interrupted = false;
    entries.clear();
    EXPECT_EQ(files.list("/deep", entries), 0);
    EXPECT_EQ(entries.size(), 1u);
  });
  EXPECT_EQ(source.given_up, 0);
}

namespace {

// A tree without bottom, whose folder many lists past the limit and whose
// folder slow trickles its listing in.
void endless_tree(HostileService& service) {
  bottomless(service);
  service.on_list = [deep = service.on_list](HostileService& s) {
    if (s.folder == "/srv/many") return s.send_many_files(20'000);
    for (long i = 0; s.folder == "/srv/slow" && i < 1000; ++i) {
      s.link().delay_ticks(2);
      if (!s.send_frame(file_line("f" + std::to_string(i), i))) return;
    }
    if (s.folder == "/srv") s.send_frame(folder_line("many")), s.send_frame(folder_line("slow"));
    deep(s);
  };
}

}  // namespace

// The same bounds for the real programs on a tcp line: the customer ends a
// listing past the limit, a bottomless get -r and a flood after Ctrl-C with
// their errors; the mount answers EFBIG and ELOOP, and an ls killed while a
// listing trickles in leaves a mount that can go.
TEST(BoundsOnTcp, TheRealCustomerAndMountEndLongListingsBottomlessTreesAndFloods) {
  const TempDir home, mnt;
  HostileOnTcp endless, flooding, mounted;
  endless_tree(endless.service), endless_tree(mounted.service);
  endless.start(), mounted.start();
  Running customer({QUORVANTIX_CUSTOMER_BINARY, "-q", endless.line, "cd", "many", ";", "-ls", ";", "cd", "/srv", ";",
                    "get", "-r", "deep"},
                   home.path());
  EXPECT_EQ(customer.end(), 1);
  const std::string said = customer.seen.substr(customer.seen.find("f9999\n") + 6);
  EXPECT_TRUE(has(said, "ls: the listing goes on past 10000 entries")) << said;
  EXPECT_TRUE(has(said, "get -r goes at most 32 folders deep")) << said;
  EXPECT_EQ(depth_of(home / "deep"), 32u);

  flooding.service.on_get = [](HostileService& s, const std::string&) { s.flood("big 100000 0", 1'000'000); };
  flooding.start();
  Running stopped({QUORVANTIX_CUSTOMER_BINARY, flooding.line, "get", "big"}, home.path());
  ASSERT_TRUE(stopped.says("Service: ")) << stopped.seen;
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(stopped.end(SIGINT), 128 + SIGINT) << stopped.seen;
  EXPECT_TRUE(has(stopped.seen, "get: the service sends without pause and answers nothing")) << stopped.seen;
  EXPECT_FALSE(std::filesystem::exists(home / "big"));

  if (const std::string why = why_no_mount(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(Running({kMount, mounted.line, mnt.path()}, home.path()).end(), 0);
  Running ls({"ls", mnt / "many"}, home.path());
  EXPECT_EQ(ls.end(), 2);
  EXPECT_TRUE(has(ls.seen, std::strerror(EFBIG))) << ls.seen;
  Running find({"timeout", "30", "find", mnt / "x"}, home.path());
  EXPECT_EQ(find.end(), 1);
  EXPECT_TRUE(has(find.seen, std::strerror(ELOOP))) << find.seen.substr(0, 2000);
  Running killed({"ls", mnt / "slow"}, home.path());
  std::this_thread::sleep_for(1s);
  kill(killed.pid(), SIGKILL);
  int unmounted = -1;
  for (int tries = 0; tries < 50 && unmounted != 0; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(100ms);
    unmounted = Running({"fusermount3", "-u", mnt.path()}, "/").end();
  }
  EXPECT_EQ(unmounted, 0);
  if (unmounted != 0) Running({"fusermount3", "-uz", mnt.path()}, "/").end();
}
