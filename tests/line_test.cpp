// The host's lines, opened as the programs open them: terminal devices (a
// pseudo-terminal, the test playing the far end on its master) and TCP. Kept
// few and quick: a tick of 1 ms makes a time limit 105 ms.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>

#include "support/pty_pair.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

const Bytes kEveryByte = pattern_bytes(256);  // every byte value once

termios settings_of(int fd) { termios settings{}; tcgetattr(fd, &settings); return settings; }

struct PtyLine : ::testing::Test {
  // The line as another program may have left it: two stop bits, flow control, echo (a pty keeps 8 bits, no parity).
  void SetUp() override {
    cooked.c_cflag |= CSTOPB | CRTSCTS;
    cooked.c_iflag |= IXON | IXOFF | ICRNL;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &cooked), 0);
    ASSERT_EQ(allocport(link, 0, pty.slave_path().c_str()), PORT_OK) << link.last_error();
  }
  platform::SteadyClock clock{milliseconds(1)};
  PtyPair pty;
  Link link{clock};
  termios cooked = settings_of(pty.slave());
};

}  // namespace

TEST_F(PtyLine, IsHeldAloneRaw8N1WithoutFlowControlAtTheRatesItTakesAndGetsItsOwnSettingsBackOnClose) {
  Link second(clock);
  EXPECT_EQ(allocport(second, 0, pty.slave_path().c_str()), PORT_OPEN_FAILED);
  EXPECT_EQ(second.last_error(), "open(" + pty.slave_path() + "): the line is in use by another program");
  const termios raw = settings_of(pty.slave());
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), tcflag_t{CS8 | CLOCAL | CREAD});
  EXPECT_EQ((raw.c_iflag & (IXON | IXOFF | IXANY | ICRNL)) | (raw.c_lflag & (ICANON | ECHO | ISIG)), 0u);
  const struct { const char* rate; long result; speed_t speed; } changes[] = {{"9600", PORT_OK, B9600},
      {"19200", PORT_OK, B19200}, {"0", PORT_PARAMS_FAILED, B19200}, {"12345678901", PORT_PARAMS_FAILED, B19200}};
  for (const auto& change : changes) {
    EXPECT_EQ(set_baud_rate(link, change.rate), change.result) << change.rate;
    const termios now = settings_of(pty.slave());
    EXPECT_EQ(cfgetospeed(&now), change.speed) << change.rate;
  }
  freeport(link, 0);
  EXPECT_EQ(settings_of(pty.slave()).c_cflag, cooked.c_cflag);
}

TEST_F(PtyLine, FramesCrossByteForByte) {
  pty.send(frame_of(kEveryByte));
  Bytes got(257);
  EXPECT_TRUE(receive_data(link, got.data(), 256) == LINK_OK && Bytes(got.begin(), got.end() - 1) == kEveryByte);
  pty.send({NAK});
  EXPECT_EQ(send_data(link, reinterpret_cast<const char*>(kEveryByte.data()), 256), LINK_NOT_ACKED);
  EXPECT_EQ(pty.receive(259), frame_of(kEveryByte));
}

TEST_F(PtyLine, AClosedFarEndIsLostAndTimesOutWithoutSpinning) {
  UBYTE data[11];
  EXPECT_EQ(receive_data(link, data, 10), LINK_TIMEOUT);
  EXPECT_FALSE(link.lost()) << "a silent far end is still there";
  pty.hang_up();
  const auto wall_start = steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  EXPECT_EQ(receive_data(link, data, 10), LINK_TIMEOUT);
  const nanoseconds wall = steady_clock::now() - wall_start;
  EXPECT_TRUE(link.lost() && wall >= time_limit(link));
  EXPECT_LT(duration<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC, wall / 2);
}

// Names become paths, and a line that cannot be had is refused with the object
// and the cause (names whose opening depends on the machine are only mapped).
TEST(HostLines, NamesBecomePathsAndRefusalsSayWhy) {
  const struct { const char *device; long unit; const char *path, *error; } rows[] = {
      {"serial.device", 3, "/dev/ttyS3", ""}, {"usbserial.device", 0, "/dev/ttyUSB0", ""},
      {"acm.device", 12, "/dev/ttyACM12", ""},
      {"/nonexistent", 5, "/nonexistent", "open(/nonexistent): No such file or directory"},
      {"/dev/null", 0, "/dev/null", "open(/dev/null): not a terminal device"},
      {"serial.device", -1, "", "unit -1 of serial.device does not exist"}, {"modem.device", 0, "", "unknown device"},
      {"/dev/serial/by-id/usb-adapter0", 0, "", "device name '/dev/serial/by-id/usb-adapter0' is longer than 29"},
      {"tcp:127.0.0.1:0", 0, "tcp:127.0.0.1:0", "tcp:127.0.0.1:0: give the line as tcp:HOST:PORT, with a port from 1"},
      {"tcp::2323", -4, "tcp::2323", "tcp::2323: give the line as tcp:HOST:PORT"},
      {"tcp-listen:telnet", 0, "tcp-listen:telnet", "tcp-listen:telnet: give the line as tcp-listen:PORT or"},
      {"tcp:127.0.0.1:1", 0, "tcp:127.0.0.1:1", "connect(tcp:127.0.0.1:1): Connection refused"}};
  platform::SteadyClock clock(milliseconds(1));
  for (const auto& row : rows) {
    std::string error;
    EXPECT_EQ(platform::device_path(row.device, row.unit, error), row.path) << row.device;
    Link link(clock);
    const bool refused = *row.error != '\0' && allocport(link, row.unit, row.device) == PORT_OPEN_FAILED;
    EXPECT_TRUE(*row.error == '\0' || (refused && link.last_error().starts_with(row.error))) << link.last_error();
  }
}

TEST(TcpLine, CarriesEveryByteBothWaysAndNoticesAPeerThatLeaves) {
  platform::SteadyClock clock(milliseconds(1));
  Link listener(clock), caller(clock);
  int port = 20000 + getpid() % 20000;
  while (allocport(listener, 0, ("tcp-listen:127.0.0.1:" + std::to_string(port)).c_str()) != PORT_OK) ++port;
  ASSERT_EQ(allocport(caller, 0, ("tcp:127.0.0.1:" + std::to_string(port)).c_str()), PORT_OK) << caller.last_error();
  EXPECT_TRUE(write_raw(caller, kEveryByte) && read_raw(listener, 256) == kEveryByte);
  EXPECT_TRUE(write_raw(listener, kEveryByte) && read_raw(caller, 256) == kEveryByte);
  freeport(caller, 0);
  EXPECT_TRUE(read_raw(listener, 1).empty());
  EXPECT_TRUE(listener.lost());
}
