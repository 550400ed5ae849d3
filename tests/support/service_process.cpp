#include "support/service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <utility>

#include "platform/serial_line.h"
#include "service.h"

namespace testsupport {

using namespace std::chrono;

namespace {

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

ServiceProcess ServiceProcess::start(const std::string& directory, const std::function<int()>& child) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    dup2(pipe_ends[1], STDERR_FILENO);
    // The far ends that the test holds (a pty master, a socket) must close when
    // the test closes them, not live on in the service.
    close_range(3, ~0U, 0);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
    const int status = child();
    std::fflush(nullptr);
    _exit(status);
  }
  close(pipe_ends[1]);
  platform::UniqueFd out(pipe_ends[0]);
  fcntl(out.get(), F_SETFL, O_NONBLOCK);
  return ServiceProcess(pid, std::move(out));
}

ServiceProcess ServiceProcess::binary(const std::vector<std::string>& args, const std::string& directory) {
  return program(QUORVANTIX_SERVICE_BINARY, args, directory);
}

ServiceProcess ServiceProcess::program(const std::string& path, const std::vector<std::string>& args,
                                       const std::string& directory) {
  std::vector<std::string> all{path};
  all.insert(all.end(), args.begin(), args.end());
  return start(directory, [&all] {
    auto argv = argv_of(all);
    execv(argv[0], argv.data());
    return 127;
  });
}

ServiceProcess ServiceProcess::forked(const std::vector<std::string>& args, nanoseconds tick,
                                      const std::string& directory) {
  std::vector<std::string> all{"quorvantix"};
  all.insert(all.end(), args.begin(), args.end());
  return start(directory, [&all, tick] {
    platform::testing::set_tick(tick);
    auto argv = argv_of(all);
    return service_main(static_cast<int>(all.size()), argv.data());
  });
}

ServiceProcess::ServiceProcess(ServiceProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_fd_(std::move(other.output_fd_)),
      output_(std::move(other.output_)),
      exited_(other.exited_),
      status_(other.status_) {}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ServiceProcess::collect(milliseconds limit) {
  pollfd in{output_fd_.get(), POLLIN, 0};
  if (poll(&in, 1, static_cast<int>(limit.count())) <= 0) return;
  char chunk[4096];
  ssize_t n;
  while ((n = read(output_fd_.get(), chunk, sizeof chunk)) > 0) output_.append(chunk, static_cast<std::size_t>(n));
}

const std::string& ServiceProcess::output() {
  collect(milliseconds(0));
  return output_;
}

bool ServiceProcess::wait_for_output(const std::string& text, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (output_.find(text) == std::string::npos) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left <= milliseconds::zero()) return false;
    collect(std::min(left, milliseconds(50)));
  }
  return true;
}

std::optional<int> ServiceProcess::wait_exit(milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (!exited_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (steady_clock::now() >= deadline) return std::nullopt;
    collect(milliseconds(20));
  }
  collect(milliseconds(0));
  return status_;
}

}  // namespace testsupport
