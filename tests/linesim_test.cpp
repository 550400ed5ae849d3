#include <gtest/gtest.h>
#include <signal.h>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "io_atome.h"
#include "linesim/faults.h"
#include "linesim/options.h"
#include "linesim/pacer.h"
#include "service.h"
#include "support/service_process.h"
#include "support/tty_end.h"

using namespace linesim;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

Bytes counting_bytes(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

Bytes damaged(const FaultRates& rates, std::uint64_t seed, const Bytes& in, FaultCounts* counts = nullptr) {
  FaultInjector injector(rates, seed, 0);
  Bytes out;
  injector.pass(in, out);
  if (counts != nullptr) *counts = injector.counts();
  return out;
}

std::optional<Options> parse(std::vector<std::string> args) {
  std::string error;
  return parse_options(args, error);
}

}  // namespace

TEST(LinesimOptions, TakesCompleteSetsAndRefusesTheRest) {
  const auto full = parse({"--a", "/tmp/x", "--b=/tmp/y", "--baud", "9600", "--latency-ms", "5", "--seed", "42",
                           "--flip", "1e-4", "--drop=0.5", "--insert", "1", "--stall-after", "100", "--stall-ms",
                           "250", "--direction", "b2a", "--quiet"});
  ASSERT_TRUE(full);
  EXPECT_EQ(full->path_a, "/tmp/x");
  EXPECT_EQ(full->path_b, "/tmp/y");
  EXPECT_EQ(full->baud, 9600);
  EXPECT_EQ(full->latency, 5ms);
  EXPECT_EQ(full->seed, 42u);
  EXPECT_DOUBLE_EQ(full->rates.flip, 1e-4);
  EXPECT_DOUBLE_EQ(full->rates.drop, 0.5);
  EXPECT_DOUBLE_EQ(full->rates.insert, 1.0);
  EXPECT_EQ(full->stall_after_bytes, 100u);
  EXPECT_EQ(full->stall, 250ms);
  EXPECT_EQ(full->fault_directions, FaultDirections::b_to_a);
  EXPECT_TRUE(full->quiet);
  EXPECT_TRUE(parse({"--help"})->help);

  const std::vector<std::vector<std::string>> refused{
      {"--a", "/tmp/x"},
      {"--a", "/tmp/x", "--b", "/tmp/x"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--flip", "1.5"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--flip", "nan"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--drop", "-0.1"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--baud", "-9600"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--baud", "96OO"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--stall-after", "10"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--stall-ms", "10"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--direction", "sideways"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--seed"},
      {"--a", "/tmp/x", "--b", "/tmp/y", "--colour", "red"},
  };
  for (const auto& args : refused) {
    std::string error;
    EXPECT_FALSE(parse_options(args, error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

TEST(LinesimFaults, SameSeedSameDamageWhateverTheChunks) {
  const Bytes in = counting_bytes(50'000);
  const FaultRates rates{0.01, 0.005, 0.005};
  const Bytes whole = damaged(rates, 7, in);
  EXPECT_EQ(whole, damaged(rates, 7, in));
  EXPECT_NE(whole, damaged(rates, 8, in));
  EXPECT_NE(whole, in);

  // The pieces a pty read happens to return must not change the damage.
  FaultInjector injector(rates, 7, 0);
  Bytes pieced;
  std::mt19937 cuts(3);
  for (std::size_t at = 0; at < in.size();) {
    const std::size_t length = std::min<std::size_t>(in.size() - at, cuts() % 700);
    injector.pass(std::span<const std::uint8_t>(in).subspan(at, length), pieced);
    at += length;
  }
  EXPECT_EQ(pieced, whole);

  // The two directions of one cable get unrelated faults from one seed.
  FaultInjector other_direction(rates, 7, 1);
  Bytes other;
  other_direction.pass(in, other);
  EXPECT_NE(other, whole);
}

TEST(LinesimFaults, RatesComeOutRoughlyAsAsked) {
  struct Row {
    FaultRates rates;
  };
  const Row rows[] = {{{0.01, 0, 0}}, {{0, 0.02, 0}}, {{0, 0, 0.005}}, {{0.001, 0.001, 0.001}}, {{0, 0, 0}}};
  const Bytes in = counting_bytes(400'000);
  for (const auto& row : rows) {
    FaultCounts counts;
    const Bytes out = damaged(row.rates, 11, in, &counts);
    const auto expect_near = [&](std::uint64_t count, double rate, const char* what) {
      const double expected = rate * static_cast<double>(in.size());
      EXPECT_NEAR(static_cast<double>(count), expected, 0.1 * expected + 1) << what;
    };
    expect_near(counts.flipped, row.rates.flip * (1 - row.rates.drop), "flipped");
    expect_near(counts.dropped, row.rates.drop, "dropped");
    expect_near(counts.inserted, row.rates.insert, "inserted");
    EXPECT_EQ(out.size(), in.size() - counts.dropped + counts.inserted);
  }
}

TEST(LinesimFaults, AFlipInvertsExactlyOneBit) {
  const Bytes in = counting_bytes(100'000);
  FaultCounts counts;
  const Bytes out = damaged({0.01, 0, 0}, 5, in, &counts);
  ASSERT_EQ(out.size(), in.size());
  std::uint64_t changed = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == out[i]) continue;
    ++changed;
    EXPECT_EQ(std::popcount(static_cast<unsigned>(in[i] ^ out[i])), 1) << "at " << i;
  }
  EXPECT_EQ(changed, counts.flipped);
  EXPECT_TRUE(damaged({0, 1, 0}, 5, in).empty());
}

TEST(LinesimPacer, LineTimeIsTenBitTimesAByte) {
  struct Row {
    long baud;
    std::uint64_t bytes;
    std::chrono::nanoseconds time;
  };
  const Row rows[] = {{9600, 1, 1'041'667ns}, {9600, 960, 1s}, {115200, 11'520, 1s}, {0, 1000, 0ns}};
  for (const auto& row : rows) EXPECT_EQ(Pacer::line_time(row.baud, row.bytes), row.time) << row.baud;
}

TEST(LinesimPacer, BytesCrossAtTheLineRateWithoutDrift) {
  Pacer pacer(9600, std::nullopt);
  const TimePoint start{};
  EXPECT_EQ(pacer.bytes_due(start, start, 100), 0u);
  EXPECT_EQ(pacer.next_due(start), start + 1'041'667ns);
  EXPECT_EQ(pacer.bytes_due(start + 10ms, start, 100), 9u);
  pacer.hand_over(start, 9);
  EXPECT_EQ(pacer.bytes_due(start + 20ms, start, 91), 10u);  // 19 in 20 ms, whatever the steps
  pacer.hand_over(start, 10);
  EXPECT_EQ(pacer.bytes_due(start + 10s, start, 81), 81u);
  pacer.hand_over(start, 81);

  // After an idle line, the next bytes start when they may leave, not earlier.
  const TimePoint later = start + 60s;
  EXPECT_EQ(pacer.bytes_due(later, later, 5), 0u);
  EXPECT_EQ(pacer.bytes_due(later + 3ms, later, 5), 2u);
}

TEST(LinesimPacer, StallsOnceAtItsByte) {
  Pacer pacer(0, Stall{100, 50ms});
  const TimePoint start{};
  EXPECT_EQ(pacer.bytes_due(start, start, 1000), 100u);
  pacer.hand_over(start, 100);
  EXPECT_EQ(pacer.bytes_due(start + 1ms, start, 900), 0u);
  EXPECT_EQ(pacer.stalls(), 1u);
  EXPECT_EQ(pacer.next_due(start), start + 51ms);
  EXPECT_EQ(pacer.bytes_due(start + 51ms, start, 900), 900u);
  pacer.hand_over(start, 900);
  EXPECT_EQ(pacer.bytes_due(start + 52ms, start, 900), 900u);
  EXPECT_EQ(pacer.stalls(), 1u);
}

// --- The program, end to end ---

namespace {

std::string make_temp_directory() {
  std::string name = (std::filesystem::temp_directory_path() / "linesim-test-XXXXXX").string();
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return name;
}

// The simulator with its two ends at A and B in a temporary directory.
class LinesimRun {
 public:
  explicit LinesimRun(const std::vector<std::string>& extra = {}, std::string directory = make_temp_directory())
      : directory_(std::move(directory)) {
    std::vector<std::string> args{"--a", path_a(), "--b", path_b()};
    args.insert(args.end(), extra.begin(), extra.end());
    process_.emplace(ServiceProcess::program(QUORVANTIX_LINESIM_BINARY, args));
  }
  ~LinesimRun() {
    process_.reset();
    std::filesystem::remove_all(directory_);
  }

  bool ready() { return process_->wait_for_output(" -> /dev/pts/"); }
  std::string path_a() const { return directory_ + "/A"; }
  std::string path_b() const { return directory_ + "/B"; }
  ServiceProcess& process() { return *process_; }

  // Stops the simulator as a user would and returns its last line.
  std::string stop() {
    kill(process_->pid(), SIGTERM);
    EXPECT_EQ(process_->wait_exit(), 0);
    std::string output = process_->output();
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output.substr(output.rfind('\n') + 1);
  }

 private:
  std::string directory_;
  std::optional<ServiceProcess> process_;
};

// What arrives at B for `sent` at A, on a cable that keeps the length (flips only).
Bytes through_cable(const std::vector<std::string>& extra, const Bytes& sent) {
  LinesimRun run(extra);
  EXPECT_TRUE(run.ready());
  TtyEnd a(run.path_a());
  TtyEnd b(run.path_b());
  a.send(sent);
  return b.receive(sent.size());
}

}  // namespace

TEST(LinesimProgram, CarriesBytesBothWaysAcrossReopens) {
  LinesimRun run;
  ASSERT_TRUE(run.ready()) << run.process().output();
  const Bytes to_b = counting_bytes(100'000);
  const Bytes to_a = bytes_of("answer from B");

  TtyEnd a(run.path_a());
  a.send(to_b);  // before anyone is at B
  TtyEnd b(run.path_b());
  EXPECT_EQ(b.receive(to_b.size()), to_b);
  b.send(to_a);
  EXPECT_EQ(a.receive(to_a.size()), to_a);

  b.close();
  a.send(bytes_of("while B was away"));
  TtyEnd b_again(run.path_b());
  EXPECT_EQ(b_again.receive(16), bytes_of("while B was away"));
  b_again.send(bytes_of("back"));
  EXPECT_EQ(a.receive(4), bytes_of("back"));

  EXPECT_EQ(run.stop(), "linesim: a->b 100016 bytes, b->a 17 bytes; flipped 0, dropped 0, inserted 0, stalls 0");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(run.path_a())));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(run.path_b())));
}

TEST(LinesimProgram, ASeedRepeatsItsCorruption) {
  const Bytes sent = counting_bytes(20'000);
  const std::vector<std::string> faults{"--flip", "0.005", "--seed", "7", "--direction", "a2b"};
  const Bytes first = through_cable(faults, sent);
  EXPECT_EQ(first.size(), sent.size());
  EXPECT_NE(first, sent);
  EXPECT_EQ(through_cable(faults, sent), first);
  EXPECT_EQ(through_cable({"--flip", "0.005", "--seed", "7", "--direction", "b2a"}, sent), sent);
}

TEST(LinesimProgram, TakesItsTimeAtRateLatencyAndStall) {
  struct Row {
    std::vector<std::string> extra;
    std::size_t bytes;
    std::chrono::milliseconds ideal;
  };
  const Row rows[] = {
      {{"--baud", "19200"}, 960, 500ms},
      {{"--latency-ms", "300"}, 10, 300ms},
      {{"--stall-after", "100", "--stall-ms", "300"}, 200, 300ms},
  };
  for (const auto& row : rows) {
    LinesimRun run(row.extra);
    ASSERT_TRUE(run.ready());
    TtyEnd a(run.path_a());
    TtyEnd b(run.path_b());
    const Bytes sent = counting_bytes(row.bytes);
    const auto start = std::chrono::steady_clock::now();
    a.send(sent);
    EXPECT_EQ(b.receive(sent.size(), 5s), sent) << row.extra.front();
    // Only a lower bound: a busy machine may always be slower.
    EXPECT_GE(std::chrono::steady_clock::now() - start, row.ideal * 8 / 10) << row.extra.front();
  }
}

TEST(LinesimProgram, ReplacesASymlinkButNoOtherFile) {
  const std::string directory = make_temp_directory();
  std::filesystem::create_symlink("/nonexistent", directory + "/A");
  std::ofstream(directory + "/B") << "precious";
  {
    LinesimRun refused({}, directory);
    EXPECT_EQ(refused.process().wait_exit(), 1);
    EXPECT_NE(refused.process().output().find(directory + "/B exists and is not a symlink"), std::string::npos)
        << refused.process().output();
    std::ifstream kept(directory + "/B");
    std::string content;
    kept >> content;
    EXPECT_EQ(content, "precious");
    std::filesystem::remove(directory + "/B");

    LinesimRun replacing({}, directory);
    ASSERT_TRUE(replacing.ready()) << replacing.process().output();
    EXPECT_EQ(std::filesystem::read_symlink(directory + "/A").string().rfind("/dev/pts/", 0), 0u);
  }
}

TEST(LinesimProgram, TheServiceWorksAcrossIt) {
  LinesimRun run({"--baud", "115200"});
  ASSERT_TRUE(run.ready());
  TtyEnd customer(run.path_b());
  for (int session = 0; session < 2; ++session) {  // the second one reopens the path
    auto service = ServiceProcess::binary({run.path_a(), "0"});
    ASSERT_TRUE(service.wait_for_output("Service is ready\n")) << service.output();
    customer.send(frame({0x1F, 0x2B, 0x41}));
    EXPECT_EQ(hex(customer.receive(7)), "06 02 1f 2f 41 71 03");
    customer.send({ACK});
    customer.send(command_frame(cmd_terminate));
    EXPECT_EQ(hex(customer.receive(1)), "06");
    EXPECT_EQ(service.wait_exit(), 0) << service.output();
  }
}
