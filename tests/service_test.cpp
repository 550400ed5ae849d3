#include <gtest/gtest.h>

#include "io_atome.h"
#include "service.h"
#include "support/pty_pair.h"
#include "support/service_process.h"

using namespace testsupport;
using namespace std::chrono_literals;

TEST(Service, IdentifiesAndTerminates) {
  PtyPair line;
  auto service = ServiceProcess::binary({line.slave_path(), "0"});
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  line.send(frame({0x1F, 0x2B, 0x41}));
  EXPECT_EQ(hex(line.receive(7)), "06 02 1f 2f 41 71 03");
  line.send({ACK});
  line.send(command_frame(cmd_terminate));
  EXPECT_EQ(hex(line.receive(1)), "06");
  EXPECT_EQ(service.wait_exit(), 0);
  EXPECT_EQ(service.output(), line.slave_path() + " 0\nOpening Device " + line.slave_path() +
                                  " Port 0\nService is ready\nCustomer:AmigaOS 4.1 / PPC7400\n"
                                  "Terminierungsignal empfangen\n");
}
