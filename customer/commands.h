// The customer's commands: checking them, running them, and saying what went
// wrong in a sentence.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "customer/command_line.h"
#include "customer/listings.h"
#include "session/session.h"

namespace quorvantix::customer {

// Where a command's results, errors and progress go, and what the commands of
// one session share.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool live_progress = false;  // draw progress lines on err (a terminal, and not -q)
  std::string where{};         // put before each error message ("line 3: ")
  bool quiet = false;          // -q: no summary after a command for many files
  bool overwrite = false;      // set overwrite on: get, mget, get -r and mput replace files without -f
  bool out_terminal = false;   // out is standard output on a terminal: ls puts names in columns
  RemoteListings listings{};
};

enum class Ending { none, signed_off, shut_down };

struct Outcome {
  bool ok = true;
  Ending ending = Ending::none;
};

// Whether `name` is one of the commands.
bool is_command_name(const std::string& name);
// Takes the mark of a command that may fail without stopping a script, a '-'
// before its name ("-cd incoming"), off `command`; true when it was there.
bool take_go_on_mark(Command& command);
// Checks the name, the options, the number of arguments and what can be told
// of them before anything is sent (a line speed, the length of a name); false
// with `error` filled ("get needs REMOTE [LOCAL]") otherwise. A go-on mark is
// allowed.
bool check_command(const Command& command, std::string& error);
// Runs one checked command (without a go-on mark). Results go to
// console.out, errors (one sentence, starting with the command's name) to
// console.err.
Outcome run_command(session::Session& session, const Command& command, Console& console);
// A sentence for a failure that any exchange with the service can end in.
std::string link_failure(long status, const session::Session& session);
// The same for a failure of current_listing.
std::string listing_failure(long status, const session::Session& session);
// Why the service stayed where it was on `cd dir` (REMOTE_DIR_UNCHANGED), from
// the listing of the folder that holds `dir`: a folder it cannot enter, a
// file, or none of that name. The listing is fetched when none is kept.
std::string not_entered(session::Session& session, Console& console, const std::string& dir);
// The command list for `help`; with a command's name, what that command does.
std::string help_text(const std::string& command = "");
// The names of all commands, for completion; ends with a null pointer.
const char* const* command_names();

// A name as the messages show it: 'name'.
std::string quoted(const std::string& name);
// Writes one message of `command` on console.err: "line 3: get: ...".
void say(Console& console, const std::string& command, const std::string& message);

}  // namespace quorvantix::customer
