// Editing through the real mount over the line simulator, with the real
// service on a small disk of its own: editors, sed, python and rsync leave
// exactly the edited files on the service, a failed or killed writer leaves
// the old file, appenders all land, and with quiet_attrs rsync -a runs twice
// and sends nothing the second time.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "tests/support/fixtures.h"
#include "tests/support/mount_end_to_end.h"
#include "tests/support/running.h"

namespace {

struct MountedEdits : testing::Test {
  void SetUp() override {
    if (!why_no_mount().empty() || mount("tmpfs", remote.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "needs FUSE and a tmpfs of 1 MiB for the service";
    }
    if (std::system("command -v rsync >/dev/null && command -v vim >/dev/null") != 0) GTEST_SKIP() << "needs rsync and vim";
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
    mounted = shell(kMount + " -o cache_timeout=0" + options + " " + dir / "b" + " " + mnt.path()).first == 0;
    ASSERT_TRUE(mounted);
  }
  // Unmounting stores what lives only in the mount, then signs off.
  void unmount() {
    mounted = shell("fusermount3 -u " + mnt.path()).first != 0;
    EXPECT_TRUE(service->says("Customer Terminierung empfangen\n"));
  }
  static void write_text(const std::string& path, const std::string& text) { write_file(path, Bytes(text.begin(), text.end())); }
  TempDir dir, remote, local, mnt;
  std::unique_ptr<Running> linesim, service;
  bool disk = false, mounted = false;
};

}  // namespace

TEST_F(MountedEdits, ToolsThatWriteThenRenameLeaveTheEditedFilesAndFailedWritersTheOldOnes) {
  const std::string r = remote.path(), m = mnt.path();
  write_text(local / "edit.py", "import os, sys, tempfile\nm = sys.argv[1]\nwith tempfile.NamedTemporaryFile('w', dir=m, "
                                "delete=False) as f:\n  f.write('py\\n')\nos.replace(f.name, m + '/py.txt')\nf = os.open(m + "
                                "'/killed.bin', os.O_WRONLY | os.O_TRUNC)\nos.write(f, b'x' * 7000)\nos.kill(os.getpid(), 15)\n");
  ASSERT_EQ(shell("for f in sed py vim rs; do echo old > " + r + "/$f.txt; done; mkdir src; for f in rs r1 r2; do echo rs > "
                  "src/$f.txt; done; head -c 5M /dev/urandom > big.bin; head -c 600K /dev/urandom | tee keep.bin > " + r +
                  "/keep.bin; head -c 60K /dev/urandom | tee killed.bin > " + r + "/killed.bin").first, 0);
  mount_with("");
  const std::pair<std::string, int> scenes[] = {
      {"sed -i s/old/sed/ " + m + "/sed.txt", 0},
      {"python3 edit.py " + m, 128 + 15},  // os.replace, then killed while it writes
      {"{ timeout 0.3 sleep 5; echo on; } > " + m + "/on.txt", 0},  // a killed child shared the descriptor
      {"vim -es -u NONE -c 's/old/vim/' -c wq " + m + "/vim.txt", 0},
      {"rsync -r src/ " + m, 0},
      {"cat big.bin > " + m + "/keep.bin", 1},  // the disk is full
      {"cp big.bin " + m + "/.big && mv " + m + "/.big " + m + "/keep.bin", 1},
      {"for w in A B; do (for i in 1 2 3 4 5; do echo $w$i >> " + m + "/log.txt; done) & done; wait", 0}};
  for (const auto& [line, status] : scenes) EXPECT_EQ(shell(line).first, status) << line;
  unmount();
  EXPECT_EQ(names_in(r), (Strings{"keep.bin", "killed.bin", "log.txt", "on.txt", "py.txt", "r1.txt", "r2.txt", "rs.txt",
                                   "sed.txt", "vim.txt"}));
  EXPECT_EQ(shell("cd " + r + " && cat sed.txt py.txt vim.txt rs.txt r2.txt on.txt; cmp keep.bin " + local / "keep.bin" +
                  "; cmp killed.bin " + local / "killed.bin" + "; sort log.txt | paste -sd,"),
            std::make_pair(0, std::string("sed\npy\nvim\nrs\nrs\non\nA1,A2,A3,A4,A5,B1,B2,B3,B4,B5\n")));
}

// With quiet_attrs, rsync -a keeps the times it sets, so its second run
// sends nothing; chmod of a file only the service has is taken without effect.
TEST_F(MountedEdits, WithQuietAttrsRsyncAKeepsTimesAndSendsNothingTheSecondTime) {
  const std::string rsync = "rsync -a --stats src/ " + mnt.path() + " | grep regular.files.transferred";
  ASSERT_EQ(shell("echo old > " + remote / "there.txt" + "; mkdir src && echo a > src/a && touch -d 2001-02-03 src/a").first, 0);
  mount_with(",quiet_attrs");
  EXPECT_EQ(shell(rsync).second, "Number of regular files transferred: 1\n");
  EXPECT_EQ(shell(rsync).second, "Number of regular files transferred: 0\n");
  EXPECT_EQ(shell("chmod 600 " + mnt / "there.txt" + " && stat -c %a " + mnt / "there.txt"), std::make_pair(0, std::string("644\n")));
  unmount();
  EXPECT_EQ(names_in(remote.path()), (Strings{"a", "there.txt"}));
}
