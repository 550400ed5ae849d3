#include "tests/support/running.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "host/unique_fd.h"

namespace quorvantix::testsupport {

namespace {

int status_of(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// The shell says its process id, which the program then takes over.
std::string shell_line(const std::vector<std::string>& words, const std::string& directory) {
  std::string line = "cd '" + directory + "' && echo $$ && exec";
  for (const auto& word : words) line += " '" + word + "'";
  return line + " </dev/null 2>&1";
}

// Whether `pid` has ended, leaving it to be reaped.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

}  // namespace

std::string console_lines(const std::string& seen) {
  const std::regex log_line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z quorvantix: .*\n)");
  return std::regex_replace(seen, log_line, "");
}

Running::Running(const std::vector<std::string>& words, const std::string& directory)
    : pipe_(popen(shell_line(words, directory).c_str(), "r"), pclose) {
  if (says("\n")) pid_ = std::stoi(seen);
  seen.erase(0, seen.find('\n') + 1);
}

Running::~Running() { end(SIGKILL); }

bool Running::says(const std::string& text) { return read_until(fileno(pipe_.get()), seen, text); }

int Running::end(int signal) {
  if (pipe_ == nullptr || pid_ <= 0) return -1;
  kill(pid_, signal);
  read_until(fileno(pipe_.get()), seen, std::string(1, '\0'), 20'000);
  // A program closes its output a moment before it ends.
  for (int waited_ms = 0; !has_ended(pid_) && waited_ms < 20'000; waited_ms += 10) usleep(10'000);
  kill(pid_, SIGKILL);  // if it has not ended by now
  return status_of(pclose(pipe_.release()));
}

bool read_until(int fd, std::string& seen, const std::string& text, int silence_ms) {
  char chunk[4096];
  for (pollfd in{fd, POLLIN, 0}; seen.find(text) == std::string::npos;) {
    const ssize_t got = poll(&in, 1, silence_ms) > 0 ? read(fd, chunk, sizeof chunk) : 0;
    if (got <= 0) return false;
    seen.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

int in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  return status_of(wait_status);
}

int free_tcp_port() {
  const host::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

host::UniqueFd connect_from(const char* source, int port) {
  host::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{AF_INET, 0, {}, {}}, to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (inet_pton(AF_INET, source, &from.sin_addr) != 1 || bind(fd.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    return {};
  }
  return fd;
}

long poll_read(int fd, char& byte) {
  pollfd in{fd, POLLIN, 0};
  return poll(&in, 1, 1000) > 0 ? read(fd, &byte, 1) : -1;
}

}  // namespace quorvantix::testsupport
