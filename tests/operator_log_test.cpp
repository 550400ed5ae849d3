// The operator's log: its marks for a terminal or a file, and for the journal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "service/operator_log.h"
#include "lines/uart_reading.h"
#include "tests/support/fixtures.h"
#include "tests/support/sim_link.h"

using namespace quorvantix;
using namespace quorvantix::wire;
using namespace quorvantix::service;
using namespace quorvantix::testsupport;

using namespace std::chrono_literals;

// A line on standard error carries the time of day in UTC, or, where
// standard error is the journal's stream, only its priority.
TEST(OperatorLog, MarksLinesWithTheTimeOfDayOrForTheJournal) {
  // 2024-02-29 23:59:59.999 UTC, a leap day
  EXPECT_EQ(time_stamp(std::chrono::seconds(1709251199) + 999ms + 999us), "2024-02-29T23:59:59.999Z");
  testsupport::SimClock clock;
  for (const bool journal : {false, true}) {
    testing::internal::CaptureStderr();
    struct stat st {};
    ASSERT_EQ(fstat(2, &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(journal ? st.st_ino : st.st_ino + 1);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    const OperatorLog log = OperatorLog::to_stderr(clock);
    log.write(OperatorLog::Priority::notice, "refused 192.0.2.7:51234");
    const auto began = clock.now();
    clock.sleep_for(2500ms);
    log.transfer("put 'a.txt'", 1024, 2000, began, wire::fail(wire::Status::too_many_failures, ""));
    unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              journal ? "<5>refused 192.0.2.7:51234\n<6>put 'a.txt': 1024 of 2000 bytes in 2.50 s, status 14\n"
                      : "1970-01-01T00:00:00.000Z quorvantix: refused 192.0.2.7:51234\n"
                        "1970-01-01T00:00:02.500Z quorvantix: put 'a.txt': 1024 of 2000 bytes in 2.50 s, status 14\n");
  }
}

// While the service waits for an identification, what forms no frame there
// may say why no customer comes: an identification sent at another speed
// (named), or the service's own answer coming back. At most once a minute.
TEST(OperatorLog, HintsAtACustomerAtAnotherSpeedOrAnEcho) {
  Served s;
  std::string logged;
  s.service.log = OperatorLog(s.pair.clock, OperatorLog::Marks::journal_priority, [&](const std::string& line) { logged += line; });
  const Bytes at_19200 = lines::uart_reads(own_frame(), 19200, kStartBaud);
  const std::string speed = "<5>a customer seems to be sending its identification at 19200 baud; the service "
                            "listens at 9600 until a customer has identified\n";
  const std::string echo = "<5>the service hears its own bytes back: a looped line or a loopback plug, or a "
                           "terminal program with echo on at the far end\n";
  const auto tries = [&](int count) {
    for (int i = 0; i < count; ++i) write_raw(s.pair.customer, at_19200), s.pair.clock.sleep_for(3s);
  };
  s.pair.clock.run([&] {
    write_raw(s.pair.customer, Bytes(12, 0)), s.pair.clock.sleep_for(61s);
    EXPECT_EQ(logged, "");  // a break's zeros point to no speed
    tries(2);
    EXPECT_EQ(logged, speed);
    tries(20);  // a minute later one more, not one a try
    EXPECT_EQ(logged, speed + speed);
    s.pair.clock.sleep_for(61s);
    write_raw(s.pair.customer, Bytes{ACK} + own_frame()), s.pair.clock.sleep_for(3s);
    ASSERT_TRUE(ok(s.session.reach_service()));  // and a customer at 9600 draws none
    s.pair.clock.sleep_for(1s);
    EXPECT_EQ(logged.find("<6>customer "), (speed + speed + echo).size()) << logged;
    EXPECT_TRUE(logged.ends_with("identified\n")) << logged;
  }, {[&] { s.serve(); }});
}
