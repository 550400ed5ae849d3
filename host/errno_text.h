// The host's errors in words, for messages that name the call and the object.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace quorvantix::host {

// "open(/dev/ttyS0): Device or resource busy".
inline std::string describe_errno(const std::string& call, const std::string& object, int error_number = errno) {
  return call + "(" + object + "): " + std::strerror(error_number);
}

}  // namespace quorvantix::host
