#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "host/clock.h"
#include "host/errno_text.h"
#include "host/fd_wait.h"
#include "host/unique_fd.h"
#include "lines/line_lock.h"
#include "lines/line_speed.h"
#include "lines/low_latency.h"
#include "lines/rfc2217_line.h"
#include "lines/serial_line.h"
#include "lines/tcp_line.h"

namespace quorvantix::lines {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// How long closing waits for the last bytes (the final ACK) to leave before the
// saved settings go back on the port.
constexpr milliseconds kCloseDrainLimit{500};

// One message whichever lock showed that another program has the line.
std::string in_use(const std::string& path) { return "open(" + path + "): the line is in use by another program"; }

struct StandardRate {
  long baud;
  speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool standard_rate(long baud, speed_t& code) {
  for (const auto& rate : kStandardRates) {
    if (rate.baud == baud) {
      code = rate.code;
      return true;
    }
  }
  return false;
}

// A terminal device (a serial port, a pty, an adapter) in raw 8N1 without flow
// control, opened for exclusive use and given back its settings on close.
class TtyLine final : public Line {
 public:
  static std::unique_ptr<TtyLine> open(const std::string& path, const std::string& lock_directory,
                                       std::string& error) {
    // Two programs on one line corrupt each other's frames. The lock file
    // comes first: a program that keeps to lock files alone must not see its
    // line opened (and its modem lines moved) under it.
    LineLockFile::Outcome locked = LineLockFile::Outcome::none;
    LineLockFile lock_file = LineLockFile::take(lock_directory, path, locked);
    if (locked == LineLockFile::Outcome::busy) {
      error = in_use(path);
      return nullptr;
    }
    if (locked == LineLockFile::Outcome::refused) {
      error = "open(" + path + "): " + line_lock_file_name(lock_directory, path) +
              " is not a lock file (no regular file); remove it to use the line";
      return nullptr;
    }
    host::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
      // EBUSY: another program holds the line with TIOCEXCL.
      error = errno == EBUSY ? in_use(path) : host::describe_errno("open", path);
      return nullptr;
    }
    if (!isatty(fd.get())) {
      error = "open(" + path + "): not a terminal device";
      return nullptr;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? in_use(path) : host::describe_errno("flock", path);
      return nullptr;
    }
    if (ioctl(fd.get(), TIOCEXCL) != 0) {
      error = host::describe_errno("TIOCEXCL", path);
      return nullptr;
    }
    termios saved{};
    if (tcgetattr(fd.get(), &saved) != 0) {
      error = host::describe_errno("tcgetattr", path);
      return nullptr;
    }
    // Whatever sat in the input before we came belongs to nobody.
    tcflush(fd.get(), TCIFLUSH);
    const bool wire = !is_pty(fd.get());
    return std::unique_ptr<TtyLine>(new TtyLine(std::move(lock_file), std::move(fd), path, saved, wire));
  }

  ~TtyLine() override {
    drain_output_briefly();
    tcsetattr(fd_.get(), TCSANOW, &saved_);
    ioctl(fd_.get(), TIOCNXCL);
  }

  long read_some(std::uint8_t* into, std::size_t count) override {
    return note(::read(fd_.get(), into, count));
  }

  long write_some(const std::uint8_t* from, std::size_t count) override {
    return note(::write(fd_.get(), from, count));
  }

  void discard_output() override { tcflush(fd_.get(), TCOFLUSH); }

  std::size_t output_queued() const override {
    int queued = 0;
    if (!wire_ || ioctl(fd_.get(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
  }

  void wait_ready(Direction direction, nanoseconds limit) override {
    if (failed_) {
      host::sleep_on_system_clock(limit);
      return;
    }
    // No descriptor event tells when the output has drained: sleep for the
    // wire time of what is queued, then look again.
    if (const std::size_t queued = direction == Direction::out ? output_queued() : 0; queued > 0) {
      host::sleep_on_system_clock(std::min(limit, std::max<nanoseconds>(queued * byte_time(), milliseconds(1))));
      return;
    }
    const short wanted = direction == Direction::in ? POLLIN : POLLOUT;
    const short came = host::wait_for_fd(fd_.get(), wanted, limit);
    // Gone (the adapter pulled, the far end of a pty closed): the link learns
    // it at once, and later waits sleep.
    if ((came & (POLLHUP | POLLERR | POLLNVAL)) && !(came & wanted)) failed_ = true;
  }

  bool lost() const override { return failed_; }

  bool set_speed(long baud, std::string& error) override {
    if (!apply_speed(baud, error)) return false;
    baud_ = baud;
    return true;
  }

 private:
  TtyLine(LineLockFile lock_file, host::UniqueFd fd, std::string path, const termios& saved, bool wire)
      : lock_file_(std::move(lock_file)), fd_(std::move(fd)), path_(std::move(path)), saved_(saved), wire_(wire) {}

  // Unix98 pseudo-terminal slaves: bytes written to them have no wire to cross.
  static bool is_pty(int fd) {
    constexpr unsigned kFirstPtyMajor = 136;
    constexpr unsigned kLastPtyMajor = 143;
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    return major(st.st_rdev) >= kFirstPtyMajor && major(st.st_rdev) <= kLastPtyMajor;
  }

  // Ten bit times: a start bit, eight data bits, a stop bit.
  nanoseconds byte_time() const { return nanoseconds(10'000'000'000LL / std::max(baud_, 1L)); }

  bool apply_speed(long baud, std::string& error) {
    termios before{};
    if (tcgetattr(fd_.get(), &before) != 0) {
      error = host::describe_errno("tcgetattr", path_);
      return false;
    }
    termios wanted = raw_8n1(before);
    speed_t code{};
    const bool standard = standard_rate(baud, code);
    if (standard) {
      cfsetispeed(&wanted, code);
      cfsetospeed(&wanted, code);
    }
    // TCSADRAIN: what was written at the old speed (the ACK of a speed change)
    // leaves at the old speed.
    if (tcsetattr(fd_.get(), TCSADRAIN, &wanted) != 0) {
      error = host::describe_errno("tcsetattr", path_);
      tcsetattr(fd_.get(), TCSANOW, &before);
      return false;
    }
    if (!standard && !set_arbitrary_speed(fd_.get(), baud, error)) {
      error = path_ + ": " + error;
      tcsetattr(fd_.get(), TCSANOW, &before);
      return false;
    }
    if (standard && !speed_kept(code)) {
      error = path_ + ": the port does not take " + std::to_string(baud) + " baud";
      tcsetattr(fd_.get(), TCSANOW, &before);
      return false;
    }
    return true;
  }

  static termios raw_8n1(termios settings) {
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    // With O_NONBLOCK, VMIN 1 makes an empty read say EAGAIN, so that 0 means
    // the line has hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return settings;
  }

  bool speed_kept(speed_t code) const {
    termios applied{};
    return tcgetattr(fd_.get(), &applied) == 0 && cfgetospeed(&applied) == code;
  }

  // A line that hangs up, errs or reaches its end stays failed until bytes move
  // again; wait_ready then sleeps instead of polling a descriptor that is
  // always "ready".
  long note(ssize_t result) {
    if (result > 0) {
      failed_ = false;
      return result;
    }
    if (result < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    failed_ = true;
    return -1;
  }

  void drain_output_briefly() {
    const nanoseconds deadline = host::system_now() + kCloseDrainLimit;
    while (output_queued() > 0 && host::system_now() < deadline) host::sleep_on_system_clock(milliseconds(5));
  }

  LineLockFile lock_file_;  // goes last, once the line is closed
  host::UniqueFd fd_;
  std::string path_;
  termios saved_;
  bool wire_;  // a serial port, where written bytes take their time to leave
  long baud_ = 9600;
  bool failed_ = false;
  LowLatency low_latency_{fd_.get(), path_};
};

std::string unit_path(const std::string& prefix, long unit) {
  return prefix + std::to_string(unit);
}

bool is_path(const std::string& device) { return !device.empty() && device.front() == '/'; }

// Names of lines on the network, kept as they are.
bool is_network_name(const std::string& device) { return is_tcp_line_name(device) || is_rfc2217_line_name(device); }

bool is_device_name(const std::string& device) {
  return device == "serial.device" || device == "usbserial.device" || device == "acm.device";
}

std::unique_ptr<Line> open_line_locked_in(const std::string& device, long unit, std::string& error,
                                          const std::string& lock_directory, const ListenRules& rules) {
  const std::string path = device_path(device, unit, error);
  if (path.empty()) return nullptr;
  if (is_tcp_line_name(path)) return open_tcp_line(path, rules, error);
  if (is_rfc2217_line_name(path)) return open_rfc2217_line(path, error);
  return TtyLine::open(path, lock_directory, error);
}

}  // namespace

bool names_a_device(const std::string& device) {
  return is_path(device) || is_network_name(device) || is_device_name(device);
}

std::string device_path(const std::string& device, long unit, std::string& error) {
  if (is_path(device)) return device;
  if (is_network_name(device)) return device;
  if (unit < 0) {
    error = "unit " + std::to_string(unit) + " of " + device + " does not exist";
    return {};
  }
  if (device == "serial.device") return unit_path("/dev/ttyS", unit);
  if (device == "usbserial.device") return unit_path("/dev/ttyUSB", unit);
  if (device == "acm.device") return unit_path("/dev/ttyACM", unit);
  error = "unknown device '" + device +
          "': give a path, tcp:HOST:PORT, tcp-listen:PORT, rfc2217:HOST:PORT, or serial.device, usbserial.device or "
          "acm.device with a unit";
  return {};
}

std::unique_ptr<Line> open_host_line(const std::string& device, long unit, std::string& error) {
  return open_line_locked_in(device, unit, error, kLockDirectory, {});
}

LineOpener host_line_opener(std::string lock_directory, ListenRules rules) {
  return [lock_directory = std::move(lock_directory), rules = std::move(rules)](const std::string& device, long unit,
                                                                               std::string& error) {
    return open_line_locked_in(device, unit, error, lock_directory, rules);
  };
}

}  // namespace quorvantix::lines
