// Running the mount in the background, as mount helpers do: the command
// returns once the mount is in place, with the status of its start.
#pragma once

#include <functional>

namespace quorvantix::mount {

// What the body tells the command that waits for it.
class Readiness {
 public:
  explicit Readiness(int pipe_fd = -1) : pipe_fd_(pipe_fd) {}
  // The mount is in place: the waiting command ends with status 0, and the
  // body goes on in the background with no terminal, standard input and
  // output on /dev/null, in "/".
  void ready();

 private:
  int pipe_fd_;
};

// Runs `body` in a child process of a session of its own and returns, in the
// parent, 0 once the child has called ready(), or the child's exit status
// when it ended before (its messages went to standard error). The child ends
// with the status `body` returns, and never returns from here.
int run_in_background(const std::function<int(Readiness&)>& body);

}  // namespace quorvantix::mount
