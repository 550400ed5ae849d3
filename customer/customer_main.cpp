#include "customer/customer_main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

#include "customer/doctor.h"
#include "customer/options.h"
#include "customer/run.h"
#include "host/charset.h"
#include "host/options.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

constexpr const char* kProgram = "quorvantix-customer";

enum class SourceKind { arguments, script, shell };

struct Source {
  SourceKind kind = SourceKind::arguments;
  std::string script_name;    // for messages; empty: standard input
  std::string script_text;    // a script file, read before the line is opened
  std::vector<Command> commands;
};

bool names_readable_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

// Checks every command of the command line before the line is opened.
bool check_commands(const std::vector<Command>& commands, std::string& error) {
  for (const Command& command : commands) {
    if (check_command(command, error)) continue;
    if (command.size() == 1 && !is_command_name(command[0]) && names_readable_file(command[0])) {
      error += "; to run the commands in the file " + command[0] + ", give --batch " + command[0];
    }
    return false;
  }
  return true;
}

// The most a script file may hold: it is read whole before the line opens.
constexpr std::size_t kScriptFileBytes = std::size_t{16} << 20;

// Reads the script file and checks every line of it.
bool read_script(const std::string& path, Source& source, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read the script " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  for (int number = 1;; ++number) {
    const TextLine read = read_text_line(file, line, kScriptLineBytes, error);
    if (read == TextLine::end) return true;
    std::vector<Command> commands;
    if (read == TextLine::unusable || !split_line(line, commands, error) || !check_commands(commands, error)) {
      error = path + ", line " + std::to_string(number) + ": " + error;
      return false;
    }
    source.script_text += line + '\n';
    if (source.script_text.size() > kScriptFileBytes) {
      error = "the script " + path + " holds more than " + std::to_string(kScriptFileBytes >> 20) + " MiB";
      return false;
    }
  }
}

bool choose_source(const Options& options, Source& source, std::string& error) {
  const auto& words = options.command_words;
  if (!options.batch.empty() && !words.empty()) {
    error = "give commands after DEVICE or --batch FILE, not both";
    return false;
  }
  if (options.batch == "-") {
    source.kind = SourceKind::script;
    return true;
  }
  if (!options.batch.empty()) {
    source.kind = SourceKind::script;
    source.script_name = options.batch;
    return read_script(options.batch, source, error);
  }
  if (words.empty()) {
    source.kind = isatty(STDIN_FILENO) ? SourceKind::shell : SourceKind::script;
    return true;
  }
  return split_words(words, source.commands, error) && check_commands(source.commands, error);
}

// Errors quote what the command line, a script or the settings file hold:
// they are shown as names are, so that none of it steers the terminal.
std::string shown(const std::string& text) { return host::shown_name(text); }

const host::Program kCommandLine{kProgram, std::string("\nTry '") + kProgram + " --help'.\n", true, true};

int usage_error(const std::string& error) {
  return host::refuse_command_line(kCommandLine, error);
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
      if (source.script_name.empty()) {
        run_script(session, std::cin, console, state);
        return;
      }
      std::istringstream script(source.script_text);
      run_script(session, script, console, state, "the script " + source.script_name);
      return;
  }
}

// Signs off unless the session has ended already, so that the service is back
// at 9600 baud for the next customer.
void leave(Session& session, RunState& state) {
  if (state.ending != Ending::none || session.lost()) return;
  // A signal that stopped the session must not stop the sign-off too.
  session.link().clear_cancel();
  if (!session.sign_off()) {
    std::cerr << kProgram << ": signing off failed: the service does not answer\n";
    state.failed = true;
  }
}

int exit_status(const RunState& state) {
  if (const int signal_number = host::StopSignals::caught(); signal_number != 0) return 128 + signal_number;
  return state.failed ? kExitCommandFailed : kExitOk;
}

std::string whole_seconds(std::chrono::nanoseconds length) {
  return std::to_string(std::lround(std::chrono::duration<double>(length).count())) + " s";
}

// The line as its device name and unit select it, for the user's eyes.
std::string line_name(const Options& options) {
  std::string error;
  const std::string path = lines::device_path(options.device, options.unit, error);
  return shown(path.empty() ? options.device : path);
}

void print_service_line(const Session& session) {
  const ID& service = session.ids().service;
  std::cerr << "Service: " << service.os << ' ' << service.os_ver << " / " << service.cpu << '\n';
}

}  // namespace

int customer_main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  Options defaults;
  std::string error;
  if (!read_settings(settings_path(), defaults, error)) {
    std::cerr << kProgram << ": " << shown(error) << '\n';
    return kExitUsage;
  }
  host::SteadyClock clock;
  return customer_main(argc, argv, clock, lines::open_host_line, std::move(defaults));
}

int customer_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener) {
  return customer_main(argc, argv, clock, std::move(opener), Options{});
}

int customer_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener, Options defaults) {
  if (argc > 1 && std::string(argv[1]) == "doctor") {
    return doctor_main(argc - 1, argv + 1, clock, std::move(opener), std::move(defaults));
  }
  Options options = std::move(defaults);
  std::string error;
  if (!parse_options(argc, argv, options, error)) return usage_error(error);
  if (options.help) return host::answer_help(usage_text());
  if (options.version) return host::answer_version(kCommandLine, version);
  Source source;
  if (!choose_source(options, source, error)) return usage_error(error);

  Link link(clock, std::move(opener));
  host::StopSignals interrupts(Link::cancel_from_signal, &link);
  Session session(link);
  session.use_charset(options.charset, options.names ? std::optional(std::move(*options.names)) : std::nullopt);
  if (const Result<> opened = session.open_line(options.device, options.unit); !opened) {
    std::cerr << kProgram << ": cannot open the line: " << shown(opened.error().reason) << '\n';
    return kExitNoLink;
  }
  const std::string wait = whole_seconds(longest_wait_for_service(link));
  if (!options.quiet) {
    std::cerr << kProgram << ": " << line_name(options) << " is open; waiting for a service to answer (" +
                     std::to_string(kIdentifyAttempts) + " tries, about " + wait + ")\n";
  }
  const auto began = link.now();
  if (const Result<> reached = session.reach_service(); !reached) {
    session.close_line();
    if (stop_requested()) return exit_status(RunState{});
    std::cerr << kProgram << ": no service answers on " << line_name(options) << " (" << shown(reached.error().reason) << ", "
              << whole_seconds(link.now() - began) << ")\n";
    return kExitNoLink;
  }
  if (!options.quiet) print_service_line(session);

  Console console{std::cout, std::cerr, !options.quiet && isatty(STDERR_FILENO) != 0, "", options.quiet};
  console.overwrite = options.overwrite;
  console.out_terminal = isatty(STDOUT_FILENO) != 0;
  RunState state;
  if (options.baud != 0) {
    run_speed_switch(session, options.baud, console, state);
  }
  if (!run_is_over(state)) run_source(session, source, console, state);
  leave(session, state);
  session.close_line();
  std::cout.flush();
  return exit_status(state);
}

}  // namespace quorvantix::customer
