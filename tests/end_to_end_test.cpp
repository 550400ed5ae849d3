// The service program, as a user of its own, serving a folder to a customer
// on a TCP line.
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>

#include <gtest/gtest.h>

#include "io_module.h"
#include "service.h"
#include "session.h"
#include "support/temp_dir.h"

using namespace testsupport;

namespace {

int free_port() {
  const platform::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Every name in `dir` with its contents, mode and owner.
std::map<std::string, std::tuple<Bytes, mode_t, uid_t>> state_of(const std::string& dir) {
  std::map<std::string, std::tuple<Bytes, mode_t, uid_t>> state;
  for (const std::string& name : names_in(dir)) {
    struct stat st {};
    lstat((dir + "/" + name).c_str(), &st);
    state[name] = {read_file(dir + "/" + name), st.st_mode & 07777, st.st_uid};
  }
  return state;
}

// A child process, killed at the end at the latest.
struct Child {
  ~Child() { kill_now(); }
  void kill_now() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  pid_t pid;
};

}  // namespace

TEST(EndToEndStoring, ReplacedFilesKeepTheirModeButNoSetuidOfAnotherOwnerAndAKilledReceiveLeavesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the service as nobody";
  TempDir served, local;
  chmod(served.path().c_str(), 0777);
  const passwd nobody = *getpwnam("nobody");
  write_file(local / "new.bin", pattern_bytes(3000, 4));
  const struct { const char* name; uid_t owner; mode_t mode, new_mode; } files[] = {
      {"setuid", 1234, 06757, 0757}, {"plain", nobody.pw_uid, 0640, 0640}};
  for (const auto& f : files) {
    write_file(served / f.name, pattern_bytes(10));
    ASSERT_EQ(chown((served / f.name).c_str(), f.owner, 0), 0);  // before chmod: a chown clears setuid
    ASSERT_EQ(chmod((served / f.name).c_str(), f.mode), 0);
  }
  const std::string port = std::to_string(free_port());
  const std::string device = "tcp-listen:" + port;
  Child service{fork()};
  if (service.pid == 0) {
    if (chdir(served.path().c_str()) == 0 && setgroups(0, nullptr) == 0 && setgid(nobody.pw_gid) == 0 &&
        setuid(nobody.pw_uid) == 0 && std::freopen("/dev/null", "w", stdout) != nullptr) {
      execl(QUORVANTIX_SERVICE_BINARY, "quorvantix", device.c_str(), "0", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  platform::SteadyClock clock;
  Link link(clock);
  for (int tries = 0; tries < 250 && allocport(link, 0, ("tcp:127.0.0.1:" + port).c_str()) != PORT_OK; ++tries) {
    link.delay_ticks(1);
  }
  customer_side::Session session(link);
  ASSERT_EQ(customer_side::reach_service(session), LINK_OK);
  for (const auto& f : files) {
    EXPECT_EQ(customer_side::remote_put(session, local / "new.bin", f.name, nullptr), FILE_OK) << f.name;
    EXPECT_EQ(state_of(served.path())[f.name], std::make_tuple(pattern_bytes(3000, 4), f.new_mode, nobody.pw_uid));
  }
  // A third upload, killed after its header and two blocks.
  const auto before = state_of(served.path());
  const char command[kCommandFrameBytes] = {static_cast<char>(cmd_receive_file)}, header[kHeaderBytes] = "plain 9 0";
  const std::string block(kBlockBytes, 'k');
  ASSERT_EQ(send_data(link, command, kCommandFrameBytes), LINK_OK);
  ASSERT_EQ(send_data(link, header, kHeaderBytes), LINK_OK);
  for (int block_number = 0; block_number < 2; ++block_number) {
    ASSERT_EQ(send_data(link, block.data(), kBlockBytes), LINK_OK);
  }
  service.kill_now();
  EXPECT_EQ(state_of(served.path()), before);
  freeport(link, 0);
}
