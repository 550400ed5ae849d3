// quorvantix-customer doctor through the line simulator, one far end for
// each finding, and the speed search against a reference service whose top
// speed fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "session/doctor.h"
#include "tests/support/fixtures.h"
#include "tests/support/reference_peer.h"
#include "tests/support/running.h"

using namespace quorvantix;
using namespace quorvantix::testsupport;
using namespace std::chrono_literals;

namespace {

// A far end that sends back what it reads, at its own speed: a loopback plug
// (at ours), or a terminal program with echo on.
class Echo {
 public:
  Echo(const std::string& path, speed_t speed) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, speed);
    tcsetattr(fd_, TCSANOW, &settings);
    thread_ = std::thread([this] {
      char bytes[256];
      pollfd watch{fd_, POLLIN, 0};
      while (!done_) {
        if (poll(&watch, 1, 50) <= 0) continue;
        const ssize_t got = read(fd_, bytes, sizeof bytes);
        if (got > 0) (void)!write(fd_, bytes, static_cast<std::size_t>(got));
      }
    });
  }
  ~Echo() {
    done_ = true;
    thread_.join();
    ::close(fd_);
  }

 private:
  int fd_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct Doctor : testing::Test {
  void SetUp() override {
    for (int file = 0; file < 30; ++file) write_file(remote / ("file" + std::to_string(file)), Bytes(100, 'x'));
  }
  void cable(Strings extra = {}) {
    Strings words{QUORVANTIX_LINESIM_BINARY, "--a", dir / "a", "--b", dir / "b"};
    words.insert(words.end(), extra.begin(), extra.end());
    linesim = std::make_unique<Running>(words, dir.path());
    ASSERT_TRUE(linesim->says("linesim: "));
  }
  void serve() {
    service = std::make_unique<Running>(Strings{QUORVANTIX_SERVICE_BINARY, dir / "a", "0"}, remote.path());
    ASSERT_TRUE(service->says("Service is ready\n"));
  }
  std::pair<int, std::string> doctor(Strings extra = {}) {
    Strings words{"env", "XDG_CONFIG_HOME=" + dir / "config", QUORVANTIX_CUSTOMER_BINARY, "doctor", dir / "b"};
    words.insert(words.end(), extra.begin(), extra.end());
    Running run(words, dir.path());
    const int status = run.end();
    return {status, run.seen};
  }
  TempDir dir, remote;
  std::unique_ptr<Running> linesim, service;
};

// Each finding, named, in the one sentence the doctor says.
TEST_F(Doctor, NamesWhatIsAtTheFarEnd) {
  cable();
  const struct {
    speed_t echo;  // 0: no echo
    bool service;
    std::string says;
    int status;
  } rows[] = {
      {0, false, "Nothing comes back on", 3},          {B9600, false, "comes straight back", 3},
      {B19200, false, "runs at 19200 baud, not", 3},    {B115200, false, "runs at 115200 baud, not", 3},
      {0, true, "serving " + remote.path(), 0},
  };
  for (const auto& row : rows) {
    std::unique_ptr<Echo> echo;
    if (row.echo != 0) echo = std::make_unique<Echo>(dir / "a", row.echo);
    if (row.service) serve();
    const auto [status, seen] = doctor();
    EXPECT_EQ(status, row.status) << seen;
    EXPECT_TRUE(has(seen, row.says)) << seen;
  }
}

// Errors that rise with the speed: the search settles on the last speed
// without them, writes it to the settings file, and signs off.
TEST_F(Doctor, SettlesOnTheFastestSpeedTheLineHolds) {
  cable({"--flip-from", "57600:0.05"});
  serve();
  const auto [status, seen] = doctor({"--save"});
  EXPECT_EQ(status, 0) << seen;
  EXPECT_TRUE(has(seen, "The line holds 38400 baud.")) << seen;
  const Bytes conf = read_file(dir / "config/quorvantix/customer.conf");
  EXPECT_EQ(std::string(conf.begin(), conf.end()), "baud = 38400\n");
  EXPECT_TRUE(service->says("Customer Terminierung empfangen"));
}

// A reference service whose answers at 115200 all come damaged: the search
// goes back to 57600, where the service still answers.
TEST(DoctorWithReference, LeavesTheServiceWhereItCanBeReached) {
  Served s;
  ReferencePeer service(s.pair.cable, SimCable::a, s.pair.clock);
  for (int file = 0; file < 10; ++file) service.disk.files["f" + std::to_string(file)] = Bytes(10, 'x');
  reference_line(s.pair.cable, SimCable::b);
  s.pair.cable.follow_speeds();
  s.pair.cable.tamper(SimCable::a, [&](std::size_t, std::uint8_t byte) {
    const auto& speeds = s.pair.cable.speeds(SimCable::a);
    return Bytes{static_cast<std::uint8_t>(!speeds.empty() && speeds.back() == 115200 ? byte ^ 0x10 : byte)};
  });
  session::SpeedSearch search;
  bool reached = false;
  s.pair.clock.run([&] {
    ASSERT_TRUE(ok(s.session.reach_service()));
    search = session::find_fastest_speed(s.session, 20);
    reached = s.session.remote_pwd().ok();
  }, {[&] { service.serve(); }});
  ASSERT_EQ(search.trials.size(), 5U);
  EXPECT_FALSE(search.trials.back().holds());
  EXPECT_EQ(search.settled, 57600);
  EXPECT_TRUE(reached);
  EXPECT_EQ(s.pair.cable.speeds(SimCable::a).back(), 57600);
}

}  // namespace
