// The link layer and the host line. The test process opens the line itself
// (allocport on a pty slave, or on a scripted FakeLine) and plays the far end.
#include <gtest/gtest.h>
#include <termios.h>
#include <time.h>

#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "io_atome.h"
#include "support/fake_line.h"
#include "support/line_probe.h"
#include "support/link_end.h"
#include "support/pty_pair.h"

using namespace testsupport;
using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

constexpr nanoseconds kTimeLimit = 2100ms;  // 21 waits of 5 ticks of 20 ms

Bytes wire(std::initializer_list<int> bytes) {
  Bytes out;
  for (int byte : bytes) out.push_back(static_cast<std::uint8_t>(byte));
  return out;
}

const char* chars(const Bytes& bytes) { return reinterpret_cast<const char*>(bytes.data()); }

std::string text_of(const UBYTE* data) { return reinterpret_cast<const char*>(data); }

// The link layer on a scripted line: time passes only while it waits.
class LinkOnFakeLine : public ::testing::Test {
 protected:
  void SetUp() override {
    auto line = std::make_unique<FakeLine>();
    fake = line.get();
    platform::testing::install_line(std::move(line));
    ASSERT_EQ(allocport(0, "/fake-line"), PORT_OK);
  }
  void TearDown() override { freeport(0); }

  FakeLine* fake = nullptr;  // owned by ioreq until freeport
};

// The link layer on a real pseudo-terminal; the test is the far end.
class LinkOnPty : public ::testing::Test {
 protected:
  ~LinkOnPty() override { platform::testing::set_tick(20ms); }

  PtyPair line;
  LinkEnd end{line, LinkEnd::Side::slave};
};

}  // namespace

TEST(CalcLpc, MovesTheExclusiveOrOffTheValues128To131) {
  const struct {
    int x;
    int check;
  } table[] = {{0, 4},     {1, 5},     {2, 6},     {3, 3},     {0x60, 0x60}, {127, 127}, {128, 132},
               {129, 133}, {200, 204}, {251, 255}, {252, 0},   {253, 1},     {254, 2},   {255, 3}};
  for (const auto& row : table) {
    const UBYTE one = static_cast<UBYTE>(row.x);
    EXPECT_EQ(calc_LPC(&one, 1), row.check) << "x = " << row.x;
  }
  for (int x = 0; x < 256; ++x) {
    const UBYTE one = static_cast<UBYTE>(x);
    const int check = calc_LPC(&one, 1);
    EXPECT_TRUE(check < 128 || check > 131) << "x = " << x;
  }
}

TEST(CalcLpc, CombinesAllBytes) {
  EXPECT_EQ(calc_LPC(wire({}).data(), 0), 4);
  EXPECT_EQ(calc_LPC(bytes_of("abc").data(), 3), 0x60);
  EXPECT_EQ(calc_LPC(wire({0x55, 0x55}).data(), 2), 4);  // exclusive-or 0, like no bytes
  EXPECT_EQ(calc_LPC(wire({0x29, '9', '6', '0', '0'}).data(), 5), 0x26);
}

// --- Frames over a real pty ---

TEST_F(LinkOnPty, SendsFramesByteForByte) {
  const struct {
    Bytes payload;
    const char* on_wire;
  } table[] = {
      {{}, "02 04 03"},
      {bytes_of("abc"), "02 61 62 63 60 03"},
      {wire({0xFE}), "02 fe 02 03"},  // the check byte equals STX
      {wire({0x80}), "02 80 84 03"},
  };
  for (const auto& row : table) {
    line.send({ACK});
    EXPECT_EQ(send_data(chars(row.payload), static_cast<long>(row.payload.size())), LINK_OK);
    EXPECT_EQ(hex(line.receive(row.payload.size() + 3)), row.on_wire);
  }
}

TEST_F(LinkOnPty, TakesOnlyAckAsAcknowledgement) {
  const struct {
    int answer;
    long result;
  } table[] = {{ACK, LINK_OK}, {NAK, LINK_NOT_ACKED}, {'f', LINK_NOT_ACKED}, {STX, LINK_NOT_ACKED}};
  for (const auto& row : table) {
    line.send(wire({row.answer}));
    EXPECT_EQ(send_data("abc", 3), row.result) << "answer " << row.answer;
    line.receive(6);
  }
}

TEST_F(LinkOnPty, ReceivesFramesByteForByte) {
  const struct {
    const char* name;
    Bytes on_wire;
    long len;
    long result;
    std::string payload;
  } table[] = {
      {"empty", wire({0x02, 0x04, 0x03}), 0, LINK_OK, ""},
      {"empty, bad check", wire({0x02, 0x05, 0x03}), 0, LINK_CHECK_ERROR, ""},
      {"abc", wire({0x02, 'a', 'b', 'c', 0x60, 0x03}), 3, LINK_OK, "abc"},
      {"start and end not looked at", wire({0xAA, 'a', 'b', 'c', 0x60, 0xBB}), 3, LINK_OK, "abc"},
      {"bad check, payload kept", wire({0x02, 'a', 'b', 'c', 0x61, 0x03}), 3, LINK_CHECK_ERROR, "abc"},
  };
  for (const auto& row : table) {
    UBYTE data[8];
    std::memset(data, 'X', sizeof data);
    line.send(row.on_wire);
    EXPECT_EQ(receive_data(data, row.len), row.result) << row.name;
    EXPECT_EQ(text_of(data), row.payload) << row.name;  // terminated after the payload
  }
}

TEST_F(LinkOnPty, CarriesAFullSizePayloadBothWays) {
  Bytes payload(kMaxPayload);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  line.send(frame(payload));
  UBYTE data[kMaxPayload + 1];
  ASSERT_EQ(receive_data(data, kMaxPayload), LINK_OK);
  EXPECT_EQ(Bytes(data, data + kMaxPayload), payload);

  line.send({ACK});
  EXPECT_EQ(send_data(chars(payload), kMaxPayload), LINK_OK);
  EXPECT_EQ(line.receive(kMaxPayload + 3), frame(payload));
}

TEST_F(LinkOnPty, ReceivesAFrameArrivingInPieces) {
  const Bytes whole = frame(bytes_of("pieces"));
  std::thread far_end([&] {
    line.send(Bytes(whole.begin(), whole.begin() + 2));
    std::this_thread::sleep_for(50ms);
    line.send(Bytes(whole.begin() + 2, whole.end() - 1));
    std::this_thread::sleep_for(50ms);
    line.send(Bytes(whole.end() - 1, whole.end()));
  });
  UBYTE data[7] = {};
  const long result = receive_data(data, 6);
  far_end.join();
  EXPECT_EQ(result, LINK_OK);
  EXPECT_EQ(text_of(data), "pieces");
}

TEST_F(LinkOnPty, TimesOutWithDataUntouched) {
  platform::testing::set_tick(1ms);
  line.send(Bytes{STX, 'a'});  // a frame that never completes
  UBYTE data[4] = {'o', 'l', 'd', 0};
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  EXPECT_EQ(text_of(data), "old");
  EXPECT_EQ(send_data("abc", 3), LINK_TIMEOUT);  // no answer comes
}

TEST_F(LinkOnPty, TimeLimitIsTwoPointOneSecondsOnTheRealClock) {
  UBYTE data[4] = {};
  const auto start = steady_clock::now();
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, kTimeLimit);
  EXPECT_LT(took, kTimeLimit + 1s);
}

TEST_F(LinkOnPty, LastAnswerSurvivesClosingTheLine) {
  // Closing must not throw away output the far end has not read yet.
  ASSERT_EQ(send_ACK(), 0);
  freeport(0);
  EXPECT_EQ(hex(line.receive(1)), "06");
}

TEST_F(LinkOnPty, OpensRaw8N1WithoutFlowControlAt9600) {
  termios settings{};
  ASSERT_EQ(tcgetattr(line.slave(), &settings), 0);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(line_speed(line.slave()), 9600);
}

TEST_F(LinkOnPty, ChangesSpeedAndKeepsTheOldOneWhenTheRateIsRefused) {
  const struct {
    const char* text;
    long result;
    long speed_after;
  } table[] = {
      {"19200", PORT_OK, 19200},      {"abc", PORT_PARAMS_FAILED, 19200},  // 0 would hang the line up
      {"-5", PORT_PARAMS_FAILED, 19200}, {"57600abc", PORT_OK, 57600},
      {"250000", PORT_OK, 250000},      {"99999999999", PORT_PARAMS_FAILED, 250000},
      {"9600", PORT_OK, 9600},
  };
  for (const auto& row : table) {
    EXPECT_EQ(set_baud_rate(row.text), row.result) << row.text;
    EXPECT_EQ(line_speed(line.slave()), row.speed_after) << row.text;
  }
  // The line still carries frames.
  line.send({ACK});
  EXPECT_EQ(send_data("abc", 3), LINK_OK);
}

TEST_F(LinkOnPty, RefusesASecondOpenOfTheSameLine) {
  IOExtSer* second = create_serial_request(hw_MsgPort);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(open_device(line.slave_path().c_str(), 0, second), 0);
  EXPECT_EQ(platform::last_line_error(), "open(" + line.slave_path() + "): the line is in use by another program");
  free_serial_request(second);
  freeport(0);
  EXPECT_EQ(allocport(0, line.slave_path().c_str()), PORT_OK) << "free again after freeport";
}

TEST(Line, DeadLineTimesOutWithoutSpinning) {
  std::optional<PtyPair> line(std::in_place);
  ASSERT_EQ(allocport(0, line->slave_path().c_str()), PORT_OK);
  line.reset();  // the far end is gone: reads fail at once from now on
  platform::testing::set_tick(5ms);

  timespec cpu_start{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_start);
  const auto start = steady_clock::now();
  UBYTE data[4] = {};
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  EXPECT_EQ(send_ACK(), LINK_TIMEOUT);
  const auto took = steady_clock::now() - start;
  timespec cpu_end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_end);
  const auto cpu = seconds(cpu_end.tv_sec - cpu_start.tv_sec) + nanoseconds(cpu_end.tv_nsec - cpu_start.tv_nsec);

  EXPECT_GE(took, 2 * 21 * 5 * 5ms) << "each operation waits out its whole limit";
  EXPECT_LT(cpu * 4, took) << "a spinning wait burns the CPU for the whole limit";
  freeport(0);
  platform::testing::set_tick(20ms);
}

TEST(Line, OpenFailuresSayWhatAndWhy) {
  const struct {
    const char* device;
    long unit;
    const char* error;
  } table[] = {
      {"/nonexistent/tty", 0, "open(/nonexistent/tty): No such file or directory"},
      {"/dev/null", 0, "open(/dev/null): not a terminal device"},
      {"floppy.device", 0, "unknown device 'floppy.device'"},
      {"/dev/a-name-of-thirty-chars-xx", 0, "longer than 29 characters"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(allocport(row.unit, row.device), PORT_OPEN_FAILED) << row.device;
    EXPECT_NE(platform::last_line_error().find(row.error), std::string::npos) << platform::last_line_error();
    EXPECT_EQ(freeport(row.unit), 0);
  }
}

TEST(Line, DevicePathFromNameAndUnit) {
  const struct {
    const char* device;
    long unit;
    const char* path;  // empty: refused
  } table[] = {
      {"/dev/pts/7", 3, "/dev/pts/7"},  // a path is opened as it is; the unit is only echoed
      {"/tmp/link-to-a-tty", -1, "/tmp/link-to-a-tty"},
      {"serial.device", 0, "/dev/ttyS0"},
      {"usbserial.device", 2, "/dev/ttyUSB2"},
      {"acm.device", 11, "/dev/ttyACM11"},
      {"serial.device", -1, ""},
      {"ttyS0", 0, ""},
      {"", 0, ""},
      {"/dev/a-name-of-twenty-nine-ch", 0, "/dev/a-name-of-twenty-nine-ch"},
      {"/dev/a-name-of-thirty-chars-xx", 0, ""},
  };
  for (const auto& row : table) {
    std::string error;
    EXPECT_EQ(platform::device_path(row.device, row.unit, error), row.path) << row.device;
    EXPECT_EQ(error.empty(), *row.path != '\0') << row.device << ": " << error;
  }
}

// --- The time limit, counted exactly on a scripted line ---

TEST_F(LinkOnFakeLine, CompletionIsNoticedWhenItHappensWithinTheLimit) {
  const struct {
    const char* name;
    nanoseconds arrival;  // after the receive starts; negative: never
    long result;
    nanoseconds took;
    int waits;
  } table[] = {
      {"complete at the first poll", 0ns, LINK_OK, 0ns, 0},
      {"noticed at once, not at the next poll", 1234ms, LINK_OK, 1234ms, 13},
      {"complete as the limit runs out", kTimeLimit, LINK_OK, kTimeLimit, 21},
      {"nothing arrives", -1ns, LINK_TIMEOUT, kTimeLimit, 21},
  };
  for (const auto& row : table) {
    const nanoseconds start = fake->clock();
    const int waits_before = fake->waits();
    if (row.arrival >= 0ns) fake->arrive(frame(bytes_of("abc")), start + row.arrival);
    UBYTE data[4] = {'o', 'l', 'd', 0};
    EXPECT_EQ(receive_data(data, 3), row.result) << row.name;
    EXPECT_EQ(fake->clock() - start, row.took) << row.name;
    EXPECT_EQ(fake->waits() - waits_before, row.waits) << row.name;
    EXPECT_EQ(text_of(data), row.result == LINK_OK ? "abc" : "old") << row.name;
  }
}

TEST_F(LinkOnFakeLine, BytesArrivingAfterTheLimitStayForTheNextReceive) {
  fake->arrive(frame(bytes_of("abc")), kTimeLimit + 1ns);
  UBYTE data[4] = {};
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  EXPECT_EQ(receive_data(data, 3), LINK_OK);
  EXPECT_EQ(text_of(data), "abc");
}

TEST_F(LinkOnFakeLine, FramedReceiveAlsoWantsStxAndEtxWhereThePlainOneLooksAtNeither) {
  const struct {
    const char* name;
    Bytes wire;
    long plain;
    long framed;
  } rows[] = {
      {"a whole frame", wire({0x02, 'a', 'b', 'c', 0x60, 0x03}), LINK_OK, LINK_OK},
      {"no STX", wire({0x7F, 'a', 'b', 'c', 0x60, 0x03}), LINK_OK, LINK_CHECK_ERROR},
      {"no ETX", wire({0x02, 'a', 'b', 'c', 0x60, 0x04}), LINK_OK, LINK_CHECK_ERROR},
      {"a wrong check byte", wire({0x02, 'a', 'b', 'c', 0x61, 0x03}), LINK_CHECK_ERROR, LINK_CHECK_ERROR},
  };
  for (const auto& row : rows) {
    UBYTE data[4] = {};
    fake->arrive(row.wire, fake->clock());
    EXPECT_EQ(receive_data(data, 3), row.plain) << row.name;
    fake->arrive(row.wire, fake->clock());
    EXPECT_EQ(receive_framed_data(data, 3), row.framed) << row.name;
    EXPECT_EQ(text_of(data), "abc") << row.name;
  }
}

TEST_F(LinkOnFakeLine, FrameInPiecesCompletesWithinOneLimit) {
  const Bytes whole = frame(bytes_of("abc"));
  fake->arrive(Bytes(whole.begin(), whole.begin() + 2), 0ms);
  fake->arrive(Bytes(whole.begin() + 2, whole.end()), 2000ms);
  UBYTE data[4] = {};
  EXPECT_EQ(receive_data(data, 3), LINK_OK);
  EXPECT_EQ(text_of(data), "abc");
}

TEST_F(LinkOnFakeLine, PartOfAFrameIsThrownAwayAtTheTimeOut) {
  fake->arrive(Bytes{STX, 'x'});
  fake->arrive(frame(bytes_of("abc")), 3s);
  UBYTE data[4] = {};
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  EXPECT_EQ(receive_data(data, 3), LINK_OK) << "the next frame does not start with the stale bytes";
  EXPECT_EQ(text_of(data), "abc");
}

TEST_F(LinkOnFakeLine, AFrameTheDeviceTakesInPiecesIsCompleted) {
  fake->take_at_most(2);
  fake->arrive({ACK});
  EXPECT_EQ(send_data("abcde", 5), LINK_OK);
  EXPECT_EQ(fake->written(), frame(bytes_of("abcde")));
  EXPECT_EQ(fake->waits(), 0);
}

TEST_F(LinkOnFakeLine, StuckOutputIsASendTimeout) {
  fake->block_output();
  EXPECT_EQ(send_data("abc", 3), LINK_SEND_TIMEOUT);
  EXPECT_EQ(fake->clock(), kTimeLimit);
  EXPECT_EQ(send_ACK(), LINK_TIMEOUT);
  EXPECT_EQ(send_NAK(), LINK_TIMEOUT);
}

TEST_F(LinkOnFakeLine, MissingAnswerIsATimeout) {
  EXPECT_EQ(send_data("abc", 3), LINK_TIMEOUT);
  EXPECT_EQ(fake->written(), frame(bytes_of("abc")));
  EXPECT_EQ(fake->clock(), kTimeLimit);
}

TEST_F(LinkOnFakeLine, FailedLineReportsTheTimeOutOnlyAfterTheLimit) {
  fake->fail();
  UBYTE data[4] = {};
  EXPECT_EQ(receive_data(data, 3), LINK_TIMEOUT);
  EXPECT_EQ(fake->clock(), kTimeLimit);
  EXPECT_EQ(fake->waits(), 21) << "one wait per poll, never a loop of retries";
  EXPECT_EQ(send_data("abc", 3), LINK_SEND_TIMEOUT);
  EXPECT_EQ(send_ACK(), LINK_TIMEOUT);
  EXPECT_EQ(fake->clock(), 3 * kTimeLimit);
  EXPECT_EQ(fake->waits(), 3 * 21);
}

TEST_F(LinkOnFakeLine, SetBaudRateAppliesTheWholeLineSettings) {
  const struct {
    const char* text;
    long result;
    long applied;  // 0: nothing reaches the line
  } table[] = {
      {"9600", PORT_OK, 9600}, {"19200abc", PORT_OK, 19200}, {" 4800", PORT_OK, 4800},
      {"abc", PORT_PARAMS_FAILED, 0}, {"", PORT_PARAMS_FAILED, 0}, {"-5", PORT_PARAMS_FAILED, 0},
  };
  for (const auto& row : table) {
    const std::size_t before = fake->settings_applied().size();
    EXPECT_EQ(set_baud_rate(row.text), row.result) << row.text;
    if (row.applied == 0) {
      EXPECT_EQ(fake->settings_applied().size(), before) << row.text;
      continue;
    }
    ASSERT_EQ(fake->settings_applied().size(), before + 1) << row.text;
    const auto& s = fake->settings_applied().back();
    EXPECT_EQ(s.baud, row.applied);
    EXPECT_EQ(s.read_len, 8);
    EXPECT_EQ(s.write_len, 8);
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_EQ(s.ser_flags, 0x90);
    EXPECT_EQ(s.rbuf_len, 2048u);
    EXPECT_EQ(s.ext_flags, 0u);
  }
}

TEST_F(LinkOnFakeLine, RefusedSettingsAreStatusOne) {
  fake->refuse_settings();
  EXPECT_EQ(set_baud_rate("9600"), PORT_PARAMS_FAILED);
}
