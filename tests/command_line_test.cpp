// The customer's words before any line is opened: its command line and
// settings file, commands split and checked, names that must fit a header,
// texts cut to the terminal, completion and patterns.
#include <gtest/gtest.h>

#include <clocale>

#include "customer/completion.h"
#include "customer/options.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/run.h"
#include "customer/text_width.h"
#include "customer/transfers.h"
#include "tests/support/fixtures.h"

using namespace quorvantix::session;
using namespace quorvantix::customer;

namespace {

// What the customer takes from a command line, in one line.
std::string parsed(std::vector<const char*> argv) {
  Options o;
  std::string error, words;
  if (!parse_options(static_cast<int>(argv.size()), argv.data(), o, error)) return "refused";
  for (const auto& word : o.command_words) words += " " + word;
  return o.device + " unit " + std::to_string(o.unit) + " baud " + std::to_string(o.baud) + (o.quiet ? " quiet" : "") +
         (o.batch.empty() ? "" : " batch " + o.batch) + (o.version ? " version" : "") +
         (o.charset == host::kDefaultWireCharset ? "" : " charset " + o.charset) + words;
}

}  // namespace

TEST(CustomerParsing, OptionsStandAroundTheDeviceUpToTheFirstCommandShortOrLongJoinedOrSeparate) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"c", "--unit", "2", "--baud=115200", "-q", "/dev/x", "get", "-q"}, "/dev/x unit 2 baud 115200 quiet get -q"},
      {{"c", "/dev/x", "-q", "-u", "3", "-cd", "x"}, "/dev/x unit 3 baud 0 quiet -cd x"},
      {{"c", "-", "/dev/x"}, "/dev/x unit 0 baud 0 batch -"}, {{"c", "/dev/x", "-!ls", "-l"}, "/dev/x unit 0 baud 0 -!ls -l"},
      {{"c", "-b", "115200", "-u2", "-q", "--batch", "f", "d"}, "d unit 2 baud 115200 quiet batch f"},
      {{"c", "--baud=115200", "--unit", "2", "--quiet", "--batch=f", "d"}, "d unit 2 baud 115200 quiet batch f"},
      {{"c", "-V"}, " unit 0 baud 0 version"},
      {{"c"}, "refused"},          {{"c", "-q"}, "refused"},          {{"c", "--unit"}, "refused"},
      {{"c", "--baud", "0", "x"}, "refused"}, {{"c", "--unit", "-1", "x"}, "refused"}, {{"c", "-x", "x"}, "refused"},
      {{"c", "-b", "abc", "d"}, "refused"},   {{"c", "-qb", "d"}, "refused"},          {{"c", "--batch"}, "refused"},
      {{"c", "--charset=raw", "d"}, "d unit 0 baud 0 charset raw"},
      {{"c", "--charset", "NO-SUCH-SET", "d"}, "refused"}, {{"c", "-cd", "x"}, "refused"}};
  for (const auto& [argv, expected] : cases) EXPECT_EQ(parsed(argv), expected) << argv.back();
}

// The settings file gives defaults, the command line wins, and a line in it
// that cannot be used (NUL bytes and huge lines too) is named by its number.
TEST(CustomerParsing, TheSettingsFileGivesDefaultsThatTheCommandLineOverrides) {
  const TempDir dir;
  const std::string file = dir / "customer.conf";
  Options options;
  std::string said, seen;
  write_file(file, text("# mine\n\nline = /dev/ttyUSB1\nunit=2\n baud = 115200 \ncharset = raw\noverwrite = on\n"));
  ASSERT_TRUE(read_settings(file, options, said)) << said;
  EXPECT_TRUE(options.overwrite && options.charset == "raw");
  for (std::vector<const char*> argv : {std::vector<const char*>{"c", "ls", "-l"}, {"c", "-b", "9600", "/dev/y", "ls"}}) {
    Options with = options;
    ASSERT_TRUE(parse_options(static_cast<int>(argv.size()), argv.data(), with, said) && !with.command_words.empty());
    seen += with.device + " " + std::to_string(with.unit) + " " + std::to_string(with.baud) + " " + with.command_words[0] + ";";
  }
  EXPECT_EQ(seen, "/dev/ttyUSB1 2 115200 ls;/dev/y 2 9600 ls;");
  const std::pair<std::string, std::string> wrong[] = {
      {"line /dev/x\n", "line 1: a setting is NAME = VALUE, not 'line /dev/x'"},
      {"\nspeed = 9600\n", "line 2: there is no setting 'speed' (line, unit, baud, charset, overwrite)"},
      {"baud = fast\n", "line 1: -b/--baud takes a line speed in baud (for example 115200), not 'fast'"},
      {"overwrite = yes\n", "line 1: overwrite takes on or off, not 'yes'"},
      {std::string("line = /dev/x\0y\n", 16), "line 1: holds a NUL byte; a text file has none"},
      {"# a comment\n" + std::string(1 << 20, 'x'), "line 2: is longer than 4096 bytes"}};
  for (const auto& [content, error] : wrong) {
    write_file(file, text(content));
    Options untouched;
    EXPECT_FALSE(read_settings(file, untouched, said)) << error;
    EXPECT_EQ(said, file + ", " + error);
    EXPECT_EQ(untouched.device, "");
  }
  Options none;
  EXPECT_TRUE(read_settings(dir / "absent.conf", none, said) && none.device.empty());
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(settings_path(), dir / "quorvantix/customer.conf");
  unsetenv("XDG_CONFIG_HOME");
}

TEST(CustomerParsing, SplitsWordsAndLinesIntoCommands) {
  // A lone string is a line of a script, or a word with blanks after DEVICE: both split alike.
  const std::pair<Strings, std::vector<Command>> cases[] = {
      {{"get", "my file", "'x'"}, {{"get", "my file", "'x'"}}},
      {{";", "cd", "sub", ";", "get", "a;", "ls;", ";"}, {{"cd", "sub"}, {"get", "a"}, {"ls"}}},
      {{R"(  put  "my file" 'x y' a\ b "q\"\\"  )"}, {{"put", "my file", "x y", "a b", "q\"\\"}}},
      {{"cd sub;get 'a;b' a#b ; pwd # comment"}, {{"cd", "sub"}, {"get", "a;b", "a#b"}, {"pwd"}}},
      {{"pwd; -!ls  -l 'a b'; x"}, {{"pwd"}, {"-!", "ls  -l 'a b'; x"}}},
      {{"!ls", "-l", "a b", ";", "pwd"}, {{"!", "ls -l a b"}, {"pwd"}}},
      {{"!"}, {{"!"}}},
      {{R"(get $'a\nb\x1b[2J\\\'' $'\q\x' $x)"}, {{"get", "a\nb\x1b[2J\\'", "\\q\\x", "$x"}}},  // as names are shown
      {{"get 'open"}, {}},  // refused
      {{"get $'open"}, {}},
  };
  std::string error;
  for (const auto& [words, commands] : cases) {
    std::vector<Command> got[2];
    const bool ok = split_words(words, got[0], error) && (words.size() > 1 || split_line(words[0], got[1], error));
    EXPECT_EQ(ok, !commands.empty()) << words.front();
    EXPECT_EQ(got[0], commands) << words.front();
    EXPECT_EQ(got[words.size() == 1 ? 1 : 0], commands) << words.front();  // a line splits alike
  }
}

// Before the line is opened: names, options and arguments of every command.
TEST(CustomerParsing, ChecksCommandsTheirOptionsAndArguments) {
  const std::pair<Command, bool> cases[] = {
      {{"get", "a", "b"}, true},          {{"bye"}, true},                     {{"fetch", "x"}, false},
      {{"get"}, false},                   {{"get", "a", "b", "c"}, false},     {{"pwd", "x"}, false},
      {{"baud", "abc"}, false},           {{"get", "-rf", "d", "l"}, true},    {{"get", "-x", "a"}, false},
      {{"get", "--", "-x"}, true},        {{"cd", std::string(60, 'd')}, false}, {{"-cd", "x"}, true},
      {{"mget"}, false},                  {{"mget", "-f", "*", "?"}, true},    {{"put", "-f", "a"}, false},
      {{"set", "overwrite", "on"}, true}, {{"set", "overwrite", "yes"}, false}, {{"-"}, false},
      {{"cd", umlauts(59)}, true},        {{"get", umlauts(60)}, false},  // characters, not their UTF-8 bytes
      {{"ls", "-l", "--json", "d"}, true}, {{"ls", "a", "b"}, false},   {{"get", "-n", "a"}, false},
      {{"get", "-rn", "d"}, true},        {{"mput", "-fn", "*"}, true},     {{"put", "-n", "a"}, false},
      {{"baud"}, true},                   {{"lcd"}, true},                  {{"lmkdir"}, false},
      {{"help", "get"}, true},            {{"?", "nope"}, false},           {{"!", "ls -l"}, true}};
  std::string error;
  for (const auto& [command, ok] : cases) EXPECT_EQ(check_command(command, error), ok) << command[0] << error;
}

TEST(CustomerNames, AWireNameAndItsSizeMustFitTheHeader) {
  const std::string fits(56, 'n');  // "nnn... 0 5" fills the 60 bytes
  using session::Kind;
  const std::optional<Kind> fine, too_long = Kind::name_too_long, unusable = Kind::name_unusable;
  const std::tuple<std::string, std::int64_t, std::optional<Kind>> cases[] = {
      {fits, 5, fine},   {fits, 10240, too_long}, {fits + "n", 5, too_long}, {"a b", 1, fine},
      {"", 1, unusable}, {"..", 1, unusable},     {"a\tb", 1, unusable},     {"a\nb", 1, unusable},
      {"a\xAE", 1, unusable}};
  for (const auto& [name, size, result] : cases) EXPECT_EQ(kind_of(check_wire_name(name, size)), result) << name;
}

TEST(CustomerText, CutsWholeCharactersWithAMarkAndKeepsLinesWithinTheTerminal) {
  EXPECT_EQ(format_bytes(1023) + ", " + format_bytes(1536) + ", " + format_bytes(std::int64_t{3} << 30) + ", " +
                format_duration(7s) + ", " + format_duration(754s) + ", " + format_duration(3723s),
            "1023 B, 1.5 KiB, 3.00 GiB, 0:07, 12:34, 1:02:03");
  EXPECT_EQ(summary_line("a", 3 << 20, 2s), "a: 3.0 MiB in 2.00 s, 1.5 MiB/s");
  std::setlocale(LC_CTYPE, "C.UTF-8");  // character widths as a UTF-8 terminal has them
  const std::tuple<std::string, std::size_t, std::string> cases[] = {
      {"abcdef", 4, "abc\u2026"}, {"abc", 3, "abc"}, {"\u540d\u524d\u524d", 4, "\u540d\u2026"},
      {"\u00e4\u00e4\u00e4\u00e4", 3, "\u00e4\u00e4\u2026"}, {"ab\xC3", 2, "a\u2026"}};
  for (const auto& [text, columns, fitted] : cases) EXPECT_EQ(fit_columns(text, columns), fitted) << text;
  EXPECT_EQ(display_width("\u540d\u524d.txt") + display_width("\u00e4"), 9u);
  EXPECT_EQ(whole_characters("abc\xE5\x90") + whole_characters("\xC3\xA4") + pad_columns("\u00e4", 3), "abc\u00e4\u00e4  ");
  const std::string label = "get a_rather_long_file_name_for_\u540d\u524d.bin";  // the time left goes first
  EXPECT_EQ(progress_line(label, 5000, 20000, 3s, 62), "get a_rather_long_file_name_for_\u540d\u2026  25%  4.9 KiB of 19.5 KiB");
  EXPECT_EQ(summary_line(label, 2000, 2s, 40), "get a_rat\u2026: 2.0 KiB in 2.00 s, 1000 B/s");
  std::setlocale(LC_CTYPE, "C");
}

TEST(CustomerCompletion, RemoteNamesWhereTheServiceTakesThemLocalOnesElsewhereQuotedSoThatTheyParse) {
  using K = NameKind;
  const std::pair<std::string, K> cases[] = {
      {"", K::command},           {"ls; ", K::command},   {"cd ", K::remote_folder}, {"get ", K::remote_file},
      {"get -r ", K::remote_folder}, {"get a ", K::local}, {"-get \"", K::remote_file}, {"mget a ", K::remote_here},
      {"put ", K::local},         {"put a ", K::remote_any}, {"mput -f ", K::local}, {"lcd ", K::local},
      {"baud ", K::nothing},      {"cd a ", K::nothing},  {"ls -l ", K::remote_any}, {"help ", K::command},
      {"!ls ", K::local},         {"get -n --json ", K::remote_file}};
  for (const auto& [before, kind] : cases) EXPECT_EQ(completion_kind(before), kind) << before;
  const std::vector<RemoteEntry> listing = {
      {EntryType::folder, "bulk", 4096}, {EntryType::file, "hello.txt", 20}, {EntryType::file, "help", 1},
      {EntryType::file, std::string(30, 'h'), -1, true}};
  EXPECT_EQ(remote_candidates(listing, K::remote_file, "h"), (Strings{"hello.txt", "help"}));
  EXPECT_EQ(remote_candidates(listing, K::remote_file, "Projects/b"), Strings{"Projects/bulk/"});
  EXPECT_EQ(remote_candidates(listing, K::remote_folder, ""), Strings{"bulk/"});
  EXPECT_EQ(remote_candidates(listing, K::remote_here, "b"), Strings{});
  // Closed as readline closes it, each splits back into the name.
  const std::pair<std::string, char> names[] = {{"it's here.txt", 0}, {"say \"hi\".txt", 0}, {"both'\\\"", 0},
                                                {"it's", '\''},       {"a b", '"'},           {"tab\there", 0}};
  for (auto [name, quote] : names) {
    const std::string quoted = quoted_for_line(name, quote);
    std::vector<Command> commands;
    std::string error;
    EXPECT_TRUE(split_line("get " + quoted + quote, commands, error)) << quoted;
    EXPECT_EQ(commands, (std::vector<Command>{{"get", name}})) << quoted;
  }
}

// A name the listing cut goes on beyond what can be seen: a pattern matches
// none of its endings, some (the cut part decides), or all of them.
TEST(CustomerPatterns, APatternMeetsACutNameByWhatItsEndingsCanBe) {
  std::setlocale(LC_CTYPE, "C.UTF-8");  // ? takes a character, not a byte
  const std::tuple<std::string, std::string, Reach> cases[] = {
      {"*", "abc", Reach::all},        {"a*", "abc", Reach::all},        {"*c*", "abc", Reach::all},
      {"[a-c]b?*", "abc", Reach::all}, {"?*", "abc", Reach::all},        {"abc?", "abc", Reach::some},
      {"*.txt", "abc", Reach::some},   {"a*x", "abc", Reach::some},      {"b*", "abc", Reach::none},
      {"abc", "abc", Reach::none},     {"*", ".abc", Reach::none},       {".*", ".abc", Reach::all},
      {"?ber*", "\u00fcber", Reach::all}, {"\\*x*", "*xy", Reach::all}, {"[[:digit:]]*", "1a", Reach::all},
      {"*[!a]", "ab", Reach::some}};
  for (const auto& [pattern, start, reach] : cases) EXPECT_EQ(pattern_reach(pattern, start), reach) << pattern << " " << start;
  std::setlocale(LC_CTYPE, "C");
}
