// The real programs, run from the shell for the end-to-end tests, and a
// function of the test run in a child process.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/unique_fd.h"

namespace quorvantix::testsupport {

// Runs `words` (a program and its arguments) in `directory`, with no input;
// what it writes, to standard output and error alike, collects in `seen`.
class Running {
 public:
  Running(const std::vector<std::string>& words, const std::string& directory);
  ~Running();  // kills it, if it still runs
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  // Whether `text` shows, with at most 5 s between two pieces of output.
  bool says(const std::string& text);
  // Sends `signal` (0: none), waits for the output to end (at most 20 s of
  // silence, then it is killed) and gives the exit status, or 128 + the signal.
  int end(int signal = 0);
  pid_t pid() const { return pid_; }

  std::string seen;

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> pipe_;
  pid_t pid_ = -1;
};

// What a service wrote, without the lines of its log on standard error
// ("2026-06-07T12:34:56.789Z quorvantix: ..."): its console lines.
std::string console_lines(const std::string& seen);

// Reads `fd` into `seen` until `text` is among it; false when `silence_ms`
// pass without a byte, or the writer has gone.
bool read_until(int fd, std::string& seen, const std::string& text, int silence_ms = 5000);

// Runs `body` in a forked copy of this process; its exit status.
int in_child(const std::function<int()>& body);

// A TCP port on 127.0.0.1 that nobody listens on, for now.
int free_tcp_port();

// A TCP connection from `source`, another loopback address (127.0.0.2), to
// `port` on 127.0.0.1; empty when it cannot be made.
host::UniqueFd connect_from(const char* source, int port);

// What one read of `fd` gives within a second: 1 (a byte into `byte`), 0
// (closed) or -1 (nothing came).
long poll_read(int fd, char& byte);

}  // namespace quorvantix::testsupport
