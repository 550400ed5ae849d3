#include "service/options.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "host/numbers.h"
#include "lines/tcp_line.h"

namespace quorvantix::service {
namespace {

bool is_option(const std::string& argument) {
  return argument.size() > 1 && argument[0] == '-' && !std::isdigit(static_cast<unsigned char>(argument[1]));
}

// "--root DIR" or "--root=DIR" at argv[i]; moves i past its value. False,
// with `error` filled ("--root needs a directory"), when the value is missing
// or empty.
bool take_value(int argc, char** argv, int& i, const std::string& option, std::string& value, std::string& error,
                const std::string& needed = "a directory") {
  const std::string argument = argv[i];
  if (argument.size() > option.size() && argument[option.size()] == '=') {
    value = argument.substr(option.size() + 1);
  } else if (i + 1 < argc) {
    value = argv[++i];
  } else {
    value.clear();
  }
  if (value.empty()) error = option + " needs " + needed;
  return !value.empty();
}

bool is_option_with_value(const std::string& argument, const std::string& option) {
  return argument == option || argument.starts_with(option + "=");
}

// "--charset NAME" at argv[i]: a set that names can travel in.
bool take_charset(int argc, char** argv, int& i, std::string& charset, std::string& error) {
  if (!take_value(argc, argv, i, "--charset", charset, error)) {
    error = "--charset needs the name of a character set";
    return false;
  }
  if (host::NameCodec::open(charset, error)) return true;
  error = "--charset: " + error;
  return false;
}

bool take_allowed(int argc, char** argv, int& i, ServiceOptions& options, std::string& error) {
  std::string text;
  if (!take_value(argc, argv, i, "--allow", text, error, "an address, ADDR or ADDR/BITS")) return false;
  const std::optional<lines::AddressRange> range = lines::parse_address_range(text, error);
  if (range) options.allowed.push_back(*range);
  return range.has_value();
}

// Whole seconds, 0 up to a year.
bool take_idle_timeout(int argc, char** argv, int& i, ServiceOptions& options, std::string& error) {
  constexpr long kLongestIdleSeconds = 366L * 24 * 3600;
  std::string text;
  if (!take_value(argc, argv, i, "--idle-timeout", text, error, "a number of seconds")) return false;
  long seconds = 0;
  if (host::parse_digits(text, seconds) && seconds <= kLongestIdleSeconds) {
    options.idle_timeout_seconds = seconds;
    return true;
  }
  error = "--idle-timeout " + text + ": give whole seconds, from 0 (no limit) to " + std::to_string(kLongestIdleSeconds);
  return false;
}

}  // namespace

void print_help() {
  char here[PATH_MAX] = "?";
  if (getcwd(here, sizeof here) == nullptr) std::strcpy(here, "?");
  std::printf("%s"
              "Serves a folder to a file-transfer customer on the other end of a serial line:\n"
              "the current directory (now %s), or DIR with --root. Whoever is on\n"
              "the line may read and write its files; no password is asked.\n"
              "  --root DIR     serve DIR; every name and every cd stays beneath it\n"
              "  --read-only    refuse every file a customer sends (as a write-protected volume)\n"
              "  --no-shutdown  refuse the customer's command that ends the service\n"
              "  --charset NAME names cross the line in the character set NAME (any that iconv\n"
              "                 knows; default ISO-8859-1); raw passes them as they are\n"
              "  --allow ADDR[/BITS]  on tcp-listen, let only peers from this address or network\n"
              "                 connect (IPv4 or IPv6; repeat it for more); others are closed at once\n"
              "  --idle-timeout SECONDS  on tcp-listen, close a customer that sends nothing and a\n"
              "                 peer that does not identify for that long (default 600; 0: never)\n"
              "  --help, --version\n"
              "DEVICE is a path (/dev/ttyUSB0, a pty) or serial.device, usbserial.device or\n"
              "acm.device, whose UNIT selects /dev/ttyS<UNIT>, /dev/ttyUSB<UNIT> or /dev/ttyACM<UNIT>,\n"
              "or a serial port on the network: tcp:HOST:PORT connects to it, tcp-listen:PORT\n"
              "(or tcp-listen:ADDR:PORT) waits for peers to connect, on 127.0.0.1 unless ADDR is given,\n"
              "and rfc2217:HOST:PORT connects to a terminal server's port whose speed it sets.\n"
              "A DEVICE alone is served at unit 0; without arguments it serves serial.device unit 0.\n"
              "SIGTERM, SIGINT and SIGHUP end it cleanly. Standard error carries its log: every\n"
              "customer, command and refusal, with the time.\n",
              kUsage, here);
}

std::optional<ServiceOptions> parse_service_options(int argc, char** argv, std::string& error) {
  ServiceOptions options;
  std::vector<std::string> arguments;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (options_ended || !is_option(argument)) {
      arguments.push_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--read-only") {
      options.read_only = true;
    } else if (argument == "--no-shutdown") {
      options.no_shutdown = true;
    } else if (is_option_with_value(argument, "--root")) {
      if (!take_value(argc, argv, i, "--root", options.root, error)) return std::nullopt;
    } else if (is_option_with_value(argument, "--charset")) {
      if (!take_charset(argc, argv, i, options.charset, error)) return std::nullopt;
    } else if (is_option_with_value(argument, "--lock-dir")) {
      if (!take_value(argc, argv, i, "--lock-dir", options.lock_directory, error)) return std::nullopt;
    } else if (is_option_with_value(argument, "--allow")) {
      if (!take_allowed(argc, argv, i, options, error)) return std::nullopt;
    } else if (is_option_with_value(argument, "--idle-timeout")) {
      if (!take_idle_timeout(argc, argv, i, options, error)) return std::nullopt;
    } else {
      error = "unknown option '" + argument + "'";
      return std::nullopt;
    }
  }
  if (options.help || options.version) return options;
  if (arguments.size() > 2) {
    error = "too many arguments: give DEVICE UNIT, or DEVICE alone";
    return std::nullopt;
  }
  if (arguments.size() == 1 && !lines::names_a_device(arguments[0])) {
    error = "'" + arguments[0] + "' names no line: give DEVICE UNIT, a path, tcp:HOST:PORT, tcp-listen:PORT or rfc2217:HOST:PORT";
    return std::nullopt;
  }
  if (!arguments.empty()) {
    options.device_given = true;
    options.device = arguments[0];
    options.unit = arguments.size() == 2 ? std::atol(arguments[1].c_str()) : 0;
  }
  // An --allow that could not take effect must not look as if it had.
  if (!options.allowed.empty() && !lines::is_listening_line_name(options.device)) {
    error = "--allow limits who connects to a tcp-listen line, and " + options.device + " is none";
    return std::nullopt;
  }
  return options;
}

}  // namespace quorvantix::service
