// The console of the customer's commands: where results, errors and
// progress go, and what went wrong in a sentence.
#pragma once

#include <ostream>
#include <string>

#include "customer/listings.h"
#include "session/session.h"

namespace quorvantix::customer {

// Where a command's results, errors and progress go, and what the commands of
// one session share.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool live_progress = false;  // draw progress lines on err (a terminal, and not -q)
  std::string where{};         // put before each error message ("line 3: ")
  bool quiet = false;          // -q: no summary after a command for many files
  bool overwrite = false;      // set overwrite on: get, mget, get -r and mput replace files without -f
  bool out_terminal = false;   // out is standard output on a terminal: ls puts names in columns
  RemoteListings listings{};
};

// The customer's sentences for the session's failures, all of them here.
// A failure that any exchange with the service can end in:
std::string link_failure(const session::Error& error, const session::Session& session);
// of current_listing or folder_listing:
std::string listing_failure(const session::Error& error, const session::Session& session);
// of a get of `remote` into `target`:
std::string get_failure(const session::Error& error, const std::string& remote, const std::string& target,
                        const session::Session& session);
// of a put of `local` as `remote`:
std::string put_failure(const session::Error& error, const std::string& local, const std::string& remote,
                        const session::Session& session);
// Why the service stayed where it was on `cd dir` (remote_dir_unchanged), from
// the listing of the folder that holds `dir`: a folder it cannot enter, a
// file, or none of that name. The listing is fetched when none is kept.
std::string not_entered(session::Session& session, Console& console, const std::string& dir);

// A name as the messages show it: 'name'.
std::string quoted(const std::string& name);
// Writes one message of `command` on console.err: "line 3: get: ...".
void say(Console& console, const std::string& command, const std::string& message);

// Whether the user has asked, with a signal, for the program to stop.
bool stop_requested();

}  // namespace quorvantix::customer
