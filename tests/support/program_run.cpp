#include "support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "platform/unique_fd.h"

namespace testsupport {
namespace {

using namespace std::chrono;
using platform::UniqueFd;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
  Pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
  }
};

int status_of(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// Feeds `input` and collects both outputs until they close, then reaps `pid`.
ProgramResult collect(pid_t pid, Pipe& in, Pipe& out, Pipe& err, const std::string& input,
                      milliseconds limit) {
  in.read_end.reset();
  out.write_end.reset();
  err.write_end.reset();
  fcntl(in.write_end.get(), F_SETFL, O_NONBLOCK);
  if (input.empty()) in.write_end.reset();
  ProgramResult result;
  std::size_t fed = 0;
  const auto deadline = steady_clock::now() + limit;
  bool out_open = true;
  bool err_open = true;
  while (out_open || err_open) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      result.status = -1;
      return result;
    }
    pollfd watched[3] = {{out_open ? out.read_end.get() : -1, POLLIN, 0},
                         {err_open ? err.read_end.get() : -1, POLLIN, 0},
                         {in.write_end ? in.write_end.get() : -1, POLLOUT, 0}};
    if (poll(watched, 3, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    if (watched[0].revents) {
      const ssize_t n = read(out.read_end.get(), chunk, sizeof chunk);
      if (n > 0) result.out.append(chunk, static_cast<std::size_t>(n));
      out_open = n > 0;
    }
    if (watched[1].revents) {
      const ssize_t n = read(err.read_end.get(), chunk, sizeof chunk);
      if (n > 0) result.err.append(chunk, static_cast<std::size_t>(n));
      err_open = n > 0;
    }
    if (watched[2].revents) {
      const ssize_t n = write(in.write_end.get(), input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n < 0 || fed == input.size()) in.write_end.reset();
    }
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  result.status = status_of(wait_status);
  return result;
}

ProgramResult start(const std::function<int()>& child, const std::string& input, const std::string& directory,
                    milliseconds limit, const std::function<void(pid_t)>& started) {
  // A program that ends without reading all its input must not take the test with it.
  signal(SIGPIPE, SIG_IGN);
  Pipe in;
  Pipe out;
  Pipe err;
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(in.read_end.get(), STDIN_FILENO);
    dup2(out.write_end.get(), STDOUT_FILENO);
    dup2(err.write_end.get(), STDERR_FILENO);
    // The test's own ends of lines must not live on in the child, or closing
    // them in the test would never look like a pulled cable.
    close_range(3, ~0U, 0);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
    const int status = child();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
  }
  if (started) started(pid);
  return collect(pid, in, out, err, input, limit);
}

}  // namespace

ProgramResult run_program(const std::vector<std::string>& argv, const std::string& input,
                          const std::string& directory, milliseconds limit) {
  std::vector<std::string> args = argv;
  return start(
      [&args] {
        std::vector<char*> pointers;
        for (auto& arg : args) pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        execv(pointers[0], pointers.data());
        return 127;
      },
      input, directory, limit, {});
}

ProgramResult run_forked(const std::function<int()>& child, const std::string& input,
                         const std::string& directory, milliseconds limit,
                         const std::function<void(pid_t)>& started) {
  return start(child, input, directory, limit, started);
}

}  // namespace testsupport
