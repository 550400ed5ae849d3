// The line simulator: its options, its seeded faults, its pacing, and the
// program carrying bytes between two programs' lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <bit>
#include <filesystem>
#include <thread>

#include "linesim/faults.h"
#include "linesim/pacer.h"
#include "support/running.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace linesim;
using namespace testsupport;
using namespace std::chrono_literals;

TEST(LinesimOptions, TakesCompleteSetsAndRefusesTheRest) {
  std::string error;
  const auto full = parse_options({"--a", "/x", "--b=/y", "--baud", "9600", "--latency-ms", "5", "--seed", "42",
                                   "--drop=0.5", "--stall-after", "100", "--stall-ms", "250", "--quiet"}, error);
  ASSERT_TRUE(full) << error;
  EXPECT_EQ(std::tie(full->path_b, full->baud, full->latency, full->seed, full->rates.drop, full->stall, full->quiet),
            std::tuple("/y", 9600L, 5ms, 42u, 0.5, 250ms, true));
  const std::vector<std::vector<std::string>> refused{
      {"--a", "/x"}, {"--a=/x", "--b=/x"}, {"--a=/x", "--b=/y", "--flip", "1.5"}, {"--a=/x", "--b=/y", "--drop=nan"},
      {"--a=/x", "--b=/y", "--baud", "96OO"}, {"--a=/x", "--b=/y", "--stall-ms", "10"}, {"--a=/x", "--b=/y", "--seed"},
      {"--a=/x", "--b=/y", "--direction", "up"}, {"--a=/x", "--b=/y", "--colour", "red"}};
  for (const auto& args : refused) {
    error.clear();
    EXPECT_TRUE(!parse_options(args, error) && !error.empty()) << args.back();
  }
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

TEST(LinesimProgram, CarriesBytesBothWaysAcrossAReopenAndReplacesOnlySymlinks) {
  const TempDir dir;
  std::filesystem::create_symlink("/nonexistent", dir / "A");
  const Bytes precious = pattern_bytes(8);
  write_file(dir / "B", precious);
  const std::vector<std::string> args{QUORVANTIX_LINESIM_BINARY, "--a", dir / "A", "--b", dir / "B"};
  Running refused(args, dir.path());
  EXPECT_EQ(refused.end(), 1);
  EXPECT_NE(refused.seen.find(dir / "B exists and is not a symlink"), std::string::npos) << refused.seen;
  EXPECT_EQ(read_file(dir / "B"), precious);
  std::filesystem::remove(dir / "B");
  Running linesim(args, dir.path());
  ASSERT_TRUE(linesim.says("linesim: ")) << linesim.seen;
  platform::SteadyClock clock;
  Link a(clock), b(clock);
  ASSERT_EQ(allocport(a, 0, (dir / "A").c_str()), PORT_OK) << a.last_error();
  for (int opening = 0; opening < 2; ++opening) {
    ASSERT_EQ(allocport(b, 0, (dir / "B").c_str()), PORT_OK) << b.last_error();
    EXPECT_TRUE(write_raw(a, precious) && read_raw(b, 8) == precious) << "a to b, opening " << opening;
    EXPECT_TRUE(write_raw(b, precious) && read_raw(a, 8) == precious) << "b to a, opening " << opening;
    freeport(b, 0);
  }
  EXPECT_EQ(linesim.end(SIGTERM), 0);
  EXPECT_NE(linesim.seen.find("a->b 16 bytes, b->a 16 bytes; flipped 0"), std::string::npos) << linesim.seen;
  EXPECT_FALSE(exists(dir / "A") || exists(dir / "B")) << "the links go with the program";
}
