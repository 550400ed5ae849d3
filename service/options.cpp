#include "service/options.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "host/numbers.h"
#include "host/options.h"
#include "lines/tcp_line.h"

namespace quorvantix::service {
namespace {

bool is_option(const std::string& argument) {
  return argument.size() > 1 && argument[0] == '-' && !std::isdigit(static_cast<unsigned char>(argument[1]));
}

// The character set is opened here, once: the service uses the converter the
// check opened.
bool take_charset(ServiceOptions& options, const std::string& name, std::string& error) {
  options.names = host::NameCodec::open(name, error);
  if (!options.names) error = "--charset: " + error;
  options.charset = name;
  return options.names.has_value();
}

bool take_allowed(ServiceOptions& options, const std::string& text, std::string& error) {
  const std::optional<lines::AddressRange> range = lines::parse_address_range(text, error);
  if (range) options.allowed.push_back(*range);
  return range.has_value();
}

// Whole seconds, 0 up to a year.
bool take_idle_timeout(ServiceOptions& options, const std::string& text, std::string& error) {
  constexpr long kLongestIdleSeconds = 366L * 24 * 3600;
  long seconds = 0;
  if (host::parse_digits(text, seconds) && seconds <= kLongestIdleSeconds) {
    options.idle_timeout_seconds = seconds;
    return true;
  }
  error = "--idle-timeout " + text + ": give whole seconds, from 0 (no limit) to " + std::to_string(kLongestIdleSeconds);
  return false;
}

using Option = host::Option<ServiceOptions>;
using host::OptionValue;

constexpr Option kOptions[] = {
    {'h', "help", OptionValue::none, "", [](ServiceOptions& o, const std::string&, std::string&) { return o.help = true; }},
    {0, "version", OptionValue::none, "", [](ServiceOptions& o, const std::string&, std::string&) { return o.version = true; }},
    {0, "read-only", OptionValue::none, "",
     [](ServiceOptions& o, const std::string&, std::string&) { return o.read_only = true; }},
    {0, "no-shutdown", OptionValue::none, "",
     [](ServiceOptions& o, const std::string&, std::string&) { return o.no_shutdown = true; }},
    {0, "root", OptionValue::required, "--root needs a directory",
     [](ServiceOptions& o, const std::string& dir, std::string&) { return o.root = dir, true; }},
    {0, "charset", OptionValue::required, "--charset needs the name of a character set", take_charset},
    {0, "allow", OptionValue::required, "--allow needs an address, ADDR or ADDR/BITS", take_allowed},
    {0, "idle-timeout", OptionValue::required, "--idle-timeout needs a number of seconds", take_idle_timeout},
};

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
  const std::vector<std::string> words(argv, argv + argc);
  bool options_ended = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (options_ended || !is_option(words[i])) {
      arguments.push_back(words[i]);
    } else if (words[i] == "--") {
      options_ended = true;
    } else if (!host::take_option<ServiceOptions>(kOptions, words, i, options, error, true)) {
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
