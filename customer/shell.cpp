// The interactive shell, on GNU readline's callback interface: the program
// waits for the terminal itself, so that a signal ends the wait and can be
// acted on at once.
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "interrupt.h"
#include "run.h"

namespace customer_side {
namespace {

enum class Read { line, end };

struct PendingLine {
  bool ready = false;
  bool end_of_input = false;
  std::string text;
};

PendingLine g_pending;

void take_line(char* text) {
  g_pending.ready = true;
  g_pending.end_of_input = text == nullptr;
  if (text != nullptr) g_pending.text = text;
  std::free(text);
  rl_callback_handler_remove();
}

char* next_command_name(const char* text, int state) {
  static std::size_t index = 0;
  if (state == 0) index = 0;
  const char* const* names = command_names();
  const std::size_t length = std::strlen(text);
  while (names[index] != nullptr) {
    const char* name = names[index++];
    if (std::strncmp(name, text, length) == 0) return strdup(name);
  }
  return nullptr;
}

// Command names in the first word, local file names after it.
char** complete(const char* text, int start, int) {
  return start == 0 ? rl_completion_matches(text, next_command_name) : nullptr;
}

void forget_typed_line() {
  rl_free_line_state();
  rl_callback_sigcleanup();
  rl_crlf();
  rl_replace_line("", 0);
  rl_on_new_line();
  rl_redisplay();
}

Read read_line(const std::string& prompt, std::string& line) {
  g_pending = PendingLine{};
  rl_callback_handler_install(prompt.c_str(), take_line);
  while (!g_pending.ready) {
    pollfd terminal{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&terminal, 1, -1);
    if (ready < 0 && errno != EINTR) break;
    if (InterruptCatcher::caught() == SIGINT) {
      InterruptCatcher::clear();
      forget_typed_line();
      continue;
    }
    if (InterruptCatcher::caught() != 0) break;
    if (ready > 0) rl_callback_read_char();
  }
  if (!g_pending.ready) {
    rl_callback_handler_remove();
    rl_crlf();
    return Read::end;
  }
  if (g_pending.end_of_input) {
    rl_crlf();
    return Read::end;
  }
  line = g_pending.text;
  return Read::line;
}

std::string prompt_for(const Session& session) {
  return "quorvantix " + session.remote_dir + (session.remote_dir_cut ? "..." : "") + "> ";
}

bool blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

void run_shell(Session& session, Console& console, RunState& state) {
  rl_readline_name = "quorvantix-customer";
  rl_catch_signals = 0;
  rl_attempted_completion_function = complete;
  using_history();
  if (remote_pwd(session) != LINK_OK && session.lost) state.stopped = true;
  while (!run_is_over(state)) {
    std::string line;
    if (read_line(prompt_for(session), line) == Read::end) return;
    if (blank(line)) continue;
    add_history(line.c_str());
    std::vector<Command> commands;
    std::string error;
    if (!split_line(line, commands, error)) {
      console.err << error << '\n';
      state.failed = true;
      continue;
    }
    run_commands(session, commands, console, state);
    // Ctrl-C during a command stops that command (and the rest of its line),
    // not the shell.
    if (InterruptCatcher::caught() == SIGINT) {
      InterruptCatcher::clear();
      state.stopped = session.lost;
    }
  }
}

}  // namespace customer_side
