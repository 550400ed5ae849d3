// Our customer and our mount against a service that keeps to the framing and
// lies in everything else, and the customer against hostile settings and
// script files: nothing they send may reach a path outside the customer's
// target, reach the terminal raw, or hold the customer for ever.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "customer/commands.h"
#include "customer/run.h"
#include "mount/remote_files.h"
#include "tests/support/fixtures.h"
#include "tests/support/mount_end_to_end.h"
#include "tests/support/hostile_service.h"
#include "tests/support/one_session.h"
#include "tests/support/running.h"

using namespace quorvantix::session;
using namespace quorvantix::customer;

namespace {

std::string made(const std::string& folder) {
  std::filesystem::create_directory(folder);
  return folder;
}

// Every path below `top`, folders with a '/' at the end.
std::set<std::string> paths_below(const std::string& top) {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    paths.insert(entry.path().string().substr(top.size() + 1) + (entry.is_directory() ? "/" : ""));
  }
  return paths;
}

// Bytes that steer a terminal: ESC, CSI, and the format characters that let
// one name pass for another (U+202E, U+2066, U+200B in UTF-8).
bool has_raw_control(const std::string& text) {
  for (const char* raw : {"\x1b", "\xc2\x9b", "\xe2\x80\xae", "\xe2\x81\xa6", "\xe2\x80\x8b"}) {
    if (has(text, raw)) return true;
  }
  return false;
}

// A hostile service on side a; the customer's session on side b, working in
// `home/work`, so that a name that climbs out lands in `home`.
struct HostileSession {
  // Runs `words` once the session has reached the service: whether it succeeded.
  bool command(const Command& words) {
    bool ok = false;
    pair.clock.run([&] {
      ASSERT_TRUE(session.reach_service().ok());
      ok = run_command(session, words, console).ok;
    }, {[this] { service.serve(); }});
    return ok;
  }
  // Runs the lines of a script, each command whether the one before failed
  // or not: whether none failed.
  bool script(const std::string& lines) {
    RunState state;
    state.stop_at_failure = false;
    std::istringstream in(lines);
    pair.clock.run([&] {
      ASSERT_TRUE(ok(session.reach_service()));
      run_script(session, in, console, state);
    }, {[this] { service.serve(); }});
    return !state.failed;
  }
  std::string said() const { return out.str() + err.str(); }
  TempDir home;
  CurrentDirectory in_work{made(home / "work")};
  SimPair pair;
  HostileService service{pair.service};
  Session session{pair.customer};
  std::ostringstream out, err;
  Console console{out, err};
};

struct AgainstHostileService : testing::Test, HostileSession {};

}  // namespace

// A listed name is one name in its folder, or it is refused with its reason;
// also where only the conversion from the line's character set makes it
// climb (ISIRI-3342 has 0xA6 for '.' and 0xAF for '/', ARMSCII-8 0xA9 for
// '.'). A name that would steer the terminal is one name: stored as it is,
// and shown escaped.
TEST(AgainstHostileServices, GetOfATreeRefusesEveryListedNameThatIsNoNameInItsFolder) {
  struct Case {
    const char* charset;
    std::vector<std::string> names;  // on the wire; each a file and a folder
    std::vector<std::string> shown;  // in the messages
  };
  const Case cases[] = {
      {"ISO-8859-1",
       {"../.bash_profile", "../.ssh/authorized_keys", "../../x", "..", ".", "/abs", "a/../../x", "a/", "x/\x1b[2J"},
       {"'../.bash_profile'", "'../.ssh/authorized_keys'", "'../../x'", "'..'", "'.'", "'/abs'", "'a/../../x'", "'a/'",
        "'x/\\x1b[2J'"}},
      {"ISIRI-3342", {"\xa6\xa6\xaf\xa6profile", "\xa6\xa6"}, {"'../.profile'", "'..'"}},
      {"ARMSCII-8", {"\xa9\xa9"}, {"'..'"}},
  };
  for (const auto& [charset, names, shown] : cases) {
    HostileSession at;
    at.session.use_charset(charset);
    HostileService& hostile = at.service;
    auto& docs = hostile.listings["/srv/docs"] = {file_line("ok.txt", 2), folder_line("sub"), file_line("e\x1b[2J", 2)};
    for (const auto& name : names) {
      docs.push_back(file_line(name, 5));
      docs.push_back(folder_line(name));
      hostile.files[name] = {"", text("evil\n")};
      hostile.listings["/srv/docs/" + name] = {file_line("planted", 5)};
    }
    hostile.listings["/srv/docs/sub"] = {file_line("s.txt", 1)};
    hostile.files["ok.txt"] = {"", text("ok")};
    hostile.files["e\x1b[2J"] = {"", text("ok")};
    hostile.files["s.txt"] = {"", text("s")};
    hostile.files["planted"] = {"", text("evil\n")};
    EXPECT_FALSE(at.command({"get", "-r", "docs"})) << charset;
    const std::string said = at.said();
    EXPECT_EQ(paths_below(at.home.path()), (std::set<std::string>{"work/", "work/docs/", "work/docs/ok.txt", "work/docs/sub/",
                                                                 "work/docs/sub/s.txt", "work/docs/e\x1b[2J"}))
        << charset << "\n" << said;
    for (const std::string& command : hostile.commands) {
      EXPECT_TRUE(command == "pwd" || command == "ls" || command == "cd docs" || command == "cd sub" ||
                  command == "cd /srv/docs" || command == "cd /srv" || command == "cd .." || command == "get ok.txt" ||
                  command == "get s.txt" || command == "get e\x1b[2J")
          << charset << ": " << command;
    }
    for (const auto& name : shown) EXPECT_TRUE(has(said, "docs/" + name.substr(1))) << name << "\n" << said;
    EXPECT_TRUE(has(said, "one name in its folder")) << said;
    EXPECT_FALSE(has_raw_control(said)) << said;
  }
}

// mget takes a listed name whole or not at all: a part of one is no name
// the service listed, and a hidden one needs a pattern that begins with '.'.
TEST_F(AgainstHostileService, MgetNeitherCutsAListedNameNorPlantsDotFiles) {
  service.listings["/srv"] = {file_line("x/.hidden-sec", 3), file_line("y:.profile-sec", 3), file_line("../up", 3),
                              file_line("z/", 3), file_line("ok", 2)};
  for (const std::string name : {"x/.hidden-sec", "y:.profile-sec", "../up", "z/", "ok"}) service.files[name] = {"", text("sec")};
  write_file(home / "work/.profile-sec", text("mine"));
  EXPECT_FALSE(script("mget -f *\nmget -f .*\n"));
  EXPECT_EQ(paths_below(home.path()), (std::set<std::string>{"work/", "work/.profile-sec", "work/ok", "work/y:.profile-sec"}))
      << err.str();
  EXPECT_EQ(read_file(home / "work/.profile-sec"), text("mine"));
  EXPECT_TRUE(has(err.str(), "mget: 2 not fetched: x/.hidden-sec, z/\n")) << err.str();
  EXPECT_TRUE(has(err.str(), "mget: 1 not fetched: ../up\n")) << err.str();
}

// Names that would pass for others on the terminal, and sizes that are none.
TEST_F(AgainstHostileService, ListingsShowLookAlikeNamesEscapedAndSizesThatAreNoneAsUnknown) {
  session.use_charset("UTF-8");
  service.listings["/srv"] = {
      file_line("evil\u202etxt.exe", 1), file_line("\u2066iso", 2), file_line("zero\u200bwidth", 3),
      listing_line("FILE", "neg", "-5"), listing_line("FILE", "abc", "abc"), listing_line("FILE", "big", "99999999999"),
      file_line(std::string(45, 'l'), 7), file_line(std::string(40, 'w'), 8)};
  ASSERT_TRUE(script("ls\nls -l\nls --json\n-get $'evil\\xe2\\x80\\xaetxt.exe'\n"));
  const std::string names = out.str().substr(0, out.str().find('[')), json = out.str().substr(out.str().find('['));
  for (const char* shown : {"evil\\xe2\\x80\\xaetxt.exe", "\\xe2\\x81\\xa6iso", "zero\\xe2\\x80\\x8bwidth"}) {
    EXPECT_TRUE(has(names, shown)) << shown << "\n" << names;
  }
  for (const char* name : {"\nneg ", "\nabc ", "\nbig "}) {
    const std::size_t row = names.find(name);
    ASSERT_NE(row, std::string::npos) << name << names;
    EXPECT_TRUE(names.substr(row, names.find('\n', row + 1) - row).ends_with("FILE           ?")) << names;
  }
  for (const char* entry : {"\"evil\\u202etxt.exe\"", "\"\\u2066iso\"", "\"zero\\u200bwidth\"",
                            "\"neg\", \"type\": \"file\", \"size\": null, \"cut\": false",
                            "\"abc\", \"type\": \"file\", \"size\": null, \"cut\": false",
                            "\"big\", \"type\": \"file\", \"size\": null, \"cut\": false",
                            "\"lllllllllllllllllllllllllllllllllllllllll\", \"type\": \"file\", \"size\": null, \"cut\": true",
                            "\"wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww\", \"type\": \"file\", \"size\": null, \"cut\": false"}) {
    EXPECT_TRUE(has(json, entry)) << entry << "\n" << json;
  }
  EXPECT_TRUE(has(err.str(), "get: the service sent no file 'evil\\xe2\\x80\\xaetxt.exe'")) << err.str();
  EXPECT_FALSE(has_raw_control(said())) << said();
}

// A header that is no header, and a file longer or shorter than its header
// says: a clear failure, and nothing left behind.
TEST(AgainstHostileServices, GetOfAFileWhoseHeaderLiesFailsAndLeavesNothing) {
  const std::pair<HostileService::File, std::string> cases[] = {
      {{"f -1 5", text("hello")}, "was not a file header"},
      {{"f 0 -5", text("hello")}, "was not a file header"},
      {{"f x 5", text("hello")}, "was not a file header"},
      {{"f 0 1024", text("hello")}, "was not a file header"},
      {{"f 99999999999 0", text("hello")}, "was not a file header"},
      {{"f", text("hello")}, "was not a file header"},
      {{"f 0 5", text("hello"), 2}, "broke off"},         // longer: blocks where the short block belongs
      {{"f 3 0", Bytes(1024, 'a')}, "broke off"},         // shorter: one block of three
  };
  for (const auto& [file, why] : cases) {
    HostileSession at;
    at.service.files["f"] = file;
    EXPECT_FALSE(at.command({"get", "f"})) << file.header;
    EXPECT_TRUE(has(at.err.str(), why)) << file.header << ": " << at.err.str();
    EXPECT_EQ(names_in(at.home / "work"), Strings{}) << file.header;
  }
}

// Script lines and settings that hold what a line cannot: said, escaped,
// and never cut short.
TEST_F(AgainstHostileService, ScriptLinesAreQuotedEscapedAndRefusedWithNulBytesOrWithoutEnd) {
  const std::string huge(1 << 20, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"\x1b[2J\x1b" "c\n", "line 1: unknown command '\\x1b[2J\\x1bc' (try help)"},
      {"get -\x1b" "x a\n", "line 1: get: unknown option '-\\x1bx'"},
      {std::string("get a\0b\n", 8), "line 1: holds a NUL byte"},
      {huge, "line 1: is longer than 65536 bytes"},
  };
  for (const auto& [lines, expected] : cases) {
    err.str("");
    EXPECT_FALSE(script(lines + "pwd\n"));
    EXPECT_TRUE(has(err.str(), expected)) << err.str().substr(0, 200);
    EXPECT_FALSE(has_raw_control(err.str())) << err.str().substr(0, 200);
    EXPECT_TRUE(std::find(service.commands.begin(), service.commands.end(), "get a") == service.commands.end());
  }
}

// --- The mount ---

// Each name once, a folder before files of its name (cd reaches it); names
// that are no name in a folder are not shown at all.
TEST_F(AgainstHostileService, TheMountShowsEachNameOnceAFolderFirstAndNoNameThatIsNone) {
  service.listings["/srv"] = {file_line("dup", 3), folder_line("dup"), file_line("dup", 4), file_line("../x", 1),
                              folder_line(".."), file_line("a\x1b[2Jb", 1), file_line("ok", 2), file_line("ok", 2)};
  service.listings["/srv/dup"] = {file_line("inner", 1)};
  mount::ScratchDir scratch;
  OneSession source{session};
  mount::RemoteFiles files{source, scratch, pair.clock, 20s};
  mount::FolderEntries top, inner;
  mount::Attributes dup;
  pair.clock.run([&] {
    ASSERT_TRUE(ok(session.reach_service()));
    EXPECT_EQ(files.list("/", top), 0);
    EXPECT_EQ(files.attributes("/dup", dup), 0);
    EXPECT_EQ(files.list("/dup", inner), 0);
    mount::Attributes none;
    EXPECT_EQ(files.attributes("/..", none), -ENOENT);
  }, {[this] { service.serve(); }});
  Strings names;
  for (const auto& [name, attributes] : top) names.push_back(name + (attributes.is_dir ? "/" : ""));
  EXPECT_EQ(names, (Strings{"dup/", "a\x1b[2Jb", "ok"}));
  EXPECT_TRUE(dup.is_dir);
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].first, "inner");
}

// --- The real programs, against a service on the network ---

TEST(HostileServiceOnTcp, TheRealCustomerWritesNothingOutsideItsTargetAndShowsEveryNameEscaped) {
  const TempDir home;
  made(home / "work");
  write_file(home / "work/.profile-sec", text("mine"));
  HostileOnTcp hostile;
  hostile.service.listings["/srv"] = {file_line("y/.profile-sec", 3), file_line("evil\u202etxt.exe", 1),
                                      listing_line("FILE", "neg", "-5"), folder_line("docs")};
  hostile.service.listings["/srv/docs"] = {file_line("../.bash_profile", 5), folder_line("../../x")};
  hostile.service.listings["/srv/docs/../../x"] = {file_line("planted", 5)};
  for (const std::string name : {"../.bash_profile", "planted", "y/.profile-sec"}) hostile.service.files[name] = {"", text("evil\n")};
  hostile.start();
  std::ofstream(home / "script") << "-mget -f y*\nls -l\nls --json\nget -r docs\n";
  Running customer({QUORVANTIX_CUSTOMER_BINARY, "-q", "--charset", "UTF-8", "--batch", home / "script", hostile.line},
                   home / "work");
  EXPECT_EQ(customer.end(), 1) << customer.seen;
  EXPECT_EQ(paths_below(home.path()), (std::set<std::string>{"script", "work/", "work/.profile-sec"})) << customer.seen;
  EXPECT_EQ(read_file(home / "work/.profile-sec"), text("mine"));
  for (const char* part : {"docs/../.bash_profile", "docs/../../x", "evil\\xe2\\x80\\xaetxt.exe", "\"evil\\u202etxt.exe\"",
                           "\"neg\", \"type\": \"file\", \"size\": null, \"cut\": false"}) {
    EXPECT_TRUE(has(customer.seen, part)) << part << "\n" << customer.seen;
  }
  EXPECT_FALSE(has_raw_control(customer.seen)) << customer.seen;
}

TEST(HostileServiceOnTcp, TheRealMountShowsEachNameOnceAndNoNameThatIsNoNameInItsFolder) {
  if (const std::string why = why_no_mount(); !why.empty()) GTEST_SKIP() << why;
  const TempDir home, mnt;
  made(home / "copy");
  HostileOnTcp hostile;
  hostile.service.listings["/srv"] = {file_line("dup", 3), folder_line("dup"), file_line("dup", 4),
                                      file_line("../.bash_profile", 5), folder_line("../../x"), file_line("e\x1b[2Jf", 2)};
  hostile.service.listings["/srv/dup"] = {file_line("inner", 2)};
  hostile.service.files["inner"] = {"", text("in")};
  hostile.service.files["e\x1b[2Jf"] = {"", text("ef")};
  hostile.start();
  Running mount({kMount, hostile.line, mnt.path()}, home.path());
  ASSERT_EQ(mount.end(), 0) << mount.seen;
  Running listing({"ls", "-A", mnt.path()}, home.path());
  const int listed = listing.end();
  Running copy({"cp", "-r", mnt / ".", home / "copy"}, home.path());
  const int copied = copy.end();
  Running unmount({"fusermount3", "-u", "-z", mnt.path()}, home.path());
  unmount.end();
  EXPECT_EQ(listed, 0);
  EXPECT_EQ(listing.seen, "dup\ne\x1b[2Jf\n");
  EXPECT_EQ(copied, 0) << copy.seen;
  EXPECT_EQ(paths_below(home.path()), (std::set<std::string>{"copy/", "copy/dup/", "copy/dup/inner", "copy/e\x1b[2Jf"}));
}
