// The mount program: its command line, and the real program mounted for real
// over the line simulator, with the real service at the other end, used by
// cat, cp, ls, rm, mkdir and mv.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "mount/mount_options.h"
#include "tests/support/fixtures.h"
#include "tests/support/mount_end_to_end.h"
#include "tests/support/running.h"

using namespace quorvantix::mount;

namespace {

// What the mount takes from a command line, in one line.
std::string parsed(std::vector<const char*> argv) {
  MountOptions o;
  std::string error, fuse;
  if (!parse_mount_options(static_cast<int>(argv.size()), argv.data(), o, error)) return "refused";
  if (o.help || o.version) return o.help ? "help" : "version";
  for (const auto& option : o.fuse_options) fuse += " " + option;
  return o.device + ":" + std::to_string(o.unit) + " on " + o.mountpoint + (o.foreground ? " fg" : "") +
         (o.debug ? " debug" : "") + " baud " + std::to_string(o.baud) + " cache " +
         std::to_string(o.cache_timeout.count()) + (o.charset == host::kDefaultWireCharset ? "" : " " + o.charset) + fuse;
}

}  // namespace

TEST(MountOptions, TakeOursAndHandTheRestOfDashOToTheFuseLibrary) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"m", "/dev/ttyUSB0", "/mnt"}, "/dev/ttyUSB0:0 on /mnt baud 0 cache 20"},
      {{"m", "serial.device:2", "-f", "-o", "ro,baud=115200", "-ocache_timeout=5,allow_other", "m"},
       "serial.device:2 on m fg baud 115200 cache 5 ro allow_other"},
      {{"m", "-d", "-o", "charset=ISO-8859-15", "--", "tcp:host:2323", "-m"},
       "tcp:host:2323:0 on -m fg debug baud 0 cache 20 ISO-8859-15"},
      // What mount.fuse3 hands on from an fstab line: the options that are mount(8)'s own go.
      {{"m", "tcp:h:1", "/mnt", "-o", "rw,noauto,user,dev,suid,defaults,_netdev,nofail,x-systemd.automount,relatime"},
       "tcp:h:1:0 on /mnt baud 0 cache 20 rw dev suid"},
      {{"m", "--version"}, "version"},           {{"m", "-h", "x"}, "help"},
      {{"m", "/dev/ttyUSB0"}, "refused"},        {{"m", "a", "b", "c"}, "refused"},
      {{"m", "nowhere", "m"}, "refused"},        {{"m", "serial.device:u", "m"}, "refused"},
      {{"m", "-o", "baud=0", "/dev/x", "m"}, "refused"}, {{"m", "-o", "cache_timeout=-1", "/dev/x", "m"}, "refused"},
      {{"m", "-o", "charset=NO-SUCH-SET", "/dev/x", "m"}, "refused"},
      {{"m", "-x", "/dev/x", "m"}, "refused"},   {{"m", "/dev/x", "m", "-o"}, "refused"}};
  for (const auto& [argv, expected] : cases) EXPECT_EQ(parsed(argv), expected) << argv[1];
}

TEST_F(MountEndToEnd, StoresWhatIsCopiedInAndRefusesWhatTheLineCannotDo) {
  ASSERT_TRUE(start_service());
  write_file(remote / "hello.txt", pattern_bytes(5));
  ASSERT_EQ(mkdir((remote / "docs").c_str(), 0755), 0);
  write_file(local / "up.bin", pattern_bytes(5000, 9));
  write_file(local / "empty", {});
  ASSERT_EQ(mount().first, 0);
  EXPECT_EQ(run({"cp", "up.bin", "empty", mnt / "docs"}), std::make_pair(0, std::string()));
  EXPECT_EQ(read_file(remote / "docs/up.bin"), pattern_bytes(5000, 9));
  EXPECT_TRUE(exists(remote / "docs/empty") && read_file(remote / "docs/empty").empty());
  // What the line cannot do is refused at once, and nothing goes over it.
  const std::string console = service->seen;
  const Strings refused[] = {{"rm", mnt / "hello.txt"}, {"rmdir", mnt / "docs"},     {"mkdir", mnt / "new"},
                             {"mv", mnt / "hello.txt", mnt / "docs/moved.txt"},   {"chmod", "600", mnt / "hello.txt"},
                             {"ln", "-s", "hello.txt", mnt / "link"},             {"ln", mnt / "hello.txt", mnt / "hard"}};
  for (const auto& words : refused) {
    const auto [status, said] = run(words);
    EXPECT_TRUE(status != 0 && has(said, std::strerror(EPERM))) << words[0] << ": " << said;
  }
  EXPECT_EQ(service->seen, console);
}

// One mount, read-only at 115200 baud with nothing kept: it holds the line,
// gives EIO while the line is lost and serves again once it has found the
// service, and once the service has restarted at 9600 baud, each time at its
// speed; unmounted, it signs off for the next customer.
TEST_F(MountEndToEnd, HoldsTheLineGivesEioWhileItIsLostAndSignsOffForTheNextCustomerWhenUnmounted) {
  follows_speeds = true;
  ASSERT_TRUE(start_service());
  write_file(remote / "kept.txt", pattern_bytes(100));
  write_file(local / "new.txt", pattern_bytes(100, 2));
  ASSERT_EQ(mount({"-o", "ro,baud=115200,cache_timeout=0"}).first, 0);
  const auto [status, said] = mount();
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(has(said, "the line is in use by another program")) << said;
  const auto copied = run({"cp", "new.txt", mnt.path()});
  EXPECT_TRUE(copied.first != 0 && has(copied.second, std::strerror(EROFS))) << copied.second;
  EXPECT_EQ(run({"sh", "-c", "cat " + mnt / "kept.txt" + " > kept.txt"}).first, 0);
  EXPECT_EQ(read_file(local / "kept.txt"), pattern_bytes(100));
  linesim->end(SIGTERM);
  for (int i = 0; i < 2; ++i) {
    const auto [status, said] = run({"ls", mnt.path()});
    EXPECT_TRUE(status != 0 && has(said, std::strerror(EIO))) << said;
  }
  ASSERT_TRUE(start_linesim());
  ASSERT_TRUE(service->says("Line is open again\n")) << service->seen;
  const auto listed_again = [&] {
    std::pair<int, std::string> listed{-1, ""};
    for (int tries = 0; tries < 150 && listed.first != 0; ++tries) {
      if (tries > 0) std::this_thread::sleep_for(200ms);
      listed = run({"ls", mnt.path()});
    }
    return listed;
  };
  EXPECT_EQ(listed_again(), std::make_pair(0, std::string("kept.txt\n")));
  service->end(SIGTERM);
  ASSERT_TRUE(start_service());
  EXPECT_EQ(listed_again(), std::make_pair(0, std::string("kept.txt\n")));
  ASSERT_TRUE(unmount());
  EXPECT_TRUE(service->says("Customer Terminierung empfangen\n")) << service->seen;
  EXPECT_TRUE(has(service->seen, "Baudrate auf 115200 gesetzt status 0\n")) << service->seen;
  // The mount lets go of the line a moment after its sign-off.
  std::pair<int, std::string> next{-1, ""};
  for (int tries = 0; tries < 50 && (tries == 0 || has(next.second, "in use")); ++tries) {
    if (tries > 0) std::this_thread::sleep_for(100ms);
    next = run({QUORVANTIX_CUSTOMER_BINARY, "-q", dir / "b", "pwd"});
  }
  EXPECT_EQ(next, std::make_pair(0, remote.path() + "\n"));
  EXPECT_EQ(names_in(remote.path()), Strings{"kept.txt"});
}
