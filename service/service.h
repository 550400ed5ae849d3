// The service: start-up and the command loop.
//
// Command frame: a link frame with a 60-byte payload, the command code at
// offset 0 and a NUL-terminated argument from offset 1. Every intact command
// frame is answered with ACK before the command runs; codes the table does not
// know draw a NAK after the ACK; a frame with a wrong check byte draws NAK alone
// and is dropped.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/fs.h"
#include "lines/serial_line.h"
#include "service/operator_log.h"
#include "service/options.h"
#include "wire/link.h"
#include "wire/status.h"

namespace quorvantix::service {

// What the command loop works with: the link, the device it serves (to open
// it again when the line is lost), the identities of both ends, the tree of
// names it serves (the whole file system from the process's current
// directory unless it is confined to a directory; its names in the wire's
// character set), whether the customer may end the service, and the
// operator's log of what happens.
struct ServiceState {
  wire::Link& link;
  std::string device;
  long port = 0;
  wire::Identities ids;
  std::unique_ptr<host::FileSystem> tree = std::make_unique<host::Tree>(host::Tree::whole());
  bool no_shutdown = false;  // cmd_terminate is refused as an unassigned code
  OperatorLog log{};         // silent unless given one
  // On a tcp-listen line (--idle-timeout): a customer that sends only input
  // that forms no frame for this long is taken for gone, and the line goes
  // to the next peer that identifies. 0: never.
  std::chrono::nanoseconds formless_limit{0};
};

// The program: takes its options from the command line, opens the line,
// identifies the customer and serves commands until cmd_terminate or a stop
// signal (host/stop_signals.h). Returns the exit status: 0 after cmd_terminate, a
// stop signal or --help/--version; 1 when the device name is refused, the port
// cannot be opened or the served folder cannot be had; 2 when the command
// line is refused (the usage goes to standard error).
int service_main(int argc, char** argv);
// The same on `clock`, with lines from `opener`; an empty opener stands for
// the host's lines, with their lock files in `lock_directory`.
int service_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener,
                 const std::string& lock_directory = lines::kLockDirectory);
// How a tcp-listen line chooses and keeps its peers under `options`: the
// first whole identification frame (wire/identification.h) wins; refusals and closes go to
// `log`.
lines::ListenRules listen_rules(const ServiceOptions& options, OperatorLog log = {});
// Waits for a customer's identification, opening the line again whenever it
// is lost meanwhile, and welcomes the customer. False when the link was
// cancelled (the service stops).
bool wait_for_customer(ServiceState& state);
// A customer has identified: it starts afresh, in the folder served (the
// folder the service started in, or the root of --root), and is logged.
void welcome_customer(ServiceState& state);
// Serves command frames until cmd_terminate, or until the link is cancelled,
// after sweeping the temporaries that files being stored left in the tree's
// current directory when an earlier service was killed.
void exec_commands(ServiceState& state);

}  // namespace quorvantix::service
