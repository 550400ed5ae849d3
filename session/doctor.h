// What is wrong with a line, and the fastest speed it holds: the checks a
// person would make with a meter and a terminal, made by the program.
//
// diagnose() looks at the line in order and stops at the first check that
// fails: the port, then what comes back to an identification (nothing, our
// own bytes, bytes that form no frame), then the service. find_fastest_speed()
// steps a reached service up through the standard speeds from 9600, listing
// its folder at each (which writes nothing), and settles on the fastest that
// holds. The words for a person are the caller's: this says what was found.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lines/uart_reading.h"
#include "session/session.h"

namespace quorvantix::session {

// Stands for a speed in the settings where find_fastest_speed is to choose it
// (the mount's -o baud=auto).
inline constexpr long kFastestSpeedHeld = -1;

// The speeds the doctor tries, rising; 9600 is where every service starts.
inline constexpr const auto& kStandardSpeeds = lines::kStandardSpeeds;

enum class Finding {
  port_failed,  // the line does not open: Diagnosis::detail says why
  port_busy,    // another program holds the line: Diagnosis::holder names it, when the lock does
  silence,      // nothing at all comes back to an identification
  echo,         // what we send comes straight back
  garbage,      // bytes that form no frame: far_baud is the speed they point to (0: none)
  service,      // a service answers
};

struct Diagnosis {
  Finding finding = Finding::port_failed;
  std::string detail;                // port_failed: the line's reason
  std::string holder;                // port_busy: "minicom (process 4711)"; empty when unknown
  std::string by_id;                 // the line's /dev/serial/by-id name, where it has one
  std::vector<std::uint8_t> heard;   // echo, garbage: what came back, at most 256 bytes
  long far_baud = 0;                 // garbage: the far end's speed, as the pattern says
  // service: who it is, the folder it serves, the round trip of one command (pwd).
  wire::ID service{};
  std::string folder;
  std::chrono::nanoseconds round_trip{};
};

// Opens `device` (unit `unit`) on `session` and runs the checks. After
// Finding::service the session has reached the service at 9600 baud and
// the line stays open; after any other finding the line is closed.
Diagnosis diagnose(Session& session, const std::string& device, long unit);

// One speed of find_fastest_speed.
struct SpeedTrial {
  long baud = 0;
  std::uint64_t frames = 0;    // sent and received, repeats among them
  std::uint64_t repeats = 0;   // frames that went again
  std::uint64_t failures = 0;  // listings (or the switch to the speed) that failed
  double bytes_per_second = 0; // listing bytes that arrived, over the time taken
  // No failure and at most one repeat in a hundred frames.
  bool holds() const;
};

struct SpeedSearch {
  std::vector<SpeedTrial> trials;
  long settled = 0;      // the speed both ends are at now; 0 when the service was lost
  std::string far_end;   // when it was lost: what the service's state is likely to be
};

// From the speed the session is at (9600 after the identification), up
// through the standard speeds: at each, listings until `frames` frames have
// crossed (at least three listings). Settles on the fastest speed that
// holds; where one does not, goes back to the last that did (retreat_to).
// `on_trial` hears of each speed as it is done.
SpeedSearch find_fastest_speed(Session& session, std::uint64_t frames = 100,
                               const std::function<void(const SpeedTrial&)>& on_trial = {});

}  // namespace quorvantix::session
