// The customer program: opens the line, identifies the service, runs the
// commands from the command line, a script or the shell, and signs off.
#pragma once

#include "customer/options.h"
#include "host/clock.h"
#include "lines/serial_line.h"

namespace quorvantix::customer {

// Exit status: 0 when every command succeeded; 1 when one failed; 2 for a
// command line that cannot be used; 3 when the line could not be opened or no
// service answered; 128 + the signal when the user interrupted.
constexpr int kExitOk = 0;
constexpr int kExitCommandFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoLink = 3;

// Reads the settings file first (see options.h); one that cannot be used ends
// the program with kExitUsage.
int customer_main(int argc, char** argv);
// The same on `clock`, with lines from `opener`, and no settings file: its
// defaults, if any, in `defaults`.
int customer_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener);
int customer_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener, Options defaults);

}  // namespace quorvantix::customer
