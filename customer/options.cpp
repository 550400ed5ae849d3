#include "customer/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "customer/commands.h"
#include "host/numbers.h"
#include "host/options.h"
#include "lines/serial_line.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

// The longest line the settings file may have.
constexpr std::size_t kSettingsLineBytes = 4096;

bool take_unit(Options& options, const std::string& value, std::string& error) {
  if (host::parse_digits(value, options.unit)) return true;
  error = "-u/--unit takes a unit number (0, 1, ...), not '" + value + "'";
  return false;
}

bool take_baud(Options& options, const std::string& value, std::string& error) {
  options.baud = host::parse_rate(value);
  if (options.baud != 0) return true;
  error = "-b/--baud takes a line speed in baud (for example 115200), not '" + value + "'";
  return false;
}

bool take_batch(Options& options, const std::string& value, std::string& error) {
  if (value.empty()) {
    error = "--batch takes the name of a file of commands, or - for standard input";
    return false;
  }
  options.batch = value;
  return true;
}

// The character set is opened here, once: the session uses the converter the
// check opened.
bool take_charset(Options& options, const std::string& value, std::string& error) {
  std::optional<host::NameCodec> names = host::NameCodec::open(value, error);
  if (!names) {
    error = "--charset: " + error;
    return false;
  }
  options.charset = value;
  options.names = std::make_shared<host::NameCodec>(std::move(*names));
  return true;
}

using host::OptionValue;

constexpr host::Option<Options> kOptions[] = {
    {'h', "help", OptionValue::none, "", [](Options& o, const std::string&, std::string&) { return o.help = true; }},
    {'V', "version", OptionValue::none, "", [](Options& o, const std::string&, std::string&) { return o.version = true; }},
    {'q', "quiet", OptionValue::none, "", [](Options& o, const std::string&, std::string&) { return o.quiet = true; }},
    {'u', "unit", OptionValue::required, "option -u/--unit needs a value", take_unit},
    {'b', "baud", OptionValue::required, "option -b/--baud needs a value", take_baud},
    {0, "batch", OptionValue::required, "option --batch needs a value", take_batch},
    {0, "charset", OptionValue::required, "option --charset needs a value", take_charset},
};

bool is_option_word(const std::string& word, bool line_known) {
  if (word.size() < 2 || word[0] != '-' || word == "--") return false;
  // "-cd", "-!ls": a command that may fail, once the line is known.
  return !(line_known && (is_command_name(word.substr(1)) || word[1] == '!'));
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool apply_setting(const std::string& name, const std::string& value, Options& options, std::string& error) {
  if (name == "line") {
    if (value.empty()) error = "line takes the name of a line, as DEVICE";
    options.device = value;
    return !value.empty();
  }
  if (name == "overwrite") {
    if (value != "on" && value != "off") error = "overwrite takes on or off, not '" + value + "'";
    options.overwrite = value == "on";
    return value == "on" || value == "off";
  }
  for (const auto& entry : kOptions) {
    if (name == entry.long_name && entry.value == OptionValue::required && name != "batch") {
      return entry.set(options, value, error);
    }
  }
  error = "there is no setting '" + name + "' (line, unit, baud, charset, overwrite)";
  return false;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
  const std::vector<std::string> words(argv, argv + argc);
  bool line_given = false;
  std::size_t index = 1;
  for (; index < words.size(); ++index) {
    const std::string& word = words[index];
    const bool line_known = line_given || !options.device.empty();
    if (word == "--") {
      ++index;
      break;
    }
    if (word == "-") {
      options.batch = "-";
    } else if (is_option_word(word, line_known)) {
      if (!host::take_option<Options>(kOptions, words, index, options, error)) return false;
      if (options.help || options.version) return true;
    } else if (!line_given && (options.device.empty() || lines::names_a_device(word))) {
      options.device = word;
      line_given = true;
    } else {
      break;
    }
  }
  if (!line_given && index < words.size() && (options.device.empty() || lines::names_a_device(words[index]))) {
    options.device = words[index++];
  }
  if (options.device.empty()) {
    error = "name the serial line (a path such as /dev/ttyUSB0, or serial.device with -u)";
    return false;
  }
  for (; index < words.size(); ++index) options.command_words.push_back(words[index]);
  return true;
}

std::string settings_path() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/quorvantix/customer.conf";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/quorvantix/customer.conf";
  return {};
}

bool read_settings(const std::string& path, Options& options, std::string& error) {
  if (path.empty()) return true;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (errno == ENOENT) return true;
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line, problem;
  for (int number = 1;; ++number) {
    const TextLine read = read_text_line(file, line, kSettingsLineBytes, problem);
    if (read == TextLine::end) return true;
    const std::string text = trimmed(line);
    if (read == TextLine::read && (text.empty() || text[0] == '#')) continue;
    const std::size_t equals = text.find('=');
    if (read == TextLine::read) {
      problem = "a setting is NAME = VALUE, not '" + text + "'";
      if (equals != std::string::npos &&
          apply_setting(trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)), options, problem)) {
        continue;
      }
    }
    error = path + ", line " + std::to_string(number) + ": " + problem;
    return false;
  }
}

const char* usage_text() {
  return "usage: quorvantix-customer [-u N] [-b RATE] [-q] [--charset SET] [--batch FILE] DEVICE [COMMAND [ARG...]]\n"
         "       quorvantix-customer doctor [--speed] [--save] [-u N] [DEVICE]\n"
         "\n"
         "Works with a Quorvantix service on the other end of a serial line.\n"
         "DEVICE is a path (/dev/ttyUSB0, a pty) or serial.device, usbserial.device or\n"
         "acm.device, whose unit (-u, default 0) selects /dev/ttyS<N>, /dev/ttyUSB<N>\n"
         "or /dev/ttyACM<N>, or tcp:HOST:PORT, tcp-listen:PORT, rfc2217:HOST:PORT. The\n"
         "line starts at 9600 baud; -b switches both ends to RATE once the service has\n"
         "answered. Options may stand before and after DEVICE, up to the first command.\n"
         "\n"
         "Commands (several may be given, separated by ';'; help COMMAND tells more):\n"
         "  pwd, cd DIR              the service's current directory\n"
         "  ls [-l] [--json] [PATH]  list it, another folder, or the names that match\n"
         "  get [-f] REMOTE [LOCAL]  fetch a file; -f replaces a local file\n"
         "  get -r [-f] [-n] DIR [LOCAL]  fetch a whole folder tree; -n skips files of\n"
         "                           the same size here\n"
         "  mget [-f] [-n] PATTERN...  fetch the files whose names match (* ? [...])\n"
         "  put LOCAL [REMOTE]       store a file (into REMOTE when it is a folder)\n"
         "  put -r DIR [REMOTE]      store a folder tree into folders the service has\n"
         "  mput [-f] [-n] PATTERN...  store the local files that match\n"
         "  baud [RATE]              show the line speed, or switch both ends to RATE\n"
         "  lpwd, lcd [DIR], lls [-l] [PATH], lmkdir DIR   the local side\n"
         "  !COMMAND, !              a local shell command, or a shell\n"
         "  set overwrite on|off     whether get, mget and mput replace files without -f\n"
         "  bye                      sign off; the service waits for the next customer\n"
         "  shutdown                 end the service\n"
         "  help [COMMAND], ?        the list of commands, or what one does\n"
         "\n"
         "Commands are checked before the line is opened, and run in order until one\n"
         "fails. --batch FILE (or -, for standard input) reads them one a line; a\n"
         "command with a '-' before its name may fail without stopping the script.\n"
         "Without a command on a terminal, an interactive shell starts.\n"
         "\n"
         "Options:\n"
         "  -u, --unit N      unit of a named device (default 0)\n"
         "  -b, --baud RATE   line speed after the identification\n"
         "  -q, --quiet       no progress, no summaries, no service line on standard error\n"
         "      --batch FILE  run the commands in FILE\n"
         "      --charset SET names cross the line in the character set SET (any that\n"
         "                    iconv knows; default ISO-8859-1); raw: as they are\n"
         "  -h, --help        this text\n"
         "  -V, --version     the version\n"
         "\n"
         "Defaults for the line (then DEVICE may be left out), unit, baud, charset and\n"
         "overwrite come from ~/.config/quorvantix/customer.conf ($XDG_CONFIG_HOME);\n"
         "the command line wins over them.\n"
         "\n"
         "Exit status: 0 when every command succeeded, 1 when one failed, 2 for a wrong\n"
         "command line or settings file, 3 when the line could not be opened or no\n"
         "service answered.\n";
}

}  // namespace quorvantix::customer
