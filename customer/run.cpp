#include "customer/run.h"

#include "host/charset.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

bool run_is_over(const RunState& state) { return state.ending != Ending::none || state.stopped; }

namespace {

// What a command's outcome means for the run; `more_follow`: commands given
// on the command line after it.
void take_outcome(Session& session, const Outcome& outcome, bool may_fail, bool more_follow, Console& console,
                  RunState& state) {
  if (!outcome.ok && !may_fail) {
    state.failed = true;
    if (state.stop_at_failure) state.stopped = true;
    if (state.stopped && more_follow && !session.link().lost()) {
      console.err << "quorvantix-customer: the commands after the one that failed were not run\n";
    }
  }
  if (!outcome.ok && !state.line_gone && session.link().lost()) {
    // Nothing will move on this line again: say so once, and send nothing more.
    state.line_gone = true;
    session.give_up();
    state.failed = true;
    console.err << "quorvantix-customer: the line went away; the session is over\n";
  }
  state.ending = outcome.ending;
  if (session.lost() && outcome.ending == Ending::none) state.stopped = true;
  if (stop_requested()) state.stopped = true;
}

}  // namespace

void run_commands(Session& session, const std::vector<Command>& commands, Console& console, RunState& state,
                  const std::string& where) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (run_is_over(state)) return;
    Command command = commands[i];
    const bool may_fail = take_go_on_mark(command);
    console.where = where;
    const Outcome outcome = run_command(session, command, console);
    console.where.clear();
    take_outcome(session, outcome, may_fail, where.empty() && i + 1 < commands.size(), console, state);
  }
}

void run_speed_switch(Session& session, long rate, Console& console, RunState& state) {
  if (!run_is_over(state)) take_outcome(session, switch_speed(session, rate, console), false, false, console, state);
}

void run_script(Session& session, std::istream& in, Console& console, RunState& state, const std::string& name) {
  std::string line, error;
  int number = 0;
  bool stopped_by_failure = false;
  TextLine read = TextLine::end;
  while (!run_is_over(state) && (read = read_text_line(in, line, kScriptLineBytes, error)) != TextLine::end) {
    const std::string where = "line " + std::to_string(++number) + ": ";
    const bool failed_before = state.failed;
    std::vector<Command> commands;
    if (read == TextLine::unusable) {
      // Not a script, or one that never ends: nothing after it is read.
      console.err << where << host::shown_name(error) << '\n';
      state.failed = state.stopped = true;
      return;
    }
    if (split_line(line, commands, error)) {
      run_commands(session, commands, console, state, where);
    } else {
      console.err << where << error << '\n';
      state.failed = true;
      state.stopped = state.stop_at_failure;
    }
    stopped_by_failure = state.stopped && state.failed && !failed_before && !state.line_gone && !session.lost() &&
                         !stop_requested();
  }
  // Say where it stopped when there was more to do.
  if (stopped_by_failure && read_text_line(in, line, kScriptLineBytes, error) != TextLine::end) {
    console.err << "quorvantix-customer: " << name << " stops at line " << number
                << ", where a command failed (a '-' before a command lets the script go on after it fails)\n";
  }
}

}  // namespace quorvantix::customer
