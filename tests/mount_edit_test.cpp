// Editing through the real mount over the line simulator, with the real
// service on a small disk of its own: editors, sed, python and rsync leave
// exactly the edited files on the service, a failed or killed writer leaves
// the old file, appenders all land, and with quiet_attrs rsync -a runs twice
// and sends nothing the second time.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "tests/support/fixtures.h"
#include "tests/support/running.h"

using namespace quorvantix;
using namespace quorvantix::testsupport;

namespace {

#ifdef QUORVANTIX_MOUNT_BINARY
const std::string kMount = QUORVANTIX_MOUNT_BINARY;
#else
const std::string kMount;
#endif

struct MountedEdits : testing::Test {
  void SetUp() override {
    if (kMount.empty() || access("/dev/fuse", R_OK | W_OK) != 0 ||
        mount("tmpfs", remote.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "needs FUSE and a tmpfs of 1 MiB for the service";
    }
    disk = true;
    linesim = std::make_unique<Running>(Strings{QUORVANTIX_LINESIM_BINARY, "--a", dir / "a", "--b", dir / "b", "--unthrottled"},
                                        dir.path());
    ASSERT_TRUE(linesim->says("linesim: "));
    service = std::make_unique<Running>(Strings{QUORVANTIX_SERVICE_BINARY, dir / "a", "0"}, remote.path());
    ASSERT_TRUE(service->says("Service is ready\n"));
  }
  ~MountedEdits() override {
    if (mounted) shell("fusermount3 -u " + mnt.path());
    service.reset();
    if (disk) umount2(remote.path().c_str(), MNT_DETACH);
  }
  std::pair<int, std::string> shell(const std::string& line) {
    Running program({"bash", "-c", line}, local.path());
    const int status = program.end();
    return {status, program.seen};
  }
  void mount_with(const std::string& options) {
    mounted = shell(kMount + " -o cache_timeout=0" + options + " " + dir / "b" +
                    " " + mnt.path()).first == 0;
    ASSERT_TRUE(mounted);
  }
  // Unmounting stores what lives only in the mount, then signs off.
  void unmount() {
    mounted = shell("fusermount3 -u " + mnt.path()).first != 0;
    EXPECT_TRUE(service->says("Customer Terminierung empfangen\n"));
  }
  static void write_text(const std::string& path, const std::string& text) { write_file(path, Bytes(text.begin(), text.end())); }
  std::string text(const std::string& name) {
    const Bytes bytes = read_file_if_any(remote / name);
    return std::string(bytes.begin(), bytes.end());
  }
  TempDir dir, remote, local, mnt;
  std::unique_ptr<Running> linesim, service;
  bool disk = false, mounted = false;
};

}  // namespace

TEST_F(MountedEdits, ToolsThatWriteThenRenameLeaveTheEditedFilesAndFailedWritersTheOldOnes) {
  for (const char* name : {"sed.txt", "py.txt", "vim.txt", "rs.txt"}) write_file(remote / name, {'o', 'l', 'd', '\n'});
  write_file(remote / "keep.bin", pattern_bytes(600 << 10));
  write_file(remote / "killed.bin", pattern_bytes(60 << 10, 2));
  write_file(local / "big.bin", pattern_bytes(5 << 20, 3));
  ASSERT_EQ(mkdir((local / "src").c_str(), 0755), 0);
  for (const char* name : {"rs.txt", "r1.txt", "r2.txt"}) write_file(local / (std::string("src/") + name), {'r', 's', '\n'});
  write_text(local / "replace.py", "import os, sys, tempfile\nwith tempfile.NamedTemporaryFile('w', dir=sys.argv[1], "
                                   "delete=False) as f:\n  f.write('py\\n')\nos.replace(f.name, sys.argv[1] + '/py.txt')\n");
  write_text(local / "killed.py", "import os, sys\nf = os.open(sys.argv[1] + '/killed.bin', os.O_WRONLY | os.O_TRUNC)\n"
                                  "os.write(f, b'x' * 7000)\nos.kill(os.getpid(), 15)\n");
  mount_with("");
  const std::string m = mnt.path();
  const std::pair<std::string, int> scenes[] = {
      {"sed -i s/old/sed/ " + m + "/sed.txt", 0},
      {"python3 replace.py " + m, 0},
      {"vim -es -u NONE -c 's/old/vim/' -c wq " + m + "/vim.txt", 0},
      {"rsync -r src/ " + m, 0},
      {"cat big.bin > " + m + "/keep.bin", 1},
      {"python3 killed.py " + m, 128 + 15},
      {"for w in A B; do (for i in 1 2 3 4 5; do echo $w$i >> " + m + "/log.txt; done) & done; wait", 0}};
  for (const auto& [line, status] : scenes) {
    const auto [got, said] = shell(line);
    EXPECT_EQ(got, status) << line << "\n" << said;
  }
  unmount();
  EXPECT_EQ(names_in(remote.path()),
            (Strings{"keep.bin", "killed.bin", "log.txt", "py.txt", "r1.txt", "r2.txt", "rs.txt", "sed.txt", "vim.txt"}));
  EXPECT_EQ(text("sed.txt") + text("py.txt") + text("vim.txt") + text("rs.txt") + text("r2.txt"), "sed\npy\nvim\nrs\nrs\n");
  EXPECT_EQ(read_file(remote / "keep.bin"), pattern_bytes(600 << 10));
  EXPECT_EQ(read_file(remote / "killed.bin"), pattern_bytes(60 << 10, 2));
  std::string lines = text("log.txt");
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, std::string(10, '\n') + "1122334455AAAAABBBBB");
}

// With quiet_attrs, rsync -a keeps the times it sets, so its second run
// sends nothing; chmod of a file only the service has is taken without effect.
TEST_F(MountedEdits, WithQuietAttrsRsyncAKeepsTimesAndSendsNothingTheSecondTime) {
  write_file(remote / "there.txt", {'o', 'l', 'd', '\n'});
  for (const char* name : {"a.txt", "b.bin"}) write_file(local / name, pattern_bytes(3000));
  ASSERT_EQ(shell("mkdir src && mv a.txt b.bin src && touch -d 2001-02-03 src/*").first, 0);
  mount_with(",quiet_attrs");
  const std::string rsync = "rsync -a --stats src/ " + mnt.path() + " | grep 'regular files transferred'";
  EXPECT_EQ(shell(rsync).second, "Number of regular files transferred: 2\n");
  EXPECT_EQ(shell(rsync).second, "Number of regular files transferred: 0\n");
  EXPECT_EQ(shell("chmod 600 " + mnt / "there.txt" + " && stat -c %a " + mnt / "there.txt"), std::make_pair(0, std::string("644\n")));
  unmount();
  EXPECT_EQ(names_in(remote.path()), (Strings{"a.txt", "b.bin", "there.txt"}));
  EXPECT_EQ(read_file(remote / "b.bin"), pattern_bytes(3000));
}
