// termios2 lives in the kernel's own headers, which clash with <termios.h>;
// that is why this is a file of its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "lines/line_speed.h"

namespace quorvantix::lines {

bool set_arbitrary_speed(int fd, long baud, std::string& error) {
  // A rate wider than the kernel's field would be cut to another rate and then
  // read back as "kept".
  if (baud < 1 || static_cast<unsigned long>(baud) > std::numeric_limits<speed_t>::max()) {
    error = "the port does not take " + std::to_string(baud) + " baud";
    return false;
  }
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    error = std::string("TCGETS2: ") + std::strerror(errno);
    return false;
  }
  settings.c_cflag &= ~CBAUD;
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = static_cast<speed_t>(baud);
  settings.c_ospeed = static_cast<speed_t>(baud);
  if (ioctl(fd, TCSETSW2, &settings) != 0) {
    error = std::string("TCSETSW2: ") + std::strerror(errno);
    return false;
  }
  struct termios2 applied {};
  if (ioctl(fd, TCGETS2, &applied) != 0 || applied.c_ospeed != static_cast<speed_t>(baud)) {
    error = "the port does not take " + std::to_string(baud) + " baud";
    return false;
  }
  return true;
}

bool read_speeds(int fd, long& output_baud, long& input_baud, std::string& error) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    error = std::string("TCGETS2: ") + std::strerror(errno);
    return false;
  }
  output_baud = static_cast<long>(settings.c_ospeed);
  input_baud = static_cast<long>(settings.c_ispeed);
  return true;
}

}  // namespace quorvantix::lines
