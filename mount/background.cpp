#include "mount/background.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/unique_fd.h"

namespace quorvantix::mount {

void Readiness::ready() {
  if (pipe_fd_ < 0) return;
  // Out of the folder it was started in, which it would keep busy.
  if (chdir("/") != 0) std::perror("quorvantix-mount: chdir(/)");
  const host::UniqueFd null_device(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null_device) {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_device.get(), fd);
  }
  const char ready_byte = 0;
  while (::write(pipe_fd_, &ready_byte, 1) < 0 && errno == EINTR) {
  }
  close(pipe_fd_);
  pipe_fd_ = -1;
}

int run_in_background(const std::function<int(Readiness&)>& body) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    std::perror("quorvantix-mount: pipe");
    return 1;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("quorvantix-mount: fork");
    return 1;
  }
  if (child == 0) {
    close(ends[0]);
    setsid();
    Readiness readiness(ends[1]);
    const int status = body(readiness);
    std::fflush(nullptr);
    _exit(status);
  }
  close(ends[1]);
  const host::UniqueFd from_child(ends[0]);
  char ready_byte = 1;
  ssize_t got = 0;
  while ((got = ::read(from_child.get(), &ready_byte, 1)) < 0 && errno == EINTR) {
  }
  if (got == 1) return 0;
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1;
}

}  // namespace quorvantix::mount
