// The real mount over the line simulator, with the real service at the
// other end: the fixture of the tests that mount for real.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/running.h"

namespace quorvantix::testsupport {

#ifdef QUORVANTIX_MOUNT_BINARY
inline const std::string kMount = QUORVANTIX_MOUNT_BINARY;
#else
inline const std::string kMount;
#endif

// Why the real program cannot be mounted here, or nothing.
inline std::string why_no_mount() {
  if (kMount.empty()) return "quorvantix-mount was not built (libfuse3 was not found)";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is not there for this user";
  if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) return "fusermount3 is not installed";
  return {};
}

// The service serving `remote` on end a of the line simulator; mounts of end
// b on `mnt`. Whatever a test leaves mounted is unmounted before the programs go.
struct MountEndToEnd : testing::Test {
  void SetUp() override {
    if (const std::string why = why_no_mount(); !why.empty()) GTEST_SKIP() << why;
  }
  ~MountEndToEnd() override {
    if (mounted) run({"fusermount3", "-u", "-z", mnt.path()});
  }
  bool start_linesim() {
    Strings words{QUORVANTIX_LINESIM_BINARY, "--a", dir / "a", "--b", dir / "b"};
    if (!follows_speeds) words.push_back("--unthrottled");
    linesim = std::make_unique<Running>(words, dir.path());
    return linesim->says("linesim: ");
  }
  bool start_service(Strings options = {}) {
    if (!linesim && !start_linesim()) return false;
    options.insert(options.begin(), QUORVANTIX_SERVICE_BINARY);
    options.insert(options.end(), {dir / "a", "0"});
    service = std::make_unique<Running>(options, remote.path());
    return service->says("Service is ready\n");
  }
  // `words` run to their end in `local`: the exit status and what they wrote.
  std::pair<int, std::string> run(const Strings& words) {
    Running program(words, local.path());
    const int status = program.end();
    return {status, program.seen};
  }
  std::pair<int, std::string> shell(const std::string& line) { return run({"sh", "-c", line}); }
  // The mount, in the background as it goes by default: it returns once mounted.
  std::pair<int, std::string> mount(Strings options = {}) {
    options.insert(options.begin(), kMount);
    options.insert(options.end(), {dir / "b", mnt.path()});
    const auto result = run(options);
    mounted = mounted || result.first == 0;
    return result;
  }
  bool unmount() {
    mounted = run({"fusermount3", "-u", mnt.path()}).first != 0;
    return !mounted;
  }
  TempDir dir, remote, local, mnt;
  std::unique_ptr<Running> linesim, service;
  bool follows_speeds = false;  // the line garbles what one end sends at another speed than the other's
  bool mounted = false;
};

}  // namespace quorvantix::testsupport
