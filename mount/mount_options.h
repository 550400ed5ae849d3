// The command line of the mount:
//   quorvantix-mount [OPTIONS] DEVICE[:UNIT] MOUNTPOINT
#pragma once

#include "host/charset.h"

#include <chrono>
#include <string>
#include <vector>

namespace quorvantix::mount {

struct MountOptions {
  std::string device;      // named as the customer names lines
  long unit = 0;           // of serial.device, usbserial.device, acm.device
  std::string mountpoint;
  bool foreground = false;  // -f (and -d)
  bool debug = false;       // -d: every file operation on standard error
  long baud = 0;            // -o baud=N: the speed once the service has answered; 0 stays at 9600
  std::string charset = host::kDefaultWireCharset;  // -o charset=NAME: the character set of names on the line
  std::chrono::seconds cache_timeout{20};  // -o cache_timeout=SECONDS
  bool quiet_attrs = false;  // -o quiet_attrs: chmod, chown and utimens succeed without effect
  // The -o options for the kernel and the FUSE library (ro, allow_other and
  // every one the mount does not take itself), in the order given.
  std::vector<std::string> fuse_options;
  bool help = false;
  bool version = false;
};

// Parses argv. Returns false, with `error` filled, when it cannot be used;
// --help and --version need nothing else. Options may stand anywhere; "--"
// ends them. "-o" takes a comma-separated list, as the next word or joined
// ("-oro,baud=115200").
bool parse_mount_options(int argc, const char* const* argv, MountOptions& options, std::string& error);

// DEVICE[:UNIT]: a unit number after the last colon of a device name
// ("serial.device:1"); paths and tcp: names carry none, their colons are
// their own. False, with `error` filled, for a unit that is no number.
bool split_device_unit(const std::string& text, std::string& device, long& unit, std::string& error);

// The usage text of --help.
const char* mount_usage_text();

}  // namespace quorvantix::mount
