#include "support/running.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

Running::Running(const std::string& command, const std::string& directory)
    : pipe_(popen(("cd " + directory + " && echo $$ && exec " + command).c_str(), "r"), pclose) {
  if (says("\n")) pid_ = std::stoi(seen);
  seen.erase(0, seen.find('\n') + 1);
}

Running::~Running() { end(SIGKILL); }

bool Running::says(const std::string& text) {
  char chunk[512];
  for (pollfd in{fileno(pipe_.get()), POLLIN, 0}; seen.find(text) == std::string::npos;) {
    const ssize_t got = poll(&in, 1, 5000) > 0 ? read(in.fd, chunk, sizeof chunk) : 0;
    if (got <= 0) return false;
    seen.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

int Running::end(int signal) {
  if (pipe_ == nullptr || pid_ <= 0) return -1;
  kill(pid_, signal);
  says(std::string(1, '\0'));
  kill(pid_, SIGKILL);  // if it has not ended by now
  const int status = pclose(pipe_.release());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testsupport
