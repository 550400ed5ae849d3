// The service's command line, start-up and command loop on the simulated
// cable, against a customer end that sends raw command frames and reads the
// answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "io_module.h"
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
         (o->charset == platform::kDefaultWireCharset ? "" : " charset=" + o->charset);
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
      {{"q", "--charset", "UTF-8", "/dev/x"}, "/dev/x 0 charset=UTF-8"},
      {{"q", "--charset", "UTF-16", "/dev/x"}, "refused"},
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

// Each customer starts afresh: in the folder served, whatever the last one
// did, and also after a refused terminate (which signs it off) and after a
// customer that went away in the middle of a store; a folder that has gone
// is an error for the command that meets it.
TEST_F(ServiceTest, EveryCustomerStartsInTheFolderServedAndNothingOfTheLastOneLeaks) {
  service.no_shutdown = true;
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0700), 0);
  const Bytes into_sub = command_frame(cmd_set_akt_dir, "sub");
  const auto pwd_is = [&](const std::string& folder) {
    std::string name = folder;
    name.resize(kCommandFrameBytes);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 64), Bytes{ACK} + frame_of(name));
    write_raw(pair.customer, {ACK});
  };
  std::string header = "x 3 0";
  header.resize(kHeaderBytes);
  expect([&] {
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    ask(pair.customer, into_sub);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK}) << "no NAK left over";
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 9600);
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    pwd_is(remote.path());
    // The next customer comes while the last one's file is half stored.
    ask(pair.customer, into_sub);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_receive_file), 1), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, frame_of(header), 1), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, frame_of(Bytes(kBlockBytes, 7)), 1), Bytes{ACK});
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    pwd_is(remote.path());
    // A folder that goes away under the customer.
    ask(pair.customer, into_sub);
    ASSERT_EQ(rmdir((remote / "sub").c_str()), 0);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_send_akt_dir), 64), Bytes{ACK} + frame_of("END" + std::string(42, ' ')));
    write_raw(pair.customer, {ACK});
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_receive_file), 1), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, frame_of(header), 1), Bytes{NAK});
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    // A put into a folder that does not exist cannot create its file.
    header = "nodir/x 3 0", header.resize(kHeaderBytes);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_receive_file), 1), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, frame_of(header), 1), Bytes{NAK});
    sign_off(session);
  }, "Akt. Verzeichnis auf sub gesetzt.\nTerminierungsignal abgelehnt\nAkt. Verzeichnisname (" + remote.path() +
     ") gesendet.\nAkt. Verzeichnis auf sub gesetzt.\nEmpfangen der Datei status 14\nAkt. Verzeichnisname (" +
     remote.path() + ") gesendet.\nAkt. Verzeichnis auf sub gesetzt.\nSende Verzeichnis status 17\n"
     "Empfangen der Datei status 8\nEmpfangen der Datei status 13\nCustomer Terminierung empfangen\n", true);
  EXPECT_TRUE(names_in(remote.path()).empty());
}

// A customer that went away at 115200 baud leaves the service at that speed,
// where the next one's frames at 9600 arrive as garbage: input that forms no
// frame, twice in a row, sends the service back to 9600. A customer that is
// merely idle keeps its session and its speed.
TEST_F(ServiceTest, ACustomerThatLeftItsSpeedBehindIsTakenForGoneAndAnIdleOneIsNot) {
  const Bytes garbage = {0x00, 0x00, 0xF0, 0x00};
  expect([&] {
    ASSERT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_baud_rate, "115200"), 1), Bytes{ACK});
    pair.clock.sleep_for(std::chrono::hours(1));
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes({ACK, NAK})) << "an idle customer keeps its session";
    const auto send_garbage = [&] { write_raw(pair.customer, garbage), pair.clock.sleep_for(3s); };
    send_garbage();
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 115200) << "once is noise";
    send_garbage();
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 9600);
    EXPECT_EQ(identify(pair.customer, 'c', ids), LINK_OK);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK});
  }, "Baudrate auf 115200 gesetzt status 0\nTerminierungsignal empfangen\n");
}

// A peer that reads and writes names in the wire's character set, as one
// built to the protocol does: the service it talks to is started as a user
// starts it, with its default ISO-8859-1, and then with UTF-8 on the line.
TEST_F(ServiceTest, NamesCrossInTheWireSetAndNoneIsSkippedOrCreatedInvalid) {
  const std::string umlauts(24, '\xFC');  // 24 bytes on the wire, 48 on the disk
  std::string on_disk;
  for (int i = 0; i < 24; ++i) on_disk += "\u00fc";
  write_file(remote / on_disk, {});
  write_file(remote / "\u65e5\u672c.txt", {});
  const auto header = [](std::string text) { return text.resize(kHeaderBytes), frame_of(text); };
  const auto serve = [&](const char* charset, const std::function<void(Link&)>& customer) {
    std::vector<std::string> words = {"quorvantix", "--charset", charset, "--root", remote.path(), "sim", "0"};
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    SimPair ends;
    return console_of([&] {
      const auto peer = [&] {
        identify(ends.customer, 'c', ids), customer(ends.customer), ask(ends.customer, command_frame(cmd_terminate));
      };
      ends.clock.run([&] { service_main(int(argv.size()), argv.data(), ends.clock, ends.cable.opener(SimCable::a)); },
                     {peer});
    });
  };
  std::vector<std::string> listing;
  testing::internal::CaptureStderr();
  const std::string latin1 = serve("ISO-8859-1", [&](Link& link) {
    for (const Bytes& frame : {command_frame(cmd_receive_file), header("\xE4.txt 0 3"), frame_of("abc")}) {
      EXPECT_EQ(ask(link, frame, 1), Bytes{ACK});
    }
    EXPECT_EQ(ask(link, command_frame(cmd_send_file, "\xE4.txt"), 64), Bytes{ACK} + header("\xE4.txt 0 3"));
    EXPECT_EQ(ask(link, {ACK}, 6), frame_of("abc"));
    write_raw(link, {ACK});
    EXPECT_EQ(ask(link, command_frame(cmd_send_akt_dir), 1), Bytes{ACK});
    for (UBYTE line[kListingLineBytes + 1] = {}; receive_data(link, line, kListingLineBytes) == LINK_OK;) {
      send_ACK(link);
      if (std::string(reinterpret_cast<char*>(line), 3) == "END") break;
      listing.emplace_back(reinterpret_cast<char*>(line), kListingLineBytes);
    }
  });
  const std::string said = testing::internal::GetCapturedStderr();
  std::sort(listing.begin(), listing.end());
  const std::string size0 = std::string(9, ' ') + "0" + '\0', size3 = std::string(9, ' ') + "3" + '\0';
  EXPECT_EQ(listing, (std::vector<std::string>{"FILE" + padded("??.txt") + size0, "FILE" + padded("\xE4.txt") + size3,
                                               "FILE" + padded(umlauts) + size0}));
  EXPECT_EQ(said, "quorvantix: '\u65e5\u672c.txt' has no form in ISO-8859-1, the character set of names on the line; "
                  "the customer gets '??.txt'\n");
  EXPECT_TRUE(has(latin1, "Empfangen der Datei status 0\nSende Datei <\u00e4.txt> status 0\n"
                          "Sende Verzeichnis status 0\n")) << latin1;
  EXPECT_EQ(read_file(remote / "\u00e4.txt"), Bytes({'a', 'b', 'c'}));
  // 0xFF begins no UTF-8 character: no file is created under such a name.
  const std::string utf8 = serve("UTF-8", [&](Link& link) {
    EXPECT_EQ(ask(link, command_frame(cmd_receive_file), 1), Bytes{ACK});
    EXPECT_EQ(ask(link, header("\xFF.txt 0 3"), 1), Bytes{NAK});
  });
  EXPECT_TRUE(has(utf8, "Empfangen der Datei status 13\nTerminierungsignal empfangen\n")) << utf8;
  EXPECT_EQ(names_in(remote.path()), (std::vector<std::string>{"\u00e4.txt", on_disk, "\u65e5\u672c.txt"}));
}
