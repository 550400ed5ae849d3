// Lines beyond a local port (TCP), and a service that outlives its line.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <stdlib.h>
#include <termios.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "io_atome.h"
#include "platform/serial_line.h"
#include "service.h"
#include "support/pty_pair.h"
#include "support/service_process.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr char kLostLine[] = "Line lost, waiting for it to come back\n";
constexpr char kBackLine[] = "Line is open again\n";
constexpr char kCustomerLine[] = "Customer:AmigaOS 4.1 / PPC7400\n";

// Plays a customer's identification; the service takes it and answers with its own.
template <typename FarEnd>
void identify_as_customer(const FarEnd& far_end) {
  far_end.send(frame({0x1F, 0x2B, 0x41}));
  const Bytes answer = far_end.receive(7);
  ASSERT_EQ(answer.size(), 7u) << hex(answer);
  EXPECT_EQ(answer[0], ACK);
  EXPECT_EQ(answer[1], STX);
  far_end.send({ACK});
}

template <typename FarEnd>
void terminate_service(const FarEnd& far_end, ServiceProcess& service) {
  far_end.send(command_frame(cmd_terminate));
  EXPECT_EQ(hex(far_end.receive(1)), "06");
  EXPECT_EQ(service.wait_exit(), 0);
}

std::string after(const std::string& text, const std::string& marker) {
  const auto at = text.find(marker);
  return at == std::string::npos ? "<no '" + marker + "' in output>" : text.substr(at + marker.size());
}

// The device node a user's line has, as a symlink: gone while the line is
// away, pointing at a new pty when it comes back. Tests never let the service
// reopen a bare /dev/pts path, which another test may hold by then. It lives
// right under /tmp, as a device name has at most 29 characters.
class DeviceLink {
 public:
  DeviceLink() {
    char name[] = "/tmp/qvline.XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = name;
  }
  ~DeviceLink() { fs::remove_all(dir_); }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  std::string path() const { return dir_ / "tty"; }
  void point_at(const std::string& target) const {
    remove();
    fs::create_symlink(target, path());
  }
  void remove() const { fs::remove(path()); }

 private:
  fs::path dir_;
};

// Where something listens on `port`, from the kernel's own table.
std::vector<std::string> listening_addresses(int port) {
  std::vector<std::string> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      const auto colon = local.rfind(':');
      if (state != "0A" || std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
      if (colon != 8) {
        found.push_back("IPv6 " + local.substr(0, colon));
        continue;
      }
      in_addr address{static_cast<in_addr_t>(std::stoul(local.substr(0, colon), nullptr, 16))};
      found.push_back(inet_ntoa(address));
    }
  }
  return found;
}

// One read of a byte under the time limit, as the link layer does it.
bool read_times_out(IOExtSer& request) {
  std::uint8_t byte = 0;
  request.io_Command = CMD_READ;
  request.io_Data = &byte;
  request.io_Length = 1;
  send_io(&request);
  return checktimeout(&request) == 1;
}

}  // namespace

TEST(TcpLine, CarriesEveryByteAsItIs) {
  TcpListener endpoint;
  const std::string device = "tcp:127.0.0.1:" + std::to_string(endpoint.port());
  auto service = ServiceProcess::binary({device, "0"});
  const TcpPeer peer = endpoint.accept();
  identify_as_customer(peer);

  // IAC IAC and IAC WILL ECHO: a telnet layer would take them as commands and
  // the frame would fail its check byte.
  peer.send(command_frame(0xFF, "\xff\xff\xff\xfb\x01"));
  EXPECT_EQ(hex(peer.receive(2)), "06 15");
  peer.send(command_frame(cmd_set_baud_rate, "115200"));
  EXPECT_EQ(hex(peer.receive(1)), "06");
  terminate_service(peer, service);

  EXPECT_EQ(service.output(), device + " 0\nOpening Device " + device + " Port 0\nService is ready\n" +
                                  kCustomerLine + "Baudrate auf 115200 gesetzt status 0\n"
                                  "Terminierungsignal empfangen\n");
}

TEST(TcpLine, ConnectsAgainWhenThePeerLeaves) {
  TcpListener endpoint;
  const std::string device = "tcp:127.0.0.1:" + std::to_string(endpoint.port());
  auto service = ServiceProcess::forked({device, "0"}, 1ms);
  TcpPeer first = endpoint.accept();
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  first.close();  // gone before any customer has identified

  const TcpPeer second = endpoint.accept();
  identify_as_customer(second);
  terminate_service(second, service);
  EXPECT_EQ(after(service.output(), "Service is ready\n"),
            std::string(kLostLine) + kBackLine + kCustomerLine + "Terminierungsignal empfangen\n");
}

TEST(TcpLine, ListensOnLoopbackForOnePeerAtATime) {
  const int port = unused_tcp_port();
  auto service = ServiceProcess::forked({"tcp-listen:" + std::to_string(port), "0"}, 1ms);
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"127.0.0.1"});

  TcpPeer first = TcpPeer::connect(port);
  identify_as_customer(first);
  EXPECT_FALSE(TcpPeer::accepts_connection(port)) << "a second peer on a line that is taken";
  first.close();
  ASSERT_TRUE(service.wait_for_output(kBackLine));

  const TcpPeer second = TcpPeer::connect(port);
  identify_as_customer(second);
  terminate_service(second, service);
  EXPECT_EQ(after(service.output(), "Service is ready\n"),
            std::string(kCustomerLine) + kLostLine + kBackLine + "Terminierungsignal empfangen\n");
}

TEST(TcpLine, RefusesNamesItCannotOpen) {
  const TcpListener taken;
  const std::string taken_port = std::to_string(taken.port());
  const std::string closed = "tcp:127.0.0.1:" + std::to_string(unused_tcp_port());
  const struct {
    std::string device;
    std::string error;
  } cases[] = {
      {"tcp:127.0.0.1", "tcp:127.0.0.1: give the line as tcp:HOST:PORT"},
      {"tcp:127.0.0.1:0", "a port from 1 to 65535"},
      {"tcp:127.0.0.1:65536", "a port from 1 to 65535"},
      {"tcp:127.0.0.1:23x", "a port from 1 to 65535"},
      {"tcp::2323", "give the line as tcp:HOST:PORT"},
      {"tcp:::1:2323", "an IPv6 address in brackets"},
      {"tcp:[::1]2323", "give the line as tcp:HOST:PORT"},
      {"tcp-listen:", "give the line as tcp-listen:PORT or tcp-listen:ADDR:PORT"},
      {"tcp-listen:telnet", "give the line as tcp-listen:PORT"},
      {"tcp-listen:192.168.100.100:2323", "longer than 29 characters"},
      {"tcp-listen:127.0.0.1:" + taken_port, "bind(tcp-listen:127.0.0.1:" + taken_port + "): Address already in use"},
      {closed, "connect(" + closed + "): Connection refused"},
  };
  for (const auto& c : cases) {
    IOExtSer request;
    EXPECT_NE(open_device(c.device.c_str(), 0, &request), 0) << c.device;
    EXPECT_FALSE(request.io_Device) << c.device;
    EXPECT_NE(platform::last_line_error().find(c.error), std::string::npos)
        << c.device << " gave: " << platform::last_line_error();
  }
}

TEST(LineLost, TellsASilentPtyFromOneWhoseFarEndClosed) {
  platform::testing::set_tick(1ms);
  std::optional<PtyPair> far_end(std::in_place);
  IOExtSer request;
  ASSERT_EQ(open_device(far_end->slave_path().c_str(), 0, &request), 0) << platform::last_line_error();

  EXPECT_TRUE(read_times_out(request));
  EXPECT_FALSE(line_lost(&request));
  far_end.reset();
  EXPECT_TRUE(read_times_out(request));
  EXPECT_TRUE(line_lost(&request));
  close_device(&request);
  EXPECT_TRUE(line_lost(&request)) << "a request without a line";
}

TEST(LineLost, TellsASilentTcpPeerFromOneThatLeft) {
  platform::testing::set_tick(1ms);
  TcpListener endpoint;
  IOExtSer request;
  const std::string device = "tcp:127.0.0.1:" + std::to_string(endpoint.port());
  ASSERT_EQ(open_device(device.c_str(), 0, &request), 0) << platform::last_line_error();
  TcpPeer peer = endpoint.accept();

  EXPECT_TRUE(read_times_out(request));
  EXPECT_FALSE(line_lost(&request));
  peer.close();
  EXPECT_TRUE(read_times_out(request));
  EXPECT_TRUE(line_lost(&request));
}

TEST(LineRecovery, ServesANewCustomerOnThePtyThatComesBack) {
  const DeviceLink link;
  std::optional<PtyPair> first(std::in_place);
  link.point_at(first->slave_path());
  auto service = ServiceProcess::forked({link.path(), "0"}, 1ms);
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  identify_as_customer(*first);
  first->send(command_frame(cmd_set_baud_rate, "19200"));
  EXPECT_EQ(hex(first->receive(1)), "06");
  ASSERT_TRUE(service.wait_for_output("gesetzt status 0\n"));

  link.remove();
  first.reset();
  ASSERT_TRUE(service.wait_for_output(kLostLine));
  const PtyPair second;
  link.point_at(second.slave_path());
  ASSERT_TRUE(service.wait_for_output(kBackLine));

  termios settings{};
  ASSERT_EQ(tcgetattr(second.master(), &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600)) << "back at 9600 baud";
  identify_as_customer(second);
  terminate_service(second, service);
  EXPECT_EQ(after(service.output(), "Service is ready\n"),
            std::string(kCustomerLine) + "Baudrate auf 19200 gesetzt status 0\n" + kLostLine + kBackLine +
                "Terminierungsignal empfangen\n");
}

// Needs the file transfers (cmd_receive_file) in the service; a build without
// them refuses the command, and the test is skipped.
TEST(LineRecovery, TransferCutByTheLossEndsWithItsStatusAndLeavesNoPartialFile) {
  const DeviceLink link;
  const TempDir served;
  std::optional<PtyPair> far_end(std::in_place);
  link.point_at(far_end->slave_path());
  // Ticks of 2 ms: the refusal of an unknown command comes at once, the
  // service's wait for the header lasts 210 ms.
  auto service = ServiceProcess::forked({link.path(), "0"}, 2ms, served.path());
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  identify_as_customer(*far_end);
  far_end->send(command_frame(cmd_receive_file));
  ASSERT_EQ(hex(far_end->receive(1)), "06");
  if (!far_end->quiet_for(60ms)) GTEST_SKIP() << "this build of the service does not receive files";

  Bytes header(60, 0);
  const std::string text = "cut.bin 3 100";
  std::copy(text.begin(), text.end(), header.begin());
  far_end->send(frame(header));
  ASSERT_EQ(hex(far_end->receive(1)), "06");
  far_end->send(frame(Bytes(1024, 0xA5)));
  ASSERT_EQ(hex(far_end->receive(1)), "06");
  link.remove();
  far_end.reset();

  ASSERT_TRUE(service.wait_for_output(kLostLine, 10s));
  const std::string output = service.output();
  const auto status_at = output.find("Empfangen der Datei status ");
  ASSERT_NE(status_at, std::string::npos) << output;
  EXPECT_LT(status_at, output.find(kLostLine)) << "the transfer's status comes first";
  EXPECT_NE(output.substr(status_at, output.find('\n', status_at) - status_at), "Empfangen der Datei status 0");
  EXPECT_EQ(names_in(served.path()), std::vector<std::string>{}) << "a partial file was left behind";
}
