// The service's command loop on the simulated cable, against a customer end
// that sends raw command frames and reads the answers, and against reference
// customers. (Its command line and start-up: service_main_test.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <sstream>

#include "customer/run.h"
#include "tests/support/fixtures.h"
#include "tests/support/reference_peer.h"
#include "wire/file_stream.h"
#include "wire/listing_stream.h"

namespace {

struct ServiceTest : testing::Test, Served {
  ServiceTest() {
    service.log = OperatorLog(pair.clock, OperatorLog::Marks::time_of_day, [this](const std::string& line) { logged += line; });
  }
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
  // Asks for the current directory, expects `folder` (cut to a frame) and acknowledges it.
  void pwd_is(std::string folder) {
    folder.resize(kCommandFrameBytes);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 64), Bytes{ACK} + frame_of(folder));
    write_raw(pair.customer, {ACK});
  }
  Identities ids;
  bool returned = false;
  std::string logged;  // the operator's log, its times on the simulation's clock
};

}  // namespace

// Unknown codes and damaged frames are refused and the loop goes on; the
// current directory is sent in full, and changed only into a directory; a
// new speed is set once its ACK has left, and a sign-off sends the service
// back to 9600, where nothing is served before the next identification. A
// name may hold anything the line carries: a line break cannot forge a
// console line, nor an escape sequence reach the operator's terminal; nor can
// the text of a speed.
TEST_F(ServiceTest, AnswersEachCommandAndWaitsForTheNextCustomerAt9600) {
  const std::string sub(45, 'd');  // the whole name is longer than a frame
  const std::string forged = "x\nEmpfangen der Datei status 0", screen = "\x1b[2J\x1b]0;owned\x07";
  ASSERT_EQ(mkdir((remote / sub).c_str(), 0700) + mkdir((remote / (sub + "/" + screen)).c_str(), 0700), 0);
  Bytes damaged_terminate = command_frame(cmd_terminate);
  damaged_terminate[kCommandFrameBytes + 1] ^= 0x01;
  expect([&] {
    for (const UBYTE code : {0x1F, 0x27, 0x28, 0x2A}) EXPECT_EQ(ask(pair.customer, command_frame(code)), Bytes({ACK, NAK}));
    EXPECT_EQ(ask(pair.customer, damaged_terminate), Bytes{NAK});
    pwd_is(remote.path());
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_akt_dir, "no-such-dir")), Bytes{ACK});
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_akt_dir, sub)), Bytes{ACK});
    pwd_is(remote / sub);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_baud_rate, "19200"), 1), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>{9600}) << "not before its ACK has left";
    ask(pair.customer, command_frame(cmd_send_file, forged), 64), write_raw(pair.customer, {ACK});
    ask(pair.customer, command_frame(cmd_set_akt_dir, screen));
    ask(pair.customer, command_frame(cmd_get_akt_dir), 64), write_raw(pair.customer, {ACK});
    ask(pair.customer, command_frame(cmd_set_baud_rate, "\x9b" "31mfast\r\nCustomer Terminierung empfangen"), 1);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_customer_terminate)), Bytes{ACK});
    EXPECT_EQ(pair.cable.speeds(SimCable::a), std::vector<long>({9600, 19200, 9600}));
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes{}) << "nothing served before an identification";
    pair.clock.sleep_for(1s);
    EXPECT_EQ(outcome_of(identify(pair.customer, Side::customer, ids)), kOk);
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes({ACK, NAK})) << "still serving";
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK});
    EXPECT_TRUE(returned);
  }, "Akt. Verzeichnisname (" + remote.path() + ") gesendet.\nAkt. Verzeichnis auf " + sub +
      " gesetzt.\nAkt. Verzeichnisname (" + remote / sub + ") gesendet.\nBaudrate auf 19200 gesetzt status 0\n"
      "Sende Datei <x\\nEmpfangen der Datei status 0> status 16\nAkt. Verzeichnis auf \\x1b[2J\\x1b]0;owned\\x07 gesetzt.\n"
      "Akt. Verzeichnisname (" + remote / sub + "/\\x1b[2J\\x1b]0;owned\\x07) gesendet.\n"
      "Baudrate auf \\x9b31mfast\\r\\nCustomer Terminierung empfangen gesetzt status 1\n"
      "Customer Terminierung empfangen\nTerminierungsignal empfangen\n");
}

// Whatever the customer makes of the service's identification, the service
// goes on to its commands, and answers there a customer that identifies
// again; a line that went away is opened again for the next customer. A
// customer that went away at 115200 baud leaves the service at that speed,
// where the next one's frames at 9600 arrive as garbage: input that forms no
// frame, twice in a row, sends the service back to 9600. A customer that is
// merely idle keeps its session and its speed.
TEST_F(ServiceTest, TakesTheNextCustomerAfterARefusedIdentificationALostLineOrASpeedLeftBehind) {
  const Bytes garbage = {0x00, 0x00, 0xF0, 0x00};
  expect([&] {
    write_raw(pair.customer, own_frame());
    read_raw(pair.customer, 7);            // ACK and the service's frame,
    write_raw(pair.customer, {NAK});       // which we say came damaged
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_get_akt_dir), 1), Bytes{ACK});
    settle(pair.customer);  // the service gives up waiting for our answer to the name
    ASSERT_EQ(outcome_of(identify(pair.customer, Side::customer, ids)), kOk);
    pair.clock.sleep_for(1s);  // the service takes the last ACK and waits for a command
    pair.cable.cut();
    pair.clock.sleep_for(5s);
    pair.cable.restore();
    ASSERT_EQ(outcome_of(allocport(pair.customer, 0, "sim")), kOk);
    EXPECT_EQ(outcome_of(identify(pair.customer, Side::customer, ids)), kOk);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_set_baud_rate, "115200"), 1), Bytes{ACK});
    pair.clock.sleep_for(std::chrono::hours(1));
    EXPECT_EQ(ask(pair.customer, command_frame(0x27)), Bytes({ACK, NAK})) << "an idle customer keeps its session";
    // Far apart: silence between them neither counts nor clears the count.
    const auto send_garbage = [&] { write_raw(pair.customer, garbage), pair.clock.sleep_for(10s); };
    send_garbage();
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 115200) << "once is noise";
    send_garbage();
    EXPECT_EQ(pair.cable.speeds(SimCable::a).back(), 9600);
    EXPECT_EQ(outcome_of(identify(pair.customer, Side::customer, ids)), kOk);
    EXPECT_EQ(ask(pair.customer, command_frame(cmd_terminate)), Bytes{ACK});
  }, "Akt. Verzeichnisname (" + remote.path() + ") gesendet.\nLine lost, waiting for it to come back\n"
     "Line is open again\nBaudrate auf 115200 gesetzt status 0\nTerminierungsignal empfangen\n", true);
  EXPECT_TRUE(returned);
  for (const char* line : {"line lost, waiting for it to come back\n", "line open again, at 9600 baud\n",
                           "customer taken for gone: twice input that forms no frame at 115200 baud; "
                           "back at 9600 for the next one\n"}) {
    EXPECT_TRUE(has(logged, std::string(" quorvantix: ") + line)) << logged;
  }
}

// The operator's log of a session, line by line with its times on the
// simulation's clock: who came, every command with its name, bytes, duration
// and status, a refused store, a store cut short, a refused terminate, and
// the customer that identifies after it.
TEST_F(ServiceTest, LogsEveryEventOfASession) {
  service.no_shutdown = true;
  write_file(remote / "a.txt", pattern_bytes(2000, 1));
  write_file(local / "up", pattern_bytes(1500, 2));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  std::vector<session::RemoteEntry> entries;
  pair.cable.follow_speeds();
  struct StopAfterABlock final : Gadget {  // as a Ctrl-C would
    explicit StopAfterABlock(Link& on) : link(on) {}
    void set_text(const char*, const TransferProgress&) override { link.cancel(); }
    Link& link;
  } stop(pair.customer);
  run([&] {
    (void)session.remote_list(entries);
    (void)session.remote_get("a.txt", local / "a.txt", nullptr);
    (void)session.remote_get("missing", local / "missing", nullptr);
    (void)session.remote_put(local / "up", "up", nullptr);
    (void)session.remote_put(local / "up", ".up.part-1-2-3", nullptr);
    (void)session.remote_cd("sub");
    (void)session.remote_set_baud(19200);
    (void)session.shutdown_service();
    (void)session.remote_put(local / "up", "cut", &stop);
    (void)session.sign_off();
    pair.clock.sleep_for(1s);
  });
  const std::string who = std::string("customer AmigaOS 4.1 / ") + session.ids().customer.cpu + " identified\n";
  const std::string at = "1970-01-01T00:00:", dir = remote.path(), sub = dir + "/sub";
  EXPECT_EQ(logged, at + "00.058Z quorvantix: " + who +
                    at + "00.278Z quorvantix: ls '" + dir + "': in 0.15 s, status 0\n" +
                    at + "02.506Z quorvantix: get 'a.txt': 2000 of 2000 bytes in 2.16 s, status 0\n" +
                    at + "04.674Z quorvantix: get 'missing': in 2.10 s, status 16\n" +
                    at + "09.971Z quorvantix: put 'up': 1500 of 1500 bytes in 1.64 s, status 0\n" +
                    at + "10.104Z quorvantix: put '.up.part-1-2-3': refused, 0 of 1500 bytes in 0.07 s, status 13\n" +
                    at + "10.238Z quorvantix: pwd '" + dir + "': in 0.07 s, status 0\n" +
                    at + "10.304Z quorvantix: cd 'sub': in 0.00 s, now in '" + sub + "'\n" +
                    at + "10.438Z quorvantix: pwd '" + sub + "': in 0.07 s, status 0\n" +
                    at + "10.564Z quorvantix: baud 19200: in 0.02 s, status 0\n" +
                    at + "10.751Z quorvantix: pwd '" + sub + "': in 0.03 s, status 0\n" +
                    at + "10.784Z quorvantix: shutdown refused (--no-shutdown): taken as the customer's sign-off\n" +
                    at + "10.939Z quorvantix: " + who +  // the session goes on at its speed, in its folder
                    at + "11.066Z quorvantix: baud 19200: in 0.02 s, status 0\n" +
                    at + "11.252Z quorvantix: pwd '" + dir + "': in 0.03 s, status 0\n" +
                    at + "11.286Z quorvantix: cd '" + sub + "': in 0.00 s, now in '" + sub + "'\n" +
                    at + "11.352Z quorvantix: pwd '" + sub + "': in 0.03 s, status 0\n" +
                    at + "22.455Z quorvantix: put 'cut': 1024 of 1500 bytes in 11.07 s, status 14\n" +
                    at + "25.543Z quorvantix: bye: the customer signed off\n");
}

namespace {

// Our service in its command loop, for reference customers on side b of the
// reference line (paced at `baud`, or 0: each end at the speed it set).
struct ForReferences : Served {
  explicit ForReferences(long baud = 0) { reference_line(pair.cable, SimCable::a, baud); }
  // A new program on the customer's line.
  ReferencePeer& next() { return customers.emplace_back(pair.cable, SimCable::b, pair.clock); }
  // What the console shows while `customers` run.
  std::string session(const std::function<void()>& body) {
    return console_of([&] { pair.clock.run(body, {[this] { serve(); }}); });
  }
  std::deque<ReferencePeer> customers;
};

// The status in the last console line that begins with `line`; -1 for none.
long status_in(const std::string& console, const std::string& line) {
  const auto at = console.rfind(line);
  if (at == std::string::npos) return -1;
  const auto status = console.find("status ", at);
  return status == std::string::npos ? -1 : std::stol(console.substr(status + 7));
}

// A reference customer's get (of "src") or put (of "up") with our service
// in its command loop, on a line paced at `baud`. Our status comes from the
// console, once the service is done with the transfer.
TransferOutcome with_reference(const Bytes& content, long baud, bool ours_send, const Arrangement& setup) {
  ForReferences s;
  write_file(s.remote / "src", content);
  ReferencePeer& customer = s.next();
  customer.disk.files["up"] = content;
  setup(s.pair.cable, ours_send ? SimCable::a : SimCable::b, customer);
  TransferOutcome out;
  const std::string console = s.session([&] {
    ASSERT_EQ(customer.identify('c'), LINK_OK);
    if (baud != kStartBaud) { ASSERT_EQ(customer.set_baud(baud), LINK_OK); }
    out.reference = ours_send ? customer.get("src") : customer.put("up");
    s.pair.clock.sleep_for(30s);  // longer than our end takes to give up
  });
  out.ours = status_in(console, ours_send ? "Sende Datei" : "Empfangen der Datei");
  out.received = ours_send ? customer.disk.files["src"] : read_file_if_any(s.remote / "up");
  return out;
}

}  // namespace

TEST(ServiceWithReference, TransfersEitherWay) { expect_sound_transfers(with_reference); }

// A reference customer that puts from a floppy whose second block equals the
// first and takes 2 s or more to read: every block is stored. And at 2400
// baud, where a block frame takes 4.3 s to cross, a get by a customer whose
// device reads each frame whole, however long it takes, and answers at once.
TEST(ServiceWithReference, SlowFloppiesAndSlowLines) {
  const Bytes equal(2 * kBlockBytes, 0), two = pattern_bytes(2 * kBlockBytes);
  const struct { long baud; bool ours_send; nanoseconds read; } cases[] = {
      {9600, false, 2000ms}, {9600, false, 2050ms}, {9600, false, 3000ms}, {2400, true, 0ms}};
  for (const auto& c : cases) {
    const Bytes& content = c.ours_send ? two : equal;
    const Arrangement slow = [&](SimCable&, SimCable::Side, ReferencePeer& customer) {
      customer.read_time = [&](long block) { return block == 2 ? c.read : 0ms; };
      customer.short_reads = c.baud < 4800;
    };
    const TransferOutcome out = with_reference(content, c.baud, c.ours_send, slow);
    EXPECT_EQ(verdict(out, content), "right file")
        << c.baud << " baud, " << c.read.count() / 1'000'000 << " ms to read block 2: " << figures(out, content);
  }
}

// Each customer starts afresh, at 9600 in the folder served, however the last
// one left: signed off elsewhere (a one-shot `cd docs; get x` works every
// time, a reference customer's and ours); refused the terminate under
// --no-shutdown, which answers ACK alone and signs it off (a customer that
// reads one answer byte a frame finds no NAK left over); died in the middle of
// a store (the next one's identification, arriving where a block is
// expected, ends it at once); or left for a folder that has gone since.
TEST(ServiceWithReference, EveryCustomerStartsAfreshInTheFolderServed) {
  const Bytes in_docs = pattern_bytes(100, 1), served = pattern_bytes(100, 2), block = pattern_bytes(kBlockBytes);
  std::string header = "up 3 0";
  header.resize(kHeaderBytes);
  const auto refused_terminate = [](long baud) {
    return [baud](ForReferences&, ReferencePeer& last) { EXPECT_EQ(last.set_baud(baud) + last.terminate(), LINK_OK); };
  };
  const struct { const char* how; std::function<void(ForReferences&, ReferencePeer&)> leave; std::string console; } ways[] = {
      {"cd docs; get x; bye", [&](ForReferences& s, ReferencePeer& last) {
         EXPECT_EQ(last.cd("docs") + last.get("x") + last.sign_off(), 0);
         EXPECT_EQ(last.disk.files["x"], in_docs);
         s.pair.clock.sleep_for(1s);
         session::Session ours(s.pair.customer);
         customer::RunState state;
         std::ostringstream out, err;
         customer::Console console{out, err};
         ASSERT_TRUE(ok(ours.reach_service()));
         customer::run_commands(ours, {{"cd", "docs"}, {"get", "-f", "x", s.local / "x"}, {"bye"}}, console, state);
         EXPECT_FALSE(state.failed) << err.str();
         EXPECT_EQ(read_file_if_any(s.local / "x"), in_docs);
       }, "Customer Terminierung empfangen\n"},
      {"refused terminate at 9600", refused_terminate(9600), "Terminierungsignal abgelehnt\n"},
      {"refused terminate at 19200", refused_terminate(19200), "Terminierungsignal abgelehnt\n"},
      {"died in a store", [&](ForReferences&, ReferencePeer& last) {
         ASSERT_EQ(last.command(cmd_receive_file), LINK_OK);
         ASSERT_EQ(last.send_data(reinterpret_cast<const UBYTE*>(header.data()), kHeaderBytes), LINK_OK);
         ASSERT_EQ(last.send_data(block.data(), kBlockBytes), LINK_OK);
       }, "Empfangen der Datei status 14\n"},
      {"in a folder gone since", [](ForReferences& s, ReferencePeer& last) {
         ASSERT_EQ(mkdir((s.remote / "old").c_str(), 0755), 0);
         EXPECT_EQ(last.cd("old") + last.sign_off(), 0);
         std::filesystem::remove(s.remote / "old");
       }, "Customer Terminierung empfangen\n"},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    ForReferences s;
    s.service.no_shutdown = true;
    ASSERT_EQ(mkdir((s.remote / "docs").c_str(), 0755), 0);
    write_file(s.remote / "docs/x", in_docs);
    write_file(s.remote / "x", served);
    std::vector<std::string> listed;
    const std::string console = s.session([&] {
      ASSERT_EQ(s.next().identify('c'), LINK_OK);
      way.leave(s, s.customers.back());
      s.pair.clock.sleep_for(500ms);
      ReferencePeer& next = s.next();
      ASSERT_EQ(next.identify('c'), LINK_OK);
      EXPECT_EQ(next.get("x") + next.list(listed), 0);
    });
    EXPECT_EQ(s.customers.back().disk.files["x"], served) << "the console, with what went wrong:\n" << console;
    std::sort(listed.begin(), listed.end());  // in the order the folder's scan gives
    EXPECT_EQ(listed, (std::vector<std::string>{"docs/", "x"}));
    EXPECT_TRUE(has(console, way.console)) << console;
  }
}

// A current folder that vanishes under a customer is an error for its
// commands, at both ends and on the console: its listing is the end marker
// with a damaged check byte, a store into it is refused at its header.
TEST(ServiceWithReference, AFolderThatVanishedUnderTheCustomerIsAnErrorForItsCommands) {
  ForReferences s(9600);
  ASSERT_EQ(mkdir((s.remote / "docs").c_str(), 0755), 0);
  Bytes failed_end = frame_of("END" + std::string(42, ' '));
  failed_end[kListingLineBytes + 1] ^= 0x01;
  ReferencePeer& customer = s.next();
  customer.disk.files["up"] = pattern_bytes(100);
  TransferOutcome listing, put;
  std::vector<std::string> listed;
  const std::string console = s.session([&] {
    ASSERT_EQ(customer.identify('c'), LINK_OK);
    ASSERT_EQ(customer.cd("docs"), LINK_OK);
    std::filesystem::remove(s.remote / "docs");
    listing.reference = customer.list(listed);
    put.reference = customer.put("up");
    s.pair.clock.sleep_for(30s);
  });
  listing.ours = status_in(console, "Sende Verzeichnis");
  put.ours = status_in(console, "Empfangen der Datei");
  EXPECT_EQ(verdict(listing, {}), "failed at both ends") << figures(listing, {}) << "\n" << console;
  EXPECT_EQ(verdict(put, pattern_bytes(100)), "failed at both ends") << figures(put, pattern_bytes(100));
  EXPECT_EQ(listed, std::vector<std::string>{});
  const Bytes& sent = s.pair.cable.sent_by(SimCable::a);
  EXPECT_NE(std::search(sent.begin(), sent.end(), failed_end.begin(), failed_end.end()), sent.end());
  EXPECT_TRUE(has(console, "Sende Verzeichnis status 17\nEmpfangen der Datei status 8\n")) << console;
  EXPECT_EQ(names_in(s.remote.path()), std::vector<std::string>{});
}
