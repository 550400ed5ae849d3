// The interactive shell, on GNU readline's callback interface: the program
// waits for the terminal itself, so that a signal ends the wait and can be
// acted on at once.
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "customer/completion.h"
#include "customer/run.h"
#include "customer/text_width.h"
#include "host/charset.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

enum class Read { line, end };

constexpr int kHistoryLines = 1000;

struct PendingLine {
  bool ready = false;
  bool end_of_input = false;
  std::string text;
};

PendingLine g_pending;
// What completion works with while the shell runs.
Session* g_session = nullptr;
Console* g_console = nullptr;
std::vector<std::string> g_matches;

void take_line(char* text) {
  g_pending.ready = true;
  g_pending.end_of_input = text == nullptr;
  if (text != nullptr) g_pending.text = text;
  std::free(text);
  rl_callback_handler_remove();
}

char* next_match(const char*, int state) {
  static std::size_t index = 0;
  if (state == 0) index = 0;
  return index < g_matches.size() ? strdup(g_matches[index++].c_str()) : nullptr;
}

// A name of the service is no local file: readline must not look for one of
// that name to mark it as a directory.
int no_local_file(char** name) {
  std::free(*name);
  *name = strdup("");
  return 1;
}

// A backslash takes the next character as it is, as in a command line.
int is_quoted(char* text, int index) { return index > 0 && text[index - 1] == '\\' && !is_quoted(text, index - 1); }

char* dequoted(char* text, int quote) {
  std::string plain;
  for (const char* c = text; *c != '\0'; ++c) {
    const bool escape = quote != '\'' && *c == '\\' && c[1] != '\0' && (quote != '"' || c[1] == '"' || c[1] == '\\');
    if (escape) ++c;
    plain += *c;
  }
  return strdup(plain.c_str());
}

// The names that completion offers are listed as every name is shown:
// escaped, so that none steers the terminal or passes for another.
void show_matches(char** matches, int count, int) {
  std::vector<std::string> shown;
  for (int i = 0; i <= count; ++i) shown.push_back(host::shown_name(matches[i]));
  std::vector<char*> list;
  int longest = 0;
  for (std::string& name : shown) {
    list.push_back(name.data());
    longest = std::max(longest, static_cast<int>(display_width(name)));
  }
  list.push_back(nullptr);
  rl_display_match_list(list.data(), count, longest);
  rl_forced_update_display();
}

// Quotes a name of the service so that the line splits back into it.
char* quote_name(char* text, int, char* quote) {
  char begun = quote != nullptr ? *quote : '\0';
  const std::string quoted = quoted_for_line(text, begun);
  if (quote != nullptr) *quote = begun;
  return strdup(quoted.c_str());
}

// The service's names that complete `word`: from the kept listing of its
// folder, or one listed now (a folder other than the current one by going
// there and back).
void remote_matches(const std::string& word, NameKind kind) {
  const std::string folder = folder_part(word);
  if (kind == NameKind::remote_here && !folder.empty()) return;
  const Entries* entries = nullptr;
  if (!folder_listing(*g_session, g_console->listings, folder, entries)) return;
  g_matches = remote_candidates(*entries, kind, word);
  // A folder takes a name after it: no space, and no closing quote yet.
  if (g_matches.size() == 1 && g_matches[0].ends_with('/')) {
    rl_completion_suppress_append = 1;
    rl_completion_suppress_quote = 1;
  }
}

char** complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;
  rl_filename_stat_hook = nullptr;
  const NameKind kind = completion_kind(std::string(rl_line_buffer, static_cast<std::size_t>(start)));
  g_matches.clear();
  switch (kind) {
    case NameKind::local:
      return rl_completion_matches(text, rl_filename_completion_function);
    case NameKind::command:
      for (const char* const* name = command_names(); *name != nullptr; ++name) {
        if (std::strncmp(*name, text, std::strlen(text)) == 0) g_matches.emplace_back(*name);
      }
      break;
    case NameKind::nothing:
      return nullptr;
    default: {
      char* word = rl_completion_found_quote != 0 ? dequoted(const_cast<char*>(text), rl_completion_quote_character)
                                                  : strdup(text);
      remote_matches(word, kind);
      std::free(word);
      rl_filename_completion_desired = 1;
      rl_filename_quoting_desired = 1;
      rl_filename_stat_hook = no_local_file;
      break;
    }
  }
  return rl_completion_matches(text, next_match);
}

void forget_typed_line() {
  rl_free_line_state();
  rl_callback_sigcleanup();
  rl_crlf();
  rl_replace_line("", 0);
  rl_on_new_line();
  rl_redisplay();
}

// A Ctrl-C that has been dealt with: the next one is a first one again, and
// the link it cancelled carries on.
void forget_interrupt(Link& link) {
  host::StopSignals::clear();
  link.clear_cancel();
}

Read read_line(Link& link, const std::string& prompt, std::string& line) {
  g_pending = PendingLine{};
  rl_callback_handler_install(prompt.c_str(), take_line);
  while (!g_pending.ready) {
    pollfd terminal{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&terminal, 1, -1);
    if (ready < 0 && errno != EINTR) break;
    if (host::StopSignals::caught() == SIGINT) {
      forget_interrupt(link);
      forget_typed_line();
      continue;
    }
    if (host::StopSignals::caught() != 0) break;
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
  return "quorvantix " + host::shown_name(session.remote_dir()) + (session.remote_dir_cut() ? "..." : "") + "> ";
}

bool blank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

// $XDG_STATE_HOME/quorvantix/history, or ~/.local/state/quorvantix/history;
// its folders are made when missing. Empty when there is no home.
std::string history_file() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string folder;
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  folder += "/quorvantix";
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    mkdir(folder.substr(0, slash).c_str(), 0700);
    if (slash == std::string::npos) break;
  }
  return folder + "/history";
}

class History {
 public:
  History() : file_(history_file()) {
    using_history();
    stifle_history(kHistoryLines);
    if (!file_.empty()) read_history(file_.c_str());
  }
  ~History() {
    if (!file_.empty()) history_truncate_file(file_.c_str(), kHistoryLines);
  }
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  void add(const std::string& line) {
    add_history(line.c_str());
    if (file_.empty()) return;
    // Line by line, so that a program ended by a second Ctrl-C keeps it too.
    if (append_history(1, file_.c_str()) != 0) write_history(file_.c_str());
  }

 private:
  std::string file_;
};

}  // namespace

void run_shell(Session& session, Console& console, RunState& state) {
  rl_readline_name = "quorvantix-customer";
  rl_catch_signals = 0;
  rl_attempted_completion_function = complete;
  rl_completer_word_break_characters = " \t\n;";
  rl_completer_quote_characters = "'\"";
  rl_filename_quote_characters = " \t\n\\\"';#";
  rl_char_is_quoted_p = is_quoted;
  rl_filename_dequoting_function = dequoted;
  rl_filename_quoting_function = quote_name;
  rl_completion_display_matches_hook = show_matches;
  g_session = &session;
  g_console = &console;
  state.stop_at_failure = false;
  History history;
  if (!session.remote_pwd() && session.lost()) state.stopped = state.failed = true;
  while (!run_is_over(state)) {
    std::string line;
    state.failed = false;
    if (read_line(session.link(), prompt_for(session), line) == Read::end) break;
    if (blank(line)) continue;
    history.add(line);
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
    if (host::StopSignals::caught() == SIGINT) {
      forget_interrupt(session.link());
      state.stopped = session.lost();
    }
  }
  g_session = nullptr;
  g_console = nullptr;
}

}  // namespace quorvantix::customer
