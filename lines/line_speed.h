// Line speeds beyond the fixed table of termios.
#pragma once

#include <string>

namespace quorvantix::lines {

// Sets `baud` through the kernel's arbitrary-rate interface, after the output
// already written has left, and reads it back. Returns false, with `error`
// filled, when the port refuses the rate or does not keep it.
bool set_arbitrary_speed(int fd, long baud, std::string& error);

// The speeds `fd` (a terminal device) is set to, in baud, whether a rate of
// the fixed table or any other. On a pseudo-terminal's master they are its
// slave's. An input speed of 0 means "as the output". Returns false, with
// `error` filled, when the device does not tell.
bool read_speeds(int fd, long& output_baud, long& input_baud, std::string& error);

}  // namespace quorvantix::lines
