// The customer program: its command line, its names, and its sessions with the
// real service loop on the simulated cable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "io_module.h"
#include "misc.h"
#include "options.h"
#include "progress.h"
#include "run.h"
#include "service.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace customer_side;
using namespace testsupport;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

TEST(CustomerParsing, OptionsGoBeforeTheDeviceAndWordsAfterIt) {
  const char* usable[] = {"c", "--unit", "2", "--baud=115200", "-q", "/dev/x", "get", "-q"};
  Options o;
  std::string error;
  ASSERT_TRUE(parse_options(8, usable, o, error)) << error;
  EXPECT_EQ(std::tie(o.unit, o.baud, o.quiet, o.device, o.command_words),
            std::make_tuple(2, 115200, true, "/dev/x", Strings{"get", "-q"}));
  const std::vector<const char*> refused[] = {{"c"}, {"c", "-q"}, {"c", "--unit"}, {"c", "--baud", "0", "x"},
                                              {"c", "--unit", "-1", "x"}, {"c", "-x", "x"}};
  for (const auto& argv : refused) EXPECT_FALSE(parse_options(static_cast<int>(argv.size()), argv.data(), o, error));
}

TEST(CustomerParsing, SplitsWordsAndLinesIntoCommands) {
  // A lone string is a line of a script, or a word with blanks after DEVICE: both split alike.
  const std::pair<Strings, std::vector<Command>> cases[] = {
      {{"get", "my file", "'x'"}, {{"get", "my file", "'x'"}}},
      {{";", "cd", "sub", ";", "get", "a;", "ls;", ";"}, {{"cd", "sub"}, {"get", "a"}, {"ls"}}},
      {{R"(  put  "my file" 'x y' a\ b "q\"\\"  )"}, {{"put", "my file", "x y", "a b", "q\"\\"}}},
      {{"cd sub;get 'a;b' a#b ; pwd # comment"}, {{"cd", "sub"}, {"get", "a;b", "a#b"}, {"pwd"}}},
      {{"get 'open"}, {}},  // refused
  };
  std::string error;
  for (const auto& [words, commands] : cases) {
    std::vector<Command> got[2];
    const bool ok = split_words(words, got[0], error) && (words.size() > 1 || split_line(words[0], got[1], error));
    EXPECT_EQ(ok, !commands.empty()) << words.front();
    EXPECT_EQ(got[0], commands) << words.front();
    EXPECT_EQ(got[1], words.size() == 1 ? commands : std::vector<Command>{}) << words.front();
  }
}

TEST(CustomerParsing, ChecksCommandNamesAndArgumentCounts) {
  const std::pair<Command, bool> cases[] = {{{"get", "a", "b"}, true}, {{"bye"}, true},  {{"fetch", "x"}, false},
                                            {{"get"}, false}, {{"get", "a", "b", "c"}, false}, {{"pwd", "x"}, false}};
  std::string error;
  for (const auto& [command, ok] : cases) EXPECT_EQ(check_command(command, error), ok) << command[0];
}

TEST(CustomerNames, AWireNameAndItsSizeMustFitTheHeader) {
  const std::string fits(56, 'n');  // "nnn... 0 5" fills the 60 bytes
  const std::tuple<std::string, std::int64_t, long> cases[] = {
      {fits, 5, 0},           {fits, 10240, NAME_TOO_LONG}, {fits + "n", 5, NAME_TOO_LONG}, {"a b", 1, 0},
      {"", 1, NAME_UNUSABLE}, {"..", 1, NAME_UNUSABLE},     {"a\tb", 1, NAME_UNUSABLE},     {"a\nb", 1, NAME_UNUSABLE},
      {"a\xAE", 1, NAME_UNUSABLE}};
  for (const auto& [name, size, result] : cases) EXPECT_EQ(check_wire_name(name, size), result) << name;
}

TEST(CustomerProgress, SizesDurationsAndTheSummary) {
  EXPECT_EQ(format_bytes(1023) + ", " + format_bytes(1536) + ", " + format_bytes(std::int64_t{3} << 30) + ", " +
                format_duration(7s) + ", " + format_duration(754s) + ", " + format_duration(3723s),
            "1023 B, 1.5 KiB, 3.00 GiB, 0:07, 12:34, 1:02:03");
  EXPECT_EQ(summary_line("a", 3 << 20, 2s), "a: 3.0 MiB in 2.00 s, 1.5 MiB/s");
}

namespace {

// The service serves `remote` on side a; the customer keeps its files in `local`.
class CustomerSession : public ::testing::Test {
 protected:
  // Runs `body` as the customer once it has reached the service.
  void run(const std::function<void()>& body) {
    pair.clock.run([&] { ASSERT_EQ(reach_service(session), LINK_OK); body(); }, {serve});
  }
  TempDir remote, local;
  CurrentDirectory in_remote{remote.path()};
  SimPair pair;
  ServiceState service{pair.service, "sim", 0, {}};
  Session session{pair.customer};
  std::function<void()> serve = [this] { wait_for_customer(service); exec_commands(service); };
};

// Cancels the link as the given block goes by, as a Ctrl-C would.
struct CancelAt final : Gadget {
  CancelAt(Link& on, int block) : link(on), left(block) {}
  void set_text(const char*, const TransferProgress&) override { if (--left == 0) link.cancel(); }
  Link& link;
  int left;
};

}  // namespace

TEST_F(CustomerSession, AGetWritesToLocalOrInsideIt) {
  ASSERT_EQ(mkdir("dir", 0755) + mkdir("dir/in", 0755), 0);
  const std::string cases[][3] = {{"x/a", "", "a"},       {"Work:a", "", "a"},      {"a", local / "b", local / "b"},
                                  {"x/a", "dir", "dir/a"}, {"x/a", "dir/", "dir/a"}, {"dir", "", ""},
                                  {"in", "dir", ""},       {"sub/", "", ""},         {"..", "dir", ""}};
  for (const auto& [from, to, target] : cases) EXPECT_EQ(get_target(session, from, to), target) << from;
}

TEST_F(CustomerSession, BrowsesIsReachedByTheNextCustomerAndMayRefuseShutdown) {
  service.no_shutdown = true;
  write_file(remote / "a.txt", pattern_bytes(1234));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  std::vector<RemoteEntry> entries;
  run([&] {
    EXPECT_EQ(remote_list(session, entries), DIR_OK);
    EXPECT_EQ(remote_cd(session, "sub"), LINK_OK);
    EXPECT_EQ(session.remote_dir, remote / "sub");
    EXPECT_EQ(remote_cd(session, "missing"), REMOTE_DIR_UNCHANGED);
    EXPECT_EQ(remote_cd(session, ".."), LINK_OK);
    EXPECT_EQ(session.remote_dir, remote.path());
    Session next(pair.customer);  // the first one left without signing off
    EXPECT_EQ(reach_service(next), LINK_OK);
    EXPECT_EQ(shutdown_service(next), SHUTDOWN_REFUSED);
    EXPECT_EQ(remote_pwd(next), LINK_OK);
  });
  Strings listed;
  for (const auto& e : entries) listed.push_back(e.name + (e.is_dir ? "/" : " " + std::to_string(e.size)));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (Strings{"a.txt 1234", "sub/"}));
}

TEST_F(CustomerSession, TransfersByteForByteAtANewSpeedAndFailuresLeaveFilesAsTheyWere) {
  const Strings sizes = {"0", "1024", "3000"};
  for (const auto& size : sizes) write_file(remote / ("r" + size), pattern_bytes(std::stoul(size), 3));
  run([&] {
    EXPECT_EQ(remote_set_baud(session, 19200), LINK_OK);
    for (const auto& size : sizes) {
      EXPECT_EQ(remote_get(session, "r" + size, local / ("l" + size), nullptr), FILE_OK) << size;
      EXPECT_EQ(remote_put(session, local / ("l" + size), "p" + size, nullptr), FILE_OK) << size;
    }
    EXPECT_EQ(remote_get(session, "nothere", local / "l1024", nullptr), FILE_HEADER_DAMAGED);
    EXPECT_EQ(remote_get(session, "nothere", local / "new", nullptr), FILE_HEADER_DAMAGED);
    EXPECT_EQ(remote_put(session, local / "l0", "nodir/l0", nullptr), FILE_HEADER_NOT_ACKED);
    EXPECT_EQ(remote_pwd(session), LINK_OK);
  });
  for (const auto& size : sizes) {
    EXPECT_EQ(read_file(local / ("l" + size)), read_file(remote / ("r" + size))) << size;
    EXPECT_EQ(read_file(remote / ("p" + size)), read_file(remote / ("r" + size))) << size;
  }
  EXPECT_EQ(names_in(local.path()), (Strings{"l0", "l1024", "l3000"}));
  EXPECT_EQ(names_in(remote.path()), (Strings{"p0", "p1024", "p3000", "r0", "r1024", "r3000"}));
  EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 19200);
  EXPECT_EQ(pair.cable.speeds(SimCable::b).back(), 19200);
}

TEST_F(CustomerSession, AStoppedTransferKeepsNothingAndTheSessionStillSignsOff) {
  write_file(remote / "big", pattern_bytes(20 * 1024, 5));
  int stops = 0;
  session.on_stop = [&] { ++stops; };
  run([&] {
    CancelAt get_stopper(pair.customer, 3), put_stopper(pair.customer, 3);
    EXPECT_EQ(remote_get(session, "big", local / "copy", &get_stopper), INTERRUPTED);
    EXPECT_EQ(remote_put(session, remote / "big", "copy", &put_stopper), INTERRUPTED);
    EXPECT_EQ(sign_off(session), LINK_OK);
    Identities ids;  // the service waits for an identification again: one try gets through
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
  });
  EXPECT_EQ(stops, 2);
  EXPECT_EQ(names_in(local.path()), Strings{});
  EXPECT_EQ(names_in(remote.path()), Strings{"big"});
}

TEST_F(CustomerSession, GivesUpAfterThreeTriesWithoutAService) {
  EXPECT_EQ(reach_service(session), NO_SERVICE);
  UBYTE own[3];
  build_own_frame(own);
  const Bytes id = frame_of(Bytes(own, own + 3)), &sent = pair.cable.sent_by(SimCable::b);
  int tries = 0;
  for (auto at = sent.begin(); (at = std::search(at, sent.end(), id.begin(), id.end())) != sent.end(); ++at) ++tries;
  EXPECT_EQ(tries, kIdentifyAttempts);
}

TEST_F(CustomerSession, ACutLineEndsTheSessionAndIsReported) {
  std::ostringstream out, err;
  Console console{out, err, false, ""};
  RunState state;
  run([&] { pair.cable.cut(); run_commands(session, {{"pwd"}, {"ls"}}, console, state); });
  EXPECT_TRUE(state.line_gone && state.failed && session.lost);
  EXPECT_EQ(err.str(), "pwd: the service does not answer any more; the session is over\n"
                       "quorvantix-customer: the line went away; the session is over\n");
}

// A peer whose header names a path of its own: the file lands where the
// customer said, and nowhere else.
TEST_F(CustomerSession, StoresAFetchedFileOnlyUnderTheLocalName) {
  ASSERT_EQ(mkdir((local / "in").c_str(), 0755), 0);
  CurrentDirectory inside(local / "in");  // where a path in the header would start
  std::string header = "../evil 0 5";
  header.resize(kHeaderBytes);
  pair.clock.run([&] { EXPECT_EQ(remote_get(session, "x", local / "x", nullptr), FILE_OK); },
                 {[&] {
                   EXPECT_EQ(read_raw(pair.service, kCommandFrameBytes + 3).at(1), cmd_send_file);
                   write_raw(pair.service, {ACK});
                   write_raw(pair.service, frame_of(header));
                   EXPECT_EQ(read_raw(pair.service, 1), Bytes{ACK});
                   write_raw(pair.service, frame_of("hello"));
                   EXPECT_EQ(read_raw(pair.service, 1), Bytes{ACK});
                 }});
  EXPECT_EQ(read_file(local / "x"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(names_in(local.path()), (Strings{"in", "x"}));
}
