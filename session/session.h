// The customer's end of a session with a service: the line, the identification,
// and one function per remote or local operation. Each returns 0 on success or
// a status code: the program-wide codes of wire/status.h, or the customer's own
// codes below. Details of the last failure (a path, an errno text) are left in
// Session::detail for the caller's message.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/charset.h"
#include "host/file_system.h"
#include "wire/display.h"
#include "wire/link.h"
#include "session/codes.h"
#include "wire/status.h"

namespace quorvantix::session {

// --- The customer's own status codes, above the program-wide ones ---
constexpr long NO_SERVICE = 101;            // the identification got no answer
constexpr long LINK_LOST = 102;             // a command frame got no answer at all
constexpr long NAME_TOO_LONG = 103;         // a name does not fit its frame
constexpr long NAME_UNUSABLE = 104;         // empty, "." or "..", or bytes the header cannot carry
constexpr long LOCAL_NOT_A_FILE = 105;      // put: no readable plain file of that name
constexpr long LOCAL_TOO_LARGE = 106;       // put: more blocks than the header can count
constexpr long LOCAL_NO_DIRECTORY = 107;    // lcd: no such directory
constexpr long REMOTE_DIR_UNCHANGED = 108;  // cd: the service stayed where it was
constexpr long REMOTE_DIR_UNCONFIRMED = 109;  // cd: names too long to tell whether it moved
constexpr long RATE_REFUSED = 110;          // baud: this end's line cannot take the rate
constexpr long RATE_NOT_TAKEN = 111;        // baud: no answer at the new rate; back at the old one
constexpr long INTERRUPTED = 112;           // the user stopped a command part-way (the link was cancelled)
constexpr long SHUTDOWN_REFUSED = 113;      // shutdown: the service went on, and answered an identification
constexpr long CHARSET_UNKNOWN = 114;       // Session::charset names no set that names can travel in
constexpr long LINE_FLOODED = 115;          // the service sends without pause: the session was given up
constexpr long LISTING_TOO_LONG = 116;      // the listing went on past Session::most_listed entries

constexpr int kIdentifyAttempts = 3;
// Bytes that come within this many byte times of each other are a frame under way.
constexpr long kBytesOfAFrameUnderWay = 4;
constexpr std::size_t kCommandArgumentBytes = 59;  // a command frame's argument, in wire bytes
// The listing carries the first 30 bytes of a name. A longer one pushes the
// line's size field out of its place: a listed name that fills its 30 bytes
// and comes without a size is the start of a longer one.
constexpr std::size_t kListedNameBytes = 30;
// The most entries a listing may have: 10,000 take about 9 minutes at 9600
// baud, 50 s at 115200, and about 3 MB here. A longer one, or one without
// end, is cut off there (LISTING_TOO_LONG).
constexpr std::size_t kMostListedEntries = 10'000;
// How many levels of folders get -r and the mount go below the folder they
// start in: a tree that goes deeper, or never ends, is left out from there.
constexpr std::size_t kDeepestFolder = 32;

struct Session {
  explicit Session(wire::Link& on) : link(on) {}

  wire::Link& link;
  std::string device;            // the line as open_line opened it, to open it again
  long unit = 0;
  wire::Identities ids;                // this end and the service, from the identification
  long baud = wire::kStartBaud;
  std::string remote_dir;        // as the last pwd gave it
  bool remote_dir_cut = false;   // the service's name had 60 or more characters
  bool lost = false;             // the service stopped answering; nothing more is sent
  std::string detail;            // particulars of the last failure
  // The character set that names cross the line in: any that iconv knows, or
  // host::kRawCharset for the bytes as they are. Names typed here and
  // local names go to the service in it, and the service's come back from it;
  // every limit of a name counts its bytes in it.
  std::string charset = host::kDefaultWireCharset;
  // The converter for `charset`, opened by the first operation that needs it.
  std::optional<host::NameCodec> names{};
  // Told once a transfer has been stopped by a cancel of the link, before the
  // wait for the service to give up its side begins.
  std::function<void()> on_stop;
  // remote_list takes at most this many entries.
  std::size_t most_listed = kMostListedEntries;
  // This end's own files, which get stores in and put reads from: the host's
  // whole file system from the process's current directory, unless others
  // are handed in.
  std::unique_ptr<host::FileSystem> local_files = host::whole_host_file_system();
};

// An entry of a listing, the service's or this end's, its name in host form.
using RemoteEntry = wire::Entry;

// Whether the listing carried only the start of the entry's name.
bool listing_cut(const RemoteEntry& entry);

// --- The line ---
// Opens the line at 9600 baud. PORT_OK, or a PORT_* code with the cause in detail.
long open_line(Session& session, const std::string& device, long unit);
// Closes the line (the line's own settings go back on it).
void close_line(Session& session);
// Sends the customer's identification and reads the service's into
// session.ids, up to kIdentifyAttempts times, fewer when the link is
// cancelled. It begins once a frame under way on the line has passed;
// between tries the line must be quiet (settle), and after the first it signs
// off, for a service whose last customer left without doing so and which
// still waits for commands. A try that loses the line (a service on the
// network closed the connection) is followed by the next on the line opened
// anew. LINK_OK or NO_SERVICE, with the tries made and what ended them in
// detail.
long reach_service(Session& session);
// How long reach_service waits at most where no service answers, on a quiet
// line or one that never goes quiet (opening a lost line again aside).
std::chrono::nanoseconds longest_wait_for_service(const wire::Link& link);

// --- The service ---
// The service's current directory into session.remote_dir.
long remote_pwd(Session& session);
// Changes the service's current directory and reads it back: the service says
// nothing when it cannot change, so a directory that stays the same when it
// should not gives REMOTE_DIR_UNCHANGED; REMOTE_DIR_UNCONFIRMED when the names
// are cut at 60 characters and cannot tell.
long remote_cd(Session& session, const std::string& dir);
// The service's current directory listing, in the order the service sent it.
// LISTING_TOO_LONG past session.most_listed entries (those are in `entries`:
// the service, left unanswered, gives up the rest); INTERRUPTED when the link
// was cancelled (the cancel stays: the service finishes its listing
// meanwhile, and the next exchange waits for it).
long remote_list(Session& session, std::vector<RemoteEntry>& entries);
// Fetches `remote` into the local file get_target names. The file is written
// unnamed beside it and takes its place once complete: a failed get leaves no
// partial file, and a file of that name as it was. A cancel of the link stops
// it: INTERRUPTED.
long remote_get(Session& session, const std::string& remote, const std::string& local, wire::Gadget* gad);
// Stores the local file `local` on the service as `remote`. A cancel of the
// link stops it: INTERRUPTED, once the service has given up its side.
long remote_put(Session& session, const std::string& local, const std::string& remote, wire::Gadget* gad);
// Switches both ends of the line to `rate` and checks the link with a pwd.
long remote_set_baud(Session& session, long rate);
// Signs off: the service goes back to 9600 baud and waits for the next customer.
long sign_off(Session& session);
// After an exchange that went wrong or was stopped: waits until the service
// has given up its side and the line is quiet (settle). A service that sends
// without the pauses in which every peer of this line waits for each answer
// (a time limit), and so would hold us here until the wait's cap and again
// at every command, is given up instead: session.lost, with the reason in
// detail, and false.
bool get_back_in_step(Session& session);
// Ends the service. A service that refuses (it runs with --no-shutdown) takes
// the command for a sign-off: it answers the identification that follows,
// and the session goes on (SHUTDOWN_REFUSED) at the speed and in the folder
// it had, where they can be had again. A service that ends leaves the
// identification unanswered (one time limit).
long shutdown_service(Session& session);

// --- This end ---
long local_pwd(const Session& session, std::string& dir);
long local_cd(Session& session, const std::string& dir);
long local_list(const Session& session, std::vector<RemoteEntry>& entries);

// --- Names ---
// The last part of a path ("a/b/c" gives "c", "Work:x" gives "x"); empty when
// there is none ("dir/", "..").
std::string last_component(const std::string& path);
// Why a name the service gave (in host form, as a listing or pwd has it)
// cannot name a file or folder here; empty when it can. Such a name is taken
// whole or not at all, so it must be one name in one folder: not empty, "."
// or "..", and without '/' or NUL, also where the line's character set made
// them. Any other byte may be in it (messages show it escaped).
std::string unusable_listed_name(const std::string& name);
// Where `get REMOTE [LOCAL]` writes: LOCAL, or the last part of REMOTE; inside
// LOCAL when that is a directory. Empty, with session.detail filled, when no
// usable name results.
std::string get_target(Session& session, const std::string& remote, const std::string& local);
// The service's path of `path` taken from the folder `current` (both in its
// "/" syntax), with "." and ".." worked out: "docs/../a" from "/srv" is "/srv/a".
std::string service_path(const std::string& current, const std::string& path);
// NAME_TOO_LONG or NAME_UNUSABLE when `wire_name` (in wire form) cannot travel
// in the header of a file of `size` bytes ("%s %d %d" in 60 bytes), else 0.
long check_wire_name(const std::string& wire_name, std::int64_t size);

}  // namespace quorvantix::session
