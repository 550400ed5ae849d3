// The real mount and its line: names longer than the listing's field, a
// service that restarts under a mount at another speed, and answers from
// what is kept while a transfer holds the line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <future>
#include <thread>

#include "tests/support/hostile_service.h"
#include "tests/support/mount_end_to_end.h"

using namespace quorvantix;
using namespace quorvantix::testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kMark = "\u2026";

}  // namespace

// Mounted with the options that mount.fuse3 hands on from an fstab line. A
// name of 32 characters is listed whole, names of 40 with a mark that stat
// and cp -r fail on, and each is there by its whole name. The service ends
// and starts again at 9600 baud, on a line that garbles bytes sent at another
// speed: the mount finds it and is back at its speed.
TEST_F(MountEndToEnd, ListsLongNamesWholeOrMarkedAndIsBackAtItsSpeedAfterTheServiceRestarts) {
  linesim_options.clear();
  ASSERT_TRUE(start_service());
  const std::string whole = "Quarterly_report_2024_final2.txt", file = "Quarterly_report_2024_final_version2.txt",
                    folder = "Minutes_of_the_board_meetings_2024_to_26";
  ASSERT_EQ(mkdir((remote / folder).c_str(), 0755), 0);
  write_file(remote / whole, pattern_bytes(300));
  write_file(remote / file, pattern_bytes(400, 2));
  write_file(remote / (folder + "/in.txt"), pattern_bytes(50, 3));
  ASSERT_EQ(mount({"-o", "rw,dev,suid,defaults,baud=115200,cache_timeout=0,x-systemd.automount,relatime"}).first, 0);

  EXPECT_EQ(names_in(mnt.path()), (Strings{folder.substr(0, 35) + kMark, whole, file.substr(0, 35) + kMark}));
  for (const std::string& name : {folder, file}) {
    const auto [status, said] = run({"stat", mnt / (name.substr(0, 35) + kMark)});
    EXPECT_TRUE(status != 0 && has(said, std::strerror(ENAMETOOLONG))) << said;
  }
  EXPECT_EQ(shell("cat " + mnt / file + " > got && ls " + mnt / folder), std::make_pair(0, std::string("in.txt\n")));
  EXPECT_EQ(read_file(local / "got"), pattern_bytes(400, 2));
  const auto copied = run({"cp", "-r", mnt.path(), local / "copy"});
  EXPECT_TRUE(copied.first != 0 && has(copied.second, std::strerror(ENAMETOOLONG))) << copied.second;
  EXPECT_EQ(read_file(local / ("copy/" + whole)), pattern_bytes(300));

  ASSERT_TRUE(restart_service());
  std::pair<int, std::string> listed{-1, ""};
  for (int tries = 0; tries < 150 && listed.first != 0; ++tries) {
    if (tries > 0) std::this_thread::sleep_for(200ms);
    listed = run({"cp", mnt / whole, local / "again"});
  }
  EXPECT_EQ(listed.first, 0) << listed.second;
  EXPECT_EQ(read_file_if_any(local / "again"), pattern_bytes(300));
  EXPECT_TRUE(service->says("Baudrate auf 115200 gesetzt status 0\n")) << service->seen;
}

// A fetch that the service sends slowly, until the test lets it run, keeps
// the line; meanwhile the listing and the attributes that are kept are
// answered (a wait for the line would be killed after 20 s). Names from a
// peer that formats the whole line: 40 characters whole, 45 cut at the 41
// that its frame carries.
TEST_F(MountEndToEnd, AnswersWhatItKeepsWhileAFetchHoldsTheLine) {
  HostileOnTcp hostile;
  const long blocks = 200;
  const std::string forty(40, 'd'), longer(45, 'e');
  hostile.service.listings["/srv"] = {file_line("big", blocks * wire::kBlockBytes), file_line("small", 5),
                                      file_line(forty, 7), file_line(longer, 9)};
  std::promise<void> asked, go;
  std::shared_future<void> going = go.get_future().share();
  hostile.service.on_get = [&](HostileService& service, const std::string&) {
    std::string header = "big " + std::to_string(blocks) + " 0";
    header.resize(wire::kHeaderBytes, '\0');
    bool sent = service.send_frame(header);
    for (long block = 0; sent && block < blocks; ++block) {
      if (block == 1) asked.set_value();
      if (block > 0) going.wait_for(200ms);
      sent = service.send_frame(std::string(wire::kBlockBytes, 'b'));
    }
  };
  hostile.start();
  mounted = run({kMount, "-o", "cache_timeout=600", hostile.line, mnt.path()}).first == 0;
  const std::string listed = "big\n" + forty + "\n" + longer.substr(0, 41) + kMark + "\nsmall\n";
  EXPECT_EQ(run({"ls", mnt.path()}), std::make_pair(0, listed));

  Running fetching({"cp", mnt / "big", local / "big"}, local.path());
  const bool held = asked.get_future().wait_for(60s) == std::future_status::ready;
  const auto meanwhile = run({"timeout", "-s", "KILL", "20", "sh", "-c", "ls " + mnt.path() + " && stat -c %s " + mnt / "small"});
  go.set_value();
  EXPECT_TRUE(held && mounted);
  EXPECT_EQ(meanwhile, std::make_pair(0, listed + "5\n"));
  EXPECT_EQ(fetching.end(), 0);
  EXPECT_EQ(read_file_if_any(local / "big"), Bytes(blocks * wire::kBlockBytes, 'b'));
}
