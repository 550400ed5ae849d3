// Our customer and our mount against a service that never ends: a tree
// without bottom or with a loop, a listing without end, a file bigger than
// the disk, blocks that flood the line. Each ends with an error within
// bounds of depth, entries, room and time, and a stop ends each at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace

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
