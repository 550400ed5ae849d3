#include "customer/commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "customer/doctor.h"
#include "customer/listing_output.h"
#include "customer/local_side.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/text_width.h"
#include "host/numbers.h"
#include "customer/transfers.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

// A command with its options taken apart from its arguments.
struct Parsed {
  std::string name;
  std::string letters;     // the option letters, in the order typed, each once
  bool json = false;       // --json
  std::vector<std::string> args;
  bool has(char letter) const { return letters.find(letter) != std::string::npos; }
  // The command as typed, without -f: what a hint puts -f after ("get -r -f").
  std::string typed() const {
    std::string text = name;
    for (const char letter : letters) {
      if (letter != 'f') text += std::string(" -") + letter;
    }
    return text;
  }
};

using Runner = Outcome (*)(Session&, const Parsed&, Console&);
// Checks the arguments; an empty text when they can be used.
using Checker = std::string (*)(const Parsed&);

struct CommandEntry {
  const char* name;
  const char* options;  // the option letters it takes
  bool takes_json;      // --json
  std::size_t min_args;
  std::size_t max_args;
  const char* usage;
  Runner run;
  Checker check;
};

constexpr std::size_t kAny = SIZE_MAX;

Outcome failed(Console& console, const Parsed& command, const std::string& message) {
  say(console, command.name, message);
  return Outcome{false, Ending::none};
}

Outcome result(bool ok) { return Outcome{ok, Ending::none}; }

ListingStyle style_of(const Parsed& command) {
  return command.json ? ListingStyle::json : command.has('l') ? ListingStyle::rows : ListingStyle::names;
}

std::size_t out_columns(const Console& console) { return console.out_terminal ? terminal_columns(STDOUT_FILENO) : 0; }

Outcome run_pwd(Session& session, const Parsed& command, Console& console) {
  if (const Result<> pwd = session.remote_pwd(); !pwd) return failed(console, command, link_failure(pwd.error(), session));
  console.out << host::shown_name(session.remote_dir()) << '\n';
  if (session.remote_dir_cut()) {
    say(console, command.name, "the name is longer; the line carries only its first 60 characters");
  }
  return {};
}

Outcome run_cd(Session& session, const Parsed& command, Console& console) {
  const std::string& dir = command.args[0];
  const Result<> cd = session.remote_cd(dir);
  if (cd) return {};
  if (cd.error().kind == Kind::remote_dir_unconfirmed) {
    say(console, command.name,
        "cannot tell whether the service changed directory: its name is longer than the 60 characters the line "
        "carries");
    return {};
  }
  if (cd.error().kind == Kind::remote_dir_unchanged) return failed(console, command, not_entered(session, console, dir));
  return failed(console, command, link_failure(cd.error(), session));
}

// The entries that `pattern` matches, or may match where the listing cut a name.
std::vector<RemoteEntry> matching(const Entries& entries, const std::string& pattern) {
  std::vector<RemoteEntry> found;
  for (const RemoteEntry& entry : entries) {
    const bool shown = entry.cut ? pattern_reach(pattern, entry.name) != Reach::none : pattern_matches(pattern, entry.name);
    if (shown) found.push_back(entry);
  }
  return found;
}

// ls PATH: a pattern lists the names of its folder that it matches, a folder
// its entries, a file its own entry.
Outcome list_path(Session& session, const Parsed& command, Console& console, const std::string& path) {
  const Entries* entries = nullptr;
  const std::string folder = folder_part(path), name = path.substr(folder.size());
  if (has_wildcard(name)) {
    const Result<> listing = folder_listing(session, console.listings, folder, entries, true);
    if (!listing) return failed(console, command, listing_failure(listing.error(), session));
    const std::vector<RemoteEntry> found = matching(*entries, name);
    print_listing(found, style_of(command), out_columns(console), console.out);
    if (found.empty()) return failed(console, command, "no name on the service matches " + quoted(path));
    return {};
  }
  if (kept_kind(session, console.listings, path) != RemoteKind::file) {
    const Result<> listing = folder_listing(session, console.listings, path, entries, true);
    if (listing) {
      print_listing(*entries, style_of(command), out_columns(console), console.out);
      return {};
    }
    if (listing.error().kind != Kind::remote_dir_unchanged || session.remote_dir().empty()) {
      return failed(console, command, listing_failure(listing.error(), session));
    }
  }
  if (folder_listing(session, console.listings, folder, entries)) {
    for (const RemoteEntry& entry : *entries) {
      if (entry.cut || entry.name != name) continue;
      print_listing({entry}, style_of(command), out_columns(console), console.out);
      return {};
    }
  }
  return failed(console, command, "no file or folder " + quoted(path) + " on the service");
}

Outcome run_ls(Session& session, const Parsed& command, Console& console) {
  if (!command.args.empty()) return list_path(session, command, console, command.args[0]);
  const Entries* entries = nullptr;
  const Result<> listing = current_listing(session, console.listings, entries, true);
  if (entries != nullptr) print_listing(*entries, style_of(command), out_columns(console), console.out);
  if (!listing) return failed(console, command, listing_failure(listing.error(), session));
  return {};
}

Existing existing_of(const Parsed& command) { return Existing{command.has('f'), command.has('n'), command.typed()}; }

Outcome run_get(Session& session, const Parsed& command, Console& console) {
  const std::string local = command.args.size() > 1 ? command.args[1] : "";
  if (command.has('r')) return result(get_tree(session, console, command.args[0], local, existing_of(command)));
  return result(get_file(session, console, command.args[0], local, command.has('f')));
}

Outcome run_mget(Session& session, const Parsed& command, Console& console) {
  return result(get_matching(session, console, command.args, existing_of(command)));
}

Outcome run_put(Session& session, const Parsed& command, Console& console) {
  const std::string remote = command.args.size() > 1 ? command.args[1] : "";
  if (command.has('r')) return result(put_tree(session, console, command.args[0], remote));
  return result(put_file(session, console, command.args[0], remote));
}

Outcome run_mput(Session& session, const Parsed& command, Console& console) {
  return result(put_matching(session, console, command.args, existing_of(command)));
}

Outcome run_baud(Session& session, const Parsed& command, Console& console) {
  if (command.args.empty()) {
    console.out << session.baud() << " baud\n";
    return {};
  }
  if (command.args[0] == "auto") return find_speed(session, console);
  return switch_speed(session, host::parse_rate(command.args[0]), console);
}

}  // namespace

Outcome switch_speed(Session& session, long rate, Console& console) {
  const Parsed command{"baud", "", false, {}};
  if (!session.link().speed_reaches_port()) {
    say(console, command.name,
        "a tcp: line carries no line speed: the service switches to " + std::to_string(rate) +
            " baud, but a serial port on the way (a terminal server's) stays at its own; a port that a terminal "
            "server offers with RFC 2217 follows the speed when it is named rfc2217:HOST:PORT");
  }
  const Result<> switched = session.remote_set_baud(rate);
  if (!switched) return failed(console, command, link_failure(switched.error(), session));
  if (!console.quiet) say(console, command.name, "the line runs at " + std::to_string(rate) + " baud");
  return {};
}

namespace {

Outcome run_lpwd(Session& session, const Parsed& command, Console& console) {
  const Result<std::string> dir = session.local_pwd();
  if (!dir) return failed(console, command, "the name of the current directory cannot be had");
  console.out << *dir << '\n';
  return {};
}

Outcome run_lcd(Session& session, const Parsed& command, Console& console) {
  std::string error;
  const std::string dir = with_home(command.args.empty() ? "" : command.args[0], error);
  if (dir.empty()) return failed(console, command, error);
  const Result<> entered = session.local_cd(dir);
  if (!entered) return failed(console, command, link_failure(entered.error(), session));
  return {};
}

Outcome run_lls(Session&, const Parsed& command, Console& console) {
  std::vector<RemoteEntry> entries;
  std::string error;
  if (!list_local(command.args.empty() ? "" : command.args[0], entries, error)) {
    return failed(console, command, error);
  }
  print_listing(entries, style_of(command), out_columns(console), console.out);
  return {};
}

Outcome run_lmkdir(Session&, const Parsed& command, Console& console) {
  std::string error;
  if (!make_local_folder(command.args[0], error)) return failed(console, command, error);
  return {};
}

Outcome run_shell_command(Session&, const Parsed& command, Console& console) {
  if (command.args.empty() && isatty(STDIN_FILENO) == 0) {
    return failed(console, command, "a shell needs a terminal; give the command to run (!COMMAND)");
  }
  console.out.flush();
  console.err.flush();
  std::string error;
  const int status = run_local_shell(command.args.empty() ? "" : command.args[0], error);
  if (status < 0) return failed(console, command, error);
  if (status != 0 && !command.args.empty()) {
    return failed(console, command, quoted(command.args[0]) + " ended with status " + std::to_string(status));
  }
  return {};
}

Outcome run_set(Session&, const Parsed& command, Console& console) {
  if (!command.args.empty()) console.overwrite = command.args[1] == "on";
  console.out << "overwrite " << (console.overwrite ? "on" : "off") << '\n';
  return {};
}

Outcome run_bye(Session& session, const Parsed& command, Console& console) {
  const Result<> signed_off = session.sign_off();
  Outcome outcome = signed_off ? Outcome{} : failed(console, command, link_failure(signed_off.error(), session));
  outcome.ending = Ending::signed_off;
  return outcome;
}

Outcome run_shutdown(Session& session, const Parsed& command, Console& console) {
  const Result<> shut = session.shutdown_service();
  Outcome outcome = shut ? Outcome{} : failed(console, command, link_failure(shut.error(), session));
  if (!shut && shut.error().kind == Kind::shutdown_refused) return outcome;
  outcome.ending = Ending::shut_down;
  return outcome;
}

Outcome run_help(Session&, const Parsed& command, Console& console) {
  console.out << help_text(command.args.empty() ? "" : command.args[0]);
  return {};
}

std::string no_check(const Parsed&) { return {}; }

// A name that travels in a command frame. Its bytes on the line depend on the
// line's character set, which the session knows; but every character takes
// one at least.
std::string check_remote_name(const Parsed& command) {
  if (command.args.empty()) return {};
  const std::string& name = command.args[0];
  if (name.empty()) return "the name is empty";
  if (character_count(name) > kCommandArgumentBytes) {
    return quoted(name) + " is too long: a name on the service may have at most " +
           std::to_string(kCommandArgumentBytes) + " characters here";
  }
  return {};
}

std::string check_get(const Parsed& command) {
  if (command.has('n') && !command.has('r')) return "-n goes with -r (get -r -n DIR), mget and mput";
  return check_remote_name(command);
}

std::string check_rate(const Parsed& command) {
  if (command.args.empty() || command.args[0] == "auto" || host::parse_rate(command.args[0]) != 0) return {};
  return quoted(command.args[0]) + " is not a line speed in baud";
}

std::string check_setting(const Parsed& command) {
  if (command.args.empty()) return {};
  if (command.args[0] != "overwrite") return "there is no setting " + quoted(command.args[0]) + " (try overwrite)";
  if (command.args.size() == 2 && (command.args[1] == "on" || command.args[1] == "off")) return {};
  return "usage: set overwrite on|off";
}

std::string check_help(const Parsed& command) {
  if (command.args.empty() || is_command_name(command.args[0])) return {};
  return "there is no command " + quoted(command.args[0]) + " (help lists them)";
}

constexpr CommandEntry kCommands[] = {
    {"pwd", "", false, 0, 0, "pwd", run_pwd, no_check},
    {"cd", "", false, 1, 1, "cd DIR", run_cd, check_remote_name},
    {"ls", "l", true, 0, 1, "ls [-l] [--json] [DIR|PATTERN]", run_ls, check_remote_name},
    {"get", "frn", false, 1, 2, "get [-f] REMOTE [LOCAL], or get -r [-f] [-n] DIR [LOCAL]", run_get, check_get},
    {"mget", "fn", false, 1, kAny, "mget [-f] [-n] PATTERN...", run_mget, no_check},
    {"put", "r", false, 1, 2, "put LOCAL [REMOTE], or put -r DIR [REMOTE]", run_put, no_check},
    {"mput", "fn", false, 1, kAny, "mput [-f] [-n] PATTERN...", run_mput, no_check},
    {"baud", "", false, 0, 1, "baud [RATE|auto]", run_baud, check_rate},
    {"lpwd", "", false, 0, 0, "lpwd", run_lpwd, no_check},
    {"lcd", "", false, 0, 1, "lcd [DIR]", run_lcd, no_check},
    {"lls", "l", false, 0, 1, "lls [-l] [PATH]", run_lls, no_check},
    {"lmkdir", "", false, 1, 1, "lmkdir DIR", run_lmkdir, no_check},
    {"!", "", false, 0, 1, "!COMMAND, or ! alone", run_shell_command, no_check},
    {"set", "", false, 0, 2, "set overwrite on|off", run_set, check_setting},
    {"bye", "", false, 0, 0, "bye", run_bye, no_check},
    {"quit", "", false, 0, 0, "quit", run_bye, no_check},
    {"exit", "", false, 0, 0, "exit", run_bye, no_check},
    {"shutdown", "", false, 0, 0, "shutdown", run_shutdown, no_check},
    {"help", "", false, 0, 1, "help [COMMAND]", run_help, check_help},
    {"?", "", false, 0, 1, "? [COMMAND]", run_help, check_help},
};

const CommandEntry* find_command(const std::string& name) {
  for (const auto& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// Takes the options off the words after the name; false with `error` filled
// for one the command does not take.
bool parse_options_of(const Command& command, const CommandEntry& entry, Parsed& parsed, std::size_t& next,
                      std::string& error) {
  const std::string options = entry.options;
  if (options.empty() && !entry.takes_json) return true;
  for (; next < command.size() && command[next].size() > 1 && command[next][0] == '-'; ++next) {
    const std::string& word = command[next];
    if (word == "--") {
      ++next;
      return true;
    }
    if (word == "--json" && entry.takes_json) {
      parsed.json = true;
      continue;
    }
    for (const char letter : word.substr(1)) {
      if (options.find(letter) == std::string::npos) {
        error = parsed.name + ": unknown option " + quoted(word) + " (a name that begins with '-' goes after --)";
        return false;
      }
      if (!parsed.has(letter)) parsed.letters += letter;
    }
  }
  return true;
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
  std::size_t next = 1;
  if (!parse_options_of(command, *entry, parsed, next, error)) return false;
  parsed.args.assign(command.begin() + static_cast<std::ptrdiff_t>(next), command.end());
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

// The lines of `help`: a usage, and what it does; several for one command.
struct HelpLine {
  const char* command;
  const char* usage;
  const char* what;
};

constexpr HelpLine kHelp[] = {
    {"pwd", "pwd", "show the service's current directory"},
    {"cd", "cd DIR", "change the service's current directory"},
    {"ls", "ls [-l] [DIR|PATTERN]", "list the service's current directory, another one, or the names that match;"},
    {"ls", "", "-l adds types and sizes, --json prints a JSON array"},
    {"get", "get [-f] REMOTE [LOCAL]", "fetch a file (LOCAL: default the last part of REMOTE, here);"},
    {"get", "", "-f replaces a local file of that name"},
    {"get", "get -r [-f] [-n] DIR [LOCAL]", "fetch the folder tree DIR (into LOCAL, or LOCAL/DIR when LOCAL is a"},
    {"get", "", "folder); -n leaves a local file of the listed size as it is"},
    {"mget", "mget [-f] [-n] PATTERN...", "fetch the files whose names match (* ? [...])"},
    {"put", "put LOCAL [REMOTE]", "store a file (REMOTE: default the last part of LOCAL; into REMOTE when"},
    {"put", "", "the service lists it as a folder)"},
    {"put", "put -r DIR [REMOTE]", "store a folder tree into folders that the service has"},
    {"mput", "mput [-f] [-n] PATTERN...", "store the local files that match; -f replaces files on the service,"},
    {"mput", "", "-n leaves those of the same size as they are"},
    {"baud", "baud [RATE]", "show the line speed, or switch both ends of the line to RATE baud"},
    {"baud", "baud auto", "step up from 9600 baud and settle on the fastest speed that holds"},
    {"lpwd", "lpwd", "show the local current directory"},
    {"lcd", "lcd [DIR]", "change the local current directory (alone or ~: the home folder)"},
    {"lls", "lls [-l] [PATH]", "list the local current directory, a folder or the files that match"},
    {"lmkdir", "lmkdir DIR", "make a local folder"},
    {"!", "!COMMAND", "run COMMAND in the local shell; ! alone starts a shell"},
    {"set", "set overwrite on|off", "whether get, mget, get -r and mput replace files without -f"},
    {"bye", "bye", "sign off (also quit, exit, end of input)"},
    {"shutdown", "shutdown", "end the service"},
    {"help", "help [COMMAND]", "this list, or what COMMAND does (also ?)"},
};

// The command `name` stands for in the help ("quit" is bye).
std::string help_name(const std::string& name) {
  if (name == "quit" || name == "exit") return "bye";
  return name == "?" ? "help" : name;
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
    // The error quotes what was typed, or what a script holds.
    console.err << console.where << host::shown_name(error) << '\n';
    return Outcome{false, Ending::none};
  }
  return entry->run(session, parsed, console);
}

std::string help_text(const std::string& command) {
  const std::string wanted = help_name(command);
  std::string text;
  for (const HelpLine& line : kHelp) {
    if (!wanted.empty() && wanted != line.command) continue;
    text += pad_columns(line.usage, 30) + line.what + "\n";
  }
  return text;
}

const char* const* command_names() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> all;
    for (const auto& entry : kCommands) {
      if (std::string(entry.name) != "!" && std::string(entry.name) != "?") all.push_back(entry.name);
    }
    all.push_back(nullptr);
    return all;
  }();
  return names.data();
}

}  // namespace quorvantix::customer
