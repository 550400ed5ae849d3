#include "run.h"

#include "interrupt.h"

namespace customer_side {

bool stop_requested() { return InterruptCatcher::caught() != 0; }

bool run_is_over(const RunState& state) { return state.ending != Ending::none || state.stopped; }

void run_commands(Session& session, const std::vector<Command>& commands, Console& console, RunState& state,
                  const std::string& where) {
  for (const Command& command : commands) {
    if (run_is_over(state)) return;
    std::string error;
    if (!check_command(command, error)) {
      console.err << where << error << '\n';
      state.failed = true;
      continue;
    }
    console.where = where;
    const Outcome outcome = run_command(session, command, console);
    console.where.clear();
    if (!outcome.ok) state.failed = true;
    if (!outcome.ok && !state.line_gone && session.link.lost()) {
      // Nothing will move on this line again: say so once, and send nothing more.
      state.line_gone = true;
      session.lost = true;
      console.err << "quorvantix-customer: the line went away; the session is over\n";
    }
    state.ending = outcome.ending;
    if (session.lost && outcome.ending == Ending::none) state.stopped = true;
    if (stop_requested()) state.stopped = true;
  }
}

void run_script(Session& session, std::istream& in, Console& console, RunState& state) {
  std::string line;
  for (int number = 1; !run_is_over(state) && std::getline(in, line); ++number) {
    const std::string where = "line " + std::to_string(number) + ": ";
    std::vector<Command> commands;
    std::string error;
    if (!split_line(line, commands, error)) {
      console.err << where << error << '\n';
      state.failed = true;
      continue;
    }
    run_commands(session, commands, console, state, where);
  }
}

}  // namespace customer_side
