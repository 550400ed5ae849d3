// The host's lines, opened as the programs open them: terminal devices (a
// pseudo-terminal, the test playing the far end on its master), their lock
// files, and TCP. Kept few and quick: a tick of 1 ms makes a time limit 105 ms.
// Lines to a terminal server run over the simulated cable, the test playing
// the server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "lines/rfc2217_line.h"
#include "lines/tcp_line.h"
#include "tests/support/fixtures.h"
#include "tests/support/running.h"

using namespace std::chrono;

namespace {

const Bytes kEveryByte = pattern_bytes(256);  // every byte value once

lines::AddressRange address_range(const char* text) {
  std::string error;
  return lines::parse_address_range(text, error).value();
}

// A peer's address as accept gives it, at port 2323.
sockaddr_storage peer_at(const char* address) {
  sockaddr_storage storage{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET, v4.sin_port = htons(2323);
  } else if (inet_pton(AF_INET6, address, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6, v6.sin6_port = htons(2323);
  }
  return storage;
}

termios settings_of(int fd) { termios settings{}; tcgetattr(fd, &settings); return settings; }

// A pseudo-terminal pair: the link opens `path` as its line; the test plays
// the far end on `master`, and reads back the settings the link applied on
// `slave`, held so that the master sees no hang-up between two opens.
struct PtyPair {
  PtyPair() {
    int master_fd = -1, slave_fd = -1;
    char name[256] = {};
    if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    master.reset(master_fd), slave.reset(slave_fd), path = name;
    for (const int fd : {master_fd, slave_fd}) {
      termios raw = settings_of(fd);
      cfmakeraw(&raw);
      tcsetattr(fd, TCSANOW, &raw);
    }
  }
  void send(const Bytes& bytes) const { ASSERT_EQ(write(master.get(), bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  host::UniqueFd master, slave;
  std::string path;
};

}  // namespace

// Held alone, raw 8N1 without flow control at the rates it takes, its own
// settings back on close; frames cross byte for byte; a closed far end is
// lost at once where a silent one times out.
TEST(PtyLine, IsHeldAloneRawCarriesFramesAndTellsAClosedFarEndFromASilentOne) {
  host::SteadyClock clock{milliseconds(1)};
  PtyPair pty;
  // The line as another program may have left it: two stop bits, flow control, echo (a pty keeps 8 bits, no parity).
  termios cooked = settings_of(pty.slave.get());
  cooked.c_cflag |= CSTOPB | CRTSCTS;
  cooked.c_iflag |= IXON | IXOFF | ICRNL;
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty.slave.get(), TCSANOW, &cooked), 0);
  // No lock files here: the line's own locks alone keep a second program out.
  const lines::LineOpener opener = lines::host_line_opener("/nonexistent");
  Link link{clock, opener}, second(clock, opener);
  ASSERT_EQ(reason_of(allocport(link, 0, pty.path.c_str())), "");
  const Result<> refused = allocport(second, 0, pty.path.c_str());
  EXPECT_EQ(outcome_of(refused), Status::port_open_failed);
  EXPECT_EQ(reason_of(refused), "open(" + pty.path + "): the line is in use by another program");
  const termios raw = settings_of(pty.slave.get());
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), tcflag_t{CS8 | CLOCAL | CREAD});
  EXPECT_EQ((raw.c_iflag & (IXON | IXOFF | IXANY | ICRNL)) | (raw.c_lflag & (ICANON | ECHO | ISIG)), 0u);
  const struct { long rate; WireOutcome result; speed_t speed; } changes[] = {{9600, kOk, B9600},
      {38400, kOk, B38400}, {19200, kOk, B19200}, {0, Status::port_params_failed, B19200},
      {12345678901, Status::port_params_failed, B19200}};
  for (const auto& change : changes) {
    EXPECT_EQ(set_baud_rate(link, change.rate).ok(), change.result == kOk) << change.rate;
    const termios now = settings_of(pty.slave.get());
    EXPECT_EQ(cfgetospeed(&now), change.speed) << change.rate;
  }
  pty.send(frame_of(kEveryByte));
  Bytes got(257);
  EXPECT_TRUE(outcome_of(receive_data(link, got.data(), 256)) == kOk && Bytes(got.begin(), got.end() - 1) == kEveryByte);
  pty.send({NAK});
  EXPECT_EQ(outcome_of(send_data(link, reinterpret_cast<const char*>(kEveryByte.data()), 256)), Status::frame_not_acked);
  std::string sent;
  const Bytes frame = frame_of(kEveryByte);
  EXPECT_TRUE(read_until(pty.master.get(), sent, std::string(frame.begin(), frame.end())) && sent.size() == 259);
  EXPECT_EQ(outcome_of(receive_data(link, got.data(), 10)), Status::timed_out);
  EXPECT_FALSE(link.lost()) << "a silent far end is still there";
  freeport(link, 0);
  EXPECT_EQ(settings_of(pty.slave.get()).c_cflag, cooked.c_cflag);
  ASSERT_EQ(reason_of(allocport(link, 0, pty.path.c_str())), "");
  pty.master.reset(), pty.slave.reset();  // the line hangs up, as when a cable is pulled
  const auto wall_start = steady_clock::now();
  EXPECT_EQ(outcome_of(receive_data(link, got.data(), 10)), Status::timed_out);
  EXPECT_TRUE(link.lost() && steady_clock::now() - wall_start < time_limit(link));
}

// A line whose lock file names a live process is busy, in either form; a
// lock whose process is gone is taken over, and removed with the line. Where
// no lock file can be made the line is served all the same; a FIFO in the
// place of the lock file keeps it off the line, without hanging.
TEST(LineLocks, ALiveProcessKeepsTheLineAndAStaleLockIsTakenOver) {
  PtyPair line;
  TempDir locks;
  const std::string lock = locks / ("LCK.." + line.path.substr(line.path.rfind('/') + 1));
  const auto ten_wide = [](int pid) {
    const std::string text = std::string(10 - std::to_string(pid).size(), ' ') + std::to_string(pid) + "\n";
    return Bytes(text.begin(), text.end());
  };
  const int init = 1;  // alive, whoever runs the test
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&init);
  const std::pair<Bytes, bool> cases[] = {{ten_wide(init), true}, {Bytes(raw, raw + sizeof init), true},
                                          {ten_wide(999'999'999), false}};
  host::SteadyClock clock(milliseconds(1));
  for (const auto& [content, busy] : cases) {
    write_file(lock, content);
    Link link(clock, lines::host_line_opener(locks.path()));
    const Result<> opened = allocport(link, 0, line.path.c_str());
    EXPECT_EQ(outcome_of(opened), busy ? Status::port_open_failed : kOk) << reason_of(opened);
    EXPECT_EQ(read_file(lock), busy ? content : ten_wide(getpid()));
    freeport(link, 0);
    EXPECT_EQ(exists(lock), busy);
  }
  ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
  Link held_off(clock, lines::host_line_opener(locks.path()));
  EXPECT_TRUE(has(reason_of(allocport(held_off, 0, line.path.c_str())), lock + " is not a lock file"));
  Link unlocked(clock, lines::host_line_opener(locks / "none"));
  EXPECT_EQ(reason_of(allocport(unlocked, 0, line.path.c_str())), "");
}

// Names become paths, and a line that cannot be had is refused with the object
// and the cause (names whose opening depends on the machine are only mapped).
TEST(HostLines, NamesBecomePathsAndRefusalsSayWhy) {
  const struct { const char *device; long unit; const char *path, *error; } rows[] = {
      {"serial.device", 3, "/dev/ttyS3", ""}, {"usbserial.device", 0, "/dev/ttyUSB0", ""},
      {"acm.device", 12, "/dev/ttyACM12", ""},
      {"/nonexistent", 5, "/nonexistent", "open(/nonexistent): No such file or directory"},
      {"/dev/null", 0, "/dev/null", "open(/dev/null): not a terminal device"},
      {"serial.device", -1, "", "unit -1 of serial.device does not exist"}, {"modem.device", 0, "", "unknown device"},
      {"/dev/serial/by-id/usb-adapter0", 0, "/dev/serial/by-id/usb-adapter0", "open(/dev/serial/by-id/usb-adapter0): No such"},
      {"tcp:127.0.0.1:0", 0, "tcp:127.0.0.1:0", "tcp:127.0.0.1:0: give the line as tcp:HOST:PORT, with a port from 1"},
      {"tcp::2323", -4, "tcp::2323", "tcp::2323: give the line as tcp:HOST:PORT"},
      {"tcp-listen:telnet", 0, "tcp-listen:telnet", "tcp-listen:telnet: give the line as tcp-listen:PORT or"},
      {"tcp:127.0.0.1:1", 0, "tcp:127.0.0.1:1", "connect(tcp:127.0.0.1:1): Connection refused"},
      {"rfc2217:localhost", 3, "rfc2217:localhost", "rfc2217:localhost: give the line as rfc2217:HOST:PORT"},
      {"rfc2217:127.0.0.1:1", 0, "rfc2217:127.0.0.1:1", "connect(rfc2217:127.0.0.1:1): Connection refused"}};
  host::SteadyClock clock(milliseconds(1));
  for (const auto& row : rows) {
    std::string error;
    EXPECT_EQ(lines::device_path(row.device, row.unit, error), row.path) << row.device;
    Link link(clock);
    const Result<> opened = *row.error != '\0' ? allocport(link, row.unit, row.device) : Result<>();
    EXPECT_TRUE(*row.error == '\0' || (outcome_of(opened) == Status::port_open_failed &&
                                         reason_of(opened).starts_with(row.error))) << reason_of(opened);
  }
}

// A listening line goes to the first peer whose identification has arrived
// whole, whatever the others send or hold back; what came before it is
// dropped, and a peer that left is gone with what it sent. A customer that
// signs off waits with the others until one of them identifies. Every byte
// crosses both ways, and a peer that leaves is noticed.
TEST(TcpLine, AListeningLineGoesToTheFirstPeerThatIdentifiesWhateverOthersSendOrHold) {
  host::SteadyClock clock(milliseconds(1));
  const std::string port = std::to_string(free_tcp_port()), line = "tcp:127.0.0.1:" + port;
  Link listener(clock, lines::host_line_opener("/nonexistent", listen_rules(ServiceOptions{})));
  ASSERT_EQ(reason_of(allocport(listener, 0, ("tcp-listen:" + port).c_str())), "");
  // 16 silent peers, a web client, one that identifies and leaves, and the customer.
  std::vector<std::unique_ptr<Link>> peers;
  for (int i = 0; i < 19; ++i) {
    peers.push_back(std::make_unique<Link>(clock));
    ASSERT_EQ(outcome_of(allocport(*peers.back(), 0, line.c_str())), kOk);
    listener.drop_pending_input();  // takes the connection, as a waiting service does
  }
  const std::string web = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
  EXPECT_TRUE(write_raw(*peers[16], Bytes(web.begin(), web.end())));
  EXPECT_TRUE(write_raw(*peers[17], own_frame()));
  freeport(*peers[17], 0);
  EXPECT_TRUE(write_raw(*peers[18], Bytes{'A', 'T', '\r'} + own_frame()));
  std::this_thread::sleep_for(50ms);  // everything sent has arrived
  UBYTE payload[4];
  EXPECT_TRUE(outcome_of(receive_data(listener, payload, 3)) == kOk && Bytes(payload, payload + 3) == own_codes());
  EXPECT_TRUE(write_raw(listener, {ACK}) && read_raw(*peers[18], 1) == Bytes{ACK});
  listener.between_customers();
  EXPECT_TRUE(write_raw(*peers[5], own_frame()));
  EXPECT_EQ(outcome_of(receive_data(listener, payload, 3)), kOk);
  EXPECT_TRUE(write_raw(listener, {NAK}) && read_raw(*peers[5], 1) == Bytes{NAK});
  for (const int other : {0, 16, 18}) EXPECT_TRUE(read_raw(*peers[other], 1).empty()) << other;
  EXPECT_TRUE(write_raw(*peers[5], kEveryByte) && read_raw(listener, 256) == kEveryByte);
  EXPECT_TRUE(write_raw(listener, kEveryByte) && read_raw(*peers[5], 256) == kEveryByte);
  freeport(*peers[5], 0);
  EXPECT_TRUE(read_raw(listener, 1).empty() && listener.lost());
}

// Addresses and networks of --allow, IPv4 and IPv6, and what they let in.
TEST(AllowedPeers, RangesTakeTheirAddressesAndNoOthers) {
  const struct { const char *range, *peer; bool in; } rows[] = {
      {"192.0.2.0/24", "192.0.2.77", true}, {"192.0.2.7/24", "192.0.2.1", true}, {"192.0.2.0/24", "192.0.3.1", false},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true}, {"127.0.0.1", "127.0.0.2", false}, {"0.0.0.0/0", "203.0.113.9", true},
      {"2001:db8::/32", "2001:db8:1::5", true}, {"[::1]", "::1", true}, {"::1/128", "::2", false},
      {"2001:db8::/33", "2001:db8:8000::1", false}, {"192.0.2.0/24", "2001:db8::1", false}};
  for (const auto& row : rows) EXPECT_EQ(lines::in_any_range({address_range(row.range)}, peer_at(row.peer)), row.in) << row.range << " " << row.peer;
  for (const char* wrong : {"300.1.1.1", "10.0.0.0/33", "::/129", "host.example", "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/8x"}) {
    std::string error;
    EXPECT_FALSE(lines::parse_address_range(wrong, error)) << wrong;
    EXPECT_TRUE(error.starts_with(std::string("--allow ") + wrong + ": ")) << error;
  }
  EXPECT_EQ(lines::address_text(peer_at("::ffff:192.0.2.1")), "192.0.2.1:2323");
  EXPECT_EQ(lines::address_text(peer_at("2001:db8::1")), "[2001:db8::1]:2323");
  EXPECT_FALSE(lines::listens_beyond_loopback("tcp-listen:2323"));
  EXPECT_FALSE(lines::listens_beyond_loopback("tcp-listen:[::1]:2323"));
  EXPECT_TRUE(lines::listens_beyond_loopback("tcp-listen:0.0.0.0:2323"));
  EXPECT_TRUE(lines::listens_beyond_loopback("tcp-listen:[::]:2323"));
}

namespace {

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr std::uint8_t kBinary = 0, kComPort = 44;

// IAC SB COM-PORT-OPTION code value IAC SE, the value escaped.
Bytes com_port(std::uint8_t code, const Bytes& value) {
  Bytes bytes{IAC, SB, kComPort, code};
  for (const std::uint8_t byte : value) bytes = byte == IAC ? bytes + Bytes{IAC, IAC} : bytes + Bytes{byte};
  return bytes + Bytes{IAC, SE};
}
// The five settings of a speed change as we ask for them; the server's
// answers carry the codes + 100.
Bytes settings(std::uint32_t baud, std::uint8_t answer = 0, std::uint8_t data_bits = 8) {
  const Bytes rate{std::uint8_t(baud >> 24), std::uint8_t(baud >> 16), std::uint8_t(baud >> 8), std::uint8_t(baud)};
  return com_port(1 + answer, rate) + com_port(2 + answer, {data_bits}) + com_port(3 + answer, {1}) +
         com_port(4 + answer, {1}) + com_port(5 + answer, {1});
}
Bytes escaped(const Bytes& data) {
  const Bytes command = com_port(0, data);
  return Bytes(command.begin() + 4, command.end() - 2);
}

const Bytes kOffer{IAC, WILL, kComPort, IAC, WILL, kBinary, IAC, DO, kBinary};
// As ser2net greets: it offers suppress-go-ahead (taken) and echo (declined),
// and asks for binary and the port option itself, which crosses our offer.
const Bytes kGreeting{IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, kComPort};
const Bytes kGreetingAnswers{IAC, DO, 3, IAC, WILL, 3, IAC, DONT, 1};

// An rfc2217: line on side b of a cable paced at 115200 baud, so that what
// the server sends comes in pieces of a byte; the test plays the server on
// side a with raw bytes.
struct TerminalServer {
  TerminalServer() { cable.pace(115200), outcome_of(allocport(server, 0, "sim")); }
  // The server's half of an open it agrees to, at 9600 baud.
  void agree() {
    EXPECT_EQ(read_raw(server, kOffer.size()), kOffer);
    write_raw(server, kGreeting);
    EXPECT_EQ(read_raw(server, kGreetingAnswers.size()), kGreetingAnswers);
    EXPECT_EQ(read_raw(server, settings(9600).size()), settings(9600));
    write_raw(server, settings(9600, 100));
  }
  SimClock clock;
  SimCable cable{clock};
  Link server{clock, cable.opener(SimCable::a)};
  Link client{clock, [this](const std::string&, long, std::string& error) {
    return lines::rfc2217_line_over(cable.open(SimCable::b, error), clock, "rfc2217:sim:7000", error);
  }};
};

}  // namespace

// Commands, notifications and a foreign subnegotiation between the data, and
// a server that holds our sending for a second.
TEST(Rfc2217Line, NegotiatesAndCarriesEveryByteUnchangedBothWaysWhateverTheServerPutsBetween) {
  TerminalServer t;
  const Bytes noise = Bytes{IAC, 241, IAC, 242} + com_port(107, {0x30}) + Bytes{IAC, WILL, 3, IAC, SB, 1, IAC, IAC, IAC, SE};
  t.clock.run([&] {
    ASSERT_EQ(reason_of(allocport(t.client, 0, "rfc2217:sim:7000")), "");
    EXPECT_EQ(read_raw(t.client, 513), kEveryByte + kEveryByte + Bytes{'!'});
    EXPECT_TRUE(write_raw(t.client, kEveryByte));
    EXPECT_EQ(read_raw(t.client, 1), Bytes{'.'});
  }, {[&] {
    t.agree();
    const Bytes data = escaped(kEveryByte);
    write_raw(t.server, Bytes(data.begin(), data.begin() + 100) + noise + Bytes(data.begin() + 100, data.end()) +
                            noise + data + com_port(108, {}) + Bytes{'!'});
    const std::size_t sent = t.cable.sent_by(SimCable::b).size();
    t.server.delay_ticks(50);
    EXPECT_EQ(t.cable.sent_by(SimCable::b).size(), sent) << "nothing is sent while the server holds us";
    write_raw(t.server, com_port(109, {}));
    EXPECT_EQ(read_raw(t.server, data.size()), data);
    write_raw(t.server, {'.'});
  }});
}

// Data the server sends before its answer is kept. A port that the server
// switched and did not set as asked is set back.
TEST(Rfc2217Line, ASpeedChangeTheServerRefusesOrLeavesUnansweredFailsAndTheLineGoesOn) {
  const std::string not_taken = "rfc2217:sim:7000: the server did not take 38400 baud, 8 data bits, no parity, 1 stop "
                                "bit, no flow control (it answered ";
  const struct { Bytes answer; bool set_back; std::string error; } rows[] = {
      {settings(38400, 100), false, ""},
      {settings(9600, 100), false, not_taken + "baud 9600)"},
      {settings(38400, 100, 7), true, not_taken + "data bits 7)"},
      {{}, true, "rfc2217:sim:7000: the server did not answer the port settings within 2 s"}};
  for (const auto& row : rows) {
    TerminalServer t;
    t.clock.run([&] {
      ASSERT_EQ(outcome_of(allocport(t.client, 0, "rfc2217:sim:7000")), kOk);
      EXPECT_EQ(reason_of(set_baud_rate(t.client, 38400)), row.error);
      EXPECT_EQ(t.client.baud(), row.error.empty() ? 38400 : 9600) << "a speed refused is not taken";
      EXPECT_TRUE(write_raw(t.client, {1, IAC}));
      EXPECT_EQ(read_raw(t.client, 2), (Bytes{2, '.'})) << row.error;
    }, {[&] {
      t.agree();
      EXPECT_EQ(read_raw(t.server, settings(38400).size()), settings(38400));
      write_raw(t.server, Bytes{2} + row.answer);
      const Bytes set_back = row.set_back ? settings(9600) : Bytes{};
      EXPECT_EQ(read_raw(t.server, set_back.size() + 3), (set_back + Bytes{1, IAC, IAC})) << row.error;
      write_raw(t.server, {'.'});
    }});
  }
}

TEST(Rfc2217Line, AServerWithoutPortSettingsBinaryTransmissionOrTelnetIsRefusedWithTheReason) {
  const struct { Bytes reply; std::string error; } rows[] = {
      {{IAC, DONT, kComPort, IAC, DO, kBinary, IAC, WILL, kBinary},
       "the server offers no port settings (it refuses the COM-PORT-OPTION of RFC 2217); as tcp:sim:7000 the line "
       "runs at the speed the server gives it"},
      {{IAC, DO, kComPort, IAC, DO, kBinary, IAC, WONT, kBinary},
       "the server refuses binary transmission, so bytes would not cross unchanged"},
      {{'l', 'o', 'g', 'i', 'n', ':'},
       "no answer to the Telnet negotiation within 5 s (a port that speaks no Telnet is a tcp: line)"}};
  for (const auto& row : rows) {
    TerminalServer t;
    t.clock.run([&] {
      const Result<> refused = allocport(t.client, 0, "rfc2217:sim:7000");
      EXPECT_EQ(outcome_of(refused), Status::port_open_failed);
      EXPECT_EQ(reason_of(refused), "rfc2217:sim:7000: " + row.error);
    }, {[&] { read_raw(t.server, kOffer.size()), write_raw(t.server, row.reply); }});
  }
}
