// Numbers as a person types them on a command line or in a settings file, for
// every program of the project.
#pragma once

#include <string>

namespace quorvantix::host {

// Up to nine decimal digits and nothing else: no sign, no space, no overflow.
// False, with `value` untouched, for anything else.
bool parse_digits(const std::string& text, long& value);
// A line speed in baud, 1 to 100,000,000; 0 for anything else.
long parse_rate(const std::string& text);

}  // namespace quorvantix::host
