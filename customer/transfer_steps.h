// The steps that the transfer commands share (get, put, mget, mput, get -r,
// put -r): one file fetched or stored, the tally of a command for many files
// and its summary, and local names.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "customer/console.h"
#include "session/session.h"

namespace quorvantix::customer {

// What a command for many files does with a file that is there already: a
// local one for mget and get -r, one on the service for mput. Without either
// option (or set overwrite on) it is left as it is, and the command fails for
// it with a hint.
struct Existing {
  bool replace = false;    // -f: replace it
  bool skip_same = false;  // -n: leave one of the size the listing gives as it is, and count it as skipped
  std::string typed;       // the command as typed, without -f, for the hint ("get -r", "mget -n")
};

// Local paths, and lists in messages.
std::string joined(const std::string& folder, const std::string& name);
bool is_folder(const std::string& path);
bool is_plain_file(const std::string& path);
std::int64_t size_of(const std::string& path);
std::string plural(std::size_t count, const std::string& one, const std::string& many);
std::string listed(const std::vector<std::string>& names);

// What one command for many files has done so far.
struct Tally {
  std::string command;       // "mget", "get", ...
  const char* done_word;     // "not fetched", "not stored"
  const char* skipped_word;  // where the files skipped are: "here", "on the service"
  std::chrono::nanoseconds start;
  int files = 0;
  std::int64_t bytes = 0;
  int skipped = 0;  // -n: there already, of the same size
  int files_not_tried = 0, folders_not_tried = 0;
  std::vector<std::string> failed{};
  bool no_room = false;  // a file was refused for want of room here
};

// Says how it went; true when no file failed.
bool summarize(session::Session& session, Console& console, const Tally& tally);
// The session is lost, or the user asked to stop.
bool stopping(const session::Session& session);
// Counts `entries` from `from` on as not tried.
void not_tried(const std::vector<session::RemoteEntry>& entries, std::size_t from, Tally& tally);

enum class Already { absent, same_size, other };
// How a file that is there already (`size`, -1 when it is not there) stands
// to the one that comes (`coming`, -1 when no listing gave its size).
Already already(std::int64_t size, std::int64_t coming);
// The hint for a file that is there already and is not replaced.
std::string exists_text(const std::string& name, const std::string& where, const Existing& existing);
// Fetches `remote` of the service's current directory into the local file
// `target`; `shown` names it in messages, `listed_size` is its size in the
// listing (-1: none).
bool fetch_one(session::Session& session, Console& console, Tally* tally, const Existing& existing,
               const std::string& remote, const std::string& target, const std::string& shown, std::int64_t listed_size = -1);
// Stores the local file `local` as `remote` in the service's current directory.
bool store_one(session::Session& session, Console& console, Tally* tally, const std::string& command,
               const std::string& local, const std::string& remote);

// A name the listing cut, as messages show it.
std::string cut_name(const session::RemoteEntry& entry);
// A name the listing cut can be neither fetched nor entered by it.
std::string cut_name_text(const session::RemoteEntry& entry);
// A listed name is taken whole, as the name of one file or folder here, or
// refused: one that climbs out ("../x") or is a path ("x/.profile") is never
// cut down to a part of itself. False, with the refusal said and counted,
// for such a name; `path` names it in messages.
bool usable_listed(Console& console, Tally& tally, const session::RemoteEntry& entry, const std::string& path);

}  // namespace quorvantix::customer
