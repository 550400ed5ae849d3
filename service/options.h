// The service's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/charset.h"
#include "lines/net_address.h"
#include "lines/serial_line.h"

namespace quorvantix::service {

// The command line: `quorvantix [OPTIONS] [DEVICE UNIT]`, or a DEVICE alone
// that names a line (lines::names_a_device) at unit 0.
struct ServiceOptions {
  bool help = false;
  bool version = false;
  std::string device = "serial.device";
  long unit = 0;
  bool device_given = false;
  std::string root;  // --root DIR: the folder served, every name beneath it; empty: the current directory
  bool read_only = false;
  bool no_shutdown = false;
  // --charset NAME: the character set of names on the wire (host::NameCodec)
  std::string charset = host::kDefaultWireCharset;
  std::optional<host::NameCodec> names;  // `charset`, opened by the parser; none: not yet opened
  // --allow ADDR[/BITS], repeated: who may connect to a tcp-listen line (empty: anybody).
  std::vector<lines::AddressRange> allowed;
  // --idle-timeout SECONDS: on a tcp-listen line, how long a customer may send
  // nothing, and a peer take to identify, before it is closed (0: no limit).
  long idle_timeout_seconds = 600;
};

// The options of a command line, or nothing (with `error` filled) for one
// that cannot be used: an unknown option, an option without its value or
// with one it cannot take, --allow for a line that does not listen, more than
// two arguments, a lone argument that names no line, or a character set that
// names cannot travel in.
std::optional<ServiceOptions> parse_service_options(int argc, char** argv, std::string& error);

// The usage lines, for a command line that is refused.
inline constexpr char kUsage[] =
    "usage: quorvantix [OPTIONS] [DEVICE UNIT]\n"
    "       quorvantix [OPTIONS] DEVICE\n";
// Prints the text of --help on standard output.
void print_help();

}  // namespace quorvantix::service
