// The customer's end of a session with a service: the line, the identification,
// and one operation per remote or local step. Each returns a Result: the value,
// or an Error that says what kind of failure it was and why, naming the
// object and the cause for the caller's message.
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
#include "host/result.h"
#include "wire/display.h"
#include "wire/link.h"
#include "wire/status.h"

namespace quorvantix::session {

constexpr int kIdentifyAttempts = 3;
// Bytes that come within this many byte times of each other are a frame under way.
constexpr long kBytesOfAFrameUnderWay = 4;
constexpr std::size_t kCommandArgumentBytes = 59;  // a command frame's argument, in wire bytes
// The most entries a listing may have: 10,000 take about 9 minutes at 9600
// baud, 50 s at 115200, and about 3 MB here. A longer one, or one without
// end, is cut off there (Kind::listing_too_long).
constexpr std::size_t kMostListedEntries = 10'000;
// How many levels of folders get -r and the mount go below the folder they
// start in: a tree that goes deeper, or never ends, is left out from there.
constexpr std::size_t kDeepestFolder = 32;

// The ways an operation of the session fails.
enum class Kind {
  wire,                    // the wire failed: Error::status says how
  no_service,              // the identification got no answer
  link_lost,               // a command frame got no answer at all
  name_too_long,           // a name does not fit its frame
  name_unusable,           // empty, "." or "..", or bytes the header cannot carry
  local_not_a_file,        // put: no readable plain file of that name
  local_too_large,         // put: more blocks than the header can count
  local_no_directory,      // lcd: no such directory
  remote_dir_unchanged,    // cd: the service stayed where it was
  remote_dir_unconfirmed,  // cd: names too long to tell whether it moved
  rate_refused,            // baud: this end's line cannot take the rate
  rate_not_taken,          // baud: no answer at the new rate; back at the old one
  interrupted,             // the user stopped a command part-way (the link was cancelled)
  shutdown_refused,        // shutdown: the service went on, and answered an identification
  charset_unknown,         // the session's character set names no set that names can travel in
  line_flooded,            // the service sends without pause: the session was given up
  listing_too_long,        // the listing went on past Session::most_listed() entries
};

struct Error {
  Kind kind;
  std::string reason;                            // the particulars, for a message; may be empty
  wire::Status status = wire::Status::timed_out;  // for Kind::wire alone
  bool is(wire::Status wire_status) const { return kind == Kind::wire && status == wire_status; }
};

template <class T = void>
using Result = host::Result<T, Error>;

inline host::Failure<Error> fail(Kind kind, std::string reason = {}) {
  return host::Failure<Error>{Error{kind, std::move(reason)}};
}

// An entry of a listing, the service's or this end's, its name in host form.
using RemoteEntry = wire::Entry;

// Whether the listing carried only the start of the entry's name.
bool listing_cut(const RemoteEntry& entry);

class Session {
 public:
  explicit Session(wire::Link& on) : link_(on) {}

  // The line the session runs on: its clock, its cancel, its waits.
  wire::Link& link() const { return link_; }
  // This end and the service, from the identification.
  const wire::Identities& ids() const { return ids_; }
  long baud() const { return baud_; }
  // The service's current folder as the last pwd gave it; empty until one did.
  const std::string& remote_dir() const { return remote_dir_; }
  // Whether the service's name had 60 or more characters and was cut.
  bool remote_dir_cut() const { return remote_dir_cut_; }
  // The service stopped answering; nothing more is sent.
  bool lost() const { return lost_; }
  // The character set that names cross the line in: any that iconv knows, or
  // host::kRawCharset for the bytes as they are. Names typed here and local
  // names go to the service in it, and the service's come back from it;
  // every limit of a name counts its bytes in it.
  const std::string& charset() const { return charset_; }
  // remote_list takes at most this many entries.
  std::size_t most_listed() const { return most_listed_; }

  // Names cross in `charset` from now on; `names`, when given, is its
  // converter, opened already (else the first operation that needs it opens it).
  void use_charset(std::string charset, std::optional<host::NameCodec> names = std::nullopt);
  void set_most_listed(std::size_t most) { most_listed_ = most; }
  // Told once a transfer has been stopped by a cancel of the link, before the
  // wait for the service to give up its side begins.
  void set_on_stop(std::function<void()> on_stop) { on_stop_ = std::move(on_stop); }
  // The line is gone under the session: nothing more is sent.
  void give_up() { lost_ = true; }

  // --- The line ---
  // Opens the line at 9600 baud; a failure names the cause.
  Result<> open_line(const std::string& device, long unit);
  // Closes the line (the line's own settings go back on it).
  void close_line();
  // Sends the customer's identification and reads the service's into ids(),
  // at 9600 baud whatever speed the line had, up to kIdentifyAttempts times, fewer when the link is cancelled. It
  // begins once a frame under way on the line has passed; between tries the
  // line must be quiet (settle), and after the first it signs off, for a
  // service whose last customer left without doing so and which still waits
  // for commands. A try that loses the line (a service on the network closed
  // the connection) is followed by the next on the line opened anew. Once it
  // answers, the session starts afresh: not lost, in a folder not yet read.
  // Kind::no_service, with the tries made and what ended them as the reason.
  Result<> reach_service();

  // The service answered an identification sent outside the session (the
  // doctor's first look at the line): the session runs from here, at 9600 baud.
  void take_identification(const wire::Identities& ids);
  // After the speed `from` failed (session/doctor.h): back to `rate`, the
  // speed command sent at `from`, up to `tries` times, each checked at `rate`;
  // as a last resort a sign-off at `from` and the identification anew at 9600
  // baud (then `rate` again). link_lost when the service answers at neither.
  Result<> retreat_to(long rate, long from, int tries);

  // --- The service ---
  // The service's current directory into remote_dir().
  Result<> remote_pwd();
  // Changes the service's current directory and reads it back: the service
  // says nothing when it cannot change, so a directory that stays the same
  // when it should not gives remote_dir_unchanged; remote_dir_unconfirmed
  // when the names are cut at 60 characters and cannot tell.
  Result<> remote_cd(const std::string& dir);
  // The service's current directory listing, in the order the service sent
  // it. listing_too_long past most_listed() entries (those are in `entries`:
  // the service, left unanswered, gives up the rest); interrupted when the
  // link was cancelled (the cancel stays: the service finishes its listing
  // meanwhile, and the next exchange waits for it).
  Result<> remote_list(std::vector<RemoteEntry>& entries);
  // Fetches `remote` into the local file get_target names. The file is
  // written unnamed beside it and takes its place once complete: a failed get
  // leaves no partial file, and a file of that name as it was. A cancel of the
  // link stops it: interrupted.
  Result<> remote_get(const std::string& remote, const std::string& local, wire::Gadget* gad);
  // Stores the local file `local` on the service as `remote`. A cancel of the
  // link stops it: interrupted, once the service has given up its side.
  Result<> remote_put(const std::string& local, const std::string& remote, wire::Gadget* gad);
  // Switches both ends of the line to `rate` and checks the link with a pwd.
  Result<> remote_set_baud(long rate);
  // Signs off: the service goes back to 9600 baud and waits for the next customer.
  Result<> sign_off();
  // After an exchange that went wrong or was stopped: waits until the service
  // has given up its side and the line is quiet (settle). A service that
  // sends without the pauses in which every peer of this line waits for each
  // answer (a time limit), and so would hold us here until the wait's cap and
  // again at every command, is given up instead: lost(), and line_flooded.
  Result<> get_back_in_step();
  // Ends the service. A service that refuses (it runs with --no-shutdown)
  // takes the command for a sign-off: it answers the identification that
  // follows, and the session goes on (shutdown_refused) at the speed and in
  // the folder it had, where they can be had again. A service that ends
  // leaves the identification unanswered (one time limit).
  Result<> shutdown_service();

  // --- This end ---
  Result<std::string> local_pwd() const;
  Result<> local_cd(const std::string& dir);
  // Where `get REMOTE [LOCAL]` writes: LOCAL, or the last part of REMOTE;
  // inside LOCAL when that is a directory. name_unusable when no usable name
  // results.
  Result<std::string> get_target(const std::string& remote, const std::string& local) const;

 private:
  // The converter for charset(); charset_unknown when there is none.
  Result<const host::NameCodec*> wire_names();
  // The wire form of `name`, a name given here for a command frame (`what`
  // says what it names).
  Result<std::string> command_argument(const std::string& name, const std::string& what);
  // Why the wire name of a file to store cannot be used, for `kind` of check_wire_name.
  std::string unusable_wire_name(const std::string& name, const std::string& wire, Kind kind) const;
  // How the messages name the line's character set.
  std::string in_line_set() const;
  // Sends one command frame. A NAK means the service could not read the
  // frame (a stray byte from an earlier exchange ran ahead of it); it did not
  // run the command, so the frame is sent once more once the line has
  // settled. No answer at all means the service is gone.
  Result<> send_command(wire::UBYTE code, const std::string& argument = "");
  // The line after a try of reach_service that lost it, for the next try.
  Result<> take_up_line_for_next_try();
  // After the service has taken us for a new customer (back at 9600 baud, in
  // the folder it serves): the speed and the folder we had, where they can be had again.
  void resume(long rate, const std::string& folder);
  // Takes back a cancel that stopped a transfer, so that the ends can get
  // back in step and sign off. True when there was one.
  bool take_back_stop();
  Result<> finish_failed_put(const wire::Error& failure, std::chrono::nanoseconds took);

  wire::Link& link_;
  std::string device_;  // the line as open_line opened it, to open it again
  long unit_ = 0;
  wire::Identities ids_;
  long baud_ = wire::kStartBaud;
  std::string remote_dir_;
  bool remote_dir_cut_ = false;
  bool lost_ = false;
  std::string charset_ = host::kDefaultWireCharset;
  std::optional<host::NameCodec> names_{};  // for charset_, opened by the first operation that needs it
  std::function<void()> on_stop_;
  std::size_t most_listed_ = kMostListedEntries;
  // This end's own files, which get stores in and put reads from: the host's
  // whole file system from the process's current directory.
  std::unique_ptr<host::FileSystem> local_files_ = host::whole_host_file_system();
};

// How long reach_service waits at most where no service answers, on a quiet
// line or one that never goes quiet (opening a lost line again aside).
std::chrono::nanoseconds longest_wait_for_service(const wire::Link& link);

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
// The service's path of `path` taken from the folder `current` (both in its
// "/" syntax), with "." and ".." worked out: "docs/../a" from "/srv" is "/srv/a".
std::string service_path(const std::string& current, const std::string& path);
// name_too_long or name_unusable (without a reason) when `wire_name` (in wire
// form) cannot travel in the header of a file of `size` bytes ("%s %d %d" in 60 bytes).
Result<> check_wire_name(const std::string& wire_name, std::int64_t size);

}  // namespace quorvantix::session
