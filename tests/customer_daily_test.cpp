// The customer for daily use: script rules, many files, name clashes, names
// the listing cut, completion, options, and lines that fit the terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <clocale>
#include <sstream>

#include "completion.h"
#include "options.h"
#include "progress.h"
#include "run.h"
#include "service.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"
#include "text_width.h"
#include "transfers.h"

using namespace customer_side;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Character widths as a UTF-8 terminal has them, for the length of a test.
struct Utf8Locale {
  Utf8Locale() { std::setlocale(LC_CTYPE, "C.UTF-8"); }
  ~Utf8Locale() { std::setlocale(LC_CTYPE, "C"); }
};

class DailyUse : public ::testing::Test {
 protected:
  void run(const std::function<void()>& body, const std::function<void()>& beside = [] {}) {
    pair.clock.run([&] { ASSERT_EQ(reach_service(session), LINK_OK); body(); }, {serve, beside});
  }
  bool command(const Command& words) { return run_command(session, words, console).ok; }
  TempDir remote, local;
  CurrentDirectory in_remote{remote.path()};
  SimPair pair;
  ServiceState service{pair.service, "sim", 0, {}};
  Session session{pair.customer};
  std::ostringstream out, err;
  Console console{out, err};
  std::function<void()> serve = [this] { wait_for_customer(service); exec_commands(service); };
};

}  // namespace

TEST(CustomerText, CutsWholeCharactersWithAMarkAndKeepsLinesWithinTheTerminal) {
  Utf8Locale utf8;
  const std::tuple<std::string, std::size_t, std::string> cases[] = {
      {"abcdef", 4, "abc\u2026"}, {"abc", 3, "abc"}, {"\u540d\u524d\u524d", 4, "\u540d\u2026"},
      {"\u00e4\u00e4\u00e4\u00e4", 3, "\u00e4\u00e4\u2026"}, {"ab\xC3", 2, "a\u2026"}};
  for (const auto& [text, columns, fitted] : cases) EXPECT_EQ(fit_columns(text, columns), fitted) << text;
  EXPECT_EQ(display_width("\u540d\u524d.txt") + display_width("\u00e4"), 9u);
  EXPECT_EQ(whole_characters("abc\xE5\x90") + whole_characters("\xC3\xA4") + pad_columns("\u00e4", 3), "abc\u00e4\u00e4  ");
  const std::string label = "get a_rather_long_file_name_for_\u540d\u524d.bin";  // the time left goes first
  EXPECT_EQ(progress_line(label, 5000, 20000, 3s, 62), "get a_rather_long_file_name_for_\u540d\u2026  25%  4.9 KiB of 19.5 KiB");
  EXPECT_EQ(summary_line(label, 2000, 2s, 40), "get a_rat\u2026: 2.0 KiB in 2.00 s, 1000 B/s");
}

TEST(CustomerParsing, ShortAndLongOptionsWithJoinedOrSeparateValues) {
  std::vector<const char*> cases[] = {{"c", "-b", "115200", "-u2", "-q", "--batch", "f", "d"},
                                      {"c", "--baud=115200", "--unit", "2", "--quiet", "--batch=f", "d"},
                                      {"c", "-b", "abc", "d"}, {"c", "-qb", "d"}, {"c", "--batch"}};
  for (const auto& argv : cases) {
    Options o;
    std::string error;
    EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o, error), argv.size() > 4) << argv[1];
    const auto wanted = argv.size() > 4 ? std::make_tuple(115200L, 2L, true, "f") : std::make_tuple(0L, 0L, false, "");
    EXPECT_EQ(std::tie(o.baud, o.unit, o.quiet, o.batch), wanted) << argv[1];
  }
  Options o;
  std::string error;
  const char* version[] = {"c", "-V"};
  EXPECT_TRUE(parse_options(2, version, o, error) && o.version);
}

TEST(CustomerParsing, ChecksOptionsAndArgumentsBeforeTheLineIsOpened) {
  const std::pair<Command, bool> cases[] = {
      {{"baud", "abc"}, false},           {{"get", "-rf", "d", "l"}, true},   {{"get", "-x", "a"}, false},
      {{"get", "--", "-x"}, true},        {{"cd", std::string(60, 'd')}, false}, {{"-cd", "x"}, true},
      {{"mget"}, false},                  {{"mget", "-f", "*", "?"}, true},    {{"put", "-f", "a"}, false},
      {{"set", "overwrite", "on"}, true}, {{"set", "overwrite", "yes"}, false}, {{"-"}, false}};
  std::string error;
  for (const auto& [command, ok] : cases) EXPECT_EQ(check_command(command, error), ok) << command[0] << error;
}

TEST(CustomerCompletion, RemoteNamesWhereTheServiceTakesThemLocalOnesElsewhere) {
  using K = NameKind;
  const std::pair<std::string, K> cases[] = {
      {"", K::command},           {"ls; ", K::command},   {"cd ", K::remote_folder}, {"get ", K::remote_file},
      {"get -r ", K::remote_folder}, {"get a ", K::local}, {"-get \"", K::remote_file}, {"mget a ", K::remote_file},
      {"put ", K::local},         {"put a ", K::remote_any}, {"mput ", K::local},    {"lcd ", K::local},
      {"baud ", K::nothing},      {"cd a ", K::nothing}};
  for (const auto& [before, kind] : cases) EXPECT_EQ(completion_kind(before), kind) << before;
  const std::vector<RemoteEntry> listing = {
      {"bulk", true, 4096}, {"hello.txt", false, 20}, {"help", false, 1}, {std::string(30, 'h'), false, -1}};
  EXPECT_EQ(remote_candidates(listing, K::remote_file, "h"), (std::vector<std::string>{"hello.txt", "help"}));
  EXPECT_EQ(remote_candidates(listing, K::remote_folder, "b"), std::vector<std::string>{"bulk"});
}

TEST_F(DailyUse, AScriptStopsAtItsFirstFailureUnlessTheCommandIsMarked) {
  const std::tuple<std::string, int, bool> cases[] = {  // the script, the pwds that ran, failed
      {"-cd missing\npwd\n", 1, false}, {"cd missing\npwd\n", 0, true},
      {"pwd; cd missing; pwd\npwd\n", 1, true}, {"pwd; -get missing; pwd\n-bogus\npwd\n", 3, false}};
  run([&] {
    for (const auto& [script, pwds, failed] : cases) {
      RunState state;
      std::istringstream in(script);
      out.str("");
      run_script(session, in, console, state);
      EXPECT_EQ(out.str().size(), pwds * (remote.path().size() + 1)) << script;
      EXPECT_EQ(state.failed, failed) << script;
    }
  });
  EXPECT_TRUE(has(err.str(), "line 1: cd: no directory 'missing' on the service (it stayed in " + remote.path()));
  EXPECT_TRUE(has(err.str(), "the script stops at line 1, where a command failed")) << err.str();
}

TEST_F(DailyUse, WaitsForAServiceAsLongAsItSays) {
  const auto start = pair.clock.now();
  EXPECT_EQ(reach_service(session), NO_SERVICE);
  const auto took = pair.clock.now() - start, said = longest_wait_for_service(pair.customer);
  EXPECT_TRUE(took >= said && took < said + 50ms) << took.count();
  EXPECT_EQ(std::chrono::round<std::chrono::seconds>(said), 11s);
}

TEST_F(DailyUse, GetReplacesALocalFileOnlyWhenToldToAndNamesWhatWentWrong) {
  write_file(remote / "a.txt", pattern_bytes(100, 1));
  write_file(remote / "big", pattern_bytes(20000, 1));
  const std::string target = local / "a.txt";
  const Bytes mine = pattern_bytes(10, 2), theirs = read_file(remote / "a.txt");
  const std::tuple<Command, bool, Bytes> steps[] = {{{"get", "a.txt", target}, false, mine},
                                                    {{"get", "-f", "a.txt", target}, true, theirs},
                                                    {{"set", "overwrite", "on"}, true, mine},
                                                    {{"get", "a.txt", target}, true, theirs}};
  pair.cable.pace(9600);
  run([&] {
    EXPECT_FALSE(command({"get", "big", local / "big"}));  // stopped as by a Ctrl-C
    for (const auto& [words, ok, after] : steps) {
      write_file(target, mine);
      const std::size_t sent = pair.cable.sent_by(SimCable::b).size();
      EXPECT_EQ(command(words), ok) << words[1];
      EXPECT_EQ(read_file(target), after) << words[1];
      EXPECT_EQ(pair.cable.sent_by(SimCable::b).size() == sent, !ok || words[0] == "set") << words[1];
    }
    console.live_progress = true;
    EXPECT_FALSE(command({"get", "a.txt", "/nonexistent/dir/x"}));
    EXPECT_FALSE(command({"put", local / "none"}));
    EXPECT_TRUE(command({"put", target, "copy.txt"}));
  }, [&] { pair.clock.sleep_for(3s), pair.customer.cancel(); });
  const std::string said[] = {"get: stopping; the service needs a few seconds to give up (press Ctrl-C again to quit",
                              "get: " + target + " exists here already; get -f replaces it",
                              "get: cannot store /nonexistent/dir/x: there is no folder /nonexistent/dir\n",
                              "put: there is no file " + (local / "none") + "\n", "\r\033[Kput copy.txt: 100 B in "};
  for (const auto& sentence : said) EXPECT_TRUE(has(err.str(), sentence)) << sentence << " in:\n" << err.str();
  EXPECT_FALSE(has(err.str(), "Bytes/s"));
}

TEST_F(DailyUse, NamesTheListingCutAndFoldersTheServiceLacks) {
  const std::string cut = "a_name_longer_than_the_listing_carries.txt";
  write_file(remote / cut, pattern_bytes(3, 1));
  write_file(remote / "\u00e4.txt", pattern_bytes(3, 1));
  ASSERT_EQ(mkdir((remote / "up").c_str(), 0755) + mkdir((local / "up").c_str(), 0755) +
                mkdir((local / "up/x").c_str(), 0755), 0);
  write_file(local / "up/f1", pattern_bytes(5, 1));
  write_file(local / "up/x/f2", pattern_bytes(5, 1));
  run([&] {
    EXPECT_TRUE(command({"ls"}));
    EXPECT_FALSE(command({"mget", "a_name*", "zzz*"}));
    EXPECT_FALSE(command({"put", "-r", local / "up"}));
    EXPECT_TRUE(command({"pwd"}));
  });
  EXPECT_EQ(read_file(remote / "up/f1"), read_file(local / "up/f1"));
  EXPECT_FALSE(exists(remote / "up/x"));
  std::istringstream rows(out.str());
  std::string row;
  const std::string names[] = {cut.substr(0, 30) + "~", "up", "\u00e4.txt"};
  for (const auto& name : names) {  // in columns: the cut name and its mark are the widest
    ASSERT_TRUE(std::getline(rows, row));
    EXPECT_EQ(row.substr(0, name.size()), name);
    EXPECT_EQ(display_width(row.substr(0, std::min(row.find("  DIR"), row.find("  FILE")))), 31u) << row;
  }
  EXPECT_TRUE(std::getline(rows, row) && row == remote.path()) << row;  // back where put -r began
  const std::string said[] = {"mget: cannot fetch '" + names[0] + "': the listing carries only the first 30",
                              "mget: no file on the service matches 'zzz*'", "mget: 2 not fetched: ",
                              "put: cannot place " + (local / "up/x/f2") + ": the service has no folder 'x' in " +
                                  (remote / "up")};
  for (const auto& sentence : said) EXPECT_TRUE(has(err.str(), sentence)) << sentence << " in:\n" << err.str();
}

