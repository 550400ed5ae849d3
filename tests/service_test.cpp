// The service end to end: the real binary (or its entry point in a forked
// child with a short tick) on one side of a pty pair, the test as customer on
// the other.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>

#include "io_atome.h"
#include "service.h"
#include "support/fake_line.h"
#include "support/line_probe.h"
#include "support/pty_pair.h"
#include "support/service_process.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const Bytes kCustomerFrame = {0x02, 0x1F, 0x2B, 0x41, 0x75, 0x03};  // AmigaOS 4.1 on a PPC7400
const char* const kServiceAnswer = "06 02 1f 2f 41 71 03";            // ACK, then AmigaOS 4.1 on x86

Bytes with_check_byte(Bytes frame, std::uint8_t check) {
  frame[frame.size() - 2] = check;
  return frame;
}

class ServiceOnPty : public ::testing::Test {
 protected:
  void start_binary() {
    service.emplace(ServiceProcess::binary({line.slave_path(), "0"}));
    ASSERT_TRUE(service->wait_for_output("Service is ready\n")) << service->output();
  }
  void start_forked(std::chrono::nanoseconds tick) {
    service.emplace(ServiceProcess::forked({line.slave_path(), "0"}, tick));
    ASSERT_TRUE(service->wait_for_output("Service is ready\n")) << service->output();
  }
  void identify_as_customer(const Bytes& own_frame = kCustomerFrame) {
    line.send(own_frame);
    EXPECT_EQ(hex(line.receive(7)), kServiceAnswer);
    line.send({ACK});
  }
  void terminate() {
    line.send(command_frame(cmd_terminate));
    EXPECT_EQ(hex(line.receive(1)), "06");
    EXPECT_EQ(service->wait_exit(), 0);
  }
  // The console lines between the customer line and the end.
  std::string lines_after_customer() {
    const std::string& all = service->output();
    const auto customer_end = all.find('\n', all.find("Customer:"));
    return all.substr(customer_end + 1);
  }

  PtyPair line;
  std::optional<ServiceProcess> service;
};

}  // namespace

// --- Start-up ---

TEST(ServiceStart, ArgumentsOtherThanDeviceAndUnitAreIgnored) {
  const std::vector<std::vector<std::string>> table = {{}, {"extra"}, {"a", "b", "c"}};
  for (const auto& args : table) {
    // The child opens this fake instead of /dev/ttyS0, whatever that is here.
    platform::testing::install_line(std::make_unique<FakeLine>());
    auto service = ServiceProcess::forked(args, 1ms);
    platform::testing::install_line(nullptr);
    ASSERT_TRUE(service.wait_for_output("Service is ready\n")) << service.output();
    EXPECT_EQ(service.output(), "Opening Device serial.device Port 0\nService is ready\n") << args.size();
  }
}

TEST(ServiceStart, HelpAndVersion) {
  auto help = ServiceProcess::binary({"--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_EQ(help.output().rfind("usage: quorvantix [DEVICE UNIT]\n", 0), 0u) << help.output();

  auto version = ServiceProcess::binary({"--version"});
  EXPECT_EQ(version.wait_exit(), 0);
  EXPECT_EQ(version.output(), "Quorvantix 11.00 (07.06.26)\n");
}

TEST(ServiceStart, LineThatCannotBeOpenedEndsWithStatusOne) {
  const struct {
    std::vector<std::string> args;
    std::string output;
  } table[] = {
      {{"/nonexistent/tty", "abc"},
       "/nonexistent/tty 0\nOpening Device /nonexistent/tty Port 0\n"
       "quorvantix: open(/nonexistent/tty): No such file or directory\nCan't config Serial-Port\n"},
      {{"floppy.device", "2"},
       "floppy.device 2\nOpening Device floppy.device Port 2\n"
       "quorvantix: unknown device 'floppy.device': give a path, tcp:HOST:PORT, tcp-listen:PORT, or "
       "serial.device, usbserial.device or acm.device with a unit\nCan't config Serial-Port\n"},
      {{"/dev/a-name-of-thirty-chars-xx", "0"},
       "quorvantix: device name '/dev/a-name-of-thirty-chars-xx' is longer than 29 characters\n"
       "Can't config Serial-Port\n"},
  };
  for (const auto& row : table) {
    auto service = ServiceProcess::binary(row.args);
    EXPECT_EQ(service.wait_exit(), 1) << row.args[0];
    EXPECT_EQ(service.output(), row.output);
  }
}

TEST_F(ServiceOnPty, SecondServiceOnTheSameLineIsRefused) {
  start_binary();
  auto second = ServiceProcess::binary({line.slave_path(), "0"});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_NE(second.output().find("quorvantix: open(" + line.slave_path() +
                                 "): the line is in use by another program\nCan't config Serial-Port\n"),
            std::string::npos)
      << second.output();
  identify_as_customer();
  terminate();
}

TEST_F(ServiceOnPty, IdentifiesServesAndTerminates) {
  start_binary();
  identify_as_customer();
  // Console lines go out at once even though standard output is a pipe.
  ASSERT_TRUE(service->wait_for_output("Customer:AmigaOS 4.1 / PPC7400\n"));
  terminate();
  EXPECT_EQ(service->output(), line.slave_path() + " 0\nOpening Device " + line.slave_path() +
                                   " Port 0\nService is ready\nCustomer:AmigaOS 4.1 / PPC7400\n"
                                   "Terminierungsignal empfangen\n");
}

TEST_F(ServiceOnPty, TimeOutsWhileWaitingAreSilent) {
  start_forked(1ms);  // a time limit of 105 ms
  line.send({0x02, 0x1F});  // a torn identification frame, thrown away at the time-out
  std::this_thread::sleep_for(400ms);
  identify_as_customer();
  std::this_thread::sleep_for(400ms);  // idle in the command loop
  terminate();
  EXPECT_EQ(lines_after_customer(), "Terminierungsignal empfangen\n");
}

// --- The command loop ---

TEST_F(ServiceOnPty, UnassignedCodesDrawAckThenNak) {
  start_binary();
  identify_as_customer();
  for (int code : {0x1F, 0x27, 0x28, 0x2A, 0x00, 0xFF}) {
    line.send(command_frame(static_cast<std::uint8_t>(code), "19200"));
    EXPECT_EQ(hex(line.receive(2)), "06 15") << "code " << code;
  }
  terminate();
  EXPECT_EQ(lines_after_customer(), "Terminierungsignal empfangen\n");
}

TEST_F(ServiceOnPty, WrongCheckByteDrawsNakAloneAndIsNotCarriedOut) {
  start_binary();
  identify_as_customer();
  const Bytes terminate_frame = command_frame(cmd_terminate);
  const Bytes speed_frame = command_frame(cmd_set_baud_rate, "19200");
  for (const Bytes& damaged : {with_check_byte(terminate_frame, 0x26), with_check_byte(speed_frame, 0x00)}) {
    line.send(damaged);
    EXPECT_EQ(hex(line.receive(1)), "15");
    EXPECT_TRUE(line.quiet_for(100ms)) << "no ACK after the NAK";
  }
  EXPECT_EQ(line_speed(line.slave()), 9600);
  line.send(command_frame(0x27));
  EXPECT_EQ(hex(line.receive(2)), "06 15") << "still serving";
  terminate();
  EXPECT_EQ(lines_after_customer(), "Terminierungsignal empfangen\n");
}

TEST_F(ServiceOnPty, ChangesTheLineSpeed) {
  start_binary();
  identify_as_customer();
  // cmd_set_baud_rate for 9600 exactly as it goes over the wire.
  Bytes set_9600 = {0x02, 0x29, 0x39, 0x36, 0x30, 0x30};
  set_9600.resize(61, 0x00);
  set_9600.push_back(0x26);
  set_9600.push_back(0x03);
  ASSERT_EQ(set_9600, command_frame(cmd_set_baud_rate, "9600"));

  const std::string fifty_nine_digits(59, '7');  // fills the argument without a terminator
  const struct {
    Bytes frame;
    std::string line;
    long speed_after;
  } table[] = {
      {set_9600, "Baudrate auf 9600 gesetzt status 0\n", 9600},
      {command_frame(cmd_set_baud_rate, "19200"), "Baudrate auf 19200 gesetzt status 0\n", 19200},
      {command_frame(cmd_set_baud_rate, "abc"), "Baudrate auf abc gesetzt status 1\n", 19200},
      {command_frame(cmd_set_baud_rate, "250000"), "Baudrate auf 250000 gesetzt status 0\n", 250000},
      {command_frame(cmd_set_baud_rate, fifty_nine_digits),
       "Baudrate auf " + fifty_nine_digits + " gesetzt status 1\n", 250000},
  };
  for (const auto& row : table) {
    line.send(row.frame);
    EXPECT_EQ(hex(line.receive(1)), "06");
    ASSERT_TRUE(service->wait_for_output(row.line)) << service->output();
    EXPECT_EQ(line_speed(line.slave()), row.speed_after) << row.line;
  }
  // cmd_terminate exactly as it goes over the wire.
  Bytes terminate_frame = {0x02, 0x25};
  terminate_frame.resize(61, 0x00);
  terminate_frame.push_back(0x25);
  terminate_frame.push_back(0x03);
  line.send(terminate_frame);
  EXPECT_EQ(hex(line.receive(1)), "06");
  EXPECT_EQ(service->wait_exit(), 0);
}

TEST_F(ServiceOnPty, CustomerTerminateWaitsForTheNextCustomerAt9600) {
  start_binary();
  identify_as_customer();
  line.send(command_frame(cmd_set_baud_rate, "19200"));
  EXPECT_EQ(hex(line.receive(1)), "06");
  ASSERT_TRUE(service->wait_for_output("status 0\n"));

  line.send(command_frame(cmd_customer_terminate));
  EXPECT_EQ(hex(line.receive(1)), "06");
  ASSERT_TRUE(service->wait_for_output("Customer Terminierung empfangen\n"));
  identify_as_customer(frame({32, 41, 0x31}));  // another customer: MS-DOS 3.1 on a PPC604
  EXPECT_EQ(line_speed(line.slave()), 9600);
  line.send(command_frame(0x28));
  EXPECT_EQ(hex(line.receive(2)), "06 15") << "serving the new customer";
  terminate();
  EXPECT_EQ(lines_after_customer(),
            "Baudrate auf 19200 gesetzt status 0\nCustomer Terminierung empfangen\nTerminierungsignal empfangen\n")
      << "the customer line is printed once only";
}
