// Runs a program to its end, as a shell would: standard input fed from a
// string, standard output and error captured apart, a time limit on the whole.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramResult {
  int status = -1;  // the exit status, 128 + the signal, or -1 after the time limit
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) in `directory` (empty: the current one).
ProgramResult run_program(const std::vector<std::string>& argv, const std::string& input = "",
                          const std::string& directory = "",
                          std::chrono::milliseconds limit = std::chrono::seconds(60));
// The same for `child`, run in a forked copy of this process; its result is the
// exit status. `started`, when given, learns the child's process id.
ProgramResult run_forked(const std::function<int()>& child, const std::string& input = "",
                         const std::string& directory = "",
                         std::chrono::milliseconds limit = std::chrono::seconds(60),
                         const std::function<void(pid_t)>& started = {});

}  // namespace testsupport
