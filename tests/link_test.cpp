// The link layer on the simulated cable: check bytes, frames, answers and the time
// limit. One end runs alone (its waits jump the fake clock) unless a case needs two.
#include <gtest/gtest.h>

#include "tests/support/fixtures.h"

namespace {

// A pair whose clock reads 0 once both ends are open.
struct Pair : SimPair {
  nanoseconds start = clock.now();
  nanoseconds elapsed() const { return clock.now() - start; }
};

// The simulated clock, counting the sleeps of the one end that uses it.
class CountingClock final : public host::Clock {
 public:
  explicit CountingClock(SimClock& clock) : clock_(clock) {}
  nanoseconds now() const override { return clock_.now(); }
  void sleep_for(nanoseconds length) override { ++sleeps, clock_.sleep_for(length); }
  nanoseconds tick() const override { return clock_.tick(); }
  int sleeps = 0;

 private:
  SimClock& clock_;
};

}  // namespace

TEST(CalcLpc, KeepsTheCheckByteOffTheValuesNearFrameBytes) {
  const struct { Bytes data; int check; } table[] = {
      {{}, 4},      {{0}, 4},   {{1}, 5},   {{2}, 6},   {{128}, 132}, {{200}, 204},          {{251}, 255},
      {{252}, 0},   {{253}, 1}, {{254}, 2}, {{255}, 3}, {{0x80}, 0x84}, {{'a', 'b', 'c'}, 0x60}, {{0xFE}, 0x02}};
  for (const auto& row : table) EXPECT_EQ(calc_LPC(row.data.data(), long(row.data.size())), row.check);
  for (UBYTE x = 3; x <= 127; ++x) EXPECT_EQ(calc_LPC(&x, 1), x);
}

TEST(SendData, OneFrameOnTheWireAndOnlyAnAckInTimeIsSuccess) {
  Bytes counting(1024);  // its exclusive-or is 0
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = UBYTE(i);
  const Bytes fe = {0x02, 0xFE, 0x02, 0x03}, block = Bytes{0x02} + counting + Bytes{0x04, 0x03};
  const nanoseconds byte_at_9600 = 1041666ns, fe_wire = 4 * byte_at_9600;
  const struct { Bytes payload, answer; long baud; nanoseconds arrives; WireOutcome result; nanoseconds done; Bytes wire; } table[] = {
      {{}, {ACK}, 0, 0ns, kOk, 0ns, {0x02, 0x04, 0x03}},
      {{'a', 'b', 'c'}, {ACK}, 0, 0ns, kOk, 0ns, {0x02, 0x61, 0x62, 0x63, 0x60, 0x03}},
      {{0xFE}, {ACK}, 0, 0ns, kOk, 0ns, fe},
      {counting, {ACK}, 0, 0ns, kOk, 0ns, block},
      {{0xFE}, {NAK}, 0, 0ns, Status::frame_not_acked, 0ns, fe},
      {{0xFE}, {0x41}, 0, 0ns, Status::frame_not_acked, 0ns, fe},
      // On a line that takes bytes at once (a pty, a socket), the limit for the
      // answer starts when the frame's four bytes have crossed at the link's speed.
      {{0xFE}, {ACK}, 0, 2100ms + fe_wire, kOk, 2100ms + fe_wire, fe},  // done just as the limit runs out: complete
      {{0xFE}, {ACK}, 0, 2100ms + fe_wire + 1ns, Status::timed_out, 2100ms + fe_wire, fe},
      {{0xFE}, {}, 0, 0ns, Status::timed_out, 2100ms + fe_wire, fe},
      // The time limit for the answer starts once the block has left a serial port (1.07 s at 9600 baud).
      {counting, {ACK}, 9600, 3100ms, kOk, 3100ms + byte_at_9600, block},
  };
  for (const auto& row : table) {
    Pair pair;
    pair.cable.pace(row.baud);
    pair.cable.delay(row.arrives);
    pair.cable.inject(SimCable::a, row.answer);
    EXPECT_EQ(outcome_of(send_data(pair.customer, reinterpret_cast<const char*>(row.payload.data()), long(row.payload.size()))),
              row.result) << row.payload.size() << " " << row.arrives.count();
    EXPECT_EQ(pair.elapsed(), row.done) << row.arrives.count();
    EXPECT_EQ(pair.cable.sent_by(SimCable::b), row.wire) << row.payload.size();
  }
}

TEST(ReceiveData, TakesOneFrameOfTheKnownLengthWithinOneTimeLimit) {
  const struct { Bytes wire; std::size_t stall_after; nanoseconds stall; WireOutcome plain, framed; nanoseconds done; } table[] = {
      {frame_of("abc"), 0, 0ns, kOk, kOk, 0ns},
      {{0x00, 'a', 'b', 'c', 0x60, 0x00}, 0, 0ns, kOk, Status::frame_damaged, 0ns},  // out of step, check matches
      {{STX, 'a', 'b', 'c', 0x61, ETX}, 0, 0ns, Status::frame_damaged, Status::frame_damaged, 0ns},
      {frame_of("abc"), 2, 2000ms, kOk, kOk, 2000ms},  // in pieces
      {frame_of("abc"), 0, 2100ms, kOk, kOk, 2100ms},
      {frame_of("abc"), 0, 2200ms, Status::timed_out, Status::timed_out, 2100ms}};  // late: kept for the next receive
  for (const auto& row : table) {
    for (const bool framed : {false, true}) {
      Pair pair;
      pair.cable.stall(SimCable::a, row.stall_after, row.stall);
      pair.cable.inject(SimCable::a, row.wire);
      UBYTE data[6] = {'x', 'x', 'x', 'x', 'x'};  // and a NUL
      EXPECT_EQ(framed ? outcome_of(receive_framed_data(pair.customer, data, 3)) : outcome_of(receive_data(pair.customer, data, 3)),
                framed ? row.framed : row.plain) << row.stall.count() << framed;
      EXPECT_EQ(pair.elapsed(), row.done);
      // Stored and terminated, damaged or not; untouched after a time-out.
      EXPECT_STREQ(reinterpret_cast<char*>(data), row.plain == Status::timed_out ? "xxxxx" : "abc");
      if (row.plain == Status::timed_out) { EXPECT_EQ(outcome_of(receive_data(pair.customer, data, 3)), kOk); }
    }
  }
}

// Every kind of port, at the speeds of the benchmark: each block of a
// stop-and-wait stream is answered the moment its last byte is handed over,
// and its reader wakes a few times for it (a wake-up every 100 ms poll of a
// slow frame aside), not for every byte.
TEST(ReceiveData, AnswersABlockAsItIsHandedOverWholeOnEveryPortWakingAFewTimesForIt) {
  const char* const patterns[] = {"byte", "fifo:8", "fifo:14", "usb:62,1", "usb:62,16", "usb:32,16", "tick:20", "burst"};
  constexpr int kBlocks = 5;
  // The tail of a block at 921600 baud is watched for byte by byte for the
  // timer's slack (50 us, five bytes there); the rest takes a few.
  constexpr int kWakeUpsABlock = 14;
  for (const long baud : {9600L, 115200L, 921600L}) {
    for (const char* name : patterns) {
      std::string error;
      SimClock clock;
      SimCable cable(clock);
      cable.pace(baud);
      cable.deliver(*linesim::parse_delivery(name, error));
      CountingClock reader_clock(clock);
      Link sender(clock, cable.opener(SimCable::a)), reader(reader_clock, cable.opener(SimCable::b));
      ASSERT_TRUE(outcome_of(allocport(sender, 0, "sim")) == kOk && set_baud_rate(sender, baud).ok());
      ASSERT_TRUE(outcome_of(allocport(reader, 0, "sim")) == kOk && set_baud_rate(reader, baud).ok());
      const Bytes block = pattern_bytes(1024);
      std::vector<nanoseconds> answered_after;
      clock.run([&] {
        for (int i = 0; i < kBlocks; ++i) {
          ASSERT_EQ(outcome_of(send_data(sender, reinterpret_cast<const char*>(block.data()), 1024)), kOk) << name << i;
        }
      }, {[&] {
        UBYTE got[1025];
        while (outcome_of(receive_data(reader, got, 1024)) == kOk && Bytes(got, got + 1024) == block) {
          answered_after.push_back(reader.now() - cable.last_hand_over(SimCable::b));
          send_ACK(reader);
        }
      }});
      EXPECT_EQ(answered_after, std::vector<nanoseconds>(kBlocks, 0ns)) << name << " at " << baud;
      const int polls_a_block = int(wire_time(reader, 1028) / (kTicksBetweenPolls * reader.tick()));
      const int wake_ups = reader_clock.sleeps + cable.waits(SimCable::b);
      EXPECT_LE(wake_ups, kBlocks * (kWakeUpsABlock + polls_a_block)) << name << " at " << baud;
    }
  }
}

// A block whose bytes come faster than the line's speed (a port that lagged
// and hands over its backlog) keeps its reader awake; the blocks after it
// are slept through again, not watched for byte by byte.
TEST(ReceiveData, ABacklogKeepsOneReadAwakeAndNoMore) {
  Pair pair;
  pair.cable.pace(9600);
  const Bytes block = pattern_bytes(1024), frame = frame_of(block);
  constexpr int kLaterBlocks = 3;
  int waits_before_later_blocks = 0;
  std::vector<WireOutcome> results;
  pair.clock.run([&] {
    ASSERT_TRUE(write_raw(pair.customer, Bytes(frame.begin(), frame.begin() + 10)));
    pair.clock.sleep_for(50ms);
    pair.cable.pace(0);
    pair.cable.inject(SimCable::b, Bytes(frame.begin() + 10, frame.end() - 5));
    pair.cable.pace(9600);
    pair.clock.sleep_for(150ms);
    ASSERT_TRUE(write_raw(pair.customer, Bytes(frame.end() - 5, frame.end())));
    ASSERT_EQ(read_raw(pair.customer, 1), Bytes{ACK});
    waits_before_later_blocks = pair.cable.waits(SimCable::a);
    for (int i = 0; i < kLaterBlocks; ++i) {
      results.push_back(outcome_of(send_data(pair.customer, reinterpret_cast<const char*>(block.data()), 1024)));
    }
  }, {[&] {
    UBYTE got[1025];
    while (outcome_of(receive_data(pair.service, got, 1024)) == kOk) send_ACK(pair.service);
  }});
  EXPECT_EQ(results, std::vector<WireOutcome>(kLaterBlocks, kOk));
  EXPECT_LE(pair.cable.waits(SimCable::a) - waits_before_later_blocks, kLaterBlocks * 8);
}

// A line that never opened ends every transfer at once, failed.
TEST(Link, ALineThatNeverOpenedEndsEveryTransferAtOnceFailed) {
  SimClock clock;
  Link unopened(clock, [](const std::string&, long, std::string& error) {
    error = "gone";
    return std::unique_ptr<lines::Line>();
  });
  EXPECT_EQ(outcome_of(allocport(unopened, 0, "nowhere")), Status::port_open_failed);
  UBYTE data[4];
  EXPECT_EQ(outcome_of(send_data(unopened, "abc", 3)), Status::send_timed_out);
  EXPECT_EQ(outcome_of(receive_data(unopened, data, 3)), Status::timed_out);
  EXPECT_FALSE(send_ACK(unopened));
  EXPECT_EQ(clock.now(), nanoseconds::zero());
}

// Bytes handed back to the link are read first, as if they had just come.
TEST(Link, BytesPutBackAreTheNextToArrive) {
  Pair pair;
  const Bytes frame = frame_of("abc");
  pair.cable.inject(SimCable::b, Bytes(frame.begin() + 2, frame.end()));
  pair.service.put_back(frame.data(), 2);
  EXPECT_EQ(pair.service.first_byte_within(0ns), pair.clock.now());
  UBYTE data[4] = {};
  EXPECT_EQ(outcome_of(receive_framed_data(pair.service, data, 3)), kOk);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "abc");
  pair.service.put_back(frame.data(), frame.size());
  pair.service.drop_pending_input();
  EXPECT_FALSE(pair.service.first_byte_within(time_limit(pair.service)));
}

// Every wait of the table keeps inside the others, so that a change to one
// line of it cannot break a rule that another line keeps.
TEST(Timing, EveryRuleOfTheTableKeepsInsideTheOthers) {
  Pair pair;
  const auto share = [&](LimitShare s) { return share_of_limit(pair.service, s); };
  const nanoseconds limit = time_limit(pair.service), poll = kTicksBetweenPolls * pair.service.tick();
  EXPECT_EQ(limit, 2100ms);
  // A sender that keeps to the limit repeats a block no sooner than a limit
  // after the block ended, and no later than a poll step after that; ours
  // repeats inside that window too, whichever way its answer failed.
  EXPECT_LE(share(timing::kRepeatWindowStart), limit);
  EXPECT_GE(share(timing::kRepeatWindowEnd), limit + poll);
  EXPECT_GE(limit + share(timing::kRepeatPause), share(timing::kRepeatWindowStart));
  EXPECT_LE(limit + share(timing::kRepeatPause), share(timing::kRepeatWindowEnd));
  // A refused short block comes again once the receiver has waited for a
  // frame gap of quiet, and well within its limit.
  EXPECT_GT(share(timing::kRefusedPause), frame_gap(pair.service));
  EXPECT_LT(share(timing::kRefusedPause) + frame_gap(pair.service), limit);
  // Quiet for settle() outlasts a sender's limit and its pause before a repeat.
  EXPECT_GT(share(timing::kSettleQuiet), limit + share(timing::kRepeatPause));
  EXPECT_GT(share(timing::kSettleCap), share(timing::kSettleQuiet));
  // A receiver has given up before we take it to have done so.
  EXPECT_GE(share(timing::kReceiverGivesUp), kFailuresEndingATransfer * limit);
  EXPECT_EQ(kMaxRetries + 1, kFailuresEndingATransfer);
}
