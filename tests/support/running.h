// A program started by the shell and left running, for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

namespace testsupport {

// Runs `command` (a shell command line) in `directory`; what it writes to
// standard output collects in `seen` (add " 2>&1" for its errors too).
class Running {
 public:
  Running(const std::string& command, const std::string& directory);
  ~Running();  // kills it, if it still runs
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  // Whether `text` shows, with at most 5 s between two pieces of output.
  bool says(const std::string& text);
  // Sends `signal` (0: none), waits for the output to end (at most 5 s of
  // silence, then it is killed) and gives the exit status.
  int end(int signal);
  pid_t pid() const { return pid_; }

  std::string seen;

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> pipe_;
  pid_t pid_ = -1;
};

}  // namespace testsupport
