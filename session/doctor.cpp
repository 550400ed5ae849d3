#include "session/doctor.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>

#include "lines/line_lock.h"
#include "lines/serial_line.h"
#include "lines/uart_reading.h"
#include "wire/identification.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;
using std::chrono::nanoseconds;

namespace {

constexpr std::size_t kMostHeard = 256;
constexpr int kFewestListings = 3;
constexpr int kMostListings = 100;
constexpr int kRetreatTries = 3;

// --- The port ---

// The name under /dev/serial/by-id that leads to `path`: the adapter's own
// name, which stays when it moves to another socket.
std::string by_id_name(const std::string& path) {
  std::error_code error;
  const auto target = std::filesystem::canonical(path, error);
  if (error) return {};
  for (const auto& entry : std::filesystem::directory_iterator("/dev/serial/by-id", error)) {
    std::error_code ignored;
    if (std::filesystem::canonical(entry.path(), ignored) == target) return entry.path().string();
  }
  return {};
}

// The program that the lock file of `path` names, and its process id.
std::string lock_holder(const std::string& path) {
  std::ifstream lock(lines::line_lock_file_name(lines::kLockDirectory, path), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(lock)), std::istreambuf_iterator<char>());
  long pid = 0;
  if (text.size() == sizeof(int) && (text[0] < '0' || text[0] > '9') && text[0] != ' ') {
    int binary = 0;  // older programs wrote the id as a binary int
    std::memcpy(&binary, text.data(), sizeof binary);
    pid = binary;
  } else {
    pid = std::strtol(text.c_str(), nullptr, 10);
  }
  if (pid <= 0) return {};
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return (name.empty() ? "a program" : name) + " (process " + std::to_string(pid) + ")";
}

// --- What comes back ---

std::vector<std::uint8_t> own_identification_frame() {
  UBYTE codes[kIdentificationBytes];
  build_own_frame(codes);
  return {STX, codes[0], codes[1], codes[2], calc_LPC(codes, kIdentificationBytes), ETX};
}

// Sends `bytes` as they are and gathers what comes back: the first byte
// within a time limit, the rest until the line has been quiet for a frame gap.
std::vector<std::uint8_t> send_and_listen(Link& link, const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> heard;
  // What a far end still sends (to a customer before us) is no answer.
  link.drop_input_until_quiet(frame_gap(link), time_limit(link));
  if (!write_bytes(link, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) return heard;
  if (!link.first_byte_within(time_limit(link))) return heard;
  UBYTE byte = 0;
  while (heard.size() < kMostHeard && receive_bytes(link, &byte, 1)) {
    heard.push_back(byte);
    if (!link.first_byte_within(frame_gap(link))) break;
  }
  return heard;
}

bool answered_by_a_service(const std::vector<std::uint8_t>& heard) {
  return heard.size() >= 1 + kIdentificationFrameBytes && heard[0] == ACK && is_identification_frame(&heard[1]);
}

bool is_echo(const std::vector<std::uint8_t>& heard, const std::vector<std::uint8_t>& sent) {
  return heard.size() >= sent.size() && std::equal(sent.begin(), sent.end(), heard.begin());
}

Diagnosis with_service(Session& session, Diagnosis found) {
  found.finding = Finding::service;
  found.service = session.ids().service;
  const nanoseconds began = session.link().now();
  const Result<> pwd = session.remote_pwd();
  found.round_trip = session.link().now() - began;
  if (pwd) found.folder = session.remote_dir();
  return found;
}

}  // namespace

namespace {

// How alike `heard` is to what comes back at 9600 baud from a far end at
// `speed`: `sent` echoed there, or sent from there.
double likeness_at(long speed, std::span<const std::uint8_t> heard, std::span<const std::uint8_t> sent) {
  const std::vector<std::uint8_t> read_there = lines::uart_reads(sent, kStartBaud, speed);
  return std::max(lines::likeness(heard, lines::uart_reads(read_there, speed, kStartBaud)),
                  lines::likeness(heard, lines::uart_reads(sent, speed, kStartBaud)));
}

// The standard speeds but 9600, the likeliest for `heard` first.
std::vector<long> speeds_by_likeness(std::span<const std::uint8_t> heard, std::span<const std::uint8_t> sent) {
  std::vector<std::pair<double, long>> ranked;
  for (const long speed : kStandardSpeeds) {
    if (speed != kStartBaud) ranked.emplace_back(-likeness_at(speed, heard, sent), speed);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<long> speeds;
  for (const auto& [minus_likeness, speed] : ranked) speeds.push_back(speed);
  return speeds;
}

// Bytes at the far end's speed read as a few bytes with most bits set,
// whatever that speed is above 38400, so the pattern ranks the speeds and
// the far end confirms one: at the speed it runs at, it echoes our frame
// whole, or a service answers it. Our end is back at 9600 afterwards.
long confirmed_far_speed(Link& link, const std::vector<std::uint8_t>& heard, const std::vector<std::uint8_t>& sent) {
  long found = 0;
  for (const long speed : speeds_by_likeness(heard, sent)) {
    if (!set_baud_rate(link, speed)) continue;
    const std::vector<std::uint8_t> back = send_and_listen(link, sent);
    if (is_echo(back, sent) || answered_by_a_service(back)) {
      found = speed;
      break;
    }
  }
  (void)set_baud_rate(link, kStartBaud);
  return found;
}

}  // namespace

Diagnosis diagnose(Session& session, const std::string& device, long unit) {
  Diagnosis found;
  std::string error;
  const std::string path = lines::device_path(device, unit, error);
  if (!path.empty()) found.by_id = by_id_name(path);
  if (const Result<> opened = session.open_line(device, unit); !opened) {
    found.detail = opened.error().reason;
    found.holder = path.empty() ? std::string() : lock_holder(path);
    const bool busy = !found.holder.empty() || found.detail.find("in use by another program") != std::string::npos;
    found.finding = busy ? Finding::port_busy : Finding::port_failed;
    return found;
  }
  Link& link = session.link();
  const std::vector<std::uint8_t> sent = own_identification_frame();
  found.heard = send_and_listen(link, sent);
  if (answered_by_a_service(found.heard)) {
    send_ACK(link);
    Identities ids;
    get_sys_data(&ids.customer, &sent[1]);
    get_sys_data(&ids.service, &found.heard[2]);
    session.take_identification(ids);
    return with_service(session, std::move(found));
  }
  if (is_echo(found.heard, sent)) {
    found.finding = Finding::echo;
  } else if (!found.heard.empty() && found.heard[0] != ACK) {
    found.finding = Finding::garbage;
    found.far_baud = confirmed_far_speed(link, found.heard, sent);
  } else if (session.reach_service()) {
    // A service whose last customer left it in its command loop, or that
    // was busy still, answers once it has been signed off.
    return with_service(session, std::move(found));
  } else {
    found.finding = found.heard.empty() ? Finding::silence : Finding::garbage;
  }
  session.close_line();
  return found;
}

// --- The fastest speed ---

bool SpeedTrial::holds() const { return failures == 0 && repeats * 100 <= std::max<std::uint64_t>(frames, 100); }

namespace {

// Listings at the speed the session is at: at least a few, and until
// `frames` frames have crossed. A listing with another number of entries
// than `entries` (the first one's, when it is 0) fails too: a service
// stops a listing at a line that fails twice, and ends it as if whole.
SpeedTrial try_speed(Session& session, std::uint64_t frames, std::size_t& entries_seen) {
  SpeedTrial trial{.baud = session.baud()};
  Link& link = session.link();
  const Link::FrameCounts before = link.frame_counts();
  const nanoseconds began = link.now();
  std::uint64_t bytes = 0;
  for (int listing = 0; listing < kMostListings; ++listing) {
    if (listing >= kFewestListings && link.frame_counts().frames - before.frames >= frames) break;
    std::vector<RemoteEntry> entries;
    const bool listed = session.remote_list(entries).ok();
    if (listed && entries_seen == 0) entries_seen = entries.size();
    if (!listed || entries.size() != entries_seen) {
      ++trial.failures;
      break;
    }
    bytes += (entries.size() + 1) * kListingLineBytes;
  }
  trial.frames = link.frame_counts().frames - before.frames;
  trial.repeats = link.frame_counts().repeats - before.repeats;
  const double seconds = std::chrono::duration<double>(link.now() - began).count();
  trial.bytes_per_second = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  return trial;
}

std::string likely_state(long good, long failed) {
  return "it answers neither at " + std::to_string(good) + " nor at " + std::to_string(failed) +
         " baud, nor at 9600 after a sign-off: it is at " + std::to_string(failed) +
         " baud still, or has gone; a customer at " + std::to_string(failed) +
         " baud can sign it off (it then waits at 9600), or restart it";
}

}  // namespace

SpeedSearch find_fastest_speed(Session& session, std::uint64_t frames,
                               const std::function<void(const SpeedTrial&)>& on_trial) {
  SpeedSearch search;
  std::size_t entries = 0;
  const auto add = [&](const SpeedTrial& trial) {
    search.trials.push_back(trial);
    if (on_trial) on_trial(trial);
  };
  long good = session.baud();
  for (const long speed : kStandardSpeeds) {
    if (speed < good) continue;
    if (speed > good) {
      if (const Result<> switched = session.remote_set_baud(speed); !switched) {
        add(SpeedTrial{.baud = speed, .failures = 1});
        const Kind kind = switched.error().kind;
        // Refused here, or not taken there and the line back at the last speed.
        if (kind == Kind::rate_refused || kind == Kind::rate_not_taken) break;
        session.link().clear_cancel();
        if (!session.retreat_to(good, speed, kRetreatTries)) search.far_end = likely_state(good, speed);
        break;
      }
    }
    add(try_speed(session, frames, entries));
    const bool stopped = session.link().cancelled();
    if (search.trials.back().holds() && !stopped) {
      good = speed;
      continue;
    }
    session.link().clear_cancel();
    if (speed != good && !session.retreat_to(good, speed, kRetreatTries)) search.far_end = likely_state(good, speed);
    break;
  }
  search.settled = search.far_end.empty() && !session.lost() ? session.baud() : 0;
  return search;
}

// --- Session: the doctor's steps ---

void Session::take_identification(const wire::Identities& ids) {
  ids_ = ids;
  baud_ = kStartBaud;
  lost_ = false;
  remote_dir_.clear();
}

Result<> Session::retreat_to(long rate, long from, int tries) {
  // The answers at `from` may not get through though the commands do: each
  // try sends the speed command there and asks at `rate` whether it arrived.
  const auto at = [this](long speed) {
    (void)set_baud_rate(link_, speed);
    baud_ = speed;
    lost_ = false;
  };
  const std::string rate_text = std::to_string(rate);
  for (int attempt = 0; attempt < tries; ++attempt) {
    at(from);
    (void)send_command(cmd_set_baud_rate, rate_text);
    link_.delay_ticks(kTicksBetweenPolls + kTicksBeforeParamChange);
    at(rate);
    if (remote_pwd()) return {};
  }
  // Last resort: a sign-off at the failing speed sends the service back to
  // 9600 baud, where it waits for a new identification.
  for (int attempt = 0; attempt < tries; ++attempt) {
    at(from);
    (void)send_command(cmd_customer_terminate);
    link_.delay_ticks(kTicksBetweenPolls + kTicksBeforeParamChange);
    at(kStartBaud);
    if (const Result<> reached = reach_service(); reached) {
      if (rate != kStartBaud) (void)remote_set_baud(rate);
      return {};
    }
  }
  lost_ = true;
  return fail(Kind::link_lost, "the service answers neither at " + rate_text + " nor at 9600 baud");
}

}  // namespace quorvantix::session
