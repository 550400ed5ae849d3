// The service's command line and start-up: its options, its console lines and
// exit status, and what it tells the service manager.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "host/service_manager.h"
#include "tests/support/fixtures.h"

namespace {

// The argument vector of `words`, which must outlive it.
std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  return argv;
}

// The service's main on side a of a simulated cable, and a customer on side
// b that identifies, does `between` and sends the terminate command.
struct Main {
  // What the console shows of a run with `words` for its command line.
  std::string run(std::vector<std::string> words, const std::function<void(Link&)>& between = {}) {
    std::vector<char*> argv = argv_of(words);
    const auto customer = [&] {
      (void)identify(pair.customer, Side::customer, ids);
      if (between) between(pair.customer);
      ask(pair.customer, command_frame(cmd_terminate));
    };
    return console_of([&] {
      pair.clock.run([&] { status = service_main(int(argv.size()), argv.data(), pair.clock, pair.cable.opener(SimCable::a)); },
                     {customer});
    });
  }
  SimPair pair;
  Identities ids;
  int status = -1;
};

// What the service takes from a command line, in one line.
std::string parsed(std::vector<std::string> words) {
  std::vector<char*> argv = argv_of(words);
  std::string error;
  const auto o = parse_service_options(static_cast<int>(argv.size()), argv.data(), error);
  if (!o) return error.empty() ? "refused without a reason" : "refused";
  return o->device + " " + std::to_string(o->unit) + (o->root.empty() ? "" : " root=" + o->root) +
         (o->read_only ? " read-only" : "") + (o->no_shutdown ? " no-shutdown" : "") +
         (o->charset == host::kDefaultWireCharset ? "" : " charset=" + o->charset) +
         (o->allowed.empty() ? "" : " allow=" + std::to_string(o->allowed.size())) +
         (o->idle_timeout_seconds == 600 ? "" : " idle=" + std::to_string(o->idle_timeout_seconds));
}

}  // namespace

TEST(ServiceOptions, OneArgumentMustNameALineAndOptionsGoAnywhere) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"q"}, "serial.device 0"}, {{"q", "/dev/ttyUSB1"}, "/dev/ttyUSB1 0"}, {{"q", "acm.device"}, "acm.device 0"},
      {{"q", "tcp-listen:2323"}, "tcp-listen:2323 0"}, {{"q", "usbserial.device", "2"}, "usbserial.device 2"},
      {{"q", "--no-shutdown", "--root", "/srv/q", "/dev/ttyS1", "0"}, "/dev/ttyS1 0 root=/srv/q no-shutdown"},
      {{"q", "/dev/x", "--read-only", "-3", "--root=/r"}, "/dev/x -3 root=/r read-only"},
      {{"q", "ttyUSB0"}, "refused"}, {{"q", "/dev/x", "0", "1"}, "refused"}, {{"q", "--root"}, "refused"},
      {{"q", "--root="}, "refused"}, {{"q", "--shutdown", "/dev/x"}, "refused"},
      {{"q", "--charset", "UTF-8", "/dev/x"}, "/dev/x 0 charset=UTF-8"}, {{"q", "--charset", "UTF-16", "/dev/x"}, "refused"},
      {{"q", "--allow", "192.0.2.0/24", "--allow=::1", "--idle-timeout", "0", "tcp-listen:2323"},
       "tcp-listen:2323 0 allow=2 idle=0"},
      {{"q", "--allow", "10.0.0.0/8", "tcp:127.0.0.1:2323"}, "refused"},  // it connects: --allow could not act
      {{"q", "--allow", "localhost", "tcp-listen:2323"}, "refused"}, {{"q", "--idle-timeout=-1", "tcp-listen:2323"}, "refused"},
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
    Main main;
    if (row.cut) main.pair.cable.cut();
    const std::string console = main.run(row.args), cpu = main.ids.customer.cpu;
    if (row.serves) row.console += "Service is ready\nCustomer:AmigaOS 4.1 / " + cpu + "\nTerminierungsignal empfangen\n";
    EXPECT_TRUE(row.args.back() == "--help" ? console.find(row.console) != std::string::npos : console == row.console)
        << console;
    EXPECT_EQ(main.status, row.status) << row.args.back();
  }
}

// Under a unit of Type=notify: ready once the line is open, keep-alives for
// the watchdog (here 10 s) from the waits of a service that waits a minute
// for its customer's next command, and stopping at the end.
TEST(ServiceMain, TellsTheServiceManagerItIsReadyAliveAndStopping) {
  if (!host::ServiceManager::can_notify()) GTEST_SKIP() << "built without libsystemd";
  const TempDir dir;
  const host::UniqueFd manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
  Main main;
  main.run({"quorvantix"}, [&](Link&) { main.pair.clock.sleep_for(60s); });
  unsetenv("NOTIFY_SOCKET"), unsetenv("WATCHDOG_USEC");
  reader.join();
  ASSERT_GE(told.size(), 2u);
  EXPECT_EQ(std::count(told.begin(), told.end(), "READY=1"), 1);
  EXPECT_EQ(told.back(), "STOPPING=1");
  const auto keep_alives = std::count(told.begin(), told.end(), "WATCHDOG=1");
  EXPECT_TRUE(keep_alives >= 6 && keep_alives <= 30) << keep_alives;  // at least one in every 10 s, not a flood
}
