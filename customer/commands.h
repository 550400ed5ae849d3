// The customer's commands: checking them, running them, and saying what went
// wrong in a sentence.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "session.h"

namespace customer_side {

// The service's current directory as it was last listed, for completion and
// mget; a command that may change it (cd, put) makes it stale.
struct RemoteListing {
  bool valid = false;
  std::vector<RemoteEntry> entries;
};

// Where a command's results, errors and progress go, and what the commands of
// one session share.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool live_progress = false;  // draw progress lines on err (a terminal, and not -q)
  std::string where{};         // put before each error message ("line 3: ")
  bool quiet = false;          // -q: no summary after a command for many files
  bool overwrite = false;      // set overwrite on: get replaces local files without -f
  RemoteListing listing{};
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
Outcome run_command(Session& session, const Command& command, Console& console);
// The service's current directory: console.listing when it is valid, else
// listed anew into it. LINK_OK, or the failure of the listing.
long current_listing(Session& session, Console& console);
// A sentence for a failure that any exchange with the service can end in.
std::string link_failure(long status, const Session& session);
// The same for a failure of current_listing.
std::string listing_failure(long status, const Session& session);
// The command list for `help`.
const char* help_text();
// The names of all commands, for completion; ends with a null pointer.
const char* const* command_names();

// A name as the messages show it: 'name'.
std::string quoted(const std::string& name);
// Writes one message of `command` on console.err: "line 3: get: ...".
void say(Console& console, const std::string& command, const std::string& message);

}  // namespace customer_side
