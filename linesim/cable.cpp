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
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "linesim/pacer.h"

namespace linesim {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// What one direction may hold while the far end does not read. Past it the
// simulator stops reading the near end, and its writer feels the pty fill up.
constexpr std::size_t kQueueLimitBytes = 1 << 20;
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Waking the poll loop for every byte at high rates would cost more than it
// shows; below this, bytes leave in small bursts, as from a UART's FIFO.
constexpr nanoseconds kShortestWait = std::chrono::microseconds(500);
// A pty master does not always say when its far end has made room again.
constexpr milliseconds kBlockedRetry{20};

std::string describe_errno(const std::string& call, const std::string& object) {
  return call + "(" + object + "): " + std::strerror(errno);
}

bool make_raw(int fd, const std::string& name, std::string& error) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    error = describe_errno("tcgetattr", name);
    return false;
  }
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
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

CableEnd::CableEnd(platform::UniqueFd master, platform::UniqueFd slave, std::string slave_name,
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
  platform::UniqueFd master(master_fd);
  platform::UniqueFd slave(slave_fd);
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

// --- Lane: one direction of the cable ---

class Lane {
 public:
  Lane(const CableEnd& from, const CableEnd& to, FaultInjector faults, Pacer pacer, nanoseconds latency)
      : from_(from), to_(to), faults_(std::move(faults)), pacer_(pacer), latency_(latency), scratch_(kReadChunkBytes) {}

  bool has_room() const { return queued_bytes_ < kQueueLimitBytes; }
  bool waits_for_room() const { return far_end_full_; }
  std::uint64_t delivered() const { return delivered_; }
  const FaultCounts& fault_counts() const { return faults_.counts(); }
  std::uint64_t stalls() const { return pacer_.stalls(); }

  // Reads what the near end has written, as far as there is room.
  bool take_in(TimePoint now, std::string& error) {
    while (has_room()) {
      const std::size_t room = std::min(scratch_.size(), kQueueLimitBytes - queued_bytes_);
      const ssize_t count = ::read(from_.master(), scratch_.data(), room);
      if (count > 0) {
        enqueue(now, std::span<const std::uint8_t>(scratch_.data(), static_cast<std::size_t>(count)));
        continue;
      }
      if (count < 0 && errno == EINTR) continue;
      if (count == 0 || errno == EAGAIN) return true;
      error = describe_errno("read", from_.slave_name());
      return false;
    }
    return true;
  }

  // Hands the far end every byte that has crossed the line by `now`, as far as
  // its pty takes them.
  bool hand_over_due(TimePoint now, std::string& error) {
    far_end_full_ = false;
    while (!queue_.empty()) {
      Chunk& chunk = queue_.front();
      const std::size_t due = pacer_.bytes_due(now, chunk.eligible, chunk.bytes.size() - chunk.sent);
      if (due == 0) return true;
      const ssize_t written = ::write(to_.master(), chunk.bytes.data() + chunk.sent, due);
      if (written < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return far_end_full_ = true;
        error = describe_errno("write", to_.slave_name());
        return false;
      }
      const auto moved = static_cast<std::size_t>(written);
      pacer_.hand_over(chunk.eligible, moved);
      chunk.sent += moved;
      delivered_ += moved;
      queued_bytes_ -= moved;
      if (chunk.sent == chunk.bytes.size()) queue_.pop_front();
      if (moved < due) return far_end_full_ = true;
    }
    return true;
  }

  // When bytes will next be due; nothing when none wait, or when they wait
  // for room at the far end rather than for time.
  std::optional<TimePoint> next_due() const {
    if (queue_.empty() || far_end_full_) return std::nullopt;
    return pacer_.next_due(queue_.front().eligible);
  }

 private:
  struct Chunk {
    TimePoint eligible;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
  };

  void enqueue(TimePoint now, std::span<const std::uint8_t> bytes) {
    Chunk chunk{now + latency_, {}, 0};
    if (faults_.active()) {
      chunk.bytes.reserve(bytes.size() + bytes.size() / 8 + 16);
      faults_.pass(bytes, chunk.bytes);
    } else {
      chunk.bytes.assign(bytes.begin(), bytes.end());
    }
    if (chunk.bytes.empty()) return;
    queued_bytes_ += chunk.bytes.size();
    queue_.push_back(std::move(chunk));
  }

  const CableEnd& from_;
  const CableEnd& to_;
  FaultInjector faults_;
  Pacer pacer_;
  nanoseconds latency_;
  std::vector<std::uint8_t> scratch_;
  std::deque<Chunk> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t delivered_ = 0;
  bool far_end_full_ = false;
};

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
  return std::make_unique<Lane>(from, to, FaultInjector(faulted ? options.rates : FaultRates{}, options.seed, stream),
                                Pacer(options.baud, stall), options.latency);
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
      b_to_a_(make_lane(options, *end_b_, *end_a_, kStreamBToA)) {}

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
    for (const auto& due : {a_to_b_->next_due(), b_to_a_->next_due()}) {
      if (due && (!wake || *due < *wake)) wake = due;
    }
    if (a_to_b_->waits_for_room() || b_to_a_->waits_for_room()) {
      wake = std::min(wake.value_or(TimePoint::max()), now + kBlockedRetry);
    }
    std::optional<timespec> timeout;
    if (wake) timeout = timespec_of(std::max(*wake - now, kShortestWait));

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
    if ((watched[1].revents & ~POLLOUT) && !a_to_b_->take_in(read_at, error)) return false;
    if ((watched[2].revents & ~POLLOUT) && !b_to_a_->take_in(read_at, error)) return false;
  }
}

CableCounts Cable::counts() const {
  CableCounts counts;
  counts.a_to_b_bytes = a_to_b_->delivered();
  counts.b_to_a_bytes = b_to_a_->delivered();
  counts.faults = a_to_b_->fault_counts();
  counts.faults += b_to_a_->fault_counts();
  counts.stalls = a_to_b_->stalls() + b_to_a_->stalls();
  return counts;
}

std::string summary_line(const CableCounts& counts) {
  return "linesim: a->b " + std::to_string(counts.a_to_b_bytes) + " bytes, b->a " +
         std::to_string(counts.b_to_a_bytes) + " bytes; flipped " + std::to_string(counts.faults.flipped) +
         ", dropped " + std::to_string(counts.faults.dropped) + ", inserted " +
         std::to_string(counts.faults.inserted) + ", stalls " + std::to_string(counts.stalls);
}

}  // namespace linesim
