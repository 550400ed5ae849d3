// Names between the host's character set (UTF-8 here) and the wire's.
#include <gtest/gtest.h>

#include "tests/support/fixtures.h"

using testsupport::codec_for;

TEST(NameCodec, ConvertsBothWaysStandsInForWhatTheOtherSideLacksAndRefusesSetsThatCannotCarryNames) {
  const struct { std::string charset, host, wire; bool whole; } cases[] = {
      {"ISO-8859-1", "Gr\u00fc\u00dfe \u00e4.txt", "Gr\xFC\xDF" "e \xE4.txt", true},
      {"ISO-8859-1", "\u00ae", "\xAE", true},                       // the space substitute's own character
      {"ISO-8859-1", "\u65e5\u672c.txt", "??.txt", false},           // no Latin-1 form
      {"ISO-8859-1", "\xE4.txt", "?.txt", false},                    // no UTF-8 either: a byte alone
      {"ISO-2022-JP", "\u65e5\u672c", "\x1B$BF|K\\\x1B(B", true},   // back in ASCII at the end
      {"CP437", "a\U000E003Fb", "a?b", false},                      // a tag character iconv drops unasked
      {"raw", "\u00e4\xFF", "\u00e4\xFF", true}};
  for (const auto& [charset, host, wire, whole] : cases) {
    const host::NameCodec codec = codec_for(charset);
    std::string to_wire, back;
    EXPECT_EQ(codec.to_wire(host, to_wire), whole) << charset << " " << host;
    EXPECT_EQ(to_wire, wire) << charset << " " << host;
    EXPECT_TRUE(codec.to_host(wire, back)) << charset << " " << host;
    EXPECT_EQ(back == host, whole) << charset;
  }
  std::string host;
  EXPECT_FALSE(codec_for("UTF-8").to_host("a\xFF" "b", host));  // not UTF-8: refused by whoever asked
  EXPECT_EQ(host, "a?b");
  // A set that maps a byte to U+0000 has no character there: a name never holds a NUL.
  EXPECT_FALSE(codec_for("ISIRI-3342").to_host("a\x80zzz", host));
  EXPECT_EQ(host, "a?zzz");
  // Sets iconv lacks, and sets that change ASCII, are refused.
  const std::pair<std::string, std::string> refused[] = {
      {"NO-SUCH-SET", "iconv knows no character set 'NO-SUCH-SET'"},
      {"UTF-16", "does not keep ASCII characters as they are"}, {"UTF-7", "does not keep ASCII characters as they are"}};
  for (const auto& [charset, said] : refused) {
    std::string error;
    EXPECT_FALSE(host::NameCodec::open(charset, error, "UTF-8")) << charset;
    EXPECT_NE(error.find(said), std::string::npos) << error;
  }
}

// What a terminal would obey, what lets one name pass for another, and bytes
// that form no character are escaped; characters stand as they are.
TEST(ShownName, EscapesControlsAndWhatFormsNoCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {"Gr\u00fc\u00dfe \u65e5\u672c.txt", "Gr\u00fc\u00dfe \u65e5\u672c.txt"},
      {"a\nEmpfangen der Datei status 0", "a\\nEmpfangen der Datei status 0"},
      {"\x1b[2J\t\r\x7f", "\\x1b[2J\\t\\r\\x7f"},
      {"\u0085\u009b" "31m", "\\xc2\\x85\\xc2\\x9b31m"},  // C1 controls
      {"a\\nb", "a\\\\nb"},                              // a backslash is not an escape
      {"\xff\xe4.txt", "\\xff\\xe4.txt"},                // no UTF-8
      {"\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80", "\\xe0\\x80\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},  // overlong, surrogate, too high
      {"\xe6\x97", "\\xe6\\x97"},                        // cut off
      // Characters that steer the direction of text, take no room, or break a line: one name passes for another.
      {"evil\u202etxt.exe", "evil\\xe2\\x80\\xaetxt.exe"}, {"\u2066a\u2069", "\\xe2\\x81\\xa6a\\xe2\\x81\\xa9"},
      {"a\u200bb\u200dc", "a\\xe2\\x80\\x8bb\\xe2\\x80\\x8dc"}, {"\u200e\u200f\u061c", "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xd8\\x9c"},
      {"bom\ufeff", "bom\\xef\\xbb\\xbf"},      {"soft\u00adhyphen", "soft\\xc2\\xadhyphen"},
      {"l\u2028p\u2029", "l\\xe2\\x80\\xa8p\\xe2\\x80\\xa9"}, {"tag\U000E0041", "tag\\xf3\\xa0\\x81\\x81"},
      {"\u00e4\u65e5\u00a0ok", "\u00e4\u65e5\u00a0ok"},  {"c\xc2\x9b" "1m", "c\\xc2\\x9b1m"}};
  for (const auto& [name, shown] : cases) EXPECT_EQ(host::shown_name(name), shown) << shown;
}
