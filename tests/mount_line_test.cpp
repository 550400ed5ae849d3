// The real mount and the listing: names longer than the listing's field, and
// answers from what is kept while a transfer holds the line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <future>

#include "tests/support/hostile_service.h"
#include "tests/support/mount_end_to_end.h"

using namespace quorvantix;
using namespace quorvantix::testsupport;
using namespace std::chrono_literals;

// Mounted with the options that mount.fuse3 hands on from an fstab line. A
// name of 32 characters is listed whole, names of 40 with a mark, which cp -r
// fails on, and each is there by its whole name.
TEST_F(MountEndToEnd, ListsLongNamesWholeOrMarkedAndFindsThemByTheirWholeNames) {
  ASSERT_TRUE(start_service());
  const std::string whole = "Quarterly_report_2024_final2.txt", file = "Quarterly_report_2024_final_version2.txt",
                    folder = "Minutes_of_the_board_meetings_2024_to_26";
  ASSERT_EQ(mkdir((remote / folder).c_str(), 0755), 0);
  write_file(remote / whole, pattern_bytes(300)), write_file(remote / file, pattern_bytes(400, 2));
  write_file(remote / (folder + "/in.txt"), {});
  ASSERT_EQ(mount({"-o", "rw,dev,suid,defaults,x-systemd.automount,relatime"}).first, 0);
  EXPECT_EQ(names_in(mnt.path()), (Strings{folder.substr(0, 35) + "\u2026", whole, file.substr(0, 35) + "\u2026"}));
  EXPECT_EQ(shell("cat " + mnt / file + " > got && ls " + mnt / folder), std::make_pair(0, std::string("in.txt\n")));
  EXPECT_EQ(read_file(local / "got"), pattern_bytes(400, 2));
  const auto copied = run({"cp", "-r", mnt.path(), local / "copy"});
  EXPECT_TRUE(copied.first != 0 && has(copied.second, std::strerror(ENAMETOOLONG))) << copied.second;
  EXPECT_EQ(read_file_if_any(local / ("copy/" + whole)), pattern_bytes(300));
}

// A fetch that the service sends slowly until the test lets it run keeps the
// line; meanwhile the listing and the attributes kept are answered (a wait
// for the line would be killed after 20 s).
TEST_F(MountEndToEnd, AnswersWhatItKeepsWhileAFetchHoldsTheLine) {
  HostileOnTcp hostile;
  hostile.service.listings["/srv"] = {file_line("big", 200 * 1024), file_line("small", 5)};
  std::promise<void> asked, go;
  std::shared_future<void> going = go.get_future().share();
  hostile.service.on_get = [&](HostileService& service, const std::string&) {
    bool sent = service.send_frame(std::string("big 200 0").append(wire::kHeaderBytes - 9, '\0'));
    for (long block = 0; sent && block < 200; ++block) {
      if (block == 1) asked.set_value();
      if (block > 0) going.wait_for(200ms);  // a slow line, until the test lets it run
      sent = service.send_frame(std::string(1024, 'b'));
    }
  };
  hostile.start();
  mounted = run({kMount, "-o", "cache_timeout=600", hostile.line, mnt.path()}).first == 0;
  Running fetching({"cp", mnt / "big", local / "big"}, local.path());
  const bool held = asked.get_future().wait_for(60s) == std::future_status::ready;
  const auto meanwhile =
      run({"timeout", "-s", "KILL", "20", "sh", "-c", "ls " + mnt.path() + " && stat -c %s " + mnt / "small"});
  go.set_value();
  EXPECT_TRUE(held && mounted);
  EXPECT_EQ(meanwhile, std::make_pair(0, std::string("big\nsmall\n5\n")));
  EXPECT_EQ(fetching.end(), 0);
  EXPECT_EQ(read_file_if_any(local / "big"), Bytes(200 * 1024, 'b'));
}
