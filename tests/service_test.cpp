// The service's command line, start-up and command loop on the simulated
// cable, against a customer end that sends raw command frames and reads the
// answers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/service_manager.h"
#include "support/fixtures.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Sends `frame`; what comes back within one time limit, at most `count` bytes.
Bytes ask(Link& link, const Bytes& frame, std::size_t count = 3) { return write_raw(link, frame), read_raw(link, count); }

struct ServiceTest : testing::Test, Served {
  // Runs `customer` against the service in its command loop (entered at once,
  // or after an identification), which prints `console`.
  void expect(const std::function<void()>& customer, const std::string& console, bool identify_first = false) {
    const auto loop = [&] {
      if (identify_first) wait_for_customer(service);
      exec_commands(service);
      returned = true;
    };
    EXPECT_EQ(console_of([&] { pair.clock.run(customer, {loop}); }), console);
  }
  Identities& ids = session.ids;
  bool returned = false;
};

// What the service takes from a command line, in one line.
std::string parsed(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  std::string error;
  const auto o = parse_service_options(static_cast<int>(argv.size()), argv.data(), error);
  if (!o) return error.empty() ? "refused without a reason" : "refused";
  return o->device + " " + std::to_string(o->unit) + (o->root.empty() ? "" : " root=" + o->root) +
         (o->read_only ? " read-only" : "") + (o->no_shutdown ? " no-shutdown" : "") +
         (o->allowed.empty() ? "" : " allow=" + std::to_string(o->allowed.size())) +
         (o->idle_timeout_seconds == 600 ? "" : " idle=" + std::to_string(o->idle_timeout_seconds));
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
      {{"q", "--allow", "192.0.2.0/24", "--allow=::1", "--idle-timeout", "0", "tcp-listen:2323"},
       "tcp-listen:2323 0 allow=2 idle=0"},
      {{"q", "--allow", "10.0.0.0/8", "tcp:127.0.0.1:2323"}, "refused"},  // it connects: --allow could not act
      {{"q", "--allow", "localhost", "tcp-listen:2323"}, "refused"},
      {{"q", "--idle-timeout=-1", "tcp-listen:2323"}, "refused"},
      {{"q", "--idle-timeout", "9x", "tcp-listen:2323"}, "refused"},
  };
  for (const auto& [words, expected] : cases) EXPECT_EQ(parsed(words), expected) << words.back();
}

TEST(ServiceMain, StartUpLinesAndExitStatus) {
  const std::string opening = "Opening Device serial.device Port 0\n";
  const struct { std::vector<std::string> args; bool cut; int status; std::string console; bool serves; } table[] = {
      {{"quorvantix"}, false, 0, opening, true},
      {{"quorvantix", "dev"}, false, 2, "", false},  // names no line
      {{"quorvantix", "dev", "abc"}, false, 0, "dev 0\nOpening Device dev Port 0\n", true},
      {{"quorvantix", "--version"}, false, 0, "Quorvantix 11.00 (07.06.26)\n", false},
      {{"quorvantix", "--help"}, false, 0, "the current directory (now " + std::filesystem::current_path().string() + ")", false},
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
                     {[&] { identify(pair.customer, 'c', ids), ask(pair.customer, command_frame(cmd_terminate)); }});
    });
    const std::string cpu = ids.customer.cpu;
    if (row.serves) row.console += "Service is ready\nCustomer:AmigaOS 4.1 / " + cpu + "\nTerminierungsignal empfangen\n";
    EXPECT_TRUE(row.args.back() == "--help" ? console.find(row.console) != std::string::npos : console == row.console)
        << console;
    EXPECT_EQ(status, row.status) << row.args.back();
  }
}

// Under a unit of Type=notify: ready once the line is open, keep-alives for
// the watchdog (here 10 s) from the waits of a service that waits a minute
// for its customer's next command, and stopping at the end.
TEST(ServiceMain, TellsTheServiceManagerItIsReadyAliveAndStopping) {
  if (!platform::ServiceManager::can_notify()) GTEST_SKIP() << "built without libsystemd";
  const TempDir dir;
  const platform::UniqueFd manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "notify").c_str());
  ASSERT_EQ(bind(manager.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", address.sun_path, 1), setenv("WATCHDOG_USEC", "10000000", 1);
  // A manager reads its messages as they come (a socket holds only a few).
  std::vector<std::string> told;
  std::thread reader([&] {
    char message[64];
    for (pollfd in{manager.get(), POLLIN, 0}; poll(&in, 1, 5000) > 0;) {
      const ssize_t got = recv(manager.get(), message, sizeof message, 0);
      if (got > 0) told.emplace_back(message, static_cast<std::size_t>(got));
      if (!told.empty() && told.back() == "STOPPING=1") break;
    }
  });
  SimPair pair;
  std::string program = "quorvantix";
  char* argv[] = {program.data()};
  Identities ids;
  console_of([&] {
    pair.clock.run([&] { service_main(1, argv, pair.clock, pair.cable.opener(SimCable::a)); },
                   {[&] {
                     identify(pair.customer, 'c', ids), pair.clock.sleep_for(60s);
                     ask(pair.customer, command_frame(cmd_terminate));
                   }});
  });
  unsetenv("NOTIFY_SOCKET"), unsetenv("WATCHDOG_USEC");
  reader.join();
  ASSERT_GE(told.size(), 2u);
  EXPECT_EQ(std::count(told.begin(), told.end(), "READY=1"), 1);
  EXPECT_EQ(told.back(), "STOPPING=1");
  const auto keep_alives = std::count(told.begin(), told.end(), "WATCHDOG=1");
  EXPECT_TRUE(keep_alives >= 6 && keep_alives <= 30) << keep_alives;  // at least one in every 10 s, not a flood
}

TEST_F(ServiceTest, RefusesUnknownCodesAndDamagedFrames) {
  Bytes damaged_terminate = command_frame(cmd_terminate);
  damaged_terminate[kCommandFrameBytes + 1] ^= 0x01;
  expect([&] {
    for (const UBYTE code : {0x1F, 0x27, 0x28, 0x2A}) EXPECT_EQ(ask(pair.customer, command_frame(code)), Bytes({ACK, NAK}));
    EXPECT_EQ(ask(pair.customer, damaged_terminate), Bytes{NAK});
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes({ACK, NAK})) << "still serving";
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK});
    EXPECT_TRUE(returned);
  }, "Terminierungsignal empfangen\n");
}

TEST_F(ServiceTest, ReportsAndChangesTheCurrentDirectory) {
  const std::string sub(45, 'd');  // the whole name is longer than a frame
  ASSERT_EQ(mkdir((remote / sub).c_str(), 0700), 0);
  const auto name_frame = [](std::string name) { return name.resize(kCommandFrameBytes), frame_of(name); };
  expect([&] {
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 64), Bytes{ACK} + name_frame(remote.path()));
    write_raw(pair.customer, {ACK});
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_akt_dir, "no-such-dir")), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_akt_dir, sub)), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 64), Bytes{ACK} + name_frame(remote / sub));
    write_raw(pair.customer, {ACK});
    ask(pair.customer, command_frame(cmd_terminate));
  }, "Akt. Verzeichnisname (" + remote.path() + ") gesendet.\nAkt. Verzeichnis auf " + sub +
      " gesetzt.\nAkt. Verzeichnisname (" + remote / sub + ") gesendet.\nTerminierungsignal empfangen\n");
}

TEST_F(ServiceTest, ChangesSpeedAndWaitsForTheNextCustomerAt9600) {
  expect([&] {
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_baud_rate, "19200"), 1), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>{9600}) << "not before its ACK has left";
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_customer_terminate)), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>({9600, 19200, 9600}));
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes{}) << "nothing served before an identification";
    pair.clock.sleep_for(1s);
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes({ACK, NAK}));
    ask(pair.customer, command_frame(cmd_terminate));
  }, "Baudrate auf 19200 gesetzt status 0\nCustomer Terminierung empfangen\nTerminierungsignal empfangen\n");
}

// Whatever the customer makes of the service's identification, the service
// goes on to its commands, and answers there a customer that identifies
// again; a line that went away is opened again for the next customer.
TEST_F(ServiceTest, TakesCustomersAgainAfterAnIdentificationTheyRefusedAndAfterALostLine) {
  expect([&] {
    write_raw(pair.customer, own_frame());
    read_raw(pair.customer, 7);            // ACK and the service's frame,
    write_raw(pair.customer, {NAK});       // which we say came damaged
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 1), Bytes{ACK});
    settle(pair.customer);  // the service gives up waiting for our answer to the name
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    pair.clock.sleep_for(1s);  // the service takes the last ACK and waits for a command
    pair.cable.cut();
    pair.clock.sleep_for(5s);
    pair.cable.restore();
    ASSERT_EQ(allocport(pair.customer, 0, "sim"), PORT_OK);
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK});
  }, "Akt. Verzeichnisname (" + remote.path() + ") gesendet.\nLine lost, waiting for it to come back\n"
     "Line is open again\nTerminierungsignal empfangen\n", true);
  EXPECT_TRUE(returned);
}
