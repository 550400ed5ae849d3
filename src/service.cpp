#include "service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fs_module.h"
#include "io_module.h"
#include "misc.h"

const char version[] = "$VER: Quorvantix 11.00 (07.06.26)";

namespace {

constexpr std::size_t kDeviceNameBytes = 30;
constexpr std::size_t kCommandBufferBytes = 1024;
// Half a second between tries to open a lost line: no CPU to speak of while it is away.
constexpr int kTicksBetweenReopenTries = 25;

// The line has gone (adapter pulled, far end of a pty closed, TCP peer left).
// Closes it and opens the same device again as soon as it is back, at 9600 baud.
void reopen_lost_line(ServiceState& state) {
  std::puts("Line lost, waiting for it to come back");
  freeport(state.link, state.port);
  while (allocport(state.link, state.port, state.device.c_str()) != PORT_OK) {
    freeport(state.link, state.port);
    state.link.delay_ticks(kTicksBetweenReopenTries);
  }
  std::puts("Line is open again");
}

// A handler gets the payload of its command frame (argument from offset 1) in
// the loop's buffer, which it may reuse. It returns false to end the loop.
using Handler = bool (*)(ServiceState& state, char* buffer);

struct Command {
  UBYTE code;
  Handler run;
};

const char* argument_of(const char* buffer) { return buffer + 1; }

// The name goes back in the loop's buffer; the customer reads its first 60
// bytes, without a terminator when the name is longer.
bool run_get_akt_dir(ServiceState& state, char* buffer) {
  get_akt_dir(buffer);
  send_data(state.link, buffer, kCommandFrameBytes);
  std::printf("Akt. Verzeichnisname (%s) gesendet.\n", buffer);
  return true;
}

bool run_set_akt_dir(ServiceState&, char* buffer) {
  if (set_akt_dir(argument_of(buffer)) != 0) {
    std::printf("Akt. Verzeichnis auf %s gesetzt.\n", argument_of(buffer));
  }
  return true;
}

bool run_send_file(ServiceState& state, char* buffer) {
  const long status = send_file(state.link, argument_of(buffer), nullptr);
  std::printf("Sende Datei <%s> status %ld\n", argument_of(buffer), status);
  return true;
}

bool run_receive_file(ServiceState& state, char*) {
  std::printf("Empfangen der Datei status %ld\n", receive_file(state.link, nullptr));
  return true;
}

bool run_send_akt_dir(ServiceState& state, char*) {
  std::printf("Sende Verzeichnis status %ld\n", send_akt_dir(state.link));
  return true;
}

bool run_terminate(ServiceState&, char*) {
  std::puts("Terminierungsignal empfangen");
  return false;
}

bool run_customer_terminate(ServiceState& state, char*) {
  std::puts("Customer Terminierung empfangen");
  set_baud_rate(state.link, "9600");
  wait_for_customer(state);
  return true;
}

bool run_set_baud_rate(ServiceState& state, char* buffer) {
  const long status = set_baud_rate(state.link, argument_of(buffer));
  std::printf("Baudrate auf %s gesetzt status %ld\n", argument_of(buffer), status);
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

void print_usage() {
  std::printf(
      "usage: quorvantix [DEVICE UNIT]\n"
      "Serves a file-transfer customer on the other end of a serial line.\n"
      "DEVICE is a path (/dev/ttyUSB0, a pty) or serial.device, usbserial.device or\n"
      "acm.device, whose UNIT selects /dev/ttyS<UNIT>, /dev/ttyUSB<UNIT> or /dev/ttyACM<UNIT>,\n"
      "or a serial port on the network: tcp:HOST:PORT connects to it, tcp-listen:PORT\n"
      "(or tcp-listen:ADDR:PORT) waits for it to connect, on 127.0.0.1 unless ADDR is given.\n"
      "Without arguments it serves serial.device unit 0.\n");
}

}  // namespace

void wait_for_customer(ServiceState& state) {
  while (identify(state.link, 's', state.ids) != LINK_OK) reopen_lost_line(state);
}

namespace {

enum class Arrival { command, damaged, identification, nothing };

// Reads what comes where a command frame is expected. Its time limit runs
// from its first byte. A customer that did not take our identification (it
// came damaged, or not at all) identifies again from here: a lone
// identification frame followed by quiet, which a command frame cannot be.
Arrival receive_command(Link& link, UBYTE* frame) {
  constexpr std::uint32_t kIdentificationFrameBytes = kIdentificationBytes + 3;
  UBYTE wire[kCommandFrameBytes + 3] = {};
  bool framed = false;
  if (!link.first_byte_within(time_limit(link))) return Arrival::nothing;
  if (!receive_bytes(link, wire, kIdentificationFrameBytes)) return Arrival::nothing;
  if (unpack_frame(wire, frame, kIdentificationBytes, framed) == LINK_OK && framed &&
      !link.first_byte_within(frame_gap(link))) {
    return Arrival::identification;
  }
  if (!receive_bytes(link, wire + kIdentificationFrameBytes, sizeof wire - kIdentificationFrameBytes)) {
    return Arrival::nothing;
  }
  return unpack_frame(wire, frame, kCommandFrameBytes, framed) == LINK_OK ? Arrival::command : Arrival::damaged;
}

}  // namespace

void exec_commands(ServiceState& state) {
  Link& link = state.link;
  char buffer[kCommandBufferBytes] = {};
  auto* frame = reinterpret_cast<UBYTE*>(buffer);
  for (;;) {
    switch (receive_command(link, frame)) {
      case Arrival::nothing:
        // A customer on a lost line is gone too: as after a sign-off, wait for the next one.
        if (link.lost()) {
          reopen_lost_line(state);
          wait_for_customer(state);
        }
        continue;
      case Arrival::identification:
        answer_identification(link, frame, state.ids);
        continue;
      case Arrival::damaged:
        // A damaged command is refused, not guessed at: the customer counts it as failed.
        send_NAK(link);
        continue;
      case Arrival::command:
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

int service_main(int argc, char** argv) {
  platform::SteadyClock clock;
  return service_main(argc, argv, clock, platform::open_host_line);
}

int service_main(int argc, char** argv, platform::Clock& clock, platform::LineOpener opener) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  char device[kDeviceNameBytes] = "serial.device";
  long port = 0;

  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    print_usage();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", version + std::strlen("$VER: "));
    return 0;
  }
  if (argc == 3) {
    port = std::atol(argv[2]);
    if (std::strlen(argv[1]) >= kDeviceNameBytes) {
      std::fprintf(stderr, "quorvantix: device name '%s' is longer than %zu characters\n", argv[1],
                   kDeviceNameBytes - 1);
      std::puts("Can't config Serial-Port");
      return 1;
    }
    std::strcpy(device, argv[1]);
    std::printf("%s %ld\n", device, port);
  }
  std::printf("Opening Device %s Port %ld\n", device, port);
  Link link(clock, std::move(opener));
  if (allocport(link, port, device) != PORT_OK) {
    std::fprintf(stderr, "quorvantix: %s\n", link.last_error().c_str());
    std::puts("Can't config Serial-Port");
    freeport(link, port);
    return 1;
  }
  std::puts("Service is ready");
  ServiceState state{link, device, port, {}};
  wait_for_customer(state);
  std::printf("Customer:%s %s / %s\n", state.ids.customer.os, state.ids.customer.os_ver, state.ids.customer.cpu);
  exec_commands(state);
  freeport(link, port);
  return 0;
}
