#include "customer/doctor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "customer/customer_main.h"
#include "host/charset.h"
#include "host/numbers.h"
#include "host/options.h"
#include "host/stop_signals.h"

namespace quorvantix::customer {

using namespace quorvantix::session;

namespace {

// Frames at each speed: one repeat in them is as many as a speed may cost.
constexpr std::uint64_t kFramesPerSpeed = 100;

constexpr const char* kUsage =
    "usage: quorvantix-customer doctor [--speed] [--save] [-u N] [LINE]\n"
    "\n"
    "Looks at LINE (default: the line of the settings file) and says what is wrong\n"
    "with it, in one sentence, or which service answers there. With --speed it then\n"
    "steps up from 9600 baud through the standard speeds, listing the service's\n"
    "folder at each (nothing is written there), and settles on the fastest that\n"
    "holds; --save writes that speed to the settings file as baud = N.\n";

struct DoctorOptions {
  std::string device;
  long unit = 0;
  bool speed = false;
  bool save = false;
};

bool parse_doctor(int argc, char** argv, DoctorOptions& options, bool& help, std::string& error) {
  for (int index = 1; index < argc; ++index) {
    const std::string word = argv[index];
    if (word == "-h" || word == "--help") {
      help = true;
      return true;
    }
    if (word == "--speed") {
      options.speed = true;
    } else if (word == "--save") {
      options.speed = options.save = true;
    } else if (word == "-u" || word == "--unit") {
      if (++index == argc || !host::parse_digits(argv[index], options.unit)) {
        error = word + " needs a unit number";
        return false;
      }
    } else if (!word.empty() && word[0] != '-' && options.device.empty()) {
      options.device = word;
    } else {
      error = "doctor takes --speed, --save, -u N and one LINE, not '" + word + "'";
      return false;
    }
  }
  if (options.device.empty()) error = "name the serial line to look at (doctor /dev/ttyUSB0)";
  return error.empty();
}

std::string line_shown(const DoctorOptions& options, const Diagnosis& found) {
  std::string error;
  const std::string path = lines::device_path(options.device, options.unit, error);
  std::string shown = host::shown_name(path.empty() ? options.device : path);
  if (!found.by_id.empty()) shown += " (" + host::shown_name(found.by_id) + ")";
  return shown;
}

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  std::ostringstream text;
  for (std::size_t i = 0; i < bytes.size() && i < 16; ++i) {
    text << (i ? " " : "") << std::hex << std::setw(2) << std::setfill('0') << unsigned(bytes[i]);
  }
  if (bytes.size() > 16) text << " ...";
  return text.str();
}

constexpr const char* kNullModemPins =
    "the wire from our TxD (pin 3 of a 9-pin plug) must reach the far end's RxD (pin 2), "
    "its TxD must reach our RxD, and GND (pin 5) must join GND";

// One sentence: what the check found, and what to try.
std::string finding_text(const Diagnosis& found, const std::string& line) {
  switch (found.finding) {
    case Finding::port_failed:
      return "The port " + line + " does not open (" + host::shown_name(found.detail) +
             "): check its name (ls /dev/serial/by-id), that the adapter is plugged in, and that you may use it "
             "(the dialout group).";
    case Finding::port_busy:
      return "The port " + line + " is held by " + (found.holder.empty() ? "another program" : found.holder) +
             ": end that program, then look again.";
    case Finding::silence:
      return "Nothing comes back on " + line +
             " to an identification: either nothing runs at the far end (start the service there), or the cable is "
             "a straight one where a null-modem cable is needed: " + kNullModemPins + ".";
    case Finding::echo:
      return "What we send comes straight back on " + line + " (" + hex_of(found.heard) +
             "): a loopback plug sits on the port or the cable, or a terminal program with echo on runs at the far "
             "end; take the plug off, or end that program and start the service there.";
    case Finding::garbage:
      if (found.far_baud != 0) {
        return "Bytes come back on " + line + " that form no frame (" + hex_of(found.heard) +
               "): the far end runs at " + std::to_string(found.far_baud) +
               " baud, not at 9600; a service left there by a customer that went away goes back to 9600 when it is "
               "restarted, and a terminal program there should be set to 9600 baud, 8N1.";
      }
      return "Bytes come back on " + line + " that form no frame (" + hex_of(found.heard) +
             "): the far end runs at another speed or framing (set it to 9600 baud, 8 data bits, no parity, 1 stop "
             "bit, no flow control), or the cable picks up noise (a shorter or shielded one).";
    case Finding::service: {
      const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(found.round_trip).count();
      std::string text = "A service answers on " + line + ": " + found.service.os + " " + found.service.os_ver +
                         " / " + found.service.cpu;
      if (!found.folder.empty()) text += ", serving " + host::shown_name(found.folder);
      return text + "; one command there and back takes " + std::to_string(milliseconds) + " ms.";
    }
  }
  return {};
}

// With --save, or yes to the question on a terminal: baud = N in the settings file.
void offer_to_save(long baud, bool save, std::ostream& out) {
  const std::string path = settings_path();
  if (path.empty()) return;
  if (!save) {
    if (!isatty(STDIN_FILENO)) return;
    out << "Write baud = " << baud << " to " << host::shown_name(path) << "? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) return;
  }
  std::string error;
  if (save_setting(path, "baud", std::to_string(baud), error)) {
    out << "Wrote baud = " << baud << " to " << host::shown_name(path) << ".\n";
  } else {
    std::cerr << "quorvantix-customer: " << host::shown_name(error) << '\n';
  }
}

}  // namespace

SpeedSearch search_speed(Session& session, std::ostream& out) {
  out << "   speed  frames  repeats  failures  bytes/s\n" << std::flush;
  const SpeedSearch search = find_fastest_speed(session, kFramesPerSpeed, [&](const SpeedTrial& trial) {
    out << std::setw(8) << trial.baud << std::setw(8) << trial.frames << std::setw(9) << trial.repeats
        << std::setw(10) << trial.failures << std::setw(9) << std::lround(trial.bytes_per_second) << '\n'
        << std::flush;
  });
  if (search.settled != 0) {
    out << "The line holds " << search.settled << " baud.\n";
  } else {
    out << "The service was lost: " << search.far_end << ".\n";
  }
  return search;
}

Outcome find_speed(Session& session, Console& console) {
  return Outcome{search_speed(session, console.out).settled != 0};
}

bool save_setting(const std::string& path, const std::string& name, const std::string& value, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::string text, line;
  bool replaced = false;
  while (std::getline(in, line)) {
    const std::size_t equals = line.find('=');
    std::string key = equals == std::string::npos ? "" : line.substr(0, equals);
    key.erase(0, key.find_first_not_of(" \t"));
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key == name && !replaced) {
      line = name + " = " + value;
      replaced = true;
    }
    text += line + '\n';
  }
  if (!replaced) text += name + " = " + value + '\n';
  std::error_code made;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), made);
  const std::string fresh = path + ".new";
  std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
  if (!(out << text) || !out.flush() || std::rename(fresh.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(fresh.c_str());
    return false;
  }
  return true;
}

int doctor_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener, Options defaults) {
  DoctorOptions options{defaults.device, defaults.unit};
  bool help = false;
  std::string error;
  if (!parse_doctor(argc, argv, options, help, error)) {
    std::cerr << "quorvantix-customer: " << host::shown_name(error) << "\nTry 'quorvantix-customer doctor --help'.\n";
    return kExitUsage;
  }
  if (help) return host::answer_help(kUsage);
  wire::Link link(clock, std::move(opener));
  host::StopSignals interrupts(wire::Link::cancel_from_signal, &link);
  Session session(link);
  const Diagnosis found = diagnose(session, options.device, options.unit);
  std::cout << finding_text(found, line_shown(options, found)) << '\n';
  if (found.finding != Finding::service) return kExitNoLink;
  int status = kExitOk;
  if (options.speed) {
    const SpeedSearch search = search_speed(session, std::cout);
    if (search.settled == 0) status = kExitCommandFailed;
    if (search.settled != 0) offer_to_save(search.settled, options.save, std::cout);
  }
  link.clear_cancel();
  if (!session.lost()) (void)session.sign_off();
  session.close_line();
  return status;
}

}  // namespace quorvantix::customer
