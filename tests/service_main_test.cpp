// The service's command line, and the link's rule that a line that has gone
// ends a transfer at once.
#include <gtest/gtest.h>

#include "service.h"
#include "support/sim_link.h"

using namespace testsupport;

namespace {

// What the service takes from a command line, in one line; "refused" with the reason.
std::string parsed(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  std::string error;
  const auto o = parse_service_options(static_cast<int>(argv.size()), argv.data(), error);
  if (!o) return error.empty() ? "refused without a reason" : "refused";
  return o->device + " " + std::to_string(o->unit) + (o->root.empty() ? "" : " root=" + o->root) +
         (o->read_only ? " read-only" : "") + (o->no_shutdown ? " no-shutdown" : "");
}

}  // namespace

TEST(ServiceOptions, OneArgumentMustNameALineAndOptionsGoAnywhere) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"q"}, "serial.device 0"},
      {{"q", "/dev/ttyUSB1"}, "/dev/ttyUSB1 0"},
      {{"q", "tcp-listen:2323"}, "tcp-listen:2323 0"},
      {{"q", "acm.device"}, "acm.device 0"},
      {{"q", "usbserial.device", "2"}, "usbserial.device 2"},
      {{"q", "--no-shutdown", "--root", "/srv/q", "/dev/ttyS1", "0"}, "/dev/ttyS1 0 root=/srv/q no-shutdown"},
      {{"q", "/dev/x", "--read-only", "-3", "--root=/r"}, "/dev/x -3 root=/r read-only"},
      {{"q", "ttyUSB0"}, "refused"},
      {{"q", "/dev/x", "0", "1"}, "refused"},
      {{"q", "--root"}, "refused"},
      {{"q", "--root="}, "refused"},
      {{"q", "--shutdown", "/dev/x"}, "refused"},
  };
  for (const auto& [words, expected] : cases) EXPECT_EQ(parsed(words), expected) << words.back();
}

TEST(LinkOnAFailedLine, EndsATransferAtOnceWhereASilentLineTimesOut) {
  SimPair pair;
  UBYTE data[4];
  const auto start = pair.clock.now();
  EXPECT_EQ(receive_data(pair.service, data, 3), LINK_TIMEOUT);
  EXPECT_EQ(pair.clock.now() - start, time_limit(pair.service));
  pair.cable.cut();
  const auto cut = pair.clock.now();
  EXPECT_EQ(send_data(pair.service, "abc", 3), LINK_SEND_TIMEOUT);
  EXPECT_EQ(send_ACK(pair.service), LINK_TIMEOUT);
  EXPECT_EQ(receive_data(pair.service, data, 3), LINK_TIMEOUT);
  EXPECT_FALSE(pair.service.first_byte_within(time_limit(pair.service)));
  settle(pair.service);
  EXPECT_EQ(pair.clock.now(), cut);
  EXPECT_TRUE(pair.service.lost());
}
