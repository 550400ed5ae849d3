#include "service/service.h"

#include "wire/console_status.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "host/numbers.h"
#include "host/options.h"
#include "host/service_manager.h"
#include "host/stop_signals.h"
#include "lines/tcp_line.h"
#include "wire/file_stream.h"
#include "wire/folder.h"
#include "wire/identification.h"
#include "wire/listing_stream.h"

namespace quorvantix::service {

using namespace quorvantix::wire;

namespace {

constexpr std::size_t kCommandBufferBytes = 1024;
// Half a second between tries to open a lost line: no CPU to speak of while it is away.
constexpr int kTicksBetweenReopenTries = 25;

using Priority = OperatorLog::Priority;

// The line has gone (adapter pulled, far end of a pty closed, TCP peer left).
// A listening line takes its next peer: a customer that left is no lost line.
// Any other is closed and opened again as soon as it is back, at 9600 baud.
// False when the link is cancelled meanwhile.
bool take_up_line_again(ServiceState& state) {
  Link& link = state.link;
  const std::string peer = link.peer_address();  // none after a close the line has logged
  if (link.take_next_peer()) {
    if (!peer.empty()) state.log.write(Priority::info, "customer at " + peer + " has gone: its connection closed");
    return true;
  }
  std::puts("Line lost, waiting for it to come back");
  const std::string reason = link.lost_reason();
  state.log.write(Priority::warning, "line lost" + (reason.empty() ? "" : " (" + reason + ")") +
                                         ", waiting for it to come back");
  freeport(link, state.port);
  while (!allocport(link, state.port, state.device.c_str())) {
    freeport(link, state.port);
    if (link.cancelled()) return false;
    link.delay_ticks(kTicksBetweenReopenTries);
  }
  std::puts("Line is open again");
  state.log.write(Priority::info, "line open again, at 9600 baud");
  return true;
}

// A handler gets the payload of its command frame (argument from offset 1) in
// the loop's buffer, which it may reuse. It returns false to end the loop.
using Handler = bool (*)(ServiceState& state, char* buffer);

struct Command {
  UBYTE code;
  Handler run;
};

const char* argument_of(const char* buffer) { return buffer + 1; }

// A name from the wire as the console and the log show it: in host form,
// escaped, so that it can neither forge a line nor steer the terminal. A
// name that has no host form shows its own bytes.
std::string shown(const ServiceState& state, const char* wire_name) {
  std::string host;
  if (!state.tree->wire_names().to_host(wire_name, host)) host = wire_name;
  return host::shown_name(host);
}

std::string quoted(const std::string& shown_name) { return "'" + shown_name + "'"; }

std::string current_dir_shown(const ServiceState& state) {
  char name[kDirNameBytes] = {};
  get_akt_dir(*state.tree, name);
  return shown(state, name);
}

// The name goes back in the loop's buffer; the customer reads its first 60
// bytes, without a terminator when the name is longer.
bool run_get_akt_dir(ServiceState& state, char* buffer) {
  const auto began = state.log.now();
  get_akt_dir(*state.tree, buffer);
  const Result<> sent = send_data(state.link, buffer, kCommandFrameBytes);
  const std::string name = shown(state, buffer);
  std::printf("Akt. Verzeichnisname (%s) gesendet.\n", name.c_str());
  state.log.command("pwd " + quoted(name), began, sent);
  return true;
}

bool run_set_akt_dir(ServiceState& state, char* buffer) {
  const auto began = state.log.now();
  const bool changed = set_akt_dir(*state.tree, argument_of(buffer)).ok();
  const std::string name = shown(state, argument_of(buffer));
  if (changed) std::printf("Akt. Verzeichnis auf %s gesetzt.\n", name.c_str());
  const std::string now_in = quoted(current_dir_shown(state));
  state.log.command("cd " + quoted(name), began, changed ? "now in " + now_in : "no such folder, stays in " + now_in);
  return true;
}

bool run_send_file(ServiceState& state, char* buffer) {
  TransferWatch watch;
  const auto began = state.log.now();
  const Result<> sent = send_file(state.link, *state.tree, argument_of(buffer), &watch);
  const std::string name = shown(state, argument_of(buffer));
  std::printf("Sende Datei <%s> status %ld\n", name.c_str(), console_number(sent));
  state.log.transfer("get " + quoted(name), watch.done, watch.size, began, sent);
  return true;
}

bool run_receive_file(ServiceState& state, char*) {
  TransferWatch watch;
  const auto began = state.log.now();
  const Result<> received = receive_file(state.link, *state.tree, &watch);
  std::printf("Empfangen der Datei status %ld\n", console_number(received));
  const std::string what = watch.size < 0 ? "put (no file header)" : "put " + quoted(shown(state, watch.name.c_str()));
  state.log.transfer(what, watch.done, watch.size, began, received);
  return true;
}

bool run_send_akt_dir(ServiceState& state, char*) {
  const auto began = state.log.now();
  const Result<> sent = send_akt_dir(state.link, *state.tree);
  std::printf("Sende Verzeichnis status %ld\n", console_number(sent));
  state.log.command("ls " + quoted(current_dir_shown(state)), began, sent);
  return true;
}

// The customer has gone: back to 9600 baud, and on to the next one.
bool serve_next_customer(ServiceState& state) {
  (void)set_baud_rate(state.link, kStartBaud);
  return wait_for_customer(state);
}

// Under --no-shutdown the customer that asked to end the service has its
// ACK (already sent), as if the service were ending, and is taken to have
// signed off: a customer that reads one answer a frame has nothing left over
// to take for the answer to its next frame.
bool run_terminate(ServiceState& state, char*) {
  if (state.no_shutdown) {
    std::puts("Terminierungsignal abgelehnt");
    state.log.write(Priority::notice, "shutdown refused (--no-shutdown): taken as the customer's sign-off");
    return serve_next_customer(state);
  }
  std::puts("Terminierungsignal empfangen");
  return false;
}

bool run_customer_terminate(ServiceState& state, char*) {
  std::puts("Customer Terminierung empfangen");
  state.log.write(Priority::info, "bye: the customer signed off");
  return serve_next_customer(state);
}

// The rate is the customer's text, shown like a name: it may hold anything.
// Its leading decimal number is the speed; none is a rate the port refuses.
bool run_set_baud_rate(ServiceState& state, char* buffer) {
  const auto began = state.log.now();
  const Result<> set = set_baud_rate(state.link, std::strtol(argument_of(buffer), nullptr, 10));
  const std::string rate = host::shown_name(argument_of(buffer));
  std::printf("Baudrate auf %s gesetzt status %ld\n", rate.c_str(), console_number(set));
  state.log.command("baud " + rate, began, set);
  return true;
}

constexpr Command kCommands[] = {
    {cmd_get_akt_dir, run_get_akt_dir},
    {cmd_set_akt_dir, run_set_akt_dir},
    {cmd_send_file, run_send_file},
    {cmd_receive_file, run_receive_file},
    {cmd_send_akt_dir, run_send_akt_dir},
    {cmd_terminate, run_terminate},
    {cmd_customer_terminate, run_customer_terminate},
    {cmd_set_baud_rate, run_set_baud_rate},
};

Handler handler_for(UBYTE code) {
  for (const auto& command : kCommands) {
    if (command.code == code) return command.run;
  }
  return nullptr;
}

}  // namespace

lines::ListenRules listen_rules(const ServiceOptions& options, OperatorLog log) {
  lines::ListenRules rules;
  rules.greeting = {kIdentificationFrameBytes, is_identification_frame};
  rules.allowed = options.allowed;
  rules.idle_limit = std::chrono::seconds(options.idle_timeout_seconds);
  rules.report = [log](const std::string& event) { log.write(Priority::notice, event); };
  return rules;
}

bool wait_for_customer(ServiceState& state) {
  state.link.between_customers();
  // What forms no frame here may tell the operator why no customer comes.
  LineHints hints(state.log);
  state.link.on_formless_input([&hints](std::span<const UBYTE> bytes) { hints.heard(bytes); });
  bool identified = true;
  while (identified && !identify(state.link, Side::service, state.ids)) {
    identified = !state.link.cancelled() && take_up_line_again(state);
  }
  state.link.on_formless_input({});
  if (identified) welcome_customer(state);
  return identified;
}

void welcome_customer(ServiceState& state) {
  state.tree->return_to_start();
  state.log.identified(state.ids.customer, state.link.peer_address());
}

namespace {

enum class Incoming { command, damaged, torn, identification, nothing };

// Input that forms no frame (bytes that stop short of one, or a whole frame
// with a wrong check byte) this many times in a row, at a speed other than
// 9600 baud, is a customer that has gone and left the line at its speed: the
// next one, at 9600, reaches a port that reads its bytes as garbage. A
// customer in a healthy session sends whole frames only, idle or not.
constexpr int kFormlessInputsOfAGoneCustomer = 2;

// Reads what comes where a command frame is expected. Its time limit runs
// from its first byte. A customer that did not take our identification (it
// came damaged, or not at all), and one that comes anew while the last one's
// session is unfinished, identifies from here: a lone identification frame
// followed by quiet, which a command frame cannot be.
Incoming receive_command(Link& link, UBYTE* frame) {
  UBYTE wire[frame_bytes(kCommandFrameBytes)] = {};
  bool framed = false;
  if (!link.first_byte_within(time_limit(link))) return Incoming::nothing;
  if (!receive_bytes(link, wire, static_cast<std::uint32_t>(kIdentificationFrameBytes))) return Incoming::torn;
  if (lone_identification(link, wire)) {
    (void)unpack_frame(wire, frame, kIdentificationBytes, framed);
    return Incoming::identification;
  }
  if (!receive_bytes(link, wire + kIdentificationFrameBytes,
                     static_cast<std::uint32_t>(sizeof wire - kIdentificationFrameBytes))) {
    return Incoming::torn;
  }
  return unpack_frame(wire, frame, kCommandFrameBytes, framed) ? Incoming::command : Incoming::damaged;
}

// A peer with the line that sends only bytes that form no frame, at 9600
// baud, would keep it from every customer that waits: the silence that the
// line's idle limit looks for never comes. It is taken for gone once no
// whole frame has come for that limit.
bool only_formless_since(const ServiceState& state, std::chrono::nanoseconds framed_at) {
  return state.formless_limit > std::chrono::nanoseconds::zero() &&
         state.link.now() - framed_at >= state.formless_limit;
}

}  // namespace

void exec_commands(ServiceState& state) {
  state.tree->sweep_temporaries();
  Link& link = state.link;
  char buffer[kCommandBufferBytes] = {};
  auto* frame = reinterpret_cast<UBYTE*>(buffer);
  int formless_in_a_row = 0;
  auto framed_at = link.now();  // when the last whole frame came, or the customer
  while (!link.cancelled()) {
    const Incoming incoming = receive_command(link, frame);
    // Silence is no input: an idle customer neither adds to the count nor resets it.
    const bool formless = incoming == Incoming::torn || incoming == Incoming::damaged;
    if (incoming != Incoming::nothing) formless_in_a_row = formless ? formless_in_a_row + 1 : 0;
    if (incoming == Incoming::command || incoming == Incoming::identification) framed_at = link.now();
    if (formless_in_a_row >= kFormlessInputsOfAGoneCustomer && link.baud() != kStartBaud) {
      formless_in_a_row = 0;
      state.log.write(Priority::notice, "customer taken for gone: twice input that forms no frame at " +
                                            std::to_string(link.baud()) + " baud; back at 9600 for the next one");
      if (!serve_next_customer(state)) return;
      continue;
    }
    if (formless && only_formless_since(state, framed_at)) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(state.formless_limit).count();
      state.log.write(Priority::notice, "customer at " + link.peer_address() + " taken for gone: for " +
                                            std::to_string(seconds) + " s nothing but input that forms no frame");
      if (!serve_next_customer(state)) return;
      framed_at = link.now();
      continue;
    }
    switch (incoming) {
      case Incoming::nothing:
      case Incoming::torn:
        // A customer on a lost line is gone too: as after a sign-off, wait for the next one.
        if (link.lost() && !(take_up_line_again(state) && wait_for_customer(state))) return;
        continue;
      case Incoming::identification:
        answer_identification(link, frame, state.ids);
        welcome_customer(state);
        continue;
      case Incoming::damaged:
        // A damaged command is refused, not guessed at: the customer counts it as failed.
        send_NAK(link);
        continue;
      case Incoming::command:
        break;
    }
    send_ACK(link);
    const Handler run = handler_for(frame[0]);
    if (run == nullptr) {
      send_NAK(link);
      continue;
    }
    if (!run(state, buffer)) return;
  }
}

namespace {

// A name that goes to the customer with stand-ins is said in the log.
void report_name_without_wire_form(const OperatorLog& log, const std::string& charset, const std::string& host_name,
                                   const std::string& sent_as) {
  log.write(Priority::warning, quoted(host::shown_name(host_name)) + " has no form in " + charset +
                                   ", the character set of names on the line; the customer gets " +
                                   quoted(host::shown_name(sent_as)));
}

// The folder served: the current directory, in the whole file system, or
// for --root a tree confined to DIR; read-only for --read-only; its names in
// the wire's character set.
bool serve_folder(ServiceOptions& options, ServiceState& state, std::string& error) {
  std::optional<host::NameCodec> names = std::move(options.names);
  if (!names) names = host::NameCodec::open(options.charset, error);
  if (!names) return false;
  if (!options.root.empty()) {
    std::optional<host::Tree> tree = host::Tree::confined(options.root.c_str(), error);
    if (!tree) {
      error = "--root: " + error;
      return false;
    }
    state.tree = std::make_unique<host::Tree>(std::move(*tree));
  }
  state.tree->set_read_only(options.read_only);
  const std::string charset = options.charset;
  const OperatorLog log = state.log;
  state.tree->set_wire_names(std::move(*names), [charset, log](const std::string& host_name, const std::string& sent_as) {
    report_name_without_wire_form(log, charset, host_name, sent_as);
  });
  return true;
}

}  // namespace

int service_main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");  // the host's character set of names
  host::SteadyClock clock;
  return service_main(argc, argv, clock, {});
}

int service_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener,
                 const std::string& lock_directory) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const host::BrokenPipesIgnored console_may_go;
  std::string error;
  std::optional<ServiceOptions> options = parse_service_options(argc, argv, error);
  const host::Program program{"quorvantix", std::string("\n") + kUsage + "(quorvantix --help tells more)\n", false};
  if (!options) return host::refuse_command_line(program, error);
  if (options->help) {
    print_help();
    return host::kExitHelped;
  }
  if (options->version) return host::answer_version(program, version);
  if (options->device_given) std::printf("%s %ld\n", options->device.c_str(), options->unit);
  const OperatorLog log = OperatorLog::to_stderr(clock);
  Link link(clock, opener ? std::move(opener)
                          : lines::host_line_opener(lock_directory, listen_rules(*options, log)));
  ServiceState state{link, options->device, options->unit, {}};
  state.no_shutdown = options->no_shutdown;
  state.log = log;
  if (lines::is_listening_line_name(options->device)) {
    state.formless_limit = std::chrono::seconds(options->idle_timeout_seconds);
  }
  if (!serve_folder(*options, state, error)) {
    log.write(Priority::error, error);
    return 1;
  }
  const host::StopSignals stop_signals(Link::cancel_from_signal, &link);
  host::ServiceManager manager;
  link.on_wait([&manager](std::chrono::nanoseconds now) { manager.waiting(now); });
  if (options->allowed.empty() && lines::listens_beyond_loopback(options->device)) {
    log.write(Priority::warning, "warning: " + options->device + " can be reached from other machines, and no --allow "
              "limits who connects: whoever reaches it may read and write the files served");
  }
  std::printf("Opening Device %s Port %ld\n", state.device.c_str(), state.port);
  if (const Result<> opened = allocport(link, state.port, state.device.c_str()); !opened) {
    log.write(Priority::error, opened.error().reason);
    std::puts("Can't config Serial-Port");
    freeport(link, state.port);
    return 1;
  }
  std::puts("Service is ready");
  log.write(Priority::info, "ready on " + state.device);
  manager.ready();
  if (wait_for_customer(state)) {
    std::printf("Customer:%s %s / %s\n", state.ids.customer.os, state.ids.customer.os_ver, state.ids.customer.cpu);
    exec_commands(state);
  }
  manager.stopping();
  freeport(link, state.port);
  if (link.cancelled()) {
    const char* signal = host::StopSignals::name(host::StopSignals::caught());
    std::printf("Service stopped by %s\n", signal);
    log.write(Priority::notice, std::string("stopped by ") + signal);
  } else {
    log.write(Priority::notice, "stopped by the customer's terminate command");
  }
  return 0;
}

}  // namespace quorvantix::service
