// The cable: two pseudo-terminals joined like a crossed serial cable, each
// reachable under a path of the user's choice.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/unique_fd.h"
#include "linesim/faults.h"
#include "linesim/options.h"
#include "linesim/pacer.h"

namespace quorvantix::linesim {

// The speeds a program has set on its end, in baud.
struct LineSpeeds {
  long send = 9600;     // what it writes at
  long receive = 9600;  // what it reads at
};

// One end: a pseudo-terminal whose slave appears under `link_path` as a
// symlink. The simulator holds the slave open itself (and never reads it), so
// a program can close and reopen the path without the cable seeing a hang-up,
// and the raw settings stay in place between programs.
class CableEnd {
 public:
  // Creates the pty and the link. An existing symlink at `link_path` is
  // replaced; anything else there is left alone and reported in `error`.
  static std::unique_ptr<CableEnd> open(const std::string& link_path, std::string& error);
  // Removes the link, unless someone has put another one there meanwhile.
  ~CableEnd();
  CableEnd(const CableEnd&) = delete;
  CableEnd& operator=(const CableEnd&) = delete;

  int master() const { return master_.get(); }
  const std::string& slave_name() const { return slave_name_; }
  const std::string& link_path() const { return link_path_; }
  // Read from the pty each time, so that a change shows at once. Both start
  // at 9600; a rate of 0 (a request to hang up) leaves the last speeds.
  LineSpeeds speeds() const;

 private:
  CableEnd(host::UniqueFd master, host::UniqueFd slave, std::string slave_name, std::string link_path);

  host::UniqueFd master_;
  host::UniqueFd slave_;
  std::string slave_name_;
  std::string link_path_;
  mutable LineSpeeds speeds_;
};

struct CableCounts {
  std::uint64_t a_to_b_bytes = 0;  // bytes handed to the far end, faults included
  std::uint64_t b_to_a_bytes = 0;
  FaultCounts faults;
  std::uint64_t stalls = 0;
  std::uint64_t misread = 0;  // bytes sent while the far end was at another speed
};

class Lane;

class Cable {
 public:
  // Creates both ends. Null, with `error` filled, when an end cannot be made.
  static std::unique_ptr<Cable> open(const Options& options, std::string& error);
  ~Cable();
  Cable(const Cable&) = delete;
  Cable& operator=(const Cable&) = delete;

  // Carries bytes both ways until `stop_fd` becomes readable (true), or a
  // pseudo-terminal fails (false, with `error` filled).
  bool run(int stop_fd, std::string& error);

  CableCounts counts() const;
  // How long end A (`a` true) or B took to write once it had been handed
  // everything sent to it, each time it did after being handed at least
  // Options::turnaround_bytes since it last wrote: its answers' delays.
  const std::vector<std::chrono::nanoseconds>& turnarounds(bool a) const { return turnarounds_[a ? 0 : 1]; }
  const CableEnd& end_a() const { return *end_a_; }
  const CableEnd& end_b() const { return *end_b_; }

 private:
  Cable(const Options& options, std::unique_ptr<CableEnd> a, std::unique_ptr<CableEnd> b);
  bool take_in(Lane& outgoing, Lane& incoming, std::vector<std::chrono::nanoseconds>& turnarounds, TimePoint at,
               std::string& error);

  std::unique_ptr<CableEnd> end_a_;
  std::unique_ptr<CableEnd> end_b_;
  std::unique_ptr<Lane> a_to_b_;
  std::unique_ptr<Lane> b_to_a_;
  std::vector<std::chrono::nanoseconds> turnarounds_[2];
  std::uint64_t turnaround_bytes_;
};

// "linesim: a->b 1234 bytes, b->a 56 bytes; flipped 3, dropped 1, inserted 0, stalls 1, misread 0"
std::string summary_line(const CableCounts& counts);
// "linesim: A answered 812 times: median 0.061 ms, 90 % within 0.100 ms, 99 % within 0.210 ms, at most 1.204 ms"
std::string turnaround_line(const std::string& end, std::vector<std::chrono::nanoseconds> turnarounds);

}  // namespace quorvantix::linesim
