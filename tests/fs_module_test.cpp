// The current directory and its local listing, on real directories.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "fs_module.h"
#include "support/list_rows.h"
#include "support/temp_dir.h"

using namespace testsupport;

static std::string current_name() {
  char name[kDirNameBytes + 1] = "not written";
  get_akt_dir(name);
  return name;
}

TEST(FsModule, SetAktDirEntersOnlyADirectoryAndGetAktDirNamesItInFull) {
  TempDir tmp;
  const std::string sub = tmp / std::string(100, 's'), longest = sub + "/" + std::string(249 - sub.size() - 1, 'd');
  for (const auto& dir : {sub + "/inner", longest, longest + "d"}) std::filesystem::create_directories(dir);
  write_file(sub + "/plain", {});
  // A full name of 249 characters is named; one of 250 is too long.
  const struct { std::string dir; long result; std::string now_in; } cases[] = {
      {"", 1, sub},          {"missing", 0, sub},     {"plain", 0, sub},
      {"inner", 1, sub + "/inner"}, {longest, 1, longest}, {longest + "d", 1, ""},
  };
  for (const auto& c : cases) {
    CurrentDirectory start(sub);
    EXPECT_EQ(set_akt_dir(c.dir.c_str()), c.result) << c.dir;
    EXPECT_EQ(current_name(), c.now_in) << c.dir;
  }
}

TEST(FsModule, ReadAktDirAppendsOneRowPerEntryAfterTheRowsBefore) {
  TempDir tmp;
  const std::string n30(30, 'n'), l60(60, 'l');
  for (const auto& name : {std::string("abcde"), n30, l60}) write_file(tmp / name, {});
  std::filesystem::create_directory(tmp / "sub");
  CurrentDirectory inside(tmp.path());
  OwnedList list("earlier");
  ASSERT_EQ(read_akt_dir(&list), DIR_OK);
  std::vector<Row> rows = rows_of(list);
  ASSERT_EQ(rows.size(), 5U);
  std::sort(rows.begin() + 1, rows.end(), [](const Row& a, const Row& b) { return a.column0 < b.column0; });
  EXPECT_EQ(rows, (std::vector<Row>{{"earlier", "FILE", "", 0},
                                    {"abcde", "FILE", "abcde" + std::string(25, ' '), 0},
                                    {l60, "FILE", l60.substr(0, 49), 0},
                                    {n30, "FILE", n30, 0},
                                    {"sub", "DIR", padded("sub"), 1}}));
  // Short of memory after two rows: the two stay.
  static int rows_left = 2;
  const RowMaker two_rows = [](const char* name, const char* type) {
    return rows_left-- > 0 ? alloc_list_row(name, type) : nullptr;
  };
  OwnedList short_of_memory;
  EXPECT_EQ(read_akt_dir(&short_of_memory, two_rows), DIR_NO_MEMORY);
  EXPECT_EQ(rows_of(short_of_memory).size(), 2U);
}
