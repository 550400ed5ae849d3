// The customer's commands: checking them, running them, and saying what went
// wrong in a sentence.
#pragma once

#include <ostream>
#include <string>

#include "command_line.h"
#include "session.h"

namespace customer_side {

// Where a command's results, errors and progress go.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool live_progress = false;  // draw progress lines on err (a terminal, and not -q)
  std::string where;           // put before each error message ("line 3: ")
};

enum class Ending { none, signed_off, shut_down };

struct Outcome {
  bool ok = true;
  Ending ending = Ending::none;
};

// Whether `name` is one of the commands.
bool is_command_name(const std::string& name);
// Checks the name and the number of arguments; false with `error` filled
// ("get needs REMOTE [LOCAL]") otherwise.
bool check_command(const Command& command, std::string& error);
// Runs one checked command. Results go to console.out, errors (one sentence,
// starting with the command's name) to console.err.
Outcome run_command(Session& session, const Command& command, Console& console);
// The command list for `help`.
const char* help_text();
// The names of all commands, for completion; ends with a null pointer.
const char* const* command_names();

}  // namespace customer_side
