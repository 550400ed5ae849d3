// The customer's commands: checking them and running them.
#pragma once

#include <string>
#include <vector>

#include "customer/command_line.h"
#include "customer/console.h"
#include "session/session.h"

namespace quorvantix::customer {

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
// Switches both ends to `rate` baud (the command baud RATE): says so, or why not.
Outcome switch_speed(session::Session& session, long rate, Console& console);
// The command list for `help`; with a command's name, what that command does.
std::string help_text(const std::string& command = "");
// The names of all commands, for completion; ends with a null pointer.
const char* const* command_names();

}  // namespace quorvantix::customer
