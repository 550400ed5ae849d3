// The customer program's sessions with the real service loop on the simulated
// cable, its scripts and commands for many files, and its transfers with a
// reference service. (Its words before a line is opened: command_line_test.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "customer/customer_main.h"
#include "customer/run.h"
#include "customer/transfers.h"
#include "tests/support/fixtures.h"
#include "tests/support/reference_peer.h"
#include "tests/support/running.h"

using namespace quorvantix::session;
using namespace quorvantix::customer;

namespace {

// Whether each of `parts` is somewhere in `text`.
void expect_among(const std::string& text, const Strings& parts) {
  for (const auto& part : parts) EXPECT_TRUE(has(text, part)) << part << " in:\n" << text;
}

// The service serves `remote`; the customer keeps its files in `local`.
struct CustomerSession : testing::Test, Served {
  bool command(const Command& words) { return run_command(session, words, console).ok; }
  std::ostringstream out, err;
  Console console{out, err};
};

// The service serves `remote` confined to it (its folder is "/"), and this
// process works in `local`: files that commands fetch by name land there.
struct CustomerApart : CustomerSession {
  CustomerApart() {
    service.tree = std::make_unique<host::Tree>(confined_to(remote.path()));
    service.tree->set_wire_names(codec_for(host::kDefaultWireCharset));
  }
  // What one command printed, and whether it succeeded.
  std::pair<bool, std::string> printed(const Command& words) {
    out.str("");
    const bool ok = command(words);
    return {ok, out.str()};
  }
  // Runs each command: whether it succeeds, and what it prints on both
  // streams, all of it (or, with `part`, among it).
  struct Step { Command words; bool ok; std::string said; };
  void steps(const std::vector<Step>& list, bool part = false) {
    for (const auto& [words, ok, said] : list) {
      out.str(""), err.str("");
      EXPECT_EQ(command(words), ok) << words[0] << " " << words.back();
      if (part) {
        EXPECT_TRUE(has(out.str() + err.str(), said)) << said << " in:\n" << out.str() << err.str();
      } else {
        EXPECT_EQ(out.str() + err.str(), said) << words[0] << " " << words.back();
      }
    }
  }
  CurrentDirectory in_local{local.path()};
};

// What python3's json module reads: a line "name|type|size|cut" an entry.
std::string read_by_python(const std::string& json) {
  const TempDir dir;
  write_file(dir / "in.json", text(json));
  write_file(dir / "read.py", text("import json, sys\nfor e in json.load(open(sys.argv[1])):\n"
                                   "    print(e['name'], e['type'], e['size'], e['cut'], sep='|')\n"));
  std::unique_ptr<FILE, int (*)(FILE*)> python(popen(("python3 " + dir / "read.py " + dir / "in.json").c_str(), "r"), pclose);
  // Read to the end: python3 may take seconds to start on a loaded machine.
  std::string seen;
  read_until(fileno(python.get()), seen, std::string(1, '\0'), 60'000);
  return seen;
}

// Names of the tests of cut names: one cut where its 30th byte is a space, a
// whole one of 30 bytes, a cut one that begins with it.
const std::string kSpaced = "Meeting notes from March 2024 (final).txt", kWhole(30, 'w'), kLonger = kWhole + "5.txt";

// Cancels the link as the given block goes by, as a Ctrl-C would.
struct CancelAt final : Gadget {
  CancelAt(Link& on, int block) : link(on), left(block) {}
  void set_text(const char*, const TransferProgress&) override { if (--left == 0) link.cancel(); }
  Link& link;
  int left;
};

}  // namespace

// With no service: three tries, in the time it says it waits. Where a get
// writes, beside or inside a folder here. And every command on the command
// line is checked before the line is opened; a word is a command, never a
// script to run.
TEST_F(CustomerSession, WithoutAServiceItGivesUpAsItSaysFindsWhereAGetWritesAndChecksItsCommandLine) {
  const auto start = pair.clock.now();
  EXPECT_EQ(kind_of(session.reach_service()), session::Kind::no_service);
  const auto took = pair.clock.now() - start, said = longest_wait_for_service(pair.customer);
  EXPECT_TRUE(took >= said && took < said + 50ms) << took.count();
  EXPECT_EQ(std::chrono::round<std::chrono::seconds>(said), 16s);
  const Bytes id = own_frame(), &sent = pair.cable.sent_by(SimCable::b);
  int tries = 0;
  for (auto at = sent.begin(); (at = std::search(at, sent.end(), id.begin(), id.end())) != sent.end(); ++at) ++tries;
  EXPECT_EQ(tries, 3);
  ASSERT_EQ(mkdir("dir", 0755) + mkdir("dir/in", 0755), 0);
  const std::string targets[][3] = {{"x/a", "", "a"},       {"Work:a", "", "a"},      {"a", local / "b", local / "b"},
                                    {"x/a", "dir", "dir/a"}, {"x/a", "dir/", "dir/a"}, {"dir", "", ""},
                                    {"in", "dir", ""},       {"sub/", "", ""},         {"..", "dir", ""}};
  for (const auto& [from, to, target] : targets) {
    const session::Result<std::string> got = session.get_target(from, to);
    EXPECT_EQ(got ? *got : "", target) << from;
  }
  write_file(remote / "script", {'p', 'w', 'd', '\n'});
  pair.cable.cut();
  const std::tuple<std::vector<const char*>, int, std::string> runs[] = {
      {{"c", "sim", "pwd"}, kExitNoLink, ""},  {{"c", "-b", "115200", "sim", "pwd"}, kExitNoLink, ""},
      {{"c", "sim", "fetch"}, kExitUsage, ""}, {{"c", "sim", "baud abc"}, kExitUsage, ""},
      {{"c", "sim", "script"}, kExitUsage, "; to run the commands in the file script, give --batch script\n"},
      {{"c", "-", "sim"}, kExitNoLink, ""},  // commands from standard input, not a line named '-'
      {{"c", "sim", "/dev/null"}, kExitUsage, "unknown command '/dev/null' (try help)\n"}};  // no script
  for (auto [words, status, said] : runs) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(customer_main(int(words.size()), const_cast<char**>(words.data()), pair.clock,
                            pair.cable.opener(SimCable::b)), status) << words.back();
    const std::string error = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(has(error, said)) << error;
  }
}

// One session's life: a listing and folders; transfers at a new speed, byte
// for byte; failures and stops (as by Ctrl-C) that leave files as they were;
// scripts that stop at their first failure unless the command is marked; the
// next customer after one that left without signing off, and after a sign-off
// one try; at last a cut line, which ends the session and is reported.
TEST_F(CustomerSession, BrowsesTransfersStopsRunsScriptsAndIsReachedAgainUntilTheLineIsCut) {
  service.no_shutdown = true;
  write_file(remote / "a.txt", pattern_bytes(1234));
  write_file(remote / "big", pattern_bytes(20 * 1024, 5));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  const Strings sizes = {"0", "1024", "3000"};
  for (const auto& size : sizes) write_file(remote / ("r" + size), pattern_bytes(std::stoul(size), 3));
  const std::tuple<std::string, int, bool> scripts[] = {  // the script, the pwds that ran, failed
      {"-cd missing\npwd\n", 1, false}, {"cd missing\npwd\n", 0, true},
      {"pwd; cd missing; pwd\npwd\n", 1, true}, {"pwd; -get missing; pwd\n-bogus\npwd\n", 3, false}};
  std::vector<RemoteEntry> entries;
  int stops = 0;
  session.set_on_stop([&] { ++stops; });
  RunState cut;
  run([&] {
    EXPECT_TRUE(ok(session.remote_list(entries)));
    EXPECT_TRUE(ok(session.remote_cd("sub")));
    EXPECT_EQ(session.remote_dir(), remote / "sub");
    EXPECT_EQ(kind_of(session.remote_cd("missing")), session::Kind::remote_dir_unchanged);
    EXPECT_TRUE(ok(session.remote_cd("..")));
    EXPECT_EQ(session.remote_dir(), remote.path());
    EXPECT_TRUE(ok(session.remote_set_baud(19200)));
    for (const auto& size : sizes) {
      EXPECT_TRUE(ok(session.remote_get("r" + size, local / ("l" + size), nullptr))) << size;
      EXPECT_TRUE(ok(session.remote_put(local / ("l" + size), "p" + size, nullptr))) << size;
    }
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 19200);
    EXPECT_EQ(pair.cable.speeds(SimCable::b).back(), 19200);
    EXPECT_EQ(status_of(session.remote_get("nothere", local / "l1024", nullptr)), wire::Status::header_damaged);
    EXPECT_EQ(status_of(session.remote_get("nothere", local / "new", nullptr)), wire::Status::header_damaged);
    EXPECT_EQ(status_of(session.remote_put(local / "l0", "nodir/l0", nullptr)), wire::Status::header_not_acked);
    CancelAt get_stopper(pair.customer, 3), put_stopper(pair.customer, 3);
    EXPECT_EQ(kind_of(session.remote_get("big", local / "copy", &get_stopper)), session::Kind::interrupted);
    EXPECT_EQ(kind_of(session.remote_put(remote / "big", "copy", &put_stopper)), session::Kind::interrupted);
    for (const auto& [script, pwds, failed] : scripts) {
      RunState state;
      std::istringstream in(script);
      out.str("");
      run_script(session, in, console, state);
      EXPECT_EQ(out.str().size(), pwds * (remote.path().size() + 1)) << script;
      EXPECT_EQ(state.failed, failed) << script;
    }
    expect_among(err.str(), {"line 1: cd: no directory 'missing' on the service (it stayed in " + remote.path(),
                             "the script stops at line 1, where a command failed"});
    Session next(pair.customer);  // the first one left without signing off
    EXPECT_TRUE(ok(next.reach_service()));
    EXPECT_EQ(kind_of(next.shutdown_service()), session::Kind::shutdown_refused);
    EXPECT_TRUE(ok(next.sign_off()));
    Identities ids;  // the service waits for an identification again: one try gets through
    EXPECT_TRUE(identify(pair.customer, Side::customer, ids));
    err.str("");
    pair.customer.cancel();  // a stop that comes before the command is said as one
    EXPECT_FALSE(command({"pwd"}));
    EXPECT_EQ(err.str(), "pwd: stopped\n");
    pair.customer.clear_cancel();
    err.str("");
    pair.cable.cut();
    run_commands(session, {{"pwd"}, {"ls"}}, console, cut);
  });
  Strings listed;
  for (const auto& e : entries) listed.push_back(e.name + (e.is_folder() ? "/" : " " + std::to_string(e.size)));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (Strings{"a.txt 1234", "big 20480", "r0 0", "r1024 1024", "r3000 3000", "sub/"}));
  for (const auto& size : sizes) {
    EXPECT_EQ(read_file(local / ("l" + size)), read_file(remote / ("r" + size))) << size;
    EXPECT_EQ(read_file(remote / ("p" + size)), read_file(remote / ("r" + size))) << size;
  }
  EXPECT_EQ(stops, 2);
  EXPECT_EQ(names_in(local.path()), (Strings{"l0", "l1024", "l3000"}));
  EXPECT_EQ(names_in(remote.path()), (Strings{"a.txt", "big", "p0", "p1024", "p3000", "r0", "r1024", "r3000", "sub"}));
  EXPECT_TRUE(cut.line_gone && cut.failed && session.lost());
  EXPECT_EQ(err.str(), "pwd: the service does not answer any more; the session is over\n"
                       "quorvantix-customer: the line went away; the session is over\n");
}

TEST_F(CustomerSession, GetReplacesALocalFileOnlyWhenToldToAndNamesWhatWentWrong) {
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
    EXPECT_FALSE(command({"get", "a.txt", local / ".a.part-1-2-3"}));  // our temporaries' shape
    EXPECT_FALSE(command({"put", local / "none"}));
    EXPECT_TRUE(command({"put", target, "copy.txt"}));
  }, {[&] { pair.clock.sleep_for(3s), pair.customer.cancel(); }});
  expect_among(err.str(), {"get: stopping; the service needs a few seconds to give up (press Ctrl-C again to quit",
                           "get: " + target + " exists here already; get -f replaces it",
                           "get: cannot store /nonexistent/dir/x: there is no folder /nonexistent/dir\n",
                           "get: cannot store " + (local / ".a.part-1-2-3") + ": names of that shape are kept",
                           "put: there is no file " + (local / "none") + "\n", "\r\033[Kput copy.txt: 100 B in "});
  EXPECT_FALSE(has(err.str(), "Bytes/s"));
}

// Names cross the line in ISO-8859-1 and every limit counts its bytes; a name
// without a form in it is refused before anything is sent; ® is byte 0xAE
// there, the space's stand-in in a stored file's name: listed and fetched,
// never stored. The service's names reach the terminal escaped, in the
// listing, the folder, messages and progress lines, and are typed back inside
// $'...'.
TEST_F(CustomerSession, NamesCrossInTheLinesCharacterSetAndReachTheTerminalEscaped) {
  const std::string listed = umlauts(24), stored = umlauts(50), folder = "\u00dcbersicht", mark = "a\u00aeb";
  const std::string forged = "x\nget: done", screen = "\x1b]0;owned\x07", fetched = "e\x1b[2Jf";
  write_file(remote / listed, pattern_bytes(5, 1));
  write_file(remote / mark, pattern_bytes(3, 2));
  write_file(local / "\u65e5\u672c.txt", {});
  ASSERT_EQ(mkdir((remote / folder).c_str(), 0755) + mkdir((remote / (folder + "/" + screen)).c_str(), 0755), 0);
  write_file(remote / (folder + "/" + forged), {});
  write_file(remote / (folder + "/" + fetched), pattern_bytes(3, 1));
  std::vector<RemoteEntry> entries;
  const std::pair<std::string, std::string> refused[] = {
      {"\u65e5\u672c.txt", "has no form in ISO-8859-1, the line's character set: store it under another name"},
      {mark, "one of its characters is written with byte 0xAE in ISO-8859-1, and on the line that byte stands"}};
  console.live_progress = true;
  std::istringstream script("ls\nget $'e\\x1b[2Jf' " + (local / "fetched") +
                            "\ncd $'\\x1b]0;owned\\x07'\npwd\nget $'gone\\x1b[31m'\n");
  run([&] {
    EXPECT_TRUE(ok(session.remote_list(entries)));
    EXPECT_TRUE(ok(session.remote_get(listed, local / "copy", nullptr)));
    EXPECT_TRUE(ok(session.remote_get(mark, local / mark, nullptr)));
    EXPECT_TRUE(ok(session.remote_put(local / "copy", stored, nullptr)));  // "üü… 0 5": 54 bytes
    EXPECT_TRUE(ok(session.remote_get(stored, local / stored, nullptr)));
    EXPECT_TRUE(ok(session.remote_cd(folder)));
    EXPECT_EQ(session.remote_dir(), remote / folder);
    const std::size_t sent = pair.cable.sent_by(SimCable::b).size();
    for (const auto& [name, why] : refused) {
      const session::Result<> put = session.remote_put(local / name, "", nullptr);
      EXPECT_EQ(kind_of(put), session::Kind::name_unusable) << name;
      EXPECT_TRUE(!put && has(put.error().reason, why)) << name;
    }
    EXPECT_EQ(pair.cable.sent_by(SimCable::b).size(), sent);
    RunState state;
    run_script(session, script, console, state);
  });
  std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name + " " + std::to_string(entries[0].size), mark + " 3");
  EXPECT_EQ(entries[2].name + " " + std::to_string(entries[2].size) + (entries[2].cut ? " cut" : ""), listed + " 5");
  EXPECT_EQ(read_file(local / stored), read_file(remote / listed));
  EXPECT_EQ(read_file(remote / stored), read_file(remote / listed));
  EXPECT_EQ(read_file(local / mark), read_file(remote / mark));
  EXPECT_EQ(read_file(local / "fetched"), read_file(remote / (folder + "/" + fetched)));
  expect_among(out.str(), {"\\x1b]0;owned\\x07/\n", "\ne\\x1b[2Jf\n", "\nx\\nget: done\n",
                           "\n" + (remote / folder) + "/\\x1b]0;owned\\x07\n"});
  expect_among(err.str(), {"get e\\x1b[2Jf: 3 B in ", "line 5: get: the service sent no file 'gone\\x1b[31m'"});
  for (const std::string raw : {"\nget: done", "\x1b]", "\x1b[2J", "\x1b[31m"}) {
    EXPECT_FALSE(has(out.str() + err.str(), raw)) << raw;
  }
}

// The listing tells a cut name by its size field, which a longer name pushes
// out of its place, whatever the 30th byte is; a whole name of 30 bytes with
// a size of 10 digits is no cut one. ls shows names, -l rows in columns as
// wide as the names show, --json an array. mget: a cut name whose visible part
// a pattern cannot match plays no part; one it may match is named and left
// out; one it matches whatever was cut is a file not fetched. The whole name
// that a cut one begins with is fetched.
TEST_F(CustomerApart, TellsACutNameByTheListingListsForPeopleAndScriptsAndMgetNamesWhatItLeavesOut) {
  write_file(remote / kSpaced, text("m"));
  write_file(remote / kLonger, text("ll"));
  write_file(remote / kWhole, {});
  ASSERT_EQ(truncate((remote / kWhole).c_str(), 1'000'000'000) + mkdir((remote / "docs").c_str(), 0755), 0);
  write_file(remote / "one.txt", text("1"));
  write_file(remote / "say \"hi\".txt", text("hi"));
  write_file(remote / "\u00e4.txt", text("ae"));
  struct stat docs {};
  ASSERT_EQ(stat((remote / "docs").c_str(), &docs), 0);
  console.quiet = true;
  const std::string spaced = kSpaced.substr(0, 35) + "~", longer = kLonger + "~";  // as far as the listing carries them
  const std::string may = "mget: left out 2 files that may match, whose names the listing cut: '" + spaced + "', '" +
                          longer + "' (get a file by its whole name)\n";
  const std::string cannot = "': the listing carries only the start of the name; get it by its whole name\n";
  std::pair<bool, std::string> listed[3];
  run([&] {
    listed[0] = printed({"ls"});
    listed[1] = printed({"ls", "-l", "*.txt"});
    listed[2] = printed({"ls", "--json"});
    steps({{{"ls", "docs"}, true, ""}, {{"ls", "one.txt"}, true, "one.txt\n"},
           {{"ls", "none*"}, false, "ls: no name on the service matches 'none*'\n"}});
    ASSERT_EQ(truncate((remote / kWhole).c_str(), 7), 0);
    steps({{{"mget", "o*"}, true, ""},
           {{"mget", "-f", "*.txt"}, true, may},
           {{"mget", "*.xyz"}, false, "mget: no file on the service matches '*.xyz'\n" + may + "mget: 1 not fetched: *.xyz\n"},
           {{"mget", "-f", "*", "w*"}, false, "mget: left out 1 folder: docs/ (get -r fetches a folder)\nmget: cannot fetch '" +
                spaced + cannot + "mget: cannot fetch '" + longer + cannot + "mget: 2 not fetched: " + spaced + ", " +
                longer + "\n"}});
  });
  EXPECT_EQ(listed[0], std::make_pair(true, spaced + "\ndocs/\none.txt\nsay \"hi\".txt\n" + kWhole + "\n" + longer +
                                                "\n\u00e4.txt\n"));
  EXPECT_EQ(listed[1].second, spaced + "  FILE           ?\none.txt                               FILE           1\n"
                              "say \"hi\".txt                          FILE           2\n" +
                                  longer + "  FILE           ?\n\u00e4.txt                                 FILE           2\n");
  EXPECT_EQ(read_by_python(listed[2].second),
            kSpaced.substr(0, 35) + "|file|None|True\ndocs|dir|" + std::to_string(docs.st_size) +
                "|False\none.txt|file|1|False\nsay \"hi\".txt|file|2|False\n" + kWhole + "|file|1000000000|False\n" +
                kLonger + "|file|None|True\n\u00e4.txt|file|2|False\n");
  EXPECT_EQ(names_in(local.path()), (Strings{"one.txt", "say \"hi\".txt", kWhole, "\u00e4.txt"}));
  EXPECT_EQ(read_file(local / kWhole), read_file(remote / kWhole));
}

// -n skips a file that is there already with the size the other side has, and
// is no failure; without it, and without -f, the hint names the command as
// it was typed.
TEST_F(CustomerApart, ARunAgainSkipsFilesOfTheSameSizeAndHintsNameTheCommandAsTyped) {
  ASSERT_EQ(mkdir((remote / "tree").c_str(), 0755) + mkdir((remote / "tree/sub").c_str(), 0755), 0);
  for (const char* name : {"a.txt", "b.txt", "tree/x.bin", "tree/sub/y.bin"}) write_file(remote / name, text(name));
  write_file(local / "a.txt", text("A.TXT"));
  write_file(local / "b.txt", text("B"));
  run([&] {
    steps({{{"mget", "-n", "*.txt"}, false, "mget: b.txt exists here already and has another size; mget -n -f replaces it"},
           {{"mget", "-nf", "*.txt"}, true, "; 1 skipped, of the same size here already\n"},
           {{"get", "-r", "-n", "tree"}, true, "get: 2 files, 24 B in "},
           {{"get", "-rn", "tree"}, true, "get: 0 files; 2 skipped, of the same size here already\n"},
           {{"get", "-r", "tree"}, false, "get: tree/sub/y.bin exists here already; get -r -f replaces it"},
           {{"mput", "*.txt"}, false, "mput: 'a.txt' exists on the service already; mput -f replaces it"},
           {{"mput", "-n", "*.txt"}, true, "mput: 0 files; 2 skipped, of the same size on the service already\n"},
           {{"mput", "-f", "a.txt"}, true, "mput: 1 file, 5 B in "}}, true);
  });
  EXPECT_EQ(read_file(local / "a.txt"), text("A.TXT"));  // skipped every time
  EXPECT_EQ(read_file(local / "b.txt"), text("b.txt"));
  EXPECT_EQ(read_file(remote / "a.txt"), text("A.TXT"));
  EXPECT_EQ(read_file(local / "tree/sub/y.bin"), text("tree/sub/y.bin"));
}

namespace {

// Our customer's put (of "up") or get (of "src") with a reference service.
TransferOutcome with_reference(const Bytes& content, long baud, bool ours_send, const Arrangement& setup) {
  Served s;
  write_file(s.local / "up", content);
  ReferencePeer service(s.pair.cable, SimCable::a, s.pair.clock);
  service.disk.files["src"] = content;
  reference_line(s.pair.cable, SimCable::b);
  setup(s.pair.cable, ours_send ? SimCable::b : SimCable::a, service);
  TransferOutcome out;
  s.pair.clock.run([&] {
    ASSERT_TRUE(ok(s.session.reach_service()));
    if (baud != kStartBaud) { ASSERT_TRUE(ok(s.session.remote_set_baud(baud))); }
    out.ours = (ours_send ? s.session.remote_put(s.local / "up", "up", nullptr)
                          : s.session.remote_get("src", s.local / "src", nullptr)).ok() ? 0 : 1;
    s.pair.clock.sleep_for(30s);  // longer than the reference service takes to give up
  }, {[&] { service.serve(); }});
  if (!service.statuses.empty()) out.reference = service.statuses.back();
  out.received = ours_send ? service.disk.files["up"] : read_file_if_any(s.local / "src");
  return out;
}

}  // namespace

TEST(CustomerWithReference, TransfersEitherWay) { expect_sound_transfers(with_reference); }
