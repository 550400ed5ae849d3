// Our customer against a service that keeps to the framing and lies in
// everything else: nothing it sends may reach a path outside the customer's
// target, reach the terminal raw, or hold the customer for ever.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "commands.h"
#include "support/fixtures.h"
#include "support/hostile_service.h"
#include "support/running.h"

using namespace customer_side;
using namespace testsupport;

namespace {

std::string made(const std::string& folder) {
  std::filesystem::create_directory(folder);
  return folder;
}

// A hostile service on side a; the customer's session on side b, working in
// `home/work`, so that a name that climbs out lands in `home`.
struct AgainstHostileService : testing::Test {
  // Runs `words` once the session has reached the service: whether it succeeded.
  bool command(const Command& words) {
    bool ok = false;
    pair.clock.run([&] {
      ASSERT_EQ(reach_service(session), LINK_OK);
      ok = run_command(session, words, console).ok;
    }, {[this] { service.serve(); }});
    return ok;
  }
  TempDir home;
  CurrentDirectory in_work{made(home / "work")};
  SimPair pair;
  HostileService service{pair.service};
  Session session{pair.customer};
  std::ostringstream out, err;
  Console console{out, err};
};

}  // namespace

TEST_F(AgainstHostileService, GetOfATreeWritesNothingOutsideItsTarget) {
  service.listings["/srv/docs"] = {file_line("../.bash_profile", 5), file_line("ok.txt", 2)};
  service.files["../.bash_profile"] = {"", text("evil\n")};
  service.files["ok.txt"] = {"", text("ok")};
  command({"get", "-r", "docs"});
  EXPECT_FALSE(std::filesystem::exists(home / "work/.bash_profile"));
  EXPECT_FALSE(std::filesystem::exists(home / ".bash_profile"));
  EXPECT_EQ(read_file(home / "work/docs/ok.txt"), text("ok"));
}

// The real program, run from the home folder, against a service on the network.
TEST(HostileServiceOnTcp, GetOfATreeByTheRealCustomerWritesNothingOutsideItsTarget) {
  const TempDir home;
  HostileOnTcp hostile;
  hostile.service.listings["/srv/docs"] = {file_line("../.bash_profile", 5)};
  hostile.service.files["../.bash_profile"] = {"", text("evil\n")};
  hostile.start();
  Running customer({QUORVANTIX_CUSTOMER_BINARY, "-q", hostile.line, "get", "-r", "docs"}, home.path());
  EXPECT_NE(customer.end(), 0) << customer.seen;
  EXPECT_FALSE(std::filesystem::exists(home / ".bash_profile")) << customer.seen;
}
