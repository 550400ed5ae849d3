// Line speeds beyond the fixed table of termios.
#pragma once

#include <string>

namespace platform {

// Sets `baud` through the kernel's arbitrary-rate interface, after the output
// already written has left, and reads it back. Returns false, with `error`
// filled, when the port refuses the rate or does not keep it.
bool set_arbitrary_speed(int fd, long baud, std::string& error);

}  // namespace platform
