// Running commands one after another, from the command line, a script or the
// shell, until one ends the session. From the command line and from a script
// the first failed command stops the run, unless a '-' before its name says
// that it may fail; the shell goes on after a failure.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "customer/commands.h"

namespace quorvantix::customer {

struct RunState {
  bool failed = false;            // a command failed (in the shell: one of the last line's)
  Ending ending = Ending::none;   // bye or shutdown has run
  bool stopped = false;           // a failure, the loss of the service or the user stopped the run
  bool line_gone = false;         // the line itself went away (and that was said)
  bool stop_at_failure = true;    // false in the shell
};

// True once no further command should run.
bool run_is_over(const RunState& state);
// Runs `commands` in order while run_is_over is false. `where` ("line 3: ")
// goes before every error message.
void run_commands(session::Session& session, const std::vector<Command>& commands, Console& console, RunState& state,
                  const std::string& where = "");
// Switches both ends to `rate` baud as the command baud RATE does, unless
// run_is_over; a failure counts as a failed command.
void run_speed_switch(session::Session& session, long rate, Console& console, RunState& state);
// Reads commands one a line (';' separates more on a line, '#' starts a
// comment) until the end of `in` or run_is_over. `name` names the script in
// the message that says where it stopped.
void run_script(session::Session& session, std::istream& in, Console& console, RunState& state,
                const std::string& name = "the script");
// The interactive shell on the terminal: line editing, history kept between
// sessions, completion of remote and local names; Ctrl-C clears the line at
// the prompt and stops a transfer part-way. The state's `failed` tells only of
// the command that ended the shell.
void run_shell(session::Session& session, Console& console, RunState& state);

}  // namespace quorvantix::customer
