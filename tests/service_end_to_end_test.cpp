// The service binary as it is left running: the unit's options, a stop in the
// middle of a receive, lock files on its line, and peers on a listening TCP
// line that leave junk, stay silent or come one after the other; and such a
// line under a link of this process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "service.h"
#include "support/program_run.h"
#include "support/pty_pair.h"
#include "support/running.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;
using platform::UniqueFd;

namespace {

// `words` as one command line of the shell, with errors into the output.
std::string command(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) line += "'" + word + "' ";
  return line + "2>&1";
}

ProgramResult customer(const std::string& line, const std::vector<std::string>& commands, const std::string& in) {
  std::vector<std::string> words = {QUORVANTIX_CUSTOMER_BINARY, "-q", line};
  words.insert(words.end(), commands.begin(), commands.end());
  return run_program(words, "", in, 20s);
}

int free_tcp_port() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

UniqueFd connect_to(int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_EQ(connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Sends `out`, and reads an answer of `answer_bytes` (none for 0).
Bytes exchange(int fd, const Bytes& out, std::size_t answer_bytes) {
  send(fd, out.data(), out.size(), MSG_NOSIGNAL);
  Bytes answer(answer_bytes);
  if (answer_bytes > 0) answer.resize(std::max<ssize_t>(recv(fd, answer.data(), answer_bytes, MSG_WAITALL), 0));
  return answer;
}

}  // namespace

// The unit's command line, with --read-only: the customer's file and its
// terminate command are refused, names stay inside the root, and SIGTERM
// ends the service with 0. The line's name has 60 characters and more.
TEST(ServiceEndToEnd, UnitOptionsRefuseShutdownAndStoredFilesAndServeTheRoot) {
  TempDir dir, remote, local;
  const std::string line = dir / std::string(60, 'q');
  Running linesim(command({QUORVANTIX_LINESIM_BINARY, "--a", line, "--b", dir / "b"}), dir.path());
  ASSERT_TRUE(linesim.says("linesim: "));
  Running service(
      command({QUORVANTIX_SERVICE_BINARY, "--no-shutdown", "--read-only", "--root", remote.path(), line, "0"}),
      dir.path());
  ASSERT_TRUE(service.says("Service is ready\n")) << service.seen;
  write_file(local / "l.txt", pattern_bytes(100));
  EXPECT_EQ(customer(dir / "b", {"put", "l.txt"}, local.path()).status, 1);
  EXPECT_EQ(customer(dir / "b", {"pwd"}, local.path()).out, "/\n");
  customer(dir / "b", {"shutdown"}, local.path());
  ASSERT_TRUE(service.says("Terminierungsignal abgelehnt\n")) << service.seen;
  EXPECT_EQ(service.end(SIGTERM), 0);
  EXPECT_NE(service.seen.find("Empfangen der Datei status 11\n"), std::string::npos) << service.seen;
  EXPECT_TRUE(service.seen.ends_with("Service stopped by SIGTERM\n")) << service.seen;
  EXPECT_TRUE(names_in(remote.path()).empty());
}

TEST(ServiceEndToEnd, HelpNamesTheServedFolderAndARefusedCommandLineEndsWithTwo) {
  TempDir served;
  const auto help = run_program({QUORVANTIX_SERVICE_BINARY, "--help"}, "", served.path());
  EXPECT_NE(help.out.find("current directory (now " + served.path() + ")"), std::string::npos) << help.out;
  const auto lone = run_program({QUORVANTIX_SERVICE_BINARY, "ttyUSB0"});
  EXPECT_EQ(std::tie(lone.status, lone.out), std::make_tuple(2, std::string())) << lone.out;
}

TEST(ServiceEndToEnd, SigtermDuringAReceiveLeavesTheFolderAsItWasAndEndsWithZero) {
  TempDir dir, remote, local;
  Running linesim(command({QUORVANTIX_LINESIM_BINARY, "--a", "a", "--b", "b", "--baud", "115200"}), dir.path());
  ASSERT_TRUE(linesim.says("linesim: "));
  Running service(command({QUORVANTIX_SERVICE_BINARY, dir / "a", "0"}), remote.path());
  ASSERT_TRUE(service.says("Service is ready\n"));
  write_file(remote / "kept", pattern_bytes(10));
  write_file(local / "big", pattern_bytes(24 * 1024));  // about 2 s on this line
  Running put(command({QUORVANTIX_CUSTOMER_BINARY, "-q", dir / "b", "pwd", ";", "put", "big", "kept"}), local.path());
  ASSERT_TRUE(service.says("gesendet.\n"));
  std::this_thread::sleep_for(300ms);  // the header has been taken; blocks are coming
  EXPECT_EQ(service.end(SIGTERM), 0);
  EXPECT_TRUE(service.seen.ends_with("Empfangen der Datei status 14\nService stopped by SIGTERM\n")) << service.seen;
  EXPECT_EQ(names_in(remote.path()), std::vector<std::string>{"kept"});
  EXPECT_EQ(read_file(remote / "kept"), pattern_bytes(10));
}

// A line whose lock file names a live process is busy, in either form; a
// lock whose process is gone is taken over, and removed with the line. Where
// no lock file can be made the line is served all the same.
TEST(ServiceEndToEnd, LockFilesOfLiveProcessesRefuseTheLineAndStaleOnesAreTakenOver) {
  PtyPair line;
  TempDir locks;
  const std::string lock = locks / ("LCK.." + line.slave_path().substr(line.slave_path().rfind('/') + 1));
  const auto ten_wide = [](int pid) { return bytes_of(std::string(10 - std::to_string(pid).size(), ' ') +
                                                      std::to_string(pid) + "\n"); };
  const int alive = getpid();
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&alive);
  const std::pair<Bytes, bool> cases[] = {
      {ten_wide(alive), true}, {Bytes(raw, raw + sizeof alive), true}, {ten_wide(999'999'999), false}};
  for (const auto& [content, busy] : cases) {
    write_file(lock, content);
    Running service(command({QUORVANTIX_SERVICE_BINARY, "--lock-dir", locks.path(), line.slave_path(), "0"}),
                    locks.path());
    if (busy) {
      EXPECT_EQ(service.end(0), 1);
      EXPECT_NE(service.seen.find("the line is in use by another program"), std::string::npos) << service.seen;
      EXPECT_EQ(read_file(lock), content);
      continue;
    }
    ASSERT_TRUE(service.says("Service is ready\n")) << service.seen;
    EXPECT_EQ(read_file(lock), ten_wide(service.pid()));
    EXPECT_EQ(service.end(SIGTERM), 0);
    EXPECT_FALSE(exists(lock));
  }
  Running unlocked(command({QUORVANTIX_SERVICE_BINARY, "--lock-dir", locks / "none", line.slave_path(), "0"}),
                   locks.path());
  EXPECT_TRUE(unlocked.says("Service is ready\n")) << unlocked.seen;
}

// tcp-listen: the service on a port of its own, serving `remote`.
class ServiceOnTcp : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.says("Service is ready\n")) << service.seen; }
  ProgramResult pwd() { return customer("tcp:127.0.0.1:" + std::to_string(port), {"pwd"}, remote.path()); }

  TempDir remote;
  int port = free_tcp_port();
  Running service{command({QUORVANTIX_SERVICE_BINARY, "tcp-listen:" + std::to_string(port), "0"}), remote.path()};
};

TEST_F(ServiceOnTcp, ServesTheNextCustomerWithinASecondOfAPeerThatLeftJunk) {
  {
    UniqueFd junk = connect_to(port);
    const Bytes bytes = pattern_bytes(64 * 1024, 9);
    ASSERT_EQ(send(junk.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  const auto hung_up = std::chrono::steady_clock::now();
  EXPECT_EQ(pwd().status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - hung_up, 1s);
}

// Ten customers one after the other, none refused; one that connects while
// another is served waits its turn; a silent peer gives way to a customer.
// Peers that leave are no lost line.
TEST_F(ServiceOnTcp, CustomersComeOneAfterAnotherAndWaitTheirTurn) {
  for (int i = 0; i < 10; ++i) EXPECT_EQ(pwd().status, 0) << i;
  UniqueFd first = connect_to(port);
  EXPECT_EQ(exchange(first.get(), frame(bytes_of("\x1F\x2B\x41")), 7).size(), 7u);
  exchange(first.get(), {ACK}, 0);
  ProgramResult second;
  std::thread waiting([&] { second = pwd(); });
  std::this_thread::sleep_for(300ms);  // the second customer waits in the queue
  EXPECT_EQ(exchange(first.get(), command_frame(cmd_customer_terminate), 1), Bytes{ACK});
  first.reset();
  waiting.join();
  EXPECT_EQ(second.status, 0) << second.err;
  UniqueFd silent = connect_to(port);
  EXPECT_EQ(pwd().status, 0);
  EXPECT_EQ(service.end(SIGTERM), 0);
  EXPECT_EQ(service.seen.find("Line lost"), std::string::npos) << service.seen;
}

// A peer that closed is gone with what it sent: a whole identification frame
// that it left behind is not taken. The next peer gets the same port.
TEST(TcpListenLine, DropsWhatAPeerLeftBehindAndTakesTheNextOnTheSamePort) {
  platform::SteadyClock clock;
  Link link(clock);
  const int port = free_tcp_port();
  ASSERT_EQ(allocport(link, 0, ("tcp-listen:" + std::to_string(port)).c_str()), PORT_OK);
  const Bytes identification = frame(bytes_of("\x1F\x2B\x41"));
  UBYTE payload[4];
  exchange(connect_to(port).get(), identification, 0);  // sent, and the peer closes
  std::this_thread::sleep_for(50ms);  // its bytes and its close have arrived
  EXPECT_EQ(receive_data(link, payload, 3), LINK_TIMEOUT);
  ASSERT_TRUE(link.lost() && link.take_next_peer());
  const UniqueFd next = connect_to(port);
  exchange(next.get(), identification, 0);
  EXPECT_EQ(receive_data(link, payload, 3), LINK_OK);
}
