#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs_module.h"
#include "io_atome.h"
#include "service.h"
#include "support/customer_script.h"
#include "support/list_rows.h"
#include "support/temp_dir.h"

using namespace testsupport;

namespace {

// Creates the directories under `base` that make a full name of exactly
// `length` characters; returns that name.
std::string make_dir_of_length(const std::string& base, std::size_t length, std::size_t longest_part = 150) {
  std::string path = base;
  while (path.size() < length) {
    const std::size_t left = length - path.size() - 1;
    // Never leave a remainder too short for a "/x" component.
    const std::size_t part = left > longest_part ? std::min(longest_part, left - 2) : left;
    path += "/" + std::string(part, 'd');
    std::filesystem::create_directory(path);
  }
  return path;
}

// The components of `path` below `base`.
std::vector<std::string> components_below(const std::string& base, const std::string& path) {
  std::vector<std::string> parts;
  for (const auto& part : std::filesystem::path(path.substr(base.size() + 1))) parts.push_back(part.string());
  return parts;
}

std::string current_name() {
  char name[kDirNameBytes + 1] = "not written";
  get_akt_dir(name);
  return name;
}

}  // namespace

TEST(FsModule, GetAktDirGivesTheFullNameUpTo249Characters) {
  TempDir tmp;
  const struct {
    std::size_t length;
    bool named;
  } cases[] = {{60, true}, {249, true}, {250, false}, {320, false}};
  for (const auto& c : cases) {
    const std::string path = make_dir_of_length(tmp.path(), c.length);
    ASSERT_EQ(path.size(), c.length);
    CurrentDirectory inside(path);
    EXPECT_EQ(current_name(), c.named ? path : "") << "length " << c.length;
  }
}

TEST(FsModule, SetAktDirChangesOnlyToDirectoriesThatCanBeLocked) {
  TempDir tmp;
  std::filesystem::create_directories(tmp / "sub/inner");
  write_file(tmp / "plain.txt", {'x'});
  const struct {
    std::string from;
    std::string dir;
    long result;
    std::string now_in;
  } cases[] = {
      {"", "sub", 1, "/sub"},        {"sub", "inner", 1, "/sub/inner"},   {"sub", "..", 1, ""},
      {"", "missing", 0, ""},        {"sub", "", 1, "/sub"},              {"", "plain.txt", 0, ""},
      {"sub/inner", tmp / "sub", 1, "/sub"},
  };
  for (const auto& c : cases) {
    CurrentDirectory start(tmp.path() + (c.from.empty() ? "" : "/" + c.from));
    EXPECT_EQ(set_akt_dir(c.dir.c_str()), c.result) << "from '" << c.from << "' to '" << c.dir << "'";
    EXPECT_EQ(current_name(), tmp.path() + c.now_in) << "from '" << c.from << "' to '" << c.dir << "'";
  }
}

TEST(FsModule, ReadAktDirAppendsOneRowPerEntry) {
  TempDir tmp;
  write_file(tmp / "readme", pattern_bytes(1234));
  write_file(tmp / "abcde", {});
  write_file(tmp / std::string(30, 'n'), {});
  write_file(tmp / std::string(60, 'l'), {});
  std::filesystem::create_directory(tmp / "sub");
  ASSERT_EQ(mkfifo((tmp / "pipe").c_str(), 0600), 0);
  std::filesystem::create_directory_symlink(tmp / "sub", tmp / "link-to-sub");
  std::filesystem::create_symlink(tmp / "nowhere", tmp / "dangling");
  CurrentDirectory inside(tmp.path());

  OwnedList list;
  append_row(list, "earlier");
  ASSERT_EQ(read_akt_dir(&list), DIR_OK);

  std::vector<Row> rows = rows_of(list);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front().column0, "earlier");  // kept, and first
  rows.erase(rows.begin());
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.column0 < b.column0; });
  const std::vector<Row> expected = {
      {"abcde", "FILE", "abcde" + std::string(25, ' '), 0},
      {"dangling", "FILE", padded("dangling"), 0},
      {"link-to-sub", "DIR", padded("link-to-sub"), 1},
      {std::string(60, 'l'), "FILE", std::string(49, 'l'), 0},  // cut where `entry` ends
      {std::string(30, 'n'), "FILE", std::string(30, 'n'), 0},  // exactly 30: no padding
      {"pipe", "FILE", padded("pipe"), 0},
      {"readme", "FILE", padded("readme"), 0},
      {"sub", "DIR", padded("sub"), 1},
  };
  EXPECT_EQ(rows, expected);
}

TEST(FsModule, ReadAktDirOfAnEmptyDirectoryAppendsNothing) {
  TempDir tmp;
  CurrentDirectory inside(tmp.path());
  OwnedList list;
  EXPECT_EQ(read_akt_dir(&list), DIR_OK);
  EXPECT_EQ(list.lh_Head, nullptr);
}

TEST(FsModule, ReadAktDirKeepsTheRowsMadeBeforeMemoryRanShort) {
  TempDir tmp;
  for (const char* name : {"a", "b", "c"}) write_file(tmp / name, {});
  CurrentDirectory inside(tmp.path());
  OwnedList list;
  platform::testing::limit_list_rows(2);
  const long result = read_akt_dir(&list);
  platform::testing::limit_list_rows(-1);
  EXPECT_EQ(result, DIR_NO_MEMORY);
  EXPECT_EQ(rows_of(list).size(), 2u);
}

// --- The commands, against the real service ---

TEST(FsModule, GetAktDirCommandSendsTheFirst60BytesOfTheName) {
  TempDir tmp;
  const std::string deep = make_dir_of_length(tmp.path(), 80);
  // Reached step by step: a command's argument holds at most 59 characters.
  const std::string too_long = make_dir_of_length(tmp.path(), 260, 50);
  CustomerScript customer(deep);

  customer.command(cmd_get_akt_dir);
  // 60 characters or more: the payload holds the first 60, no terminator.
  EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(frame(bytes_of(deep.substr(0, 60)))));

  customer.command(cmd_set_akt_dir, tmp.path());
  customer.command(cmd_get_akt_dir);
  Bytes short_name = bytes_of(tmp.path());
  short_name.resize(60, 0);
  EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(frame(short_name)));

  std::string expected_console = "Akt. Verzeichnisname (" + deep + ") gesendet.\n"
                                 "Akt. Verzeichnis auf " + tmp.path() + " gesetzt.\n"
                                 "Akt. Verzeichnisname (" + tmp.path() + ") gesendet.\n";
  for (const std::string& part : components_below(tmp.path(), too_long)) {
    customer.command(cmd_set_akt_dir, part);
    expected_console += "Akt. Verzeichnis auf " + part + " gesetzt.\n";
  }
  // Longer than 249 characters: no name at all.
  customer.command(cmd_get_akt_dir);
  EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(frame(Bytes(60, 0))));
  expected_console += "Akt. Verzeichnisname () gesendet.\n";

  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"),
            expected_console + "Terminierungsignal empfangen\n");
}

TEST(FsModule, SetAktDirCommandReportsOnlyAChange) {
  TempDir tmp;
  std::filesystem::create_directory(tmp / "sub");
  CustomerScript customer(tmp.path());
  const auto current_directory_frame = [&customer] {
    customer.command(cmd_get_akt_dir);
    return customer.receive_and_answer(63, ACK);
  };
  const auto frame_naming = [](const std::string& name) {
    Bytes payload = bytes_of(name);
    payload.resize(60, 0);
    return hex(frame(payload));
  };

  customer.command(cmd_set_akt_dir, "sub");
  EXPECT_EQ(hex(current_directory_frame()), frame_naming(tmp / "sub"));
  customer.command(cmd_set_akt_dir, "missing");
  EXPECT_TRUE(customer.line().quiet_for(std::chrono::milliseconds(100)));  // nothing beyond the ACK
  EXPECT_EQ(hex(current_directory_frame()), frame_naming(tmp / "sub"));
  customer.command(cmd_set_akt_dir, "");
  EXPECT_EQ(hex(current_directory_frame()), frame_naming(tmp / "sub"));

  EXPECT_EQ(customer.terminate(), 0);
  const std::string sub = tmp / "sub";
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"),
            "Akt. Verzeichnis auf sub gesetzt.\n"
            "Akt. Verzeichnisname (" + sub + ") gesendet.\n"
            "Akt. Verzeichnisname (" + sub + ") gesendet.\n"
            "Akt. Verzeichnis auf  gesetzt.\n"
            "Akt. Verzeichnisname (" + sub + ") gesendet.\n"
            "Terminierungsignal empfangen\n");
}
