// The service's command loop and start-up on the simulated cable, against a
// customer end that sends raw command frames and reads the answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "misc.h"
#include "service.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

Bytes operator+(Bytes head, const Bytes& tail) { return head.insert(head.end(), tail.begin(), tail.end()), head; }

// A command frame's payload: `text` cut or padded with NULs to 60 bytes.
Bytes frame60(std::string text) { return text.resize(kCommandFrameBytes, '\0'), frame_of(text); }
Bytes command(UBYTE code, const std::string& argument = "") { return frame60(char(code) + argument); }

// Sends `frame`; what comes back within one time limit, at most `count` bytes.
Bytes ask(Link& link, const Bytes& frame, std::size_t count = 3) { return write_raw(link, frame), read_raw(link, count); }

// What `body` prints on the console; a simulation that gets stuck fails the test.
std::string console_of(const std::function<void()>& body) {
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(body());
  return testing::internal::GetCapturedStdout();
}

struct ServiceTest : testing::Test {
  // Runs `customer` against a service in its command loop, which prints `console`.
  void serve(const std::function<void()>& customer, const std::string& console, bool identify_first = false) {
    const auto service = [&] {
      if (identify_first) wait_for_customer(state);
      exec_commands(state);
      returned = true;
    };
    EXPECT_EQ(console_of([&] { pair.clock.run(customer, {service}); }), console);
  }
  TempDir dir;
  CurrentDirectory in_dir{dir.path()};
  SimPair pair;
  ServiceState state{pair.service, "sim", 0, {}};
  Identities ids;
  bool returned = false;
};

}  // namespace

TEST_F(ServiceTest, RefusesUnknownCodesAndDamagedFrames) {
  Bytes damaged_terminate = command(cmd_terminate);
  damaged_terminate[kCommandFrameBytes + 1] ^= 0x01;
  serve([&] {
    for (const UBYTE code : {0x1F, 0x27, 0x28, 0x2A}) EXPECT_EQ(ask(pair.customer, command(code)), Bytes({ACK, NAK}));
    EXPECT_EQ(ask(pair.customer, damaged_terminate), Bytes{NAK});
    EXPECT_EQ(ask(pair.customer, command(0x27)), Bytes({ACK, NAK})) << "still serving";
    EXPECT_EQ(ask(pair.customer, command(cmd_terminate)), Bytes{ACK});
    EXPECT_TRUE(returned);
  }, "Terminierungsignal empfangen\n");
}

TEST_F(ServiceTest, ReportsAndChangesTheCurrentDirectory) {
  const std::string sub(45, 'd');  // the whole name is longer than a frame
  ASSERT_EQ(mkdir((dir / sub).c_str(), 0700), 0);
  serve([&] {
    EXPECT_EQ(ask(pair.customer, command(cmd_get_akt_dir), 64), Bytes{ACK} + frame60(dir.path()));
    write_raw(pair.customer, {ACK});
    EXPECT_EQ(ask(pair.customer, command(cmd_set_akt_dir, "no-such-dir")), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, command(cmd_set_akt_dir, sub)), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, command(cmd_get_akt_dir), 64), Bytes{ACK} + frame60(dir / sub));
    write_raw(pair.customer, {ACK});
    ask(pair.customer, command(cmd_terminate));
  }, "Akt. Verzeichnisname (" + dir.path() + ") gesendet.\nAkt. Verzeichnis auf " + sub +
      " gesetzt.\nAkt. Verzeichnisname (" + dir / sub + ") gesendet.\nTerminierungsignal empfangen\n");
}

TEST_F(ServiceTest, ChangesSpeedAndWaitsForTheNextCustomerAt9600) {
  serve([&] {
    EXPECT_EQ(ask(pair.customer, command(cmd_set_baud_rate, "19200"), 1), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>{9600}) << "not before its ACK has left";
    EXPECT_EQ(ask(pair.customer, command(cmd_customer_terminate)), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>({9600, 19200, 9600}));
    EXPECT_EQ(ask(pair.customer, command(0x27)), Bytes{}) << "nothing served before an identification";
    pair.clock.sleep_for(1s);
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command(0x27)), Bytes({ACK, NAK}));
    ask(pair.customer, command(cmd_terminate));
  }, "Baudrate auf 19200 gesetzt status 0\nCustomer Terminierung empfangen\nTerminierungsignal empfangen\n");
}

TEST_F(ServiceTest, OpensALostLineAgainAndIdentifiesTheNextCustomer) {
  serve([&] {
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    pair.clock.sleep_for(1s);  // the service takes the last ACK and waits for a command
    pair.cable.cut();
    pair.clock.sleep_for(5s);
    pair.cable.restore();
    ASSERT_EQ(allocport(pair.customer, 0, "sim"), PORT_OK);
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command(cmd_terminate)), Bytes{ACK});
  }, "Line lost, waiting for it to come back\nLine is open again\nTerminierungsignal empfangen\n", true);
  EXPECT_TRUE(returned);
}

TEST(ServiceMain, StartUpLinesAndExitStatus) {
  const std::string opening = "Opening Device serial.device Port 0\n";
  const struct { std::vector<std::string> args; bool cut; int status; std::string console; bool serves; } table[] = {
      {{"quorvantix"}, false, 0, opening, true},
      {{"quorvantix", "dev"}, false, 0, opening, true},
      {{"quorvantix", "dev", "abc"}, false, 0, "dev 0\nOpening Device dev Port 0\n", true},
      {{"quorvantix", "--version"}, false, 0, "Quorvantix 11.00 (07.06.26)\n", false},
      {{"quorvantix", "--help"}, false, 0, "usage: quorvantix [DEVICE UNIT]\n", false},  // first line only
      {{"quorvantix"}, true, 1, opening + "Can't config Serial-Port\n", false}};
  for (auto row : table) {
    SimPair pair;
    if (row.cut) pair.cable.cut();
    std::vector<char*> argv;
    for (auto& arg : row.args) argv.push_back(arg.data());
    int status = -1;
    Identities ids;
    const std::string console = console_of([&] {
      pair.clock.run([&] { status = service_main(int(argv.size()), argv.data(), pair.clock, pair.cable.opener(SimCable::a)); },
                     {[&] { identify(pair.customer, 'c', ids), ask(pair.customer, command(cmd_terminate)); }});
    });
    const std::string cpu = ids.customer.cpu;
    if (row.serves) row.console += "Service is ready\nCustomer:AmigaOS 4.1 / " + cpu + "\nTerminierungsignal empfangen\n";
    EXPECT_EQ(row.args.back() == "--help" ? console.substr(0, row.console.size()) : console, row.console);
    EXPECT_EQ(status, row.status) << row.args.back();
  }
}
