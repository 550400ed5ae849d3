// Running commands one after another, from the command line, a script or the
// shell, until one ends the session.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "commands.h"

namespace customer_side {

struct RunState {
  bool failed = false;            // some command failed
  Ending ending = Ending::none;   // bye or shutdown has run
  bool stopped = false;           // the service was lost or the user interrupted
  bool line_gone = false;         // the line itself went away (and that was said)
};

// True once no further command should run.
bool run_is_over(const RunState& state);
// Runs `commands` in order while run_is_over is false. `where` ("line 3: ")
// goes before every error message.
void run_commands(Session& session, const std::vector<Command>& commands, Console& console, RunState& state,
                  const std::string& where = "");
// Reads commands one a line (';' separates more on a line, '#' starts a
// comment) until the end of `in` or run_is_over.
void run_script(Session& session, std::istream& in, Console& console, RunState& state);
// The interactive shell on the terminal: line editing and history, Ctrl-C
// clears the line at the prompt and stops a transfer part-way.
void run_shell(Session& session, Console& console, RunState& state);

// Whether the user has asked, with a signal, for the program to stop.
bool stop_requested();

}  // namespace customer_side
