// Seeded random and malformed input against the frame reader, the command loop
// and the file-transfer header: nothing may crash, hang or touch memory it does
// not own (the sanitizer build checks that), no half-written file may stay
// behind, and the service must still answer afterwards.
//
// Each test prints its seed; the default is fixed, so that every run checks
// the same cases. QUORVANTIX_FUZZ_SEED picks other cases (or repeats a run);
// QUORVANTIX_FUZZ_SCALE multiplies the number of cases for a long run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io_atome.h"
#include "service.h"
#include "support/customer_script.h"
#include "support/fake_line.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

constexpr auto kShortTick = 1ms;
constexpr auto kTimeLimit = kPollsPerOperation * kTicksBetweenPolls * kShortTick;
constexpr long kFrameOverhead = 3;
constexpr std::uint8_t kSlash = '/';
constexpr unsigned long kDefaultSeed = 20260607;

unsigned long env_number(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

// The run's random numbers.
class Dice {
 public:
  Dice() : seed_(env_number("QUORVANTIX_FUZZ_SEED", kDefaultSeed)), engine_(seed_) {}
  unsigned long seed() const { return seed_; }
  long number(long low, long high) { return std::uniform_int_distribution<long>(low, high)(engine_); }
  bool chance(double probability) { return std::bernoulli_distribution(probability)(engine_); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(number(0, 255)); }
  template <typename T>
  const T& pick(const std::vector<T>& choices) {
    return choices[static_cast<std::size_t>(number(0, static_cast<long>(choices.size()) - 1))];
  }
  // Random bytes; none is a slash, so that no name built from them leaves the test's directory.
  Bytes bytes(std::size_t count) {
    Bytes out(count);
    for (auto& b : out) {
      b = byte();
      if (b == kSlash) b = '_';
    }
    return out;
  }

 private:
  unsigned long seed_;
  std::mt19937_64 engine_;
};

long scaled(long cases) { return cases * static_cast<long>(env_number("QUORVANTIX_FUZZ_SCALE", 1)); }

// A payload length the link layer may be asked for: the edges and anything between.
long frame_length(Dice& dice) {
  static const std::vector<long> edges{0, 1, 2, 3, 44, 45, 59, 60, 61, 1023, 1024};
  return dice.chance(0.5) ? dice.pick(edges) : dice.number(0, kMaxPayload);
}

// --- The frame reader ---

class FrameReader : public ::testing::Test {
 protected:
  void SetUp() override {
    auto line = std::make_unique<FakeLine>();
    fake = line.get();
    platform::testing::install_line(std::move(line));
    ASSERT_EQ(allocport(0, "/fuzz-line"), PORT_OK);
    std::printf("fuzz seed %lu\n", dice.seed());
  }
  void TearDown() override { freeport(0); }

  // Takes every byte still to come, moving the line's clock past the last; the count.
  std::size_t drain() {
    std::uint8_t scrap[4096];
    std::size_t total = 0;
    for (;;) {
      long got = fake->read_some(scrap, sizeof scrap);
      if (got == 0) {
        fake->wait_ready(platform::Direction::in, std::chrono::hours(1));
        got = fake->read_some(scrap, sizeof scrap);
      }
      if (got <= 0) return total;
      total += static_cast<std::size_t>(got);
    }
  }

  Dice dice;
  FakeLine* fake = nullptr;  // owned by ioreq until freeport
};

TEST_F(FrameReader, TakesAnyBytesAndReadsExactlyOneFrame) {
  for (long round = 0; round < scaled(3000); ++round) {
    const long len = frame_length(dice);
    // Fewer bytes than a frame, a frame, or a frame and what follows it.
    const std::size_t offered = static_cast<std::size_t>(std::max(0L, len + kFrameOverhead + dice.number(-3, 40)));
    const Bytes stream = dice.bytes(offered);
    // Some bytes come late, some after the time limit has run out.
    auto when = fake->clock();
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t end = std::min(stream.size(), at + static_cast<std::size_t>(dice.number(1, 400)));
      when += dice.chance(0.02) ? kTimeLimit * 2 : std::chrono::microseconds(dice.number(0, 50'000));
      fake->arrive(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(end)), when);
      at = end;
    }
    std::vector<UBYTE> data(static_cast<std::size_t>(len) + 1, 0xEE);  // exactly len + 1, as the contract says
    const long result = receive_data(data.data(), len);
    ASSERT_TRUE(result == LINK_OK || result == LINK_CHECK_ERROR || result == LINK_TIMEOUT) << result;
    if (result != LINK_TIMEOUT) {
      const std::size_t frame_bytes = static_cast<std::size_t>(len + kFrameOverhead);
      ASSERT_GE(stream.size(), frame_bytes);
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + len, stream.begin() + 1)) << "round " << round;
      EXPECT_EQ(data[static_cast<std::size_t>(len)], 0) << "round " << round;
      const bool check_matches = calc_LPC(stream.data() + 1, len) == stream[frame_bytes - 2];
      EXPECT_EQ(result == LINK_OK, check_matches) << "round " << round;
      // Nothing beyond the frame was taken: it belongs to the next read.
      EXPECT_EQ(drain(), stream.size() - frame_bytes) << "round " << round;
    }
    drain();
  }
}

TEST_F(FrameReader, RefusesLengthsNoFrameCanHave) {
  UBYTE data[kMaxPayload + 1] = {};
  fake->arrive(Bytes(3000, 0x41));
  for (const long len : {-1L, -1024L, kMaxPayload + 1, 1L << 40}) {
    EXPECT_NE(receive_data(data, len), LINK_OK) << len;
    EXPECT_NE(send_data(reinterpret_cast<const char*>(data), len), LINK_OK) << len;
  }
  EXPECT_TRUE(fake->written().empty());
  EXPECT_EQ(drain(), 3000u);
}

TEST_F(FrameReader, SenderTakesAnyAnswerByteButOnlyAckAsSuccess) {
  for (long round = 0; round < scaled(500); ++round) {
    const std::uint8_t answer = dice.byte();
    fake->arrive({answer}, fake->clock());
    const Bytes payload = dice.bytes(static_cast<std::size_t>(frame_length(dice)));
    const long result = send_data(reinterpret_cast<const char*>(payload.data()), static_cast<long>(payload.size()));
    EXPECT_EQ(result, answer == ACK ? LINK_OK : LINK_NOT_ACKED) << int{answer};
  }
}

// --- The service: command loop and file header ---

// A service with a short tick on a pty, played by the test as its customer.
class ServiceUnderFire : public ::testing::Test {
 protected:
  void SetUp() override { std::printf("fuzz seed %lu\n", dice.seed()); }

  // Reads and drops what the service says until it has been quiet for `quiet`.
  void wait_until_quiet(std::chrono::milliseconds quiet) {
    for (int rounds = 0; rounds < 200 && !customer.line().quiet_for(quiet); ++rounds) {
      customer.line().receive(4096, 1ms);
    }
  }

  // After any mess: the service is either in its command loop or waiting for
  // an identification. An identification frame settles the second case and is
  // dropped by the first after one time limit. Then a command must work.
  void expect_service_answers() {
    wait_until_quiet(std::chrono::duration_cast<std::chrono::milliseconds>(kTimeLimit * 7));
    customer.send(frame({0x1F, 0x2B, 0x41}));
    const Bytes answer = customer.line().receive(7, std::chrono::duration_cast<std::chrono::milliseconds>(kTimeLimit * 3));
    if (answer.size() == 7 && answer[0] == ACK) customer.answer(ACK);
    wait_until_quiet(std::chrono::duration_cast<std::chrono::milliseconds>(kTimeLimit * 2));
    customer.command(cmd_get_akt_dir);
    const Bytes reply = customer.receive(63);
    ASSERT_EQ(reply.size(), 63u);
    customer.answer(ACK);
    const std::string name(reply.begin() + 1, std::find(reply.begin() + 1, reply.end() - 2, 0));
    EXPECT_EQ(name, tmp.path().substr(0, 60));
  }

  Dice dice;
  TempDir tmp;
  CustomerScript customer{tmp.path(), kShortTick};
};

// A command argument of random bytes that keeps within the test's directory.
std::string harmless_argument(Dice& dice) {
  const Bytes raw = dice.bytes(static_cast<std::size_t>(dice.number(0, 70)));
  std::string text(raw.begin(), raw.end());
  if (text.find("..") != std::string::npos) std::replace(text.begin(), text.end(), '.', '_');
  return text;
}

// A command frame with a right check byte; any code but the one that ends the service.
Bytes random_command(Dice& dice) {
  static const std::vector<std::uint8_t> codes{0x00, 0x1F, cmd_get_akt_dir, cmd_set_akt_dir, cmd_send_file,
                                               cmd_receive_file, cmd_send_akt_dir, cmd_customer_terminate,
                                               0x27, 0x28, cmd_set_baud_rate, 0x2A, 0x7F, 0xFF};
  std::uint8_t code = dice.chance(0.8) ? dice.pick(codes) : dice.byte();
  if (code == cmd_terminate) code = cmd_get_akt_dir;
  const std::string argument = code == cmd_set_baud_rate && dice.chance(0.5)
                                   ? std::to_string(dice.pick(std::vector<long>{0, 1, 50, 9600, 115200, 4000000, -9600}))
                                   : harmless_argument(dice);
  Bytes payload(60, 0);
  payload[0] = code;
  std::copy_n(argument.begin(), std::min<std::size_t>(argument.size(), 59), payload.begin() + 1);
  return frame(payload);
}

TEST_F(ServiceUnderFire, CommandLoopSurvivesGarbageAndStillAnswers) {
  for (long round = 0; round < scaled(60); ++round) {
    if (dice.chance(0.5)) {
      customer.send(random_command(dice));
    } else {
      Bytes garbage = dice.bytes(static_cast<std::size_t>(dice.number(1, 1100)));
      if (dice.chance(0.3)) garbage = damaged(frame(Bytes(dice.bytes(60))));
      customer.send(garbage);
    }
    // Take what the service says, so that it never waits for room to write.
    customer.line().receive(4096, std::chrono::milliseconds(dice.number(0, 30)));
  }
  expect_service_answers();
  EXPECT_EQ(customer.terminate(), 0);
}

// Header texts: well-formed and not, with names of every kind but a path out
// of the directory, and numbers at and beyond their limits.
std::string random_header(Dice& dice) {
  static const std::vector<std::string> names{
      "a", "x.bin", ".", "..", "...", "\xAE", "a\xAE" "b", "%s%s%n", "-", "0", "name\twith\ttab",
      std::string(58, 'n'), std::string(300, 'l'), "\xff\xfe", "dir/", ""};
  static const std::vector<std::string> numbers{
      "0", "1", "2", "-1", "1023", "1024", "2147483647", "2147483648", "-2147483648", "99999999999999999999",
      "+3", "0x10", "3abc", "", " ", "1e3", "007"};
  std::string name = dice.chance(0.7) ? dice.pick(names) : harmless_argument(dice);
  if (name == "dir/") name = "nodir/x";  // a path into a directory that is not there
  std::string text = name;
  const long fields = dice.number(0, 4);
  for (long field = 0; field < fields; ++field) {
    text += dice.chance(0.9) ? " " : "\t\n ";
    text += dice.chance(0.8) ? dice.pick(numbers) : std::to_string(dice.number(0, 3));
  }
  return text;
}

// The statuses a header can end in when the peer sends its blocks, or stops.
bool expected_status(long status) {
  for (const long allowed : {FILE_OK, FILE_HEADER_DAMAGED, FILE_HEADER_BAD, FILE_NO_ROOM, FILE_CREATE_FAILED,
                             FILE_TOO_MANY_FAILURES, FILE_WRITE_FAILED}) {
    if (status == allowed) return true;
  }
  return false;
}

// The status of the `n`th (from 0) "Empfangen der Datei status" line, once it is
// complete; -1 when it does not come.
long nth_receive_status(ServiceProcess& service, std::size_t n) {
  static const std::string kPrefix = "Empfangen der Datei status ";
  for (int waits = 0; waits < 200; ++waits) {
    const std::string& all = service.output();
    std::size_t at = 0;
    for (std::size_t seen = 0; (at = all.find(kPrefix, at)) != std::string::npos; ++seen, at += kPrefix.size()) {
      if (seen == n && all.find('\n', at) != std::string::npos) return std::strtol(all.c_str() + at + kPrefix.size(), nullptr, 10);
    }
    service.wait_for_output("\x01 nothing", 10ms);
  }
  return -1;
}

TEST_F(ServiceUnderFire, FileHeaderParserTakesAnyHeaderAndLeavesNoHalfFile) {
  constexpr std::size_t kLargestSent = 4 * 1024;
  std::vector<std::string> complete;
  for (long round = 0; round < scaled(40); ++round) {
    const std::string text = random_header(dice);
    customer.command(cmd_receive_file);
    customer.send(header_frame(text));
    const Bytes answer = customer.receive(1);
    ASSERT_EQ(answer.size(), 1u) << text;
    // What the service can have read: the first 60 bytes, up to a zero byte.
    const std::string sent = text.substr(0, std::min(text.find('\0'), std::size_t{60}));
    long blocks = 0;
    long rest = 0;
    char name[1024] = {};
    const bool sized = std::sscanf(sent.c_str(), "%1023s %ld %ld", name, &blocks, &rest) == 3;
    if (answer[0] == ACK && sized && blocks * 1024 + rest <= static_cast<long>(kLargestSent)) {
      const Bytes content = dice.bytes(static_cast<std::size_t>(blocks * 1024 + rest));
      for (std::size_t at = 0; at < content.size(); at += 1024) {
        customer.send(frame_of(content, at, std::min<std::size_t>(1024, content.size() - at)));
        EXPECT_EQ(hex(customer.receive(1)), "06") << text;
      }
    } else if (answer[0] == ACK) {
      // Accepted but too large to send here: the service must give up by itself.
      EXPECT_EQ(hex(customer.receive(1)), "15") << text;
    } else {
      EXPECT_EQ(answer[0], NAK) << text;
    }
    const long status = nth_receive_status(customer.service(), static_cast<std::size_t>(round));
    EXPECT_TRUE(expected_status(status)) << status << " for " << text;
    if (status == FILE_OK) {
      std::string stored = name;
      std::replace(stored.begin(), stored.end(), '\xAE', ' ');  // the name's wire form undone
      complete.push_back(stored);
    }
  }
  // Only the files that arrived whole are there; nothing half-written, no temporaries.
  std::vector<std::string> there = names_in(tmp.path());
  for (const auto& name : there) {
    EXPECT_TRUE(std::find(complete.begin(), complete.end(), name) != complete.end()) << "left behind: " << name;
  }
  expect_service_answers();
  EXPECT_EQ(customer.terminate(), 0);
}

}  // namespace
