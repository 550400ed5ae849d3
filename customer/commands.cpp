#include "commands.h"

#include <algorithm>
#include <cstdio>

#include "options.h"
#include "progress.h"

namespace customer_side {
namespace {

using Runner = Outcome (*)(Session&, const Command&, Console&);

struct CommandEntry {
  const char* name;
  std::size_t min_args;
  std::size_t max_args;
  const char* arguments;
  Runner run;
};

Outcome failed(Console& console, const Command& command, const std::string& message) {
  console.err << console.where << command[0] << ": " << message << '\n';
  return Outcome{false, Ending::none};
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::string with_detail(const std::string& sentence, const Session& session) {
  return session.detail.empty() ? sentence : sentence + ": " + session.detail;
}

// Sentences for failures that any exchange with the service can end in.
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
      return session.detail;
    default:
      return with_detail("failed with status " + std::to_string(status), session);
  }
}

std::string get_failure(long status, const std::string& remote, const Session& session) {
  switch (status) {
    case FILE_HEADER_DAMAGED:
      return "the service sent no file " + quoted(remote) + " (it has none of that name, or cannot read it)";
    case FILE_HEADER_BAD:
      return "the service's answer for " + quoted(remote) + " was not a file header";
    case FILE_NO_DIR_LOCK:
    case FILE_NO_MEMORY:
    case FILE_NO_INFO:
      return "cannot find out how much room there is here for " + quoted(remote);
    case FILE_WRITE_PROTECTED:
      return "cannot store " + quoted(remote) + " here: the disk is write-protected";
    case FILE_NO_ROOM:
      return "not enough room here for " + quoted(remote);
    case FILE_CREATE_FAILED:
      return "cannot create a local file for " + quoted(remote);
    case FILE_TOO_MANY_FAILURES:
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line; nothing was kept";
    case FILE_WRITE_FAILED:
      return "writing the local copy of " + quoted(remote) + " failed; nothing was kept";
    case INTERRUPTED:
      return "stopped; nothing was kept";
    default:
      return link_failure(status, session);
  }
}

std::string put_failure(long status, const std::string& local, const Session& session) {
  switch (status) {
    case FILE_HEADER_NOT_ACKED:
      return "the service refused to store " + quoted(local) +
             " (its disk is full or write-protected, or it cannot create a file of that name)";
    case LINK_TIMEOUT:
      return session.detail;
    case FILE_NO_LOCK:
    case FILE_NO_EXAMINE:
    case FILE_OPEN_FAILED:
    case FILE_READ_FAILED:
      return "reading " + quoted(local) + " failed";
    case FILE_TOO_MANY_FAILURES:
      return "the transfer of " + quoted(local) + " broke off after repeated failures on the line";
    case INTERRUPTED:
      return "stopped part-way";
    default:
      return link_failure(status, session);
  }
}

// Rows of a listing: the name and the type word, in two columns.
void print_entries(std::vector<RemoteEntry> entries, std::ostream& out) {
  std::sort(entries.begin(), entries.end(),
            [](const RemoteEntry& a, const RemoteEntry& b) { return a.name < b.name; });
  for (const auto& entry : entries) {
    char size[24] = "?";
    if (entry.size >= 0) std::snprintf(size, sizeof size, "%lld", static_cast<long long>(entry.size));
    char row[128];
    std::snprintf(row, sizeof row, "%-30s  %-4s  %10s", entry.name.c_str(), entry.is_dir ? "DIR" : "FILE", size);
    out << row << '\n';
  }
}

Outcome run_pwd(Session& session, const Command& command, Console& console) {
  const long status = remote_pwd(session);
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  console.out << session.remote_dir << '\n';
  if (session.remote_dir_cut) {
    console.err << console.where << "pwd: the name is longer; the line carries only its first 60 characters\n";
  }
  return {};
}

Outcome run_cd(Session& session, const Command& command, Console& console) {
  const long status = remote_cd(session, command[1]);
  if (status == REMOTE_DIR_UNCONFIRMED) {
    console.err << console.where << "cd: cannot tell whether the service changed directory: its name is longer than "
                   "the 60 characters the line carries\n";
    return {};
  }
  if (status == REMOTE_DIR_UNCHANGED) {
    return failed(console, command, "no directory " + quoted(command[1]) + " on the service (" + session.detail + ")");
  }
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_ls(Session& session, const Command& command, Console& console) {
  std::vector<RemoteEntry> entries;
  const long status = remote_list(session, entries);
  print_entries(entries, console.out);
  if (status == DIR_END_DAMAGED) return failed(console, command, "the listing did not arrive intact");
  if (status == DIR_NO_MEMORY) return failed(console, command, "no memory for the whole listing");
  if (status != DIR_OK) return failed(console, command, link_failure(status, session));
  return {};
}

// Stopping a transfer takes the service up to five of its time limits to
// notice; the user hears at once that the stop is under way.
void announce_stop(Session& session, TerminalProgress& progress, Console& console, const Command& command) {
  session.on_stop = [&progress, &console, &command] {
    progress.finish();
    console.err << console.where << command[0] << ": stopping; the service needs a few seconds to give up\n";
  };
}

Outcome run_get(Session& session, const Command& command, Console& console) {
  const std::string& remote = command[1];
  const std::string local = command.size() > 2 ? command[2] : "";
  TerminalProgress progress(console.err, "get " + remote, console.live_progress);
  announce_stop(session, progress, console, command);
  const long status = remote_get(session, remote, local, &progress);
  session.on_stop = nullptr;
  progress.finish();
  if (status != FILE_OK) return failed(console, command, get_failure(status, remote, session));
  return {};
}

Outcome run_put(Session& session, const Command& command, Console& console) {
  const std::string& local = command[1];
  const std::string remote = command.size() > 2 ? command[2] : "";
  TerminalProgress progress(console.err, "put " + local, console.live_progress);
  announce_stop(session, progress, console, command);
  const long status = remote_put(session, local, remote, &progress);
  session.on_stop = nullptr;
  progress.finish();
  if (status != FILE_OK) return failed(console, command, put_failure(status, local, session));
  return {};
}

Outcome run_baud(Session& session, const Command& command, Console& console) {
  const long rate = parse_rate(command[1]);
  if (rate == 0) return failed(console, command, quoted(command[1]) + " is not a line speed in baud");
  const long status = remote_set_baud(session, rate);
  if (status != LINK_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_lpwd(Session& session, const Command& command, Console& console) {
  std::string dir;
  if (local_pwd(dir) != DIR_OK) {
    session.detail = "the name of the current directory cannot be had";
    return failed(console, command, session.detail);
  }
  console.out << dir << '\n';
  return {};
}

Outcome run_lcd(Session& session, const Command& command, Console& console) {
  const long status = local_cd(session, command[1]);
  if (status != DIR_OK) return failed(console, command, link_failure(status, session));
  return {};
}

Outcome run_lls(Session&, const Command& command, Console& console) {
  std::vector<RemoteEntry> entries;
  const long status = local_list(entries);
  print_entries(entries, console.out);
  if (status != DIR_OK) return failed(console, command, "no memory for the whole listing");
  return {};
}

Outcome run_bye(Session& session, const Command& command, Console& console) {
  const long status = sign_off(session);
  if (status != LINK_OK) {
    Outcome outcome = failed(console, command, link_failure(status, session));
    outcome.ending = Ending::signed_off;
    return outcome;
  }
  return Outcome{true, Ending::signed_off};
}

Outcome run_shutdown(Session& session, const Command& command, Console& console) {
  const long status = shutdown_service(session);
  if (status != LINK_OK) {
    Outcome outcome = failed(console, command, link_failure(status, session));
    outcome.ending = Ending::shut_down;
    return outcome;
  }
  return Outcome{true, Ending::shut_down};
}

Outcome run_help(Session&, const Command&, Console& console) {
  console.out << help_text();
  return {};
}

constexpr CommandEntry kCommands[] = {
    {"pwd", 0, 0, "", run_pwd},
    {"cd", 1, 1, " DIR", run_cd},
    {"ls", 0, 0, "", run_ls},
    {"get", 1, 2, " REMOTE [LOCAL]", run_get},
    {"put", 1, 2, " LOCAL [REMOTE]", run_put},
    {"baud", 1, 1, " RATE", run_baud},
    {"lpwd", 0, 0, "", run_lpwd},
    {"lcd", 1, 1, " DIR", run_lcd},
    {"lls", 0, 0, "", run_lls},
    {"bye", 0, 0, "", run_bye},
    {"quit", 0, 0, "", run_bye},
    {"exit", 0, 0, "", run_bye},
    {"shutdown", 0, 0, "", run_shutdown},
    {"help", 0, 0, "", run_help},
};

constexpr const char* kCommandNames[] = {"pwd", "cd",  "ls",   "get",  "put",      "baud", "lpwd", "lcd",
                                         "lls", "bye", "quit", "exit", "shutdown", "help", nullptr};

const CommandEntry* find_command(const std::string& name) {
  for (const auto& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace

bool is_command_name(const std::string& name) { return find_command(name) != nullptr; }

bool check_command(const Command& command, std::string& error) {
  const CommandEntry* entry = command.empty() ? nullptr : find_command(command[0]);
  if (entry == nullptr) {
    error = "unknown command " + quoted(command.empty() ? "" : command[0]) + " (try help)";
    return false;
  }
  const std::size_t args = command.size() - 1;
  if (args < entry->min_args || args > entry->max_args) {
    error = std::string("usage: ") + entry->name + entry->arguments;
    return false;
  }
  return true;
}

Outcome run_command(Session& session, const Command& command, Console& console) {
  session.detail.clear();
  return find_command(command[0])->run(session, command, console);
}

const char* help_text() {
  return "pwd                   show the service's current directory\n"
         "cd DIR                change the service's current directory\n"
         "ls                    list the service's current directory\n"
         "get REMOTE [LOCAL]    fetch a file (LOCAL: default the last part of REMOTE, here)\n"
         "put LOCAL [REMOTE]    store a file (REMOTE: default the last part of LOCAL)\n"
         "baud RATE             switch both ends of the line to RATE baud\n"
         "lpwd                  show the local current directory\n"
         "lcd DIR               change the local current directory\n"
         "lls                   list the local current directory\n"
         "bye                   sign off (also quit, exit, end of input)\n"
         "shutdown              end the service\n"
         "help                  this list\n";
}

const char* const* command_names() { return kCommandNames; }

}  // namespace customer_side
