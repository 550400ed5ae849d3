#include "customer_main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <utility>

#include "interrupt.h"
#include "options.h"
#include "run.h"

namespace customer_side {
namespace {

constexpr const char* kProgram = "quorvantix-customer";

enum class SourceKind { arguments, script, shell };

struct Source {
  SourceKind kind = SourceKind::arguments;
  std::string script_path;  // empty: standard input
  std::vector<Command> commands;
};

bool is_plain_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A lone word that is no command but names a file is a script.
bool names_script(const std::vector<std::string>& words) {
  return words.size() == 1 && !is_command_name(words[0]) && is_plain_file(words[0]);
}

bool choose_source(const Options& options, Source& source, std::string& error) {
  const auto& words = options.command_words;
  if (words.empty()) {
    source.kind = isatty(STDIN_FILENO) ? SourceKind::shell : SourceKind::script;
    return true;
  }
  if (words.size() == 1 && words[0] == "-") {
    source.kind = SourceKind::script;
    return true;
  }
  if (names_script(words)) {
    source.kind = SourceKind::script;
    source.script_path = words[0];
    return true;
  }
  if (!split_words(words, source.commands, error)) return false;
  for (const Command& command : source.commands) {
    if (!check_command(command, error)) return false;
  }
  return true;
}

int usage_error(const std::string& error) {
  std::cerr << kProgram << ": " << error << "\nTry '" << kProgram << " --help'.\n";
  return kExitUsage;
}

void run_source(Session& session, const Source& source, Console& console, RunState& state) {
  switch (source.kind) {
    case SourceKind::arguments:
      run_commands(session, source.commands, console, state);
      return;
    case SourceKind::shell:
      run_shell(session, console, state);
      return;
    case SourceKind::script:
      if (source.script_path.empty()) {
        run_script(session, std::cin, console, state);
        return;
      }
      std::ifstream script(source.script_path);
      run_script(session, script, console, state);
      return;
  }
}

// Signs off unless the session has ended already, so that the service is back
// at 9600 baud for the next customer.
void leave(Session& session, RunState& state) {
  if (state.ending != Ending::none || session.lost) return;
  // A signal that stopped the session must not stop the sign-off too.
  session.link.clear_cancel();
  if (sign_off(session) != LINK_OK) {
    std::cerr << kProgram << ": signing off failed: the service does not answer\n";
    state.failed = true;
  }
}

int exit_status(const RunState& state) {
  if (const int signal_number = InterruptCatcher::caught(); signal_number != 0) return 128 + signal_number;
  return state.failed ? kExitCommandFailed : kExitOk;
}

void print_service_line(const Session& session) {
  const ID& service = session.ids.service;
  std::cerr << "Service: " << service.os << ' ' << service.os_ver << " / " << service.cpu << '\n';
}

}  // namespace

int customer_main(int argc, char** argv) {
  platform::SteadyClock clock;
  return customer_main(argc, argv, clock, platform::open_host_line);
}

int customer_main(int argc, char** argv, platform::Clock& clock, platform::LineOpener opener) {
  Options options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) return usage_error(error);
  if (options.help) {
    std::cout << usage_text();
    return kExitOk;
  }
  if (options.version) {
    std::cout << kProgram << ", " << version + std::strlen("$VER: ") << '\n';
    return kExitOk;
  }
  Source source;
  if (!choose_source(options, source, error)) return usage_error(error);
  if (!source.script_path.empty() && access(source.script_path.c_str(), R_OK) != 0) {
    return usage_error("cannot read the script " + source.script_path + ": " + std::strerror(errno));
  }

  Link link(clock, std::move(opener));
  InterruptCatcher interrupts(link);
  Session session(link);
  if (open_line(session, options.device, options.unit) != PORT_OK) {
    std::cerr << kProgram << ": cannot open the line: " << session.detail << '\n';
    return kExitNoLink;
  }
  if (reach_service(session) != LINK_OK) {
    close_line(session);
    if (stop_requested()) return exit_status(RunState{});
    std::cerr << kProgram << ": no service answers on " << options.device << " (" << session.detail << ")\n";
    return kExitNoLink;
  }
  if (!options.quiet) print_service_line(session);

  Console console{std::cout, std::cerr, !options.quiet && isatty(STDERR_FILENO) != 0, ""};
  RunState state;
  if (options.baud != 0) {
    run_commands(session, {{"baud", std::to_string(options.baud)}}, console, state);
  }
  if (!run_is_over(state)) run_source(session, source, console, state);
  leave(session, state);
  close_line(session);
  std::cout.flush();
  return exit_status(state);
}

}  // namespace customer_side
