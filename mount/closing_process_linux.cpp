#include "mount/closing_process.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quorvantix::mount {

namespace {

constexpr unsigned long kExitingFlag = 0x4;  // PF_EXITING
// Fields of /proc/PID/stat counted from the first after the command's ")":
// the kernel's flags (field 9) and the exit code (field 52, since Linux 3.5).
constexpr std::size_t kFlagsField = 9 - 3;
constexpr std::size_t kExitCodeField = 52 - 3;

}  // namespace

bool killed_by_a_signal(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid <= 0 || !std::getline(stat, line)) return false;
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(line.substr(name_end + 1));
  std::vector<std::string> after_name;
  for (std::string field; fields >> field;) after_name.push_back(field);
  if (after_name.size() <= kExitCodeField) return false;
  try {
    const unsigned long flags = std::stoul(after_name[kFlagsField]);
    const long exit_code = std::stol(after_name[kExitCodeField]);
    // As wait() has it: the low seven bits are the killing signal.
    return (flags & kExitingFlag) != 0 && (exit_code & 0x7f) != 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace quorvantix::mount
