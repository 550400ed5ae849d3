#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io_atome.h"
#include "io_module.h"
#include "misc.h"
#include "service.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace testsupport;

namespace {

constexpr int kTicksPerSecond = 50;

// A receiver that answers 1.5 s after a block frame has arrived whole.
TEST(SlowPeers, AnswerWaitStartsOnceTheFrameHasLeftASerialPort) {
  SimPair pair;
  pair.cable.pace(9600);  // a block frame takes 1.07 s to leave
  const std::string block(1024, 'x');
  long sent = -1;
  pair.clock.run([&] { sent = send_data(pair.customer, block.data(), 1024); },
                 {[&] {
                   UBYTE data[1025];
                   receive_data(pair.service, data, 1024);
                   pair.service.delay_ticks(kTicksPerSecond * 3 / 2);
                   send_ACK(pair.service);
                 }});
  EXPECT_EQ(sent, LINK_OK);
  EXPECT_EQ(pair.cable.sent_by(SimCable::b).size(), 1027u);  // sent once
}

// A sender that takes 1.5 s to read each block from its disk, and repeats a
// block at once when its time limit runs out, as the design has it. True when
// every block was acknowledged.
bool send_slowly(Link& link, int blocks) {
  char header[60] = "zeros 20 0";
  if (send_data(link, header, 60) != LINK_OK) return false;
  const std::string zeros(1024, '\0');
  for (int block = 0; block < blocks; ++block) {
    link.delay_ticks(kTicksPerSecond * 3 / 2);
    int tries = 0;
    while (send_data(link, zeros.data(), 1024) != LINK_OK) {
      if (++tries == 5) return false;
    }
  }
  return true;
}

TEST(SlowPeers, EqualBlocksOfASlowSenderAreStoredAndALostAckStillShowsARepeat) {
  for (const bool lose_an_ack : {false, true}) {
    SimPair pair;
    TempDir dir;
    if (lose_an_ack) {
      pair.cable.tamper(SimCable::a, [](std::size_t index, std::uint8_t byte) {
        return index == 5 ? Bytes{} : Bytes{byte};  // the ACK of the fifth block
      });
    }
    long received = -1;
    bool sent = false;
    pair.clock.run([&] { sent = send_slowly(pair.customer, 20); },
                   {[&] { received = receive_file_to(pair.service, platform::Tree::whole(), nullptr, (dir / "zeros").c_str()); }});
    EXPECT_TRUE(sent) << "lose an ACK: " << lose_an_ack;
    EXPECT_EQ(received, FILE_OK) << "lose an ACK: " << lose_an_ack;
    EXPECT_EQ(read_file(dir / "zeros"), Bytes(20 * 1024, 0)) << "lose an ACK: " << lose_an_ack;
  }
}

Bytes id_frame() {
  UBYTE own[4] = {};
  build_own_frame(own);
  return frame_of(Bytes(own, own + 3));
}

Bytes command(UBYTE code) {
  Bytes payload(60, 0);
  payload[0] = code;
  return frame_of(payload);
}

// The service goes on to its command loop whatever the customer makes of its
// identification, and answers a customer that identifies again from there.
TEST(Identification, ServiceGoesOnAndAnswersACustomerThatIdentifiesAgain) {
  SimPair pair;
  ServiceState service{pair.service, "sim", 0, {}};
  Bytes after_damaged_answer, second_identification;
  pair.clock.run(
      [&] {
        Link& customer = pair.customer;
        write_raw(customer, id_frame());
        read_raw(customer, 7);                 // ACK and the service's frame,
        write_raw(customer, {NAK});            // which we say came damaged
        write_raw(customer, command(cmd_get_akt_dir));
        after_damaged_answer = read_raw(customer, 1);
        settle(customer);  // the service gives up waiting for our answer to the name
        Identities ids;
        second_identification = {static_cast<UBYTE>(identify(customer, 'c', ids))};
      },
      {[&] {
        wait_for_customer(service);
        exec_commands(service);
      }});
  EXPECT_EQ(after_damaged_answer, Bytes{ACK});
  EXPECT_EQ(second_identification, Bytes{LINK_OK});
}

}  // namespace
