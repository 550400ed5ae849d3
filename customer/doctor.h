// quorvantix-customer doctor [--speed] [--save] [-u N] [LINE]: says in words
// what is wrong with a line, and finds the fastest speed it holds.
#pragma once

#include "customer/commands.h"
#include "customer/options.h"
#include "host/clock.h"
#include "lines/serial_line.h"
#include "session/doctor.h"

namespace quorvantix::customer {

// `argv[0]` is "doctor"; `defaults` come from the settings file (its line
// stands in for LINE). Exit status: 0 when a service answers (and, with
// --speed, both ends are at a speed that holds); 1 when --speed lost the
// service; 2 for a command line that cannot be used; 3 when another check failed.
int doctor_main(int argc, char** argv, host::Clock& clock, lines::LineOpener opener, Options defaults);

// The speed search with its table on `out`, a row a speed as it is done,
// and the speed it settled on.
session::SpeedSearch search_speed(session::Session& session, std::ostream& out);

// baud auto: the speed search on a session that runs, its table on `console.out`.
Outcome find_speed(session::Session& session, Console& console);

// Sets NAME = VALUE in the settings file at `path`, in place of the line that
// set it before, or at its end; the folder is made if need be.
bool save_setting(const std::string& path, const std::string& name, const std::string& value, std::string& error);

}  // namespace quorvantix::customer
