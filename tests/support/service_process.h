// The service under test as a process of its own: either the real binary, or
// the service's entry point in a forked child with a shortened tick, so that
// time-outs cost milliseconds. Standard output and error are captured together.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace testsupport {

class ServiceProcess {
 public:
  // Runs build/quorvantix with `args`, in `directory` when one is given.
  static ServiceProcess binary(const std::vector<std::string>& args, const std::string& directory = "");
  // Runs the program at `path` with `args` (another of the project's binaries).
  static ServiceProcess program(const std::string& path, const std::vector<std::string>& args,
                                const std::string& directory = "");
  // Runs service_main(args) in a child with the tick set to `tick`.
  static ServiceProcess forked(const std::vector<std::string>& args, std::chrono::nanoseconds tick,
                               const std::string& directory = "");

  ServiceProcess(ServiceProcess&& other) noexcept;
  ServiceProcess& operator=(ServiceProcess&&) = delete;
  ~ServiceProcess();

  // The exit status, once the process has ended within `limit`.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits until the output holds `text`; false when `limit` runs out first.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Everything the process has printed so far.
  const std::string& output();
  pid_t pid() const { return pid_; }

 private:
  ServiceProcess(pid_t pid, platform::UniqueFd output) : pid_(pid), output_fd_(std::move(output)) {}
  static ServiceProcess start(const std::string& directory, const std::function<int()>& child);
  void collect(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  platform::UniqueFd output_fd_;
  std::string output_;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace testsupport
