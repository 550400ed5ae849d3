#include "session/session.h"

#include "session/exchange.h"

#include <chrono>
#include <string>

#include "lines/rfc2217_line.h"
#include "lines/tcp_line.h"
#include "wire/identification.h"
#include "wire/wire.h"

namespace quorvantix::session {

using namespace quorvantix::wire;

using std::chrono::nanoseconds;

// --- The line ---

Result<> Session::open_line(const std::string& device, long unit) {
  if (const wire::Result<> opened = allocport(link_, unit, device.c_str()); !opened) {
    freeport(link_, unit);
    return host::Failure<Error>{Error{Kind::wire, opened.error().reason, opened.error().status}};
  }
  baud_ = kStartBaud;
  device_ = device;
  unit_ = unit;
  return {};
}

void Session::close_line() { freeport(link_, 0); }

namespace {

nanoseconds identification_time(const Link& link) {
  return wire_time(link, frame_bytes(kIdentificationBytes)) + time_limit(link);
}

nanoseconds sign_off_time(const Link& link) {
  return wire_time(link, frame_bytes(kCommandFrameBytes)) + time_limit(link) + frame_gap(link);
}

// How long bytes must come to be taken for a frame under way.
nanoseconds frame_under_way_look(const Link& link) {
  return std::max<nanoseconds>(wire_time(link, kBytesOfAFrameUnderWay), std::chrono::milliseconds(1));
}

// reach_service keeps to the time its message announces: on a line that
// never goes quiet (a peer that floods it), each wait for quiet gives way to
// the tries still to come, where it would otherwise wait out its own cap.
class ReachBudget {
 public:
  explicit ReachBudget(const Link& link)
      : link_(link), ends_at_(link.now() + frame_under_way_look(link) + longest_wait_for_service(link)) {}

  // The longest the next wait for quiet may last, of its usual `cap`, so
  // that `tries` tries and, when `sign_off_due`, the sign-off still fit.
  nanoseconds quiet_cap(nanoseconds cap, int tries, bool sign_off_due) const {
    const nanoseconds after =
        tries * identification_time(link_) + (sign_off_due ? sign_off_time(link_) : nanoseconds{});
    return std::clamp(ends_at_ - after - link_.now(), nanoseconds::zero(), cap);
  }

 private:
  const Link& link_;
  nanoseconds ends_at_;
};

nanoseconds quiet_wait_cap(const Link& link) { return share_of_limit(link, timing::kQuietWaitCap); }

// A service that is still sending to a customer that has gone must not have
// its frames taken for the answer to our identification: bytes that come
// back to back are a frame under way, and we begin once it has passed.
void begin_on_a_quiet_line(Link& link, nanoseconds cap) {
  link.drop_pending_input();
  if (link.first_byte_within(frame_under_way_look(link))) link.drop_input_until_quiet(frame_gap(link), cap);
}

// A service whose last customer left without signing off sits in its command
// loop, where an identification frame is no command it knows: our sign-off
// sends it back to waiting for one. A service that waits for an
// identification takes the command frame for junk, and is back in step once
// the line has been quiet for a frame gap after our wait for the answer.
void ask_to_sign_off(Link& link, nanoseconds cap) {
  char frame[kCommandFrameBytes] = {static_cast<char>(cmd_customer_terminate)};
  (void)send_data(link, frame, kCommandFrameBytes);
  link.drop_input_until_quiet(frame_gap(link), cap);
}

// What ended a try on a line that was lost: the line's own reason where it
// has one, or the far end's close.
std::string why_lost(const Link& link, const std::string& device) {
  const std::string reason = link.lost_reason();
  if (!reason.empty()) return reason;
  const bool on_the_network = lines::is_tcp_line_name(device) || lines::is_rfc2217_line_name(device);
  return on_the_network ? "the service closed the connection" : "the line was lost";
}

// The tries reach_service made, for its message.
struct ReachTries {
  int made = 0;
  int lost = 0;                // tries that ended with the line lost
  std::string loss;            // why the last of them did
  std::string not_taken_up;    // why the line could not be had again after it, if so
};

std::string no_service_detail(const ReachTries& tries) {
  const std::string made = std::to_string(tries.made);
  if (!tries.not_taken_up.empty()) {
    return tries.loss + " at try " + made + " of " + std::to_string(kIdentifyAttempts) +
           ", and the line could not be had again: " + tries.not_taken_up;
  }
  if (tries.lost == tries.made && tries.made > 0) {
    return tries.loss + (tries.made == 1 ? " at its one try" : " at each of " + made + " tries");
  }
  std::string detail = "no answer to the identification after " + made + (tries.made == 1 ? " try" : " tries");
  if (tries.lost > 0) detail += " (" + tries.loss + " at " + std::to_string(tries.lost) + " of them)";
  return detail;
}

// Between a try that got no answer and the next: the line quiet, and after
// the first a sign-off.
void wait_before_next_try(Link& link, const ReachBudget& budget, int attempt, const wire::Error& failure) {
  const int tries_left = kIdentifyAttempts - attempt - 1;
  const bool sign_off_due = attempt == 0;
  if (failure.status == Status::frame_damaged) {
    // A damaged answer: what is left of the service's frame must not pass
    // for the answer to the next try.
    link.drop_input_until_quiet(frame_gap(link), budget.quiet_cap(quiet_wait_cap(link), tries_left, sign_off_due));
  } else {
    // No answer, or bytes that were none: a service busy with a transfer its
    // last customer left answers once it has given up; one that waits for an
    // identification, or a command, answers once the line has been quiet.
    link.drop_input_until_quiet(settle_quiet(link),
                                budget.quiet_cap(share_of_limit(link, timing::kSettleCap), tries_left, sign_off_due));
  }
  // A service that answered with a frame we could not take has gone on to
  // its commands as well.
  if (sign_off_due) ask_to_sign_off(link, budget.quiet_cap(quiet_wait_cap(link), tries_left, false));
}

}  // namespace

// A listening line takes its next peer, one that open_line opened is opened
// anew (a service on the network that closed the connection is connected to again).
Result<> Session::take_up_line_for_next_try() {
  if (link_.take_next_peer() || device_.empty()) return {};
  const std::string device = device_;
  close_line();
  return open_line(device, unit_);
}

Result<> Session::reach_service() {
  Link& link = link_;
  // A service identifies at 9600 baud, whether it just started or a sign-off
  // sent it back there: a line left at another speed would never reach it.
  if (link.baud() != kStartBaud) (void)set_baud_rate(link, kStartBaud);
  baud_ = kStartBaud;
  const ReachBudget budget(link);
  begin_on_a_quiet_line(link, budget.quiet_cap(quiet_wait_cap(link), kIdentifyAttempts, true));
  ReachTries tries;
  for (int attempt = 0; attempt < kIdentifyAttempts && !link.cancelled(); ++attempt) {
    if (attempt > 0 && link.lost()) {
      if (const Result<> taken = take_up_line_for_next_try(); !taken) {
        tries.not_taken_up = taken.error().reason;
        break;
      }
    }
    link.drop_pending_input();
    ++tries.made;
    const wire::Result<> result = identify(link, Side::customer, ids_);
    if (result) {
      lost_ = false;
      remote_dir_.clear();
      return {};
    }
    // No wait for quiet on a line that has gone: the next try takes it up anew.
    const bool last = attempt + 1 == kIdentifyAttempts;
    if (!link.lost() && !last && !link.cancelled()) wait_before_next_try(link, budget, attempt, result.error());
    if (link.lost()) {
      ++tries.lost;
      tries.loss = why_lost(link, device_);
    }
  }
  return fail(Kind::no_service, no_service_detail(tries));
}

std::chrono::nanoseconds longest_wait_for_service(const Link& link) {
  // Each try waits a time limit for the answer once its frame has crossed,
  // and for a quiet line (settle) between them; after the first, the
  // sign-off waits a time limit for its answer and a frame gap of quiet.
  return kIdentifyAttempts * identification_time(link) + (kIdentifyAttempts - 1) * settle_quiet(link) +
         sign_off_time(link);
}

}  // namespace quorvantix::session
