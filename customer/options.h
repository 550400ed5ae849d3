// The command line of the customer program:
//   quorvantix-customer [-u N] [-b RATE] [-q] [--charset SET] [--batch FILE] DEVICE [COMMAND [ARG...]]
#pragma once

#include <string>
#include <vector>

#include "platform/charset.h"

namespace customer_side {

struct Options {
  std::string device;
  long unit = 0;
  long baud = 0;  // 0: stay at the 9600 baud of the identification
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string batch;  // --batch FILE: the script to run ("-": standard input)
  std::string charset = platform::kDefaultWireCharset;  // --charset SET: of names on the line
  std::vector<std::string> command_words;  // everything after DEVICE, as given
};

// Parses argv. Returns false, with `error` filled, when the line cannot be used;
// --help and --version need no DEVICE; a --charset that names cannot travel in
// is refused. Options may only come before DEVICE:
// what follows it belongs to the commands. A value follows its option as the
// next word, or is joined to it ("--baud=115200", "-b115200").
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// A line speed as the user writes it: a decimal number of at least 1 baud.
// Returns 0 when `text` is not one.
long parse_rate(const std::string& text);

// The usage text of --help.
const char* usage_text();

}  // namespace customer_side
