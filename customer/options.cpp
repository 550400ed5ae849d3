#include "options.h"

namespace customer_side {
namespace {

constexpr long kHighestRate = 100'000'000;

bool parse_unit(const std::string& text, long& unit) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  unit = std::stol(text);
  return true;
}

// "--name=value" or "--name value"; advances `index` past what it used.
bool take_value(int argc, const char* const* argv, int& index, const char* name, std::string& value,
                std::string& error) {
  const std::string word = argv[index];
  const std::string prefix = std::string(name) + "=";
  if (word.rfind(prefix, 0) == 0) {
    value = word.substr(prefix.size());
    return true;
  }
  if (index + 1 >= argc) {
    error = std::string("option ") + name + " needs a value";
    return false;
  }
  value = argv[++index];
  return true;
}

bool is_option(const std::string& word, const char* name) {
  return word == name || word.rfind(std::string(name) + "=", 0) == 0;
}

}  // namespace

long parse_rate(const std::string& text) {
  if (text.empty() || text.size() > 9) return 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  const long rate = std::stol(text);
  return rate >= 1 && rate <= kHighestRate ? rate : 0;
}

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
  int index = 1;
  for (; index < argc; ++index) {
    const std::string word = argv[index];
    if (word == "--") {
      ++index;
      break;
    }
    if (word == "-h" || word == "--help") {
      options.help = true;
      return true;
    }
    if (word == "--version") {
      options.version = true;
      return true;
    }
    if (word == "-q" || word == "--quiet") {
      options.quiet = true;
      continue;
    }
    std::string value;
    if (is_option(word, "--unit")) {
      if (!take_value(argc, argv, index, "--unit", value, error)) return false;
      if (!parse_unit(value, options.unit)) {
        error = "--unit takes a unit number (0, 1, ...), not '" + value + "'";
        return false;
      }
      continue;
    }
    if (is_option(word, "--baud")) {
      if (!take_value(argc, argv, index, "--baud", value, error)) return false;
      options.baud = parse_rate(value);
      if (options.baud == 0) {
        error = "--baud takes a line speed in baud (for example 115200), not '" + value + "'";
        return false;
      }
      continue;
    }
    if (word.size() > 1 && word[0] == '-') {
      error = "unknown option '" + word + "'";
      return false;
    }
    break;
  }
  if (index >= argc) {
    error = "name the serial line (a path such as /dev/ttyUSB0, or serial.device with --unit)";
    return false;
  }
  options.device = argv[index++];
  for (; index < argc; ++index) options.command_words.emplace_back(argv[index]);
  return true;
}

const char* usage_text() {
  return "usage: quorvantix-customer [--unit N] [--baud RATE] [-q] DEVICE [COMMAND [ARG...]]\n"
         "\n"
         "Works with a Quorvantix service on the other end of a serial line.\n"
         "DEVICE is a path (/dev/ttyUSB0, a pty) or serial.device, usbserial.device or\n"
         "acm.device, whose unit (--unit, default 0) selects /dev/ttyS<N>, /dev/ttyUSB<N>\n"
         "or /dev/ttyACM<N>. The line starts at 9600 baud; --baud switches both ends to\n"
         "RATE once the service has answered.\n"
         "\n"
         "Commands (several may be given, separated by ';'):\n"
         "  pwd                   the service's current directory\n"
         "  cd DIR                change the service's current directory\n"
         "  ls                    list the service's current directory\n"
         "  get REMOTE [LOCAL]    fetch a file (LOCAL defaults to the last part of REMOTE)\n"
         "  put LOCAL [REMOTE]    store a file (REMOTE defaults to the last part of LOCAL)\n"
         "  baud RATE             switch both ends of the line to RATE baud\n"
         "  lpwd, lcd DIR, lls    the local current directory\n"
         "  bye                   sign off; the service waits for the next customer\n"
         "  shutdown              end the service\n"
         "  help                  this list\n"
         "\n"
         "With '-' as the command, or the name of a file, commands are read one a line.\n"
         "Without a command on a terminal, an interactive shell starts.\n"
         "\n"
         "Options:\n"
         "  --unit N      unit of a named device (default 0)\n"
         "  --baud RATE   line speed after the identification\n"
         "  -q, --quiet   no progress line and no service line on standard error\n"
         "  --help, --version\n"
         "\n"
         "Exit status: 0 when every command succeeded, 1 when one failed, 2 for a wrong\n"
         "command line, 3 when the line could not be opened or no service answered.\n";
}

}  // namespace customer_side
