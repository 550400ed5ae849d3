// The service: start-up and the command loop.
//
// Command frame: a link frame with a 60-byte payload, the command code at
// offset 0 and a NUL-terminated argument from offset 1. Every intact command
// frame is answered with ACK before the command runs; codes the table does not
// know draw a NAK after the ACK; a frame with a wrong check byte draws NAK alone
// and is dropped.
#pragma once

#include <string>

#include "io_atome.h"
#include "platform/fs.h"
#include "transfer_ext.h"

constexpr long kCommandFrameBytes = 60;

// Command codes.
constexpr UBYTE cmd_get_akt_dir = 0x20;
constexpr UBYTE cmd_set_akt_dir = 0x21;
constexpr UBYTE cmd_send_file = 0x22;
constexpr UBYTE cmd_receive_file = 0x23;
constexpr UBYTE cmd_send_akt_dir = 0x24;
constexpr UBYTE cmd_terminate = 0x25;
constexpr UBYTE cmd_customer_terminate = 0x26;
constexpr UBYTE cmd_set_baud_rate = 0x29;

// What the command loop works with: the link, the device it serves (to open
// it again when the line is lost), the identities of both ends, and the tree
// of names it serves (the whole file system from the process's current
// directory unless it is confined to a directory).
struct ServiceState {
  Link& link;
  std::string device;
  long port = 0;
  Identities ids;
  platform::Tree tree = platform::Tree::whole();
};

// The program: takes device and unit from the command line, opens the line,
// identifies the customer and serves commands until cmd_terminate. Returns the
// exit status: 0 after cmd_terminate or --help/--version, 1 when the device name
// is refused or the port cannot be opened.
int service_main(int argc, char** argv);
// The same on `clock`, with lines from `opener`.
int service_main(int argc, char** argv, platform::Clock& clock, platform::LineOpener opener);
// Waits for a customer's identification, opening the line again whenever it
// is lost meanwhile.
void wait_for_customer(ServiceState& state);
// Serves command frames until cmd_terminate, after sweeping the temporaries
// that files being stored left in the tree's current directory when an earlier
// service was killed.
void exec_commands(ServiceState& state);
