#include "commands.h"

#include <algorithm>
#include <cstdio>

#include "options.h"
#include "text_width.h"
#include "transfers.h"

namespace customer_side {
namespace {

// A command with its options taken apart from its arguments.
struct Parsed {
  std::string name;
  bool force = false;      // -f
  bool recursive = false;  // -r
  std::vector<std::string> args;
};

using Runner = Outcome (*)(Session&, const Parsed&, Console&);
// Checks the arguments; an empty text when they can be used.
using Checker = std::string (*)(const Parsed&);

struct CommandEntry {
  const char* name;
  const char* options;  // the option letters it takes
  std::size_t min_args;
  std::size_t max_args;
  const char* usage;
  Runner run;
  Checker check;
};

constexpr std::size_t kAny = SIZE_MAX;
// A name is listed with this many columns at least, and cut beyond the most.
constexpr std::size_t kNameColumns = 30;
constexpr std::size_t kMostNameColumns = 40;

Outcome failed(Console& console, const Parsed& command, const std::string& message) {
  say(console, command.name, message);
  return Outcome{false, Ending::none};
}

Outcome result(bool ok) { return Outcome{ok, Ending::none}; }

std::string with_detail(const std::string& sentence, const Session& session) {
  return session.detail.empty() ? sentence : sentence + ": " + session.detail;
}

// Rows of a listing: the name (escaped), DIR or FILE, and the size, in
// columns that line up on the terminal. A name the service's listing cut
// shows its mark.
void print_entries(std::vector<RemoteEntry> entries, bool from_service, std::ostream& out) {
  entries = sorted_by_name(std::move(entries));
  std::vector<std::string> names;
  std::size_t columns = kNameColumns;
  for (const auto& entry : entries) {
    const bool cut = from_service && listing_cut(entry);
    names.push_back(cut ? platform::shown_name(whole_characters(entry.name)) + cut_mark()
                        : platform::shown_name(entry.name));
    columns = std::max(columns, std::min(display_width(names.back()), kMostNameColumns));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    char size[24] = "?";
    if (entries[i].size >= 0) std::snprintf(size, sizeof size, "%lld", static_cast<long long>(entries[i].size));
    char rest[48];
    std::snprintf(rest, sizeof rest, "  %-4s  %10s", entries[i].is_dir ? "DIR" : "FILE", size);
    out << pad_columns(names[i], columns) << rest << '\n';
  }
}

Outcome run_pwd(Session& session, const Parsed& command, Console& console) {
  const long status = remote_pwd(session);
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  console.out << platform::shown_name(session.remote_dir) << '\n';
  if (session.remote_dir_cut) {
    say(console, command.name, "the name is longer; the line carries only its first 60 characters");
  }
  return {};
}

Outcome run_cd(Session& session, const Parsed& command, Console& console) {
  const std::string& dir = command.args[0];
  console.listing.valid = false;
  const long status = remote_cd(session, dir);
  if (status == REMOTE_DIR_UNCONFIRMED) {
    say(console, command.name,
        "cannot tell whether the service changed directory: its name is longer than the 60 characters the line "
        "carries");
    return {};
  }
  if (status == REMOTE_DIR_UNCHANGED) {
    return failed(console, command, "no directory " + quoted(dir) + " on the service (" + session.detail + ")");
  }
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_ls(Session& session, const Parsed& command, Console& console) {
  console.listing.valid = false;
  const long status = current_listing(session, console);
  print_entries(console.listing.entries, true, console.out);
  if (status != LINK_OK) return failed(console, command, listing_failure(status, session));
  return {};
}

Outcome run_get(Session& session, const Parsed& command, Console& console) {
  const std::string local = command.args.size() > 1 ? command.args[1] : "";
  if (command.recursive) return result(get_tree(session, console, command.args[0], local, command.force));
  return result(get_file(session, console, command.args[0], local, command.force));
}

Outcome run_mget(Session& session, const Parsed& command, Console& console) {
  return result(get_matching(session, console, command.args, command.force));
}

Outcome run_put(Session& session, const Parsed& command, Console& console) {
  const std::string remote = command.args.size() > 1 ? command.args[1] : "";
  if (command.recursive) return result(put_tree(session, console, command.args[0], remote));
  return result(put_file(session, console, command.args[0], remote));
}

Outcome run_mput(Session& session, const Parsed& command, Console& console) {
  return result(put_matching(session, console, command.args));
}

Outcome run_baud(Session& session, const Parsed& command, Console& console) {
  if (!session.link.speed_reaches_port()) {
    say(console, command.name,
        "a tcp: line carries no line speed: the service switches to " + std::to_string(parse_rate(command.args[0])) +
            " baud, but a serial port on the way (a terminal server's) stays at its own; a port that a terminal "
            "server offers with RFC 2217 follows the speed when it is named rfc2217:HOST:PORT");
  }
  const long status = remote_set_baud(session, parse_rate(command.args[0]));
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_lpwd(Session&, const Parsed& command, Console& console) {
  std::string dir;
  if (local_pwd(dir) != DIR_OK) return failed(console, command, "the name of the current directory cannot be had");
  console.out << dir << '\n';
  return {};
}

Outcome run_lcd(Session& session, const Parsed& command, Console& console) {
  const long status = local_cd(session, command.args[0]);
  if (status != DIR_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_lls(Session&, const Parsed& command, Console& console) {
  std::vector<RemoteEntry> entries;
  const long status = local_list(entries);
  print_entries(entries, false, console.out);
  if (status != DIR_OK) return failed(console, command, "no memory for the whole listing");
  return {};
}

Outcome run_set(Session&, const Parsed& command, Console& console) {
  if (!command.args.empty()) console.overwrite = command.args[1] == "on";
  console.out << "overwrite " << (console.overwrite ? "on" : "off") << '\n';
  return {};
}

Outcome run_bye(Session& session, const Parsed& command, Console& console) {
  const long status = sign_off(session);
  Outcome outcome = status == LINK_OK ? Outcome{} : failed(console, command, link_failure(status, session));
  outcome.ending = Ending::signed_off;
  return outcome;
}

Outcome run_shutdown(Session& session, const Parsed& command, Console& console) {
  const long status = shutdown_service(session);
  if (status == SHUTDOWN_REFUSED) return failed(console, command, session.detail);
  Outcome outcome = status == LINK_OK ? Outcome{} : failed(console, command, link_failure(status, session));
  outcome.ending = Ending::shut_down;
  return outcome;
}

Outcome run_help(Session&, const Parsed&, Console& console) {
  console.out << help_text();
  return {};
}

std::string no_check(const Parsed&) { return {}; }

// A name that travels in a command frame. Its bytes on the line depend on the
// line's character set, which the session knows; but every character takes
// one at least.
std::string check_remote_name(const Parsed& command) {
  const std::string& name = command.args[0];
  if (name.empty()) return "the name is empty";
  if (character_count(name) > kCommandArgumentBytes) {
    return quoted(name) + " is too long: a name on the service may have at most " +
           std::to_string(kCommandArgumentBytes) + " characters here";
  }
  return {};
}

std::string check_rate(const Parsed& command) {
  return parse_rate(command.args[0]) != 0 ? std::string() : quoted(command.args[0]) + " is not a line speed in baud";
}

std::string check_setting(const Parsed& command) {
  if (command.args.empty()) return {};
  if (command.args[0] != "overwrite") return "there is no setting " + quoted(command.args[0]) + " (try overwrite)";
  if (command.args.size() == 2 && (command.args[1] == "on" || command.args[1] == "off")) return {};
  return "usage: set overwrite on|off";
}

constexpr CommandEntry kCommands[] = {
    {"pwd", "", 0, 0, "pwd", run_pwd, no_check},
    {"cd", "", 1, 1, "cd DIR", run_cd, check_remote_name},
    {"ls", "", 0, 0, "ls", run_ls, no_check},
    {"get", "fr", 1, 2, "get [-f] REMOTE [LOCAL], or get -r [-f] DIR [LOCAL]", run_get, check_remote_name},
    {"mget", "f", 1, kAny, "mget [-f] PATTERN...", run_mget, no_check},
    {"put", "r", 1, 2, "put LOCAL [REMOTE], or put -r DIR [REMOTE]", run_put, no_check},
    {"mput", "", 1, kAny, "mput PATTERN...", run_mput, no_check},
    {"baud", "", 1, 1, "baud RATE", run_baud, check_rate},
    {"lpwd", "", 0, 0, "lpwd", run_lpwd, no_check},
    {"lcd", "", 1, 1, "lcd DIR", run_lcd, no_check},
    {"lls", "", 0, 0, "lls", run_lls, no_check},
    {"set", "", 0, 2, "set overwrite on|off", run_set, check_setting},
    {"bye", "", 0, 0, "bye", run_bye, no_check},
    {"quit", "", 0, 0, "quit", run_bye, no_check},
    {"exit", "", 0, 0, "exit", run_bye, no_check},
    {"shutdown", "", 0, 0, "shutdown", run_shutdown, no_check},
    {"help", "", 0, 0, "help", run_help, no_check},
};

const CommandEntry* find_command(const std::string& name) {
  for (const auto& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// Takes `command` apart; false with `error` filled when it cannot be used.
bool parse(Command command, const CommandEntry*& entry, Parsed& parsed, std::string& error) {
  take_go_on_mark(command);
  entry = command.empty() ? nullptr : find_command(command[0]);
  if (entry == nullptr) {
    error = "unknown command " + quoted(command.empty() ? "" : command[0]) + " (try help)";
    return false;
  }
  parsed.name = command[0];
  std::size_t i = 1;
  const std::string options = entry->options;
  for (; !options.empty() && i < command.size() && command[i].size() > 1 && command[i][0] == '-'; ++i) {
    if (command[i] == "--") {
      ++i;
      break;
    }
    for (const char letter : command[i].substr(1)) {
      if (options.find(letter) == std::string::npos) {
        error = parsed.name + ": unknown option " + quoted(command[i]) + " (a name that begins with '-' goes after --)";
        return false;
      }
      (letter == 'f' ? parsed.force : parsed.recursive) = true;
    }
  }
  parsed.args.assign(command.begin() + static_cast<std::ptrdiff_t>(i), command.end());
  if (parsed.args.size() < entry->min_args || parsed.args.size() > entry->max_args) {
    error = std::string("usage: ") + entry->usage;
    return false;
  }
  const std::string problem = entry->check(parsed);
  if (!problem.empty()) {
    error = parsed.name + ": " + problem;
    return false;
  }
  return true;
}

}  // namespace

bool is_command_name(const std::string& name) { return find_command(name) != nullptr; }

bool take_go_on_mark(Command& command) {
  if (command.empty() || command[0].size() < 2 || command[0][0] != '-') return false;
  command[0].erase(0, 1);
  return true;
}

bool check_command(const Command& command, std::string& error) {
  const CommandEntry* entry = nullptr;
  Parsed parsed;
  return parse(command, entry, parsed, error);
}

Outcome run_command(Session& session, const Command& command, Console& console) {
  const CommandEntry* entry = nullptr;
  Parsed parsed;
  std::string error;
  if (!parse(command, entry, parsed, error)) {
    console.err << console.where << error << '\n';
    return Outcome{false, Ending::none};
  }
  session.detail.clear();
  return entry->run(session, parsed, console);
}

long current_listing(Session& session, Console& console) {
  if (console.listing.valid) return LINK_OK;
  console.listing.entries.clear();
  const long status = remote_list(session, console.listing.entries);
  console.listing.valid = status == DIR_OK;
  return status == DIR_OK ? LINK_OK : status;
}

std::string link_failure(long status, const Session& session) {
  switch (status) {
    case LINK_LOST:
      return "the service does not answer any more; the session is over";
    case LINK_NOT_ACKED:
      return "the service refused the command";
    case LINK_TIMEOUT:
      return "the service's answer did not come in time";
    case LINK_CHECK_ERROR:
      return "the service's answer arrived damaged";
    case NAME_TOO_LONG:
    case NAME_UNUSABLE:
    case LOCAL_NOT_A_FILE:
    case LOCAL_TOO_LARGE:
    case LOCAL_NO_DIRECTORY:
    case RATE_REFUSED:
    case RATE_NOT_TAKEN:
    case CHARSET_UNKNOWN:
      return session.detail;
    default:
      return with_detail("failed with status " + std::to_string(status), session);
  }
}

std::string listing_failure(long status, const Session& session) {
  if (status == DIR_END_DAMAGED) return "the listing did not arrive intact";
  if (status == DIR_NO_MEMORY) return "no memory for the whole listing";
  return link_failure(status, session);
}

const char* help_text() {
  return "pwd                       show the service's current directory\n"
         "cd DIR                    change the service's current directory\n"
         "ls                        list the service's current directory\n"
         "get [-f] REMOTE [LOCAL]   fetch a file (LOCAL: default the last part of REMOTE, here);\n"
         "                          -f replaces a local file of that name\n"
         "get -r [-f] DIR [LOCAL]   fetch the folder tree DIR (into LOCAL, default DIR's name)\n"
         "mget [-f] PATTERN...      fetch the files whose names match (* ? [...])\n"
         "put LOCAL [REMOTE]        store a file (REMOTE: default the last part of LOCAL)\n"
         "put -r DIR [REMOTE]       store a folder tree into folders that the service has\n"
         "mput PATTERN...           store the local files that match\n"
         "baud RATE                 switch both ends of the line to RATE baud\n"
         "lpwd                      show the local current directory\n"
         "lcd DIR                   change the local current directory\n"
         "lls                       list the local current directory\n"
         "set overwrite on|off      whether get replaces local files without -f\n"
         "bye                       sign off (also quit, exit, end of input)\n"
         "shutdown                  end the service\n"
         "help                      this list\n";
}

const char* const* command_names() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> all;
    for (const auto& entry : kCommands) all.push_back(entry.name);
    all.push_back(nullptr);
    return all;
  }();
  return names.data();
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// The names a message quotes may come from the service: the message is shown
// as a name is, so that none of them steers the terminal or forges a line.
void say(Console& console, const std::string& command, const std::string& message) {
  console.err << console.where << command << ": " << platform::shown_name(message) << '\n';
}

}  // namespace customer_side
