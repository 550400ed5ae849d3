// Seeded random input against the frame reader, the service's
// command loop and the file header: nothing may crash or touch memory it does
// not own (the sanitizer build checks that), no half-written file may stay,
// and the service must still answer afterwards. The default seed is fixed, so
// every run checks the same cases; QUORVANTIX_FUZZ_SEED picks others, and
// QUORVANTIX_FUZZ_SCALE multiplies their number.
#include <gtest/gtest.h>

#include <random>

#include "io_module.h"
#include "support/fixtures.h"

using namespace testsupport;
using namespace customer_side;

namespace {

unsigned long env_number(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

const long kScale = static_cast<long>(env_number("QUORVANTIX_FUZZ_SCALE", 1));

struct Dice {
  Dice() { std::printf("fuzz seed %lu\n", seed); }
  unsigned long seed = env_number("QUORVANTIX_FUZZ_SEED", 20260607);
  std::mt19937_64 engine{seed};
  long number(long low, long high) { return std::uniform_int_distribution<long>(low, high)(engine); }
  template <typename T> T pick(const std::vector<T>& from) { return from[number(0, long(from.size()) - 1)]; }
  Bytes bytes(long count) {
    Bytes out(static_cast<std::size_t>(count));
    for (auto& byte : out) byte = static_cast<std::uint8_t>(number(0, 255));
    return out;
  }
};

}  // namespace

TEST(FrameFuzz, ReadsExactlyOneFrameOfAnyBytes) {
  Dice dice;
  for (long round = 0; round < 3000 * kScale; ++round) {
    SimPair pair;
    const long len = dice.number(0, 1) ? dice.pick<long>({-3, -1, 0, 1, 60, 1024, 1025, 1100}) : dice.number(0, 1024);
    Bytes stream = dice.bytes(std::max(0L, std::abs(len) + 3 + dice.number(-3, 40)));
    const auto frame = static_cast<std::size_t>(len + 3);
    const bool fits = len >= 0 && len <= kMaxPayload;
    if (fits && stream.size() >= frame && dice.number(0, 2) == 0) stream[frame - 2] = calc_LPC(stream.data() + 1, len);
    pair.cable.pace(fits ? dice.pick<long>({0, 300, 9600}) : 0);  // at 300 baud a long frame outlasts the time limit
    pair.cable.inject(SimCable::b, stream);
    std::vector<UBYTE> data(2 * kMaxPayload, 0xEE);
    const long result = receive_data(pair.service, data.data(), len);
    SCOPED_TRACE("round " + std::to_string(round) + ", length " + std::to_string(len));
    const long stored = fits && result != LINK_TIMEOUT ? len + 1 : 0;  // the payload and its NUL
    EXPECT_EQ(std::count(data.begin() + stored, data.end(), 0xEE), static_cast<long>(data.size()) - stored);
    if (stored == 0) {  // a length no frame has takes nothing from the line
      EXPECT_TRUE(fits ? result == LINK_TIMEOUT : result == LINK_CHECK_ERROR && read_raw(pair.service, 2000) == stream);
      continue;
    }
    ASSERT_GE(stream.size(), frame);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + len, stream.begin() + 1) && data[len] == 0);
    EXPECT_EQ(result == LINK_OK, calc_LPC(stream.data() + 1, len) == stream[frame - 2]);
    EXPECT_EQ(read_raw(pair.service, 2000), Bytes(stream.begin() + static_cast<long>(frame), stream.end()));
  }
}

TEST(ServiceFuzz, CommandLoopSurvivesGarbageAndStillAnswers) {
  Dice dice;
  Served ends;
  Link& customer = ends.pair.customer;
  Session next(customer);
  // Now and then a customer identifies, as after a sign-off; the rest are command frames (mostly known codes,
  // never the one that ends the service, arguments that stay in the served directory) and bytes. Pauses are
  // sometimes longer than a time limit, after which commands are read in step.
  const auto rude_customer = [&] {
    for (long round = 0; round < 300 * kScale; ++round) {
      Bytes bytes = dice.bytes(dice.number(1, 1100)), payload = dice.bytes(60);
      if (dice.number(0, 4)) payload[0] = static_cast<std::uint8_t>(dice.number(cmd_get_akt_dir, cmd_set_baud_rate));
      if (payload[0] == cmd_terminate) payload[0] = cmd_get_akt_dir;
      std::replace_if(payload.begin() + 1, payload.end(), [](std::uint8_t b) { return b == '/' || b == '.'; }, '_');
      const long choice = dice.number(0, 19);
      if (choice == 0) reach_service(ends.session);
      write_raw(customer, choice < 12 ? frame_of(payload) : bytes);
      customer.delay_ticks(static_cast<int>(dice.number(0, 150)));
    }
    customer.drop_input_until_quiet(7 * time_limit(customer), 100 * time_limit(customer));
    EXPECT_TRUE(reach_service(next) == LINK_OK && remote_pwd(next) == LINK_OK && next.remote_dir == ends.remote.path());
  };
  const std::string console = console_of([&] { ends.pair.clock.run(rude_customer, {[&] { ends.serve(); }}); });
  if (HasFailure()) std::fputs(console.c_str(), stdout);
  EXPECT_EQ(names_in(ends.remote.path()), std::vector<std::string>{});
}

// The peer sends the header alone: only an empty file can complete; any other
// header is refused, or accepted and given up when no block comes.
TEST(ServiceFuzz, AnyFileHeaderEndsInARefusalOrAWholeFile) {
  Dice dice;
  const std::vector<std::string> names{"a", ".", "..", "\xAE", "a\xAE" "b", "%s%n", "-", std::string(58, 'n'),
                                       std::string(300, 'l'), "\xFF\xFE", "nodir/x", "", "dir/.."};
  const std::vector<std::string> numbers{"0", "-0", "00", "1", "-1", "1023", "1024", "2147483647", "2147483648",
                                         "-2147483648", "99999999999999999999", "+3", "0x10", "3abc", ""};
  for (long round = 0; round < 300 * kScale; ++round) {
    std::string header = dice.pick(names);
    for (long field = dice.number(0, 1) ? 2 : dice.number(0, 3); field > 0; --field) header += " " + dice.pick(numbers);
    header.resize(kHeaderBytes);  // as it travels: 60 bytes, zeros after the text
    Served ends;
    SimPair& pair = ends.pair;
    long status = -1;
    pair.clock.run([&] { status = receive_file(pair.service, platform::Tree::whole(), nullptr); },
                   {[&] { send_data(pair.customer, header.data(), kHeaderBytes); }});
    SCOPED_TRACE(header.c_str());
    EXPECT_TRUE(status == FILE_OK || status == FILE_HEADER_BAD || status == FILE_NO_DIR_LOCK ||
                status == FILE_NO_ROOM || status == FILE_CREATE_FAILED || status == FILE_TOO_MANY_FAILURES)
        << status;
    EXPECT_EQ(names_in(ends.remote.path()).size(), status == FILE_OK ? 1u : 0u);
    EXPECT_EQ(pair.cable.sent_by(SimCable::a).back(), status == FILE_OK ? ACK : NAK);
  }
}
