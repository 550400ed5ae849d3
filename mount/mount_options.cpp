#include "mount/mount_options.h"

#include <algorithm>
#include <iterator>

#include "host/numbers.h"
#include "host/options.h"
#include "lines/serial_line.h"
#include "session/doctor.h"

namespace quorvantix::mount {

namespace {

constexpr long kLongestCacheTimeoutSeconds = 365L * 24 * 3600;

// Options of an fstab line that are for mount(8) and mount.fuse3 alone (when
// and by whom the line is mounted): the FUSE library refuses them, so they go.
bool for_mount_alone(const std::string& key) {
  static const char* const kKeys[] = {"defaults", "auto", "noauto", "user", "users", "nouser", "owner",
                                      "group",    "_netdev", "nofail", "comment", "relatime", "norelatime"};
  return key.starts_with("x-") || std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

// One entry of an -o list: ours are taken, every other goes to the FUSE library.
bool apply_option(const std::string& option, MountOptions& options, std::string& error) {
  const std::size_t equals = option.find('=');
  const std::string key = option.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
  long number = 0;
  if (key == "baud") {
    if (value == "auto") return options.baud = session::kFastestSpeedHeld, true;
    options.baud = host::parse_rate(value);
    if (options.baud > 0) return true;
    error = "-o baud= takes a line speed in baud (for example 115200), not '" + value + "'";
    return false;
  }
  if (key == "cache_timeout") {
    if (host::parse_digits(value, number) && number <= kLongestCacheTimeoutSeconds) {
      options.cache_timeout = std::chrono::seconds(number);
      return true;
    }
    error = "-o cache_timeout= takes whole seconds (for example 20), not '" + value + "'";
    return false;
  }
  if (option == "quiet_attrs") return options.quiet_attrs = true;
  if (key == "charset") {
    if (!host::NameCodec::open(value, error)) {
      error = "-o charset=: " + error;
      return false;
    }
    options.charset = value;
    return true;
  }
  if (!option.empty() && !for_mount_alone(key)) options.fuse_options.push_back(option);
  return true;
}

bool apply_option_list(MountOptions& options, const std::string& list, std::string& error) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    if (!apply_option(list.substr(start, comma - start), options, error)) return false;
    start = comma + 1;
  }
  return true;
}

using host::OptionValue;

constexpr host::Option<MountOptions> kOptions[] = {
    {'h', "help", OptionValue::none, "", [](MountOptions& o, const std::string&, std::string&) { return o.help = true; }},
    {'V', "version", OptionValue::none, "",
     [](MountOptions& o, const std::string&, std::string&) { return o.version = true; }},
    {'f', nullptr, OptionValue::none, "", [](MountOptions& o, const std::string&, std::string&) { return o.foreground = true; }},
    {'d', nullptr, OptionValue::none, "",
     [](MountOptions& o, const std::string&, std::string&) { return o.debug = o.foreground = true; }},
    {'o', nullptr, OptionValue::required, "option -o needs a list of options", apply_option_list},
};

}  // namespace

bool split_device_unit(const std::string& text, std::string& device, long& unit, std::string& error) {
  device = text;
  unit = 0;
  if (text.rfind('/', 0) == 0 || text.rfind("tcp:", 0) == 0 || text.rfind("tcp-listen:", 0) == 0) return true;
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return true;
  if (!host::parse_digits(text.substr(colon + 1), unit)) {
    error = "the unit after the colon of '" + text + "' must be a number (serial.device:1)";
    return false;
  }
  device = text.substr(0, colon);
  return true;
}

bool parse_mount_options(int argc, const char* const* argv, MountOptions& options, std::string& error) {
  std::vector<std::string> operands;
  const std::vector<std::string> words(argv, argv + argc);
  bool options_ended = false;
  for (std::size_t index = 1; index < words.size(); ++index) {
    const std::string& word = words[index];
    if (!options_ended && word == "--") {
      options_ended = true;
    } else if (!options_ended && word.size() >= 2 && word[0] == '-') {
      if (!host::take_option<MountOptions>(kOptions, words, index, options, error)) return false;
    } else {
      operands.push_back(word);
    }
  }
  if (options.help || options.version) return true;
  if (operands.size() != 2) {
    error = operands.size() < 2 ? "name the serial line and the folder to mount it on"
                                : "too many arguments: give DEVICE[:UNIT] and MOUNTPOINT";
    return false;
  }
  if (!split_device_unit(operands[0], options.device, options.unit, error)) return false;
  if (lines::device_path(options.device, options.unit, error).empty()) return false;
  options.mountpoint = operands[1];
  return true;
}

const char* mount_usage_text() {
  return "usage: quorvantix-mount [OPTIONS] DEVICE[:UNIT] MOUNTPOINT\n"
         "\n"
         "Shows the folders of a Quorvantix service on the other end of a serial line\n"
         "as a folder on this machine. Unmount with fusermount3 -u MOUNTPOINT.\n"
         "DEVICE is a path (/dev/ttyUSB0, a pty), serial.device, usbserial.device or\n"
         "acm.device with a unit after a colon (serial.device:1 is /dev/ttyS1), or\n"
         "tcp:HOST:PORT, tcp-listen:PORT.\n"
         "\n"
         "Options:\n"
         "  -f                      stay in the foreground\n"
         "  -d                      debug: every file operation on standard error (implies -f)\n"
         "  -o ro                   mount read-only\n"
         "  -o allow_other          let other users in (needs user_allow_other in /etc/fuse.conf)\n"
         "  -o baud=N               switch the line to N baud once the service has answered\n"
         "  -o baud=auto            switch it to the fastest speed it holds (as doctor --speed)\n"
         "  -o charset=NAME         the character set of the names on the line\n"
         "  -o cache_timeout=SECS   how long listings and fetched files are kept (default 20)\n"
         "  -o quiet_attrs          chmod, chown and touch succeed without effect\n"
         "  -o OPTION               any other FUSE mount option\n"
         "  -h, --help              this text\n"
         "  -V, --version           the version\n"
         "\n"
         "Deleting and renaming the service's files, making folders and links fail with\n"
         "EPERM: the line cannot do them. A file written here is stored when it is\n"
         "closed; a new one 2 s after its last close, or when renamed.\n"
         "\n"
         "Exit status: 0 once mounted, 1 when the mount failed, 2 for a wrong command\n"
         "line, 3 when the line could not be opened or no service answered.\n";
}

}  // namespace quorvantix::mount
