#include "linesim/cable.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "lines/line_speed.h"
#include "linesim/lane.h"

namespace quorvantix::linesim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A pty master does not always say when its far end has made room again.
constexpr milliseconds kBlockedRetry{20};

std::string describe_errno(const std::string& call, const std::string& object) {
  return call + "(" + object + "): " + std::strerror(errno);
}

// Raw, at the speed a line has before a program sets one.
bool make_raw(int fd, const std::string& name, std::string& error) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    error = describe_errno("tcgetattr", name);
    return false;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    error = describe_errno("tcsetattr", name);
    return false;
  }
  return true;
}

bool add_flags(int fd, int get, int set, int flags, const std::string& name, std::string& error) {
  const int current = fcntl(fd, get);
  if (current < 0 || fcntl(fd, set, current | flags) != 0) {
    error = describe_errno("fcntl", name);
    return false;
  }
  return true;
}

// Points `link_path` at `target`, through a rename so that a program looking
// at the path never finds it missing.
bool place_link(const std::string& target, const std::string& link_path, std::string& error) {
  struct stat existing {};
  if (lstat(link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    error = link_path + " exists and is not a symlink; not replacing it";
    return false;
  }
  const std::string temporary = link_path + ".linesim-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) {
    error = describe_errno("symlink", temporary);
    return false;
  }
  if (rename(temporary.c_str(), link_path.c_str()) != 0) {
    error = describe_errno("rename", link_path);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string link_target(const std::string& link_path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(link_path.c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

// --- CableEnd ---

CableEnd::CableEnd(host::UniqueFd master, host::UniqueFd slave, std::string slave_name,
                   std::string link_path)
    : master_(std::move(master)),
      slave_(std::move(slave)),
      slave_name_(std::move(slave_name)),
      link_path_(std::move(link_path)) {}

std::unique_ptr<CableEnd> CableEnd::open(const std::string& link_path, std::string& error) {
  int master_fd = -1;
  int slave_fd = -1;
  char name[PATH_MAX] = {};
  if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
    error = describe_errno("openpty", link_path);
    return nullptr;
  }
  host::UniqueFd master(master_fd);
  host::UniqueFd slave(slave_fd);
  const bool ready = add_flags(master_fd, F_GETFD, F_SETFD, FD_CLOEXEC, name, error) &&
                     add_flags(slave_fd, F_GETFD, F_SETFD, FD_CLOEXEC, name, error) &&
                     add_flags(master_fd, F_GETFL, F_SETFL, O_NONBLOCK, name, error) &&
                     make_raw(master_fd, name, error) && make_raw(slave_fd, name, error) &&
                     place_link(name, link_path, error);
  if (!ready) return nullptr;
  return std::unique_ptr<CableEnd>(new CableEnd(std::move(master), std::move(slave), name, link_path));
}

CableEnd::~CableEnd() {
  if (link_target(link_path_) == slave_name_) unlink(link_path_.c_str());
}

LineSpeeds CableEnd::speeds() const {
  long output = 0;
  long input = 0;
  std::string ignored;
  if (lines::read_speeds(slave_.get(), output, input, ignored) && output > 0) {
    speeds_ = LineSpeeds{output, input > 0 ? input : output};
  }
  return speeds_;
}

// --- Cable ---

namespace {

constexpr unsigned kStreamAToB = 0;
constexpr unsigned kStreamBToA = 1;

bool faults_act_on(FaultDirections directions, unsigned stream) {
  switch (directions) {
    case FaultDirections::both:
      return true;
    case FaultDirections::a_to_b:
      return stream == kStreamAToB;
    case FaultDirections::b_to_a:
      return stream == kStreamBToA;
  }
  return false;
}

std::unique_ptr<Lane> make_lane(const Options& options, const CableEnd& from, const CableEnd& to, unsigned stream) {
  const bool faulted = faults_act_on(options.fault_directions, stream);
  std::optional<Stall> stall;
  if (faulted && options.stall_after_bytes) stall = Stall{*options.stall_after_bytes, options.stall};
  return std::make_unique<Lane>(from, to, options.pacing, options.baud, options.delivery,
                                FaultInjector(faulted ? options.rates : FaultRates{}, options.seed, stream,
                                              faulted ? options.flip_from : SpeedFlips{}), stall,
                                options.latency);
}

timespec timespec_of(nanoseconds length) {
  length = std::max(length, nanoseconds::zero());
  return timespec{static_cast<time_t>(length.count() / 1'000'000'000), static_cast<long>(length.count() % 1'000'000'000)};
}

short events_for(const Lane& outgoing, const Lane& incoming) {
  short events = 0;
  if (outgoing.has_room()) events |= POLLIN;
  if (incoming.waits_for_room()) events |= POLLOUT;
  return events;
}

}  // namespace

Cable::Cable(const Options& options, std::unique_ptr<CableEnd> a, std::unique_ptr<CableEnd> b)
    : end_a_(std::move(a)),
      end_b_(std::move(b)),
      a_to_b_(make_lane(options, *end_a_, *end_b_, kStreamAToB)),
      b_to_a_(make_lane(options, *end_b_, *end_a_, kStreamBToA)),
      turnaround_bytes_(std::max<std::uint64_t>(options.turnaround_bytes, 1)) {}

Cable::~Cable() = default;

std::unique_ptr<Cable> Cable::open(const Options& options, std::string& error) {
  auto a = CableEnd::open(options.path_a, error);
  if (!a) return nullptr;
  auto b = CableEnd::open(options.path_b, error);
  if (!b) return nullptr;
  return std::unique_ptr<Cable>(new Cable(options, std::move(a), std::move(b)));
}

bool Cable::run(int stop_fd, std::string& error) {
  while (true) {
    const TimePoint now = Clock::now();
    if (!a_to_b_->hand_over_due(now, error) || !b_to_a_->hand_over_due(now, error)) return false;

    std::optional<TimePoint> wake;
    for (const auto& due : {a_to_b_->next_wake(now), b_to_a_->next_wake(now)}) {
      if (due && (!wake || *due < *wake)) wake = due;
    }
    if (a_to_b_->waits_for_room() || b_to_a_->waits_for_room()) {
      wake = std::min(wake.value_or(TimePoint::max()), now + kBlockedRetry);
    }
    std::optional<timespec> timeout;
    if (wake) timeout = timespec_of(*wake - now);

    pollfd watched[] = {
        {stop_fd, POLLIN, 0},
        {end_a_->master(), events_for(*a_to_b_, *b_to_a_), 0},
        {end_b_->master(), events_for(*b_to_a_, *a_to_b_), 0},
    };
    if (ppoll(watched, 3, timeout ? &*timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      error = std::string("ppoll: ") + std::strerror(errno);
      return false;
    }
    if (watched[0].revents != 0) return true;
    const TimePoint read_at = Clock::now();
    // Anything but room to write (data, or an error a read will name) means read.
    if ((watched[1].revents & ~POLLOUT) && !take_in(*a_to_b_, *b_to_a_, turnarounds_[0], read_at, error)) return false;
    if ((watched[2].revents & ~POLLOUT) && !take_in(*b_to_a_, *a_to_b_, turnarounds_[1], read_at, error)) return false;
  }
}

// An end that writes after it was handed all that was sent to it answers:
// the time since is its turnaround.
bool Cable::take_in(Lane& outgoing, Lane& incoming, std::vector<nanoseconds>& turnarounds, TimePoint at,
                    std::string& error) {
  const std::uint64_t before = outgoing.queued_total();
  if (!outgoing.take_in(at, error)) return false;
  if (outgoing.queued_total() == before) return true;
  const auto emptied = incoming.emptied_at();
  if (emptied && incoming.handed_since_forgotten() >= turnaround_bytes_) turnarounds.push_back(at - *emptied);
  incoming.forget_emptied();
  return true;
}

CableCounts Cable::counts() const {
  CableCounts counts;
  counts.a_to_b_bytes = a_to_b_->delivered();
  counts.b_to_a_bytes = b_to_a_->delivered();
  counts.faults = a_to_b_->fault_counts();
  counts.faults += b_to_a_->fault_counts();
  counts.stalls = a_to_b_->stalls() + b_to_a_->stalls();
  counts.misread = a_to_b_->sent_at_other_speed() + b_to_a_->sent_at_other_speed();
  return counts;
}

std::string turnaround_line(const std::string& end, std::vector<nanoseconds> turnarounds) {
  if (turnarounds.empty()) return "linesim: " + end + " never answered";
  std::sort(turnarounds.begin(), turnarounds.end());
  const auto ms = [](nanoseconds length) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(length.count()) / 1e6);
    return std::string(text);
  };
  const auto within = [&](std::size_t percent) {
    return ", " + std::to_string(percent) + " % within " + ms(turnarounds[(turnarounds.size() * percent + 99) / 100 - 1]);
  };
  return "linesim: " + end + " answered " + std::to_string(turnarounds.size()) + " times: median " +
         ms(turnarounds[turnarounds.size() / 2]) + within(90) + within(99) + ", at most " + ms(turnarounds.back());
}

std::string summary_line(const CableCounts& counts) {
  return "linesim: a->b " + std::to_string(counts.a_to_b_bytes) + " bytes, b->a " +
         std::to_string(counts.b_to_a_bytes) + " bytes; flipped " + std::to_string(counts.faults.flipped) +
         ", dropped " + std::to_string(counts.faults.dropped) + ", inserted " +
         std::to_string(counts.faults.inserted) + ", stalls " + std::to_string(counts.stalls) + ", misread " +
         std::to_string(counts.misread);
}

}  // namespace quorvantix::linesim
