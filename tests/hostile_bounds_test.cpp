// Our customer and our mount against a service that never ends: a tree
// without bottom or with a loop, a listing without end, a file bigger than
// the disk, blocks that flood the line. Each ends with an error within
// bounds of depth, entries, room and time, and a stop ends each at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "commands.h"
#include "support/fixtures.h"
#include "support/hostile_service.h"

using namespace customer_side;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A hostile service on side a; the customer's session on side b, working in `home`.
struct Bounded : testing::Test {
  // Runs `body` once the session has reached the service, `beside` as more background ends.
  void run(const std::function<void()>& body, std::vector<std::function<void()>> beside = {}) {
    beside.insert(beside.begin(), [this] { service.serve(); });
    pair.clock.run([&] { ASSERT_EQ(reach_service(session), LINK_OK); body(); }, beside);
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
      ASSERT_EQ(reach_service(session), LINK_OK);
      ok = command({"get", "-r", "docs"});
    }, {[&] { fresh.serve(); }});
    EXPECT_FALSE(ok);
    EXPECT_TRUE(has(err.str(), c.said)) << err.str().substr(0, 2000);
    EXPECT_EQ(depth_of(into / "docs"), c.depth);
    for (const auto& path : c.fetched) EXPECT_TRUE(exists(into / path)) << path;
    for (const auto& path : c.left) EXPECT_FALSE(exists(into / path)) << path;
    EXPECT_EQ(fresh.folder, "/srv");
    session.remote_dir.clear();
  }
}

// A listing past the 10,000 entries the customer takes ends there with an
// error; the service, left unanswered, gives it up, and the session goes on.
TEST_F(Bounded, AListingEndsAfterTenThousandEntriesAndTheSessionGoesOn) {
  service.on_list = [](HostileService& s) { s.send_many_files(10'001); };
  run([&] {
    EXPECT_FALSE(command({"ls"}));
    EXPECT_TRUE(has(err.str(), "ls: the listing goes on past 10000 entries")) << err.str();
    EXPECT_TRUE(command({"pwd"}));
  });
  EXPECT_TRUE(out.str().ends_with("f9999\n/srv\n"));
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
  EXPECT_TRUE(session.lost);
  EXPECT_TRUE(has(err.str(), "get: the service sends without pause and answers nothing")) << err.str();
  EXPECT_EQ(names_in(home.path()), Strings{});
}
