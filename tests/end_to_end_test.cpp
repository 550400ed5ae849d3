// The real programs: the service and its customers over the line simulator
// or TCP, one after another, across a line that goes away, under the unit's
// options and stops, storing files as a user of its own, and behind a
// terminal server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "host/unique_fd.h"
#include "tests/support/fixtures.h"
#include "tests/support/running.h"
#include "wire/file_stream.h"

namespace {

const std::string kService = QUORVANTIX_SERVICE_BINARY, kCustomer = QUORVANTIX_CUSTOMER_BINARY;

// The service serving `remote`: on end a of the line simulator, whose end b
// is for the customers, or on a line of its own.
struct EndToEnd : testing::Test {
  // Unpaced, unless a speed is given; "follow" paces each direction at the
  // speed its sending end set.
  bool start_linesim(const std::string& line = "a", const std::string& baud = "") {
    Strings words{QUORVANTIX_LINESIM_BINARY, "--a", dir / line, "--b", dir / "b"};
    if (baud.empty()) words.push_back("--unthrottled");
    if (!baud.empty() && baud != "follow") words.insert(words.end(), {"--baud", baud});
    linesim = std::make_unique<Running>(words, dir.path());
    return linesim->says("linesim: ");
  }
  bool start(Strings words, const std::string& line = "a", const std::string& baud = "") {
    if (!line.starts_with("tcp") && !linesim && !start_linesim(line, baud)) return false;
    words.insert(words.begin(), kService);
    words.insert(words.end(), {line.starts_with("tcp") ? line : dir / line, "0"});
    service = std::make_unique<Running>(words, remote.path());
    return service->says("Service is ready\n");
  }
  // The customer program with `words` after its line, run to its end in
  // `local`: its exit status, and what it wrote.
  std::pair<int, std::string> customer(Strings words, const std::string& line = "") {
    words.insert(words.begin(), {kCustomer, "-q", line.empty() ? dir / "b" : line});
    words.insert(words.begin(), customer_environment.begin(), customer_environment.end());
    Running run(words, local.path());
    const int status = run.end();
    return {status, run.seen};
  }
  TempDir dir, remote, local;
  std::unique_ptr<Running> linesim, service;
  // No settings file of the user's, and the cut mark of a UTF-8 terminal.
  const Strings customer_environment{"env", "XDG_CONFIG_HOME=" + dir / "config", "LC_ALL=C.UTF-8"};
};

// Whether something listens on `port` within 5 s, seen in the kernel's table
// of sockets: a probe that connected would take the line of a terminal server.
bool listens(int port) {
  char hex_port[8];
  std::snprintf(hex_port, sizeof hex_port, "%04X", static_cast<unsigned>(port));
  const std::string wanted = std::string(":") + hex_port + " 00000000:0000 0A";  // listening
  for (int tries = 0; tries < 250; ++tries, std::this_thread::sleep_for(20ms)) {
    const Bytes table = read_file("/proc/net/tcp");
    if (has(std::string(table.begin(), table.end()), wanted)) return true;
  }
  return false;
}

speed_t speed_of(const std::string& path) {
  const host::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
  termios settings{};
  return tcgetattr(fd.get(), &settings) == 0 ? cfgetospeed(&settings) : B0;
}

}  // namespace

// The unit's command line, with --read-only: the customer's file and its
// terminate command are refused, names stay inside the root, and SIGTERM
// ends the service with 0. The line's name has 60 characters and more. Where
// the host's lock directory can be written, the service's lock file holds its
// process and goes when a stop signal ends it.
TEST_F(EndToEnd, UnitOptionsRefuseShutdownAndStoredFilesServeTheRootAndKeepTheLock) {
  const std::string line(60, 'q');
  ASSERT_TRUE(start_linesim(line));
  const std::string lock = std::string(lines::kLockDirectory) + "/LCK.." +
                           std::filesystem::canonical(dir / line).filename().string();
  const bool locks_kept = access(lines::kLockDirectory, W_OK) == 0;
  ASSERT_TRUE(start({"--no-shutdown", "--read-only", "--root", remote.path()}, line));
  const std::string pid = std::to_string(service->pid());
  if (locks_kept) {
    EXPECT_EQ(read_file(lock), text(std::string(10 - pid.size(), ' ') + pid + "\n"));
  }
  write_file(local / "l.txt", pattern_bytes(100));
  EXPECT_EQ(customer({"put", "l.txt"}).first, 1);
  EXPECT_EQ(customer({"pwd"}), std::make_pair(0, std::string("/\n")));
  customer({"shutdown"});
  ASSERT_TRUE(service->says("Terminierungsignal abgelehnt\n")) << service->seen;
  EXPECT_EQ(service->end(SIGTERM), 0);
  EXPECT_TRUE(has(service->seen, "Empfangen der Datei status 11\n")) << service->seen;
  EXPECT_TRUE(console_lines(service->seen).ends_with("Service stopped by SIGTERM\n")) << service->seen;
  EXPECT_TRUE(names_in(remote.path()).empty());
  EXPECT_FALSE(exists(lock));
}

// Stops on a paced line: a customer stopped by Ctrl-C in an mget says what
// it did not try; SIGTERM during a receive leaves the service's folder as it
// was and ends it with 0.
TEST_F(EndToEnd, StopsLeaveNoHalfFileAndSayWhatWasNotDone) {
  ASSERT_TRUE(start({}, "a", "115200"));
  for (const char* name : {"f1", "f2", "f3"}) write_file(remote / name, pattern_bytes(24 * 1024));
  Strings words = customer_environment;
  words.insert(words.end(), {kCustomer, "-q", dir / "b", "mget", "f*"});
  Running stopped(words, local.path());
  ASSERT_TRUE(service->says("Sende Datei <f1> status 0\n")) << service->seen;
  EXPECT_EQ(stopped.end(SIGINT), 128 + SIGINT);
  EXPECT_TRUE(has(stopped.seen, "mget: stopped; nothing was kept\n") && has(stopped.seen, " 1 file not tried\n"))
      << stopped.seen;
  EXPECT_EQ(names_in(local.path()), Strings{"f1"});
  EXPECT_EQ(read_file(local / "f1"), pattern_bytes(24 * 1024));
  write_file(local / "big", pattern_bytes(24 * 1024));  // about 2 s on this line
  write_file(remote / "kept", pattern_bytes(10));
  Running put({kCustomer, "-q", dir / "b", "pwd", ";", "put", "big", "kept"}, local.path());
  ASSERT_TRUE(service->says("gesendet.\n"));
  std::this_thread::sleep_for(300ms);  // the header has been taken; blocks are coming
  EXPECT_EQ(service->end(SIGTERM), 0);
  EXPECT_TRUE(console_lines(service->seen).ends_with("Empfangen der Datei status 14\nService stopped by SIGTERM\n"))
      << service->seen;
  EXPECT_EQ(names_in(remote.path()), (Strings{"f1", "f2", "f3", "kept"}));
  EXPECT_EQ(read_file(remote / "kept"), pattern_bytes(10));
}

// Only peers from the addresses of --allow reach a listening line; another is
// closed at once and named in the log, which names every customer with its
// address, with the time of day. A console that goes away (`quorvantix ... |
// head -1`) ends nothing: the service keeps serving with both its output
// streams closed, and ends as usual. Listening beyond loopback without
// --allow draws a warning.
TEST_F(EndToEnd, OnlyAllowedPeersConnectAClosedConsoleEndsNothingAndAnOpenListenerIsWarnedOf) {
  const int port = free_tcp_port();
  const std::string line = "tcp:127.0.0.1:" + std::to_string(port), listen = "tcp-listen:0.0.0.0:" + std::to_string(port);
  int console[2];
  ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(console[1], STDOUT_FILENO), dup2(console[1], STDERR_FILENO);
    execl(kService.c_str(), kService.c_str(), "--allow", "127.0.0.1", listen.c_str(), "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(console[1]);
  std::string seen;
  ASSERT_TRUE(read_until(console[0], seen, "Service is ready\n")) << seen;
  const std::string stamp = R"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z quorvantix: )";
  for (const bool open_console : {true, false}) {
    const host::UniqueFd outsider = connect_from("127.0.0.2", port);  // a line on standard error
    char byte = 0;
    EXPECT_EQ(poll_read(outsider.get(), byte), 0) << "closed";
    EXPECT_EQ(customer({"pwd"}, line).first, 0);  // lines on standard output
    if (!open_console) break;
    EXPECT_TRUE(read_until(console[0], seen, " s, status 0\n")) << seen;
    close(console[0]);
    EXPECT_FALSE(has(seen, "warning")) << seen;
    for (const std::string event : {"refused 127\\.0\\.0\\.2:\\d+", "pwd '[^']+': in \\d+\\.\\d\\d s, status 0\n",
                                    "customer AmigaOS [^\n]+ identified, from 127\\.0\\.0\\.1:\\d+\n"}) {
      EXPECT_TRUE(std::regex_search(seen, std::regex(stamp + event))) << event << " in:\n" << seen;
    }
  }
  EXPECT_EQ(kill(pid, SIGTERM), 0) << "still running";
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string open = "tcp-listen:0.0.0.0:" + std::to_string(free_tcp_port());
  Running warned({kService, open, "0"}, remote.path());
  EXPECT_TRUE(warned.says("quorvantix: warning: " + open + " can be reached from other machines")) << warned.seen;
  EXPECT_EQ(warned.end(SIGTERM), 0);
  EXPECT_TRUE(std::regex_search(warned.seen, std::regex(stamp + "stopped by SIGTERM\n"))) << warned.seen;
}

// ser2net serves end b of the line simulator as an rfc2217 port: the speed
// the customer sets reaches the pty that ser2net holds. On a plain tcp: line
// the customer says that it cannot.
TEST_F(EndToEnd, ACustomerBehindATerminalServerSetsTheSpeedOfItsPort) {
  const std::string ser2net = "/usr/sbin/ser2net";
  if (access(ser2net.c_str(), X_OK) != 0) GTEST_SKIP() << "ser2net is not installed";
  ASSERT_TRUE(start({}));
  const std::string port = std::to_string(free_tcp_port());
  Running server({ser2net, "-n", "-u", "-P", dir / "ser2net.pid", "-Y",
                  "connection: &port\n  accepter: telnet(rfc2217),tcp,127.0.0.1," + port +
                      "\n  connector: serialdev," + dir / "b" + ",9600n81,local\n"},
                 dir.path());
  ASSERT_TRUE(listens(std::stoi(port))) << server.seen;
  write_file(remote / "r.bin", pattern_bytes(5000, 5));
  write_file(local / "l.bin", pattern_bytes(4000, 6));
  Running session({kCustomer, "rfc2217:127.0.0.1:" + port, "baud", "38400;", "get", "r.bin;", "put", "l.bin"},
                  local.path());
  // Read while the session holds the port: once it has gone, the server may set its own speed again.
  bool at_38400 = false;
  for (int tries = 0; tries < 1000 && !(at_38400 = speed_of(dir / "b") == speed_t{B38400}); ++tries) usleep(10'000);
  EXPECT_TRUE(at_38400);
  EXPECT_EQ(session.end(), 0) << session.seen;
  EXPECT_TRUE(service->says("Baudrate auf 38400 gesetzt status 0\n")) << service->seen;
  EXPECT_EQ(read_file(local / "r.bin"), read_file(remote / "r.bin"));
  EXPECT_EQ(read_file(remote / "l.bin"), read_file(local / "l.bin"));
  server.end(SIGTERM);

  const std::string plain = "127.0.0.1:" + std::to_string(free_tcp_port());
  Running on_tcp({kService, "tcp-listen:" + plain, "0"}, remote.path());
  ASSERT_TRUE(on_tcp.says("Service is ready\n"));
  const auto raw = customer({"baud", "19200;", "pwd"}, "tcp:" + plain);
  EXPECT_TRUE(raw.first == 0 && has(raw.second, "baud: a tcp: line carries no line speed")) << raw.second;
}
