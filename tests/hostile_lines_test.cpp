// Our lines on the network against peers that break the rules: a terminal
// server that floods, never reads or sends malformed Telnet; a peer on a
// tcp-listen line that identifies and falls silent; a service that closes
// the connection. Nothing they do may hang us, grow our memory without
// bound, misread data, or drop the next customer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "fuzz/telnet_fuzz.h"
#include "lines/rfc2217_line.h"
#include "lines/telnet_com_port.h"
#include "tests/support/fixtures.h"
#include "tests/support/running.h"

using namespace quorvantix::lines::telnet;

using namespace std::chrono;

namespace {

using lines::TelnetComPort;

Bytes times(const Bytes& bytes, std::size_t count) {
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) out = std::move(out) + bytes;
  return out;
}

std::size_t occurrences(const Bytes& in, const Bytes& part) {
  std::size_t found = 0;
  for (auto at = in.begin(); (at = std::search(at, in.end(), part.begin(), part.end())) != in.end(); ++at) ++found;
  return found;
}

}  // namespace

// What the server sends, in the reads it came in, and what we make of it.
TEST(TelnetParser, ReadsCommandsWhereverReadsEndAndAnswersEachRequestOncePerChange) {
  const Bytes endless_sub = Bytes{IAC, SB, kComPortOption} + Bytes(kLongestSubnegotiationBytes + 1, 's');
  const struct { const char* what; std::vector<Bytes> reads; Bytes data, replies; bool fault; } rows[] = {
      {"an IAC at the end of a read", {{'a', IAC}, {IAC, 'b', IAC}, {DO}, {1, 'c'}}, {'a', IAC, 'b', 'c'},
       {IAC, WONT, 1}, false},
      {"requests repeated", {times({IAC, DO, 1}, 3) + times({IAC, WILL, 5}, 2) + times({IAC, DO, 3}, 2)}, {},
       {IAC, WONT, 1, IAC, DONT, 5, IAC, WILL, 3}, false},
      {"a request again after a word between", {{IAC, DO, 1, IAC, DONT, 1, IAC, DO, 1}}, {},
       {IAC, WONT, 1, IAC, WONT, 1}, false},
      {"a subnegotiation cut short by a command", {{IAC, SB, kComPortOption, 101, 0}, {IAC, WILL, 1, 'x'}}, {'x'},
       {IAC, DONT, 1}, false},
      {"commands that mean nothing here", {{IAC, SE, IAC, 241, IAC, 'A', 'y'}}, {'y'}, {}, false},
      {"an IAC doubled in a subnegotiation", {{IAC, SB, 1, IAC}, {IAC, 2, IAC}, {SE, 'w'}}, {'w'}, {}, false},
      {"a subnegotiation without end", {{'v'}, endless_sub, {IAC, SE, 'z', IAC, DO, 1}}, {'v'}, {}, true},
  };
  for (const auto& row : rows) {
    TelnetComPort telnet;
    Bytes data, replies;
    for (const Bytes& read : row.reads) telnet.take(read.data(), read.size(), data, replies);
    EXPECT_EQ(data, row.data) << row.what;
    EXPECT_EQ(replies, row.replies) << row.what;
    EXPECT_EQ(!telnet.fault().empty(), row.fault) << row.what;
  }
}

namespace {

// A terminal server as the line's transport, in process: it agrees to the
// negotiation, answers the settings once they are asked for (it sees them
// offered, whether or not it takes them), then sends `pattern` again and
// again (4 MiB in all, then nothing). It takes what we write, or, when
// `reads` is false, nothing at all.
class ScriptedServer final : public lines::Line {
 public:
  ScriptedServer(SimClock& clock, const Bytes& pattern, bool reads) : clock_(clock), reads_(reads) {
    script_ = Bytes{IAC, DO, kComPortOption, IAC, DO, kBinaryOption, IAC, WILL, kBinaryOption};
    agreed_ = script_.size();
    for (const std::uint8_t code : {1, 2, 3, 4, 5}) {
      const Bytes value = code == 1 ? Bytes{0, 0, 0x25, 0x80} : Bytes{code == 2 ? std::uint8_t(8) : std::uint8_t(1)};
      script_ = std::move(script_) + Bytes{IAC, SB, kComPortOption, std::uint8_t(code + 100)} + value + Bytes{IAC, SE};
    }
    Bytes flood = pattern;
    while (flood.size() < (std::size_t{4} << 20)) flood = flood + flood;
    script_ = std::move(script_) + flood;
  }
  long read_some(std::uint8_t* into, std::size_t count) override {
    const std::size_t end = asked_ ? script_.size() : agreed_;
    const std::size_t moved = std::min(count, end - sent_);
    std::copy_n(script_.begin() + static_cast<std::ptrdiff_t>(sent_), moved, into);
    sent_ += moved;
    return static_cast<long>(moved);
  }
  long write_some(const std::uint8_t* from, std::size_t count) override {
    const Bytes offered(from, from + count), settings_asked{IAC, SB, kComPortOption, 1};
    asked_ = asked_ || occurrences(offered, settings_asked) > 0;
    if (!reads_) return 0;
    heard = std::move(heard) + offered;
    return static_cast<long>(count);
  }
  // Every look at the socket takes a moment, as on a real one.
  void wait_ready(lines::Direction, nanoseconds limit) override {
    clock_.sleep_for(std::min<nanoseconds>(limit, 1ms));
  }
  bool set_speed(long, std::string&) override { return true; }

  Bytes heard;

 private:
  SimClock& clock_;
  bool reads_;
  Bytes script_;
  std::size_t agreed_ = 0, sent_ = 0;
  bool asked_ = false;
};

}  // namespace

// A server that repeats a request gets one answer, and its data arrives; one
// that floods requests and reads nothing, sends a subnegotiation without end
// or ends binary transmission is a line lost, with the reason, and what we
// hold for it stays small.
TEST(Rfc2217Line, AServerThatRepeatsFloodsOrBreaksTelnetGetsOneAnswerOrIsALostLineWithTheReason) {
  const struct { Bytes pattern; bool reads; std::string reason; } rows[] = {
      {{IAC, DO, 1, 'd'}, true, ""},
      {{IAC, DO, 3, IAC, DONT, 3}, false,
       "the server left more than 64 KiB of our bytes unread while it went on asking for answers"},
      {Bytes{IAC, SB, kComPortOption, 0} + Bytes(5000, 's'), true,
       "the server sent a Telnet subnegotiation of more than 4096 bytes"},
      {{'d', IAC, WONT, kBinaryOption}, true, "the server ended binary transmission"},
  };
  for (const auto& row : rows) {
    SimClock clock;
    ScriptedServer* server = nullptr;
    lines::Line* line = nullptr;
    Link link(clock, [&](const std::string&, long, std::string& error) {
      auto transport = std::make_unique<ScriptedServer>(clock, row.pattern, row.reads);
      server = transport.get();
      auto opened = lines::rfc2217_line_over(std::move(transport), clock, "rfc2217:sim:7000", error);
      line = opened.get();
      return opened;
    });
    ASSERT_EQ(reason_of(allocport(link, 0, "rfc2217:sim:7000")), "");
    const Bytes data = read_raw(link, 100);
    if (row.reason.empty()) {
      EXPECT_EQ(data, Bytes(100, 'd'));
      EXPECT_EQ(occurrences(server->heard, {IAC, WONT, 1}), 1u);
      EXPECT_FALSE(link.lost());
    } else {
      EXPECT_TRUE(link.lost()) << row.reason;
      EXPECT_TRUE(link.lost_reason().starts_with("rfc2217:sim:7000: " + row.reason)) << link.lost_reason();
      EXPECT_EQ(data, Bytes(std::min<std::size_t>(data.size(), 100), 'd')) << row.reason;
      EXPECT_LE(line->output_queued(), std::size_t{65 << 10}) << row.reason;
    }
  }
}

namespace {

// A socket that listens on a free port of 127.0.0.1, whose number goes to `port`.
host::UniqueFd listening_on_loopback(int backlog, int& port) {
  host::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length);
  listen(listener.get(), backlog);
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

// A service on a real TCP port, raw: it reads each connection's
// identification, closes the first `closes` connections at that, and then
// answers (or, `goes_away`, stops listening and closes).
struct ClosingService {
  ClosingService(int closes, bool goes_away) {
    int port = 0;
    host::UniqueFd listener = listening_on_loopback(4, port);
    line = "tcp:127.0.0.1:" + std::to_string(port);
    serving = std::thread([this, closes, goes_away, listener = std::move(listener)]() mutable {
      for (int taken = 0; !stopping;) {
        pollfd in{listener.get(), POLLIN, 0};
        if (poll(&in, 1, 20) <= 0) continue;
        host::UniqueFd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        Bytes heard(own_frame().size());
        if (recv(peer.get(), heard.data(), heard.size(), MSG_WAITALL) != static_cast<ssize_t>(heard.size())) continue;
        if (taken++ < closes) continue;
        if (goes_away) return listener.reset();  // and then the connection
        const Bytes answer = Bytes{ACK} + own_frame();
        send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        char ack = 0;
        recv(peer.get(), &ack, 1, 0);
      }
    });
  }
  ~ClosingService() {
    stopping = true;
    serving.join();
  }
  std::string line;
  std::atomic<bool> stopping{false};
  std::thread serving;
};

}  // namespace

// A service on the network that closes the connection: the customer
// connects again within its tries, and says what happened when none
// succeeds, counting only the tries it made.
TEST(HostileTcpPeers, ACustomerConnectsAgainToAServiceThatClosedTheConnectionAndSaysSoWhenItGivesUp) {
  const struct { int closes; bool goes_away; bool reached; std::string detail; } rows[] = {
      {1, false, true, ""},
      {3, false, false, "the service closed the connection at each of 3 tries"},
      {0, true, false,
       "the service closed the connection at try 1 of 3, and the line could not be had again: connect("},
  };
  for (const auto& row : rows) {
    host::SteadyClock clock(milliseconds(1));
    ClosingService service(row.closes, row.goes_away);
    Link link(clock);
    session::Session session(link);
    ASSERT_TRUE(ok(session.open_line(service.line, 0)));
    const session::Result<> reached = session.reach_service();
    const std::string why = reached ? "" : reached.error().reason;
    EXPECT_EQ(reached.ok(), row.reached) << row.detail;
    EXPECT_TRUE(why.starts_with(row.detail)) << why;
    EXPECT_EQ(has(why, "Connection refused"), row.goes_away) << why;
    session.close_line();
  }
}

// A peer that floods the line with 0xFF: the customer gives up within the
// time it announces, however long each of its waits for quiet could be.
TEST(HostileTcpPeers, ACustomerOnAFloodedLineGivesUpWithinTheTimeItAnnounces) {
  SimPair pair;
  pair.cable.pace(9600);
  session::Session session(pair.customer);
  nanoseconds took{};
  std::string why;
  pair.clock.run([&] {
    const nanoseconds began = pair.clock.now();
    const session::Result<> reached = session.reach_service();
    took = pair.clock.now() - began;
    ASSERT_EQ(kind_of(reached), session::Kind::no_service);
    why = reached.error().reason;
  }, {[&] {
    for (;;) write_raw(pair.service, Bytes(64, 0xFF));
  }});
  EXPECT_LE(took, session::longest_wait_for_service(pair.customer) + pair.customer.tick()) << took.count();
  EXPECT_EQ(why, "no answer to the identification after 3 tries");
}

// A peer that floods the line while it waits, faster than the line can
// look through what it sends for an identification (the look is slowed
// here), keeps nobody waiting: the customer that identifies gets the line
// while the flood goes on.
TEST(HostileTcpPeers, APeerThatFloodsWhileItWaitsKeepsNobodyWaiting) {
  host::SteadyClock clock(milliseconds(1));
  const int port = free_tcp_port();
  const std::string line = "tcp:127.0.0.1:" + std::to_string(port);
  lines::ListenRules rules = listen_rules(ServiceOptions{});
  rules.greeting.matches = [](const UBYTE* window) {
    std::this_thread::sleep_for(1us);
    return is_identification_frame(window);
  };
  Link listener(clock, lines::host_line_opener("/nonexistent", rules)), customer(clock);
  ASSERT_EQ(outcome_of(allocport(listener, 0, ("tcp-listen:" + std::to_string(port)).c_str())), kOk);
  const host::UniqueFd flooder = connect_from("127.0.0.1", port);
  std::atomic<bool> done{false};
  std::thread flood([&] {
    const Bytes junk(65536, 0xFF);
    for (const auto began = steady_clock::now(); !done && steady_clock::now() - began < 20s;) {
      send(flooder.get(), junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  });
  std::this_thread::sleep_for(100ms);  // the flood is under way
  ASSERT_EQ(outcome_of(allocport(customer, 0, line.c_str())), kOk);
  EXPECT_TRUE(write_raw(customer, own_frame()));
  const auto began = steady_clock::now();
  UBYTE payload[4];
  EXPECT_EQ(outcome_of(receive_data(listener, payload, 3)), kOk);
  EXPECT_LT(steady_clock::now() - began, 5s);
  done = true;
  flood.join();
}

// And with the real programs: the customer that waits gets the line, from
// a peer that falls silent and from one that sends nothing but junk.
TEST(HostileTcpPeers, TheRealCustomerWaitingBehindAPeerThatFallsSilentOrSendsOnlyJunkIsServed) {
  const struct { bool floods; std::string log; } rows[] = {
      {false, "the customer sent nothing for 1 s"},
      {true, "taken for gone: for 1 s nothing but input that forms no frame"}};
  for (const auto& row : rows) {
    const TempDir remote, local;
    const std::string port = std::to_string(free_tcp_port()), line = "tcp:127.0.0.1:" + port;
    Running service({QUORVANTIX_SERVICE_BINARY, "--idle-timeout", "1", "tcp-listen:127.0.0.1:" + port}, remote.path());
    ASSERT_TRUE(service.says("Service is ready\n")) << service.seen;
    const host::UniqueFd stranger = connect_from("127.0.0.2", std::stoi(port));  // never identifies
    host::SteadyClock clock;
    Link peer(clock);
    ASSERT_EQ(outcome_of(allocport(peer, 0, line.c_str())), kOk);
    Identities ids;
    ASSERT_EQ(outcome_of(identify(peer, Side::customer, ids)), kOk);
    std::atomic<bool> done{false};
    std::thread junk([&] {
      while (row.floods && !done) write_raw(peer, Bytes(256, 0xFF));
    });
    Running customer({"env", "XDG_CONFIG_HOME=" + local / "config", QUORVANTIX_CUSTOMER_BINARY, "-q", line, "pwd"},
                     local.path());
    EXPECT_EQ(customer.end(), 0) << customer.seen;
    EXPECT_TRUE(has(customer.seen, remote.path())) << customer.seen;
    done = true;
    junk.join();
    EXPECT_EQ(service.end(SIGTERM), 0);
    EXPECT_TRUE(has(service.seen, row.log) && has(service.seen, "no customer's identification within 1 s"))
        << service.seen;
    EXPECT_FALSE(has(service.seen, "has gone: its connection closed")) << service.seen;
  }
}

namespace {

// A terminal server on a real TCP port that agrees to what its one
// connection asks until told to flood: then it sends Telnet requests without
// end and reads nothing.
struct FloodingTerminalServer {
  // Agrees to each option, and answers each port setting with the value asked.
  static void agree(int fd) {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, 10) <= 0) return;
    Bytes heard(4096);
    const ssize_t got = recv(fd, heard.data(), heard.size(), 0);
    heard.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    Bytes answer;
    for (std::size_t at = 0; at + 2 < heard.size(); ++at) {
      if (heard[at] != IAC) continue;
      if (heard[at + 1] == DO || heard[at + 1] == WILL) {
        answer = std::move(answer) + Bytes{IAC, static_cast<std::uint8_t>(heard[at + 1] == DO ? WILL : DO), heard[at + 2]};
      } else if (heard[at + 1] == SB && at + 3 < heard.size()) {
        const std::uint8_t subnegotiation_end[] = {IAC, SE};
        const auto end = std::search(heard.begin() + at, heard.end(), std::begin(subnegotiation_end),
                                     std::end(subnegotiation_end));
        Bytes reply(heard.begin() + at, end == heard.end() ? end : end + 2);
        reply[3] = static_cast<std::uint8_t>(reply[3] + kServerCodeOffset);
        answer = std::move(answer) + reply;
      }
    }
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  }

  FloodingTerminalServer() {
    int port = 0;
    host::UniqueFd listener = listening_on_loopback(1, port);
    line = "rfc2217:127.0.0.1:" + std::to_string(port);
    serving = std::thread([this, listener = std::move(listener)] {
      pollfd in{listener.get(), POLLIN, 0};
      while (!stopping && poll(&in, 1, 20) <= 0) {}
      const host::UniqueFd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      const Bytes requests = times({IAC, DO, 3, IAC, DONT, 3}, 1000);
      while (!stopping && !flooding) agree(peer.get());
      for (pollfd out{peer.get(), POLLOUT, 0}; !stopping;) {
        if (poll(&out, 1, 20) > 0) send(peer.get(), requests.data(), requests.size(), MSG_NOSIGNAL);
      }
    });
  }
  ~FloodingTerminalServer() {
    stopping = true;
    serving.join();
  }
  std::string line;
  std::atomic<bool> stopping{false}, flooding{false};
  std::thread serving;
};

}  // namespace

// The real service on a terminal server that floods: it stays small, says
// why it drops the line, and stops at once when told.
TEST(HostileTerminalServers, AServiceOnAFloodingServerStaysSmallSaysWhyItDropsTheLineAndStopsAtOnce) {
  FloodingTerminalServer server;
  const TempDir remote;
  Running service({QUORVANTIX_SERVICE_BINARY, server.line}, remote.path());
  ASSERT_TRUE(service.says("Service is ready\n")) << service.seen;
  server.flooding = true;
  EXPECT_TRUE(service.says("line lost (" + server.line + ": the server left more than 64 KiB")) << service.seen;
  std::ifstream status("/proc/" + std::to_string(service.pid()) + "/status");
  long resident_kib = 0;
  for (std::string word; status >> word;) {
    if (word == "VmRSS:") status >> resident_kib;
  }
  EXPECT_LT(resident_kib, 64 * 1024);
  const auto stopped = steady_clock::now();
  EXPECT_EQ(service.end(SIGTERM), 0) << service.seen;
  EXPECT_LT(steady_clock::now() - stopped, 10s);
}
