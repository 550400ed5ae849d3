// The command line of the customer program, and its settings file:
//   quorvantix-customer [-u N] [-b RATE] [-q] [--charset SET] [--batch FILE] [DEVICE] [COMMAND [ARG...]]
#pragma once

#include "host/numbers.h"

#include <memory>
#include <string>
#include <vector>

#include "host/charset.h"

namespace quorvantix::customer {

struct Options {
  std::string device;
  long unit = 0;
  long baud = 0;  // 0: stay at the 9600 baud of the identification
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string batch;  // --batch FILE: the script to run ("-": standard input)
  std::string charset = host::kDefaultWireCharset;  // --charset SET: of names on the line
  std::shared_ptr<host::NameCodec> names;  // `charset`, opened by the parser; null: not yet opened
  bool overwrite = false;  // the settings file's overwrite: set overwrite on from the start
  std::vector<std::string> command_words;  // from the first command on, as given
};

// Parses argv into `options`, which may hold defaults from the settings file:
// what the command line gives wins. Returns false, with `error` filled, when
// the line cannot be used; --help and --version need no DEVICE; a --charset
// that names cannot travel in is refused. Options stand before or after
// DEVICE, up to the first command; a word that is '-' and a command's name
// ("-cd") is that command, marked to go on after a failure. A lone '-' there
// reads the commands from standard input (--batch -). DEVICE may be left out
// when the settings file names the line; a word that names no line (a path,
// tcp:..., serial.device, ...) is then the first command. A value follows its
// option as the next word, or is joined to it ("--baud=115200", "-b115200").
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// The settings file: $XDG_CONFIG_HOME/quorvantix/customer.conf, or
// ~/.config/quorvantix/customer.conf; empty when there is no home.
std::string settings_path();
// Reads the settings file at `path` into `options` (a file that is not there
// is none). Lines "NAME = VALUE"; blank lines and lines that begin with '#'
// say nothing. NAME is line (DEVICE), unit, baud, charset or overwrite (on or
// off), with the values their options take. False, with `error` ("PATH, line
// N: ...") for a file that cannot be read or a line that cannot be used (a
// NUL byte in it, or more than 4096 bytes, among them). The error quotes the
// file: the caller shows it escaped.
bool read_settings(const std::string& path, Options& options, std::string& error);

// The usage text of --help.
const char* usage_text();

}  // namespace quorvantix::customer
