// The kernel's termios2 clashes with <termios.h>; hence a file of its own.
#include "support/line_probe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace testsupport {

long line_speed(int fd) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
  return static_cast<long>(settings.c_ospeed);
}

}  // namespace testsupport
