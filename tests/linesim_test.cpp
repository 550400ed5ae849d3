// The line simulator: its options, its seeded faults, its pacing, the UART
// that reads at its own speed, and the program carrying bytes between two
// programs' lines at the speeds they set.
#include <gtest/gtest.h>
#include <signal.h>

#include <bit>
#include <filesystem>
#include <thread>

#include "linesim/delivery.h"
#include "linesim/faults.h"
#include "linesim/pacer.h"
#include "linesim/uart.h"
#include "tests/support/fixtures.h"
#include "tests/support/running.h"
#include "wire/file_stream.h"

using namespace quorvantix::linesim;

TEST(LinesimOptions, TakesCompleteSetsAndRefusesTheRest) {
  std::string error;
  const auto full = parse_options({"--a", "/x", "--b=/y", "--baud", "9600", "--latency-ms", "5", "--seed", "42",
                                   "--drop=0.5", "--stall-after", "100", "--stall-ms", "250", "--quiet",
                                   "--delivery", "usb:62,16", "--turnarounds=1000"}, error);
  ASSERT_TRUE(full) << error;
  EXPECT_EQ(std::tie(full->path_b, full->baud, full->latency, full->seed, full->rates.drop, full->stall, full->quiet),
            std::tuple("/y", 9600L, 5ms, 42u, 0.5, 250ms, true));
  EXPECT_TRUE(full->delivery == (DeliveryPattern{DeliveryPattern::Kind::usb, 62, 16ms}) &&
              full->turnaround_bytes == 1000);
  EXPECT_TRUE(parse_options({"--a=/x", "--b=/y"}, error)->delivery == kPortDelivery);
  const std::vector<std::vector<std::string>> refused{
      {"--a", "/x"}, {"--a=/x", "--b=/x"}, {"--a=/x", "--b=/y", "--flip", "1.5"}, {"--a=/x", "--b=/y", "--drop=nan"},
      {"--a=/x", "--b=/y", "--baud", "96OO"}, {"--a=/x", "--b=/y", "--stall-ms", "10"}, {"--a=/x", "--b=/y", "--seed"},
      {"--a=/x", "--b=/y", "--direction", "up"}, {"--a=/x", "--b=/y", "--colour", "red"},
      {"--a=/x", "--b=/y", "--unthrottled", "--baud", "300"}, {"--a=/x", "--b=/y", "--delivery", "fifo"},
      {"--a=/x", "--b=/y", "--turnarounds=0"}};
  for (const auto& args : refused) {
    error.clear();
    EXPECT_TRUE(!parse_options(args, error) && !error.empty()) << args.back();
  }
  const auto pacing = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--a=/x", "--b=/y"});
    return parse_options(args, error)->pacing;
  };
  EXPECT_EQ(std::tuple(pacing({}), pacing({"--unthrottled"}), pacing({"--baud=0"}), full->pacing),
            std::tuple(Pacing::follow, Pacing::unthrottled, Pacing::unthrottled, Pacing::fixed));
}

TEST(LinesimFaults, ASeedGivesTheSameDamageWhateverTheChunksAndAFlipIsOneBit) {
  const Bytes in = pattern_bytes(50'000);
  const auto damaged = [&](const FaultRates& rates, std::uint64_t seed, unsigned direction, std::size_t piece) {
    FaultInjector injector(rates, seed, direction);
    Bytes out;
    for (std::size_t at = 0, length; at < in.size(); at += length) {
      length = std::min<std::size_t>(in.size() - at, piece > 0 ? at % piece + 1 : in.size());
      injector.pass(std::span(in).subspan(at, length), out);
    }
    return std::pair(out, injector.counts());
  };
  const Bytes whole = damaged({0.01, 0.005, 0.005}, 7, 0, 0).first;
  EXPECT_TRUE(damaged({0.01, 0.005, 0.005}, 7, 0, 700).first == whole && whole != in) << "the same in any pieces";
  const auto [flipped, counts] = damaged({0.01, 0, 0}, 5, 0, 0);
  std::uint64_t bits_changed = 0;  // as many as there were flips: one a flip
  for (std::size_t i = 0; i < in.size(); ++i) bits_changed += std::popcount(unsigned(in[i] ^ flipped.at(i)));
  EXPECT_TRUE(bits_changed == counts.flipped && counts.flipped > 400) << bits_changed << " / " << counts.flipped;
}

// Each case: bytes arriving a byte time (100 us) apart from 100 us on, the
// last of a write where marked, and when each port hands each byte over.
// The same times whether the arrivals are given ahead or as they come. A
// pattern is named as it was given; a name that is none is refused.
TEST(LinesimDelivery, HandsEachByteOverAsItsPortDoesWhetherArrivalsComeAheadOrInTime) {
  std::string error;
  for (const char* name : {"", "fifo", "fifo:0", "fifo:8x", "usb:62", "usb:62,", "usb:,16", "usb:62,0", "tick:0",
                           "byte:3", "bytes", "burst:1", "usb:62,16,1"}) {
    EXPECT_TRUE(!parse_delivery(name, error) && !error.empty()) << name;
    error.clear();
  }
  constexpr auto kByteTime = 100us;
  const struct { const char* pattern; std::size_t bytes, write_ends_at; std::vector<int> handed_at_us; } cases[] = {
      {"byte", 3, 3, {100, 200, 300}},
      {"fifo:4", 6, 6, {400, 400, 400, 400, 1000, 1000}},              // the rest 4 byte times after the last
      {"usb:4,1", 6, 6, {400, 400, 400, 400, 1500, 1500}},             // full, or 1 ms after its first byte
      {"usb:62,1", 12, 12, {1100, 1100, 1100, 1100, 1100, 1100, 1100, 1100, 1100, 1100, 1100, 2200}},
      {"tick:1", 12, 12, {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 2000, 2000}},
      {"burst", 7, 7, {500, 500, 500, 500, 500, 700, 700}},            // 0.5 ms from the first start bit; a write's end
      {"burst", 7, 99, {500, 500, 500, 500, 500, 1000, 1000}},
  };
  for (const auto& c : cases) {
    const DeliveryPattern pattern = *parse_delivery(c.pattern, error);
    EXPECT_EQ(delivery_name(pattern), c.pattern);
    for (const bool ahead : {true, false}) {
      Delivery port(pattern);
      std::size_t arrived = 0;
      const auto arrive_by = [&](nanoseconds now) {
        for (; arrived < c.bytes && (ahead || (arrived + 1) * kByteTime <= now); ++arrived) {
          port.arrive((arrived + 1) * kByteTime, kByteTime, arrived + 1 == c.write_ends_at);
        }
      };
      std::vector<int> handed_at_us;
      for (nanoseconds now = 0us; now <= 3ms; now += 50us) {
        arrive_by(now);
        while (handed_at_us.size() < port.handed_over_by(now)) handed_at_us.push_back(int(now / 1us));
      }
      EXPECT_EQ(handed_at_us, c.handed_at_us) << c.pattern << (ahead ? " ahead" : " in time");
      EXPECT_FALSE(port.next_hand_over()) << c.pattern;
    }
  }
}

TEST(LinesimPacer, TakesTenBitTimesAByteWithoutDrift) {
  Pacer pacer(9600, std::nullopt);
  const TimePoint start{};
  std::size_t crossed = 0;
  for (auto at = start; at <= start + 10s; at += 7ms) {
    const std::size_t due = pacer.bytes_due(at, start, 100'000 - crossed);
    pacer.hand_over(start, due);
    crossed += due;
  }
  EXPECT_EQ(crossed, 9596u) << "as many bytes as 9.996 s take, in steps of 7 ms";
}

namespace {

// What a UART at `receive` baud reads from `bytes` sent back to back at `send`.
Bytes read_by_uart(const Bytes& bytes, long send, long receive) {
  UartReceiver uart;
  for (std::size_t i = 0; i < bytes.size(); ++i) uart.transmit(TimePoint{} + Pacer::line_time(send, i), send, bytes[i]);
  Bytes read;
  uart.receive(TimePoint{} + 1s, receive, read);
  return read;
}

}  // namespace

// Each case: bytes sent back to back at one speed, and what a UART at
// another reads from them (worked out by hand from the bit times). A byte
// comes when its stop bit has been sampled, once the line there is known.
TEST(LinesimUart, ReadsTheBytesAtTheSendersSpeedAndGarbageAtAnotherOnceTheStopBitIsSampled) {
  const struct { long send, receive; Bytes sent, read; } cases[] = {
      {9600, 9600, {0x55, 0x00, 0xFF, 0xA7}, {0x55, 0x00, 0xFF, 0xA7}},
      {9600, 19200, {0xFF}, {0xFE}},              // the start bit covers the first data sample too
      {9600, 19200, {0x00, 0x00}, {0x00, 0x00}},  // a break each, not one per frame time of the line held low
      {115200, 9600, {0x00}, {0xFF}},             // a short low pulse, then idle ones
      {115200, 9600, {0xFF}, {}},                 // the start bit is over at its middle sample: no start
      {14400, 9600, {0x0F}, {0xE3}},              // the last samples fall on the idle line
  };
  for (const auto& c : cases) EXPECT_EQ(read_by_uart(c.sent, c.send, c.receive), c.read) << c.send << " -> " << c.receive;
  UartReceiver uart;
  const TimePoint start = TimePoint{} + 1ms;
  uart.transmit(start, 9600, 0x41);
  const TimePoint stop_sample = start + 989'584ns;  // 9.5 bit times at 9600 baud, rounded up
  EXPECT_EQ(uart.next_byte_at(9600), stop_sample);
  Bytes read;
  uart.receive(stop_sample, 9600, read);
  EXPECT_TRUE(read.empty()) << "the line at the stop sample is not known yet";
  uart.receive(stop_sample + 1ns, 9600, read);
  EXPECT_EQ(read, Bytes{0x41});
  EXPECT_FALSE(uart.next_byte_at(9600)) << "hunting on an idle line";
}

// Replaces only symlinks; carries bytes both ways across a reopen; ends at
// 9600 and 19200 read garbage from each other, all of it delivered (the
// slower end's last byte after the stream has ended), at the same speed the
// frame.
TEST(LinesimProgram, CarriesBytesAtTheSpeedsTheEndsSetAndReplacesOnlySymlinks) {
  const TempDir dir;
  std::filesystem::create_symlink("/nonexistent", dir / "A");
  const Bytes precious = pattern_bytes(8);
  write_file(dir / "B", precious);
  std::vector<std::string> args{QUORVANTIX_LINESIM_BINARY, "--a", dir / "A", "--b", dir / "B"};
  Running refused(args, dir.path());
  EXPECT_EQ(refused.end(), 1);
  EXPECT_NE(refused.seen.find(dir / "B exists and is not a symlink"), std::string::npos) << refused.seen;
  EXPECT_EQ(read_file(dir / "B"), precious);
  std::filesystem::remove(dir / "B");
  args.push_back("--turnarounds");
  Running linesim(args, dir.path());
  ASSERT_TRUE(linesim.says("following each end's speed")) << linesim.seen;
  host::SteadyClock clock;
  Link a(clock), b(clock);
  ASSERT_EQ(reason_of(allocport(a, 0, (dir / "A").c_str())), "");
  ASSERT_EQ(reason_of(allocport(b, 0, (dir / "B").c_str())), "");
  const Bytes frame = frame_of(std::string("\x21") + std::string(59, '\0'));
  // A loaded host may hand the simulator one write in two pieces with a pause
  // between, which a UART at another speed reads as well: such a run goes again.
  std::size_t sent_at_other_speed = 0, a_to_b = 0, b_to_a = 0;
  const auto crossing = [&](Link& from, Link& to, std::size_t& delivered, const Bytes& expected) {
    Bytes read;
    for (int attempt = 0; attempt < 3 && read != expected; ++attempt) {
      if (!write_raw(from, frame)) return Bytes{};
      sent_at_other_speed += frame.size();
      read = read_raw(to, 2 * frame.size());  // all of it, within the time limit
      delivered += read.size();
    }
    return read;
  };
  ASSERT_TRUE(set_baud_rate(b, 19200).ok());
  const Bytes garbage = crossing(a, b, a_to_b, read_by_uart(frame, 9600, 19200));
  EXPECT_TRUE(garbage == read_by_uart(frame, 9600, 19200) && garbage != frame);
  EXPECT_GT(std::count(garbage.begin(), garbage.end(), 0), 40) << "mostly zero bytes";
  EXPECT_EQ(crossing(b, a, b_to_a, read_by_uart(frame, 19200, 9600)), read_by_uart(frame, 19200, 9600));
  ASSERT_TRUE(set_baud_rate(b, 9600).ok());
  ASSERT_TRUE(write_raw(a, frame));
  EXPECT_EQ(read_raw(b, frame.size()), frame);
  freeport(b, 0);
  for (int opening = 0; opening < 2; ++opening) {
    ASSERT_EQ(reason_of(allocport(b, 0, (dir / "B").c_str())), "");
    EXPECT_TRUE(write_raw(a, precious) && read_raw(b, 8) == precious) << "a to b, opening " << opening;
    EXPECT_TRUE(write_raw(b, precious) && read_raw(a, 8) == precious) << "b to a, opening " << opening;
    if (opening == 0) freeport(b, 0);
  }
  freeport(a, 0), freeport(b, 0);
  EXPECT_EQ(linesim.end(SIGTERM), 0);
  const std::string counts = "a->b " + std::to_string(a_to_b + frame.size() + 16) + " bytes, b->a " +
                             std::to_string(b_to_a + 16) + " bytes; flipped 0, dropped 0, inserted 0, stalls 0, misread " +
                             std::to_string(sent_at_other_speed) + "\n";
  EXPECT_TRUE(linesim.seen.ends_with(counts)) << linesim.seen;
  EXPECT_TRUE(has(linesim.seen, "\nlinesim: A answered ") && has(linesim.seen, "\nlinesim: B answered "))
      << linesim.seen;
  EXPECT_FALSE(exists(dir / "A") || exists(dir / "B")) << "the links go with the program";
}

// On every kind of port the simulator models, the real programs at 115200
// baud: a get and a put of several blocks arrive byte for byte, and the
// service and the customer program both report them done.
class LinesimOnEveryPort : public testing::TestWithParam<std::string> {};

TEST_P(LinesimOnEveryPort, AGetAndAPutOfSeveralBlocksArriveWholeAndBothEndsSaySo) {
  const TempDir dir, remote, local;
  const Bytes down = pattern_bytes(3 * 1024 + 500, 3), up = pattern_bytes(4 * 1024, 5);
  write_file(remote / "down.bin", down);
  write_file(local / "up.bin", up);
  std::vector<std::string> words{QUORVANTIX_LINESIM_BINARY, "--a", dir / "A", "--b", dir / "B"};
  if (GetParam() != "default") words.insert(words.end(), {"--delivery", GetParam()});
  Running linesim(words, dir.path());
  ASSERT_TRUE(linesim.says("linesim: ")) << linesim.seen;
  Running service({QUORVANTIX_SERVICE_BINARY, dir / "A", "0"}, remote.path());
  ASSERT_TRUE(service.says("Service is ready\n")) << service.seen;
  Running customer({"env", "XDG_CONFIG_HOME=" + dir / "config", QUORVANTIX_CUSTOMER_BINARY, "-q", dir / "B", "baud",
                    "115200", ";", "get", "down.bin", ";", "put", "up.bin", "back.bin"},
                   local.path());
  EXPECT_EQ(customer.end(), 0) << customer.seen;
  EXPECT_EQ(read_file(local / "down.bin"), down);
  EXPECT_EQ(read_file(remote / "back.bin"), up);
  EXPECT_EQ(service.end(SIGTERM), 0);
  const std::string console = console_lines(service.seen);
  EXPECT_TRUE(has(console, "Sende Datei <down.bin> status 0\n") && has(console, "Empfangen der Datei status 0\n"))
      << console;
}

INSTANTIATE_TEST_SUITE_P(Deliveries, LinesimOnEveryPort,
                         testing::Values("default", "byte", "usb:62,1", "usb:62,16", "usb:32,16", "tick:20", "burst"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });
