#include "customer/transfers.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "customer/listing_output.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/run.h"
#include "customer/text_width.h"
#include "host/fs.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
namespace {

using std::chrono::nanoseconds;

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_folder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_plain_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t size_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string listed(const std::vector<std::string>& names) {
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
  return list;
}

// What one command for many files has done so far.
struct Tally {
  std::string command;       // "mget", "get", ...
  const char* done_word;     // "not fetched", "not stored"
  const char* skipped_word;  // where the files skipped are: "here", "on the service"
  nanoseconds start;
  int files = 0;
  std::int64_t bytes = 0;
  int skipped = 0;  // -n: there already, of the same size
  int files_not_tried = 0, folders_not_tried = 0;
  std::vector<std::string> failed{};
  bool no_room = false;  // a file was refused for want of room here
};

// Says how it went; true when no file failed.
bool summarize(Session& session, Console& console, const Tally& tally) {
  if (!console.quiet && (tally.files > 0 || tally.skipped > 0)) {
    std::string line = tally.command + ": " + plural(static_cast<std::size_t>(tally.files), "file", "files");
    if (tally.files > 0) {
      const std::chrono::duration<double> took = session.link.now() - tally.start;
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", took.count());
      line += ", " + format_bytes(tally.bytes) + " in " + seconds + " s, " + format_rate(tally.bytes, took);
    }
    if (tally.skipped > 0) {
      line += "; " + std::to_string(tally.skipped) + " skipped, of the same size " + tally.skipped_word + " already";
    }
    console.err << console.where << line << '\n';
  }
  if (tally.files_not_tried > 0 || tally.folders_not_tried > 0) {
    std::string what = plural(static_cast<std::size_t>(tally.files_not_tried), "file", "files");
    if (tally.folders_not_tried > 0) {
      what += " and " + plural(static_cast<std::size_t>(tally.folders_not_tried), "folder", "folders");
    }
    say(console, tally.command, "stopped; " + what + " not tried");
  }
  if (tally.failed.empty()) return true;
  say(console, tally.command, std::to_string(tally.failed.size()) + " " + tally.done_word + ": " + listed(tally.failed));
  return false;
}


bool stopping(const Session& session) { return session.lost || stop_requested(); }

// Counts `entries` from `from` on as not tried.
void not_tried(const std::vector<RemoteEntry>& entries, std::size_t from, Tally& tally) {
  for (std::size_t i = from; i < entries.size(); ++i) ++(entries[i].is_dir ? tally.folders_not_tried : tally.files_not_tried);
}

std::string get_failure(long status, const std::string& remote, const std::string& target, const Session& session) {
  switch (status) {
    case FILE_HEADER_DAMAGED:
      return "the service sent no file " + quoted(remote) + " (it has none of that name, or cannot read it)" +
             (has_wildcard(remote) ? "; mget fetches the files that match a pattern" : "");
    case FILE_HEADER_BAD:
      return "the service's answer for " + quoted(remote) + " was not a file header";
    case FILE_NO_DIR_LOCK:
    case FILE_NO_MEMORY:
    case FILE_NO_INFO:
      return "cannot find out how much room there is for " + target;
    case FILE_WRITE_PROTECTED:
      return "cannot store " + target + ": the disk is write-protected";
    case FILE_NO_ROOM:
      return "not enough room for " + target;
    case FILE_CREATE_FAILED:
      if (host::is_temporary_name(target.substr(target.rfind('/') + 1).c_str())) {
        return "cannot store " + target + ": names of that shape are kept for files while they are being stored";
      }
      return "cannot create the local file " + target;
    case FILE_TOO_MANY_FAILURES:
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line; nothing was kept";
    case FILE_WRITE_FAILED:
      return "writing " + target + " failed; nothing was kept";
    case INTERRUPTED:
      return "stopped; nothing was kept";
    default:
      return link_failure(status, session);
  }
}

std::string put_failure(long status, const std::string& local, const std::string& remote, const Session& session) {
  switch (status) {
    case FILE_HEADER_NOT_ACKED:
      return "the service refused to store " + quoted(remote) +
             " (its disk is full or write-protected, or it cannot create a file of that name)";
    case LINK_TIMEOUT:
      return session.detail;
    case FILE_NO_LOCK:
    case FILE_NO_EXAMINE:
    case FILE_OPEN_FAILED:
    case FILE_READ_FAILED:
      return "reading " + local + " failed";
    case FILE_TOO_MANY_FAILURES:
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line; nothing was kept on "
             "the service";
    case INTERRUPTED:
      return "stopped; nothing was kept on the service";
    default:
      return link_failure(status, session);
  }
}

// Stopping a transfer takes the service up to five of its time limits to
// notice; the user hears at once that the stop is under way.
void announce_stop(Session& session, TerminalProgress& progress, Console& console, const std::string& command) {
  session.on_stop = [&progress, &console, command] {
    progress.finish();
    say(console, command,
        "stopping; the service needs a few seconds to give up (press Ctrl-C again to quit at once)");
  };
}

// The label names the file as the service does: shown escaped.
TerminalProgress progress_for(Session& session, Console& console, const std::string& label) {
  return TerminalProgress(console.err, host::shown_name(label), console.live_progress,
                          [&session] { return session.link.now(); });
}

// Why a file cannot be written at `target`, or empty when it can.
std::string unwritable_target(const std::string& target) {
  struct stat st {};
  const std::string folder = folder_of(target);
  if (stat(folder.c_str(), &st) != 0) {
    return errno == ENOENT ? "cannot store " + target + ": there is no folder " + folder
                           : "cannot store " + target + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "cannot store " + target + ": " + folder + " is no folder";
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "cannot store " + target + ": " + std::strerror(errno);
  return {};
}

enum class Already { absent, same_size, other };

// How a file that is there already (`size`, -1 when it is not there) stands
// to the one that comes (`coming`, -1 when no listing gave its size).
Already already(std::int64_t size, std::int64_t coming) {
  if (size < 0) return Already::absent;
  return coming >= 0 && size == coming ? Already::same_size : Already::other;
}

// The hint for a file that is there already and is not replaced.
std::string exists_text(const std::string& name, const std::string& where, const Existing& existing) {
  return name + " exists " + where + " already" + (existing.skip_same ? " and has another size" : "") + "; " +
         existing.typed + " -f replaces it (and so does set overwrite on)";
}

// Fetches `remote` of the service's current directory into the local file
// `target`; `shown` names it in messages, `listed_size` is its size in the
// listing (-1: none).
bool fetch_one(Session& session, Console& console, Tally* tally, const Existing& existing, const std::string& remote,
               const std::string& target, const std::string& shown, std::int64_t listed_size = -1) {
  const std::string command = existing.typed.substr(0, existing.typed.find(' '));
  auto failure = [&](const std::string& message) {
    say(console, command, message);
    if (tally != nullptr) tally->failed.push_back(shown);
    return false;
  };
  // An empty target: get_target has said why.
  if (target.empty()) return failure(session.detail);
  if (is_folder(target)) return failure("a folder " + target + " is in the way");
  session.detail.clear();
  struct stat st {};
  const Already there = already(lstat(target.c_str(), &st) == 0 ? st.st_size : -1, listed_size);
  if (there == Already::same_size && existing.skip_same && S_ISREG(st.st_mode)) {
    if (tally != nullptr) ++tally->skipped;
    return true;
  }
  if (there != Already::absent && !existing.replace && !console.overwrite) {
    return failure(exists_text(target, "here", existing));
  }
  if (const std::string unwritable = unwritable_target(target); !unwritable.empty()) return failure(unwritable);
  TerminalProgress progress = progress_for(session, console, "get " + shown);
  announce_stop(session, progress, console, command);
  const long status = remote_get(session, remote, target, &progress);
  session.on_stop = nullptr;
  progress.finish();
  if (tally != nullptr && status == FILE_NO_ROOM) tally->no_room = true;
  if (status != FILE_OK) return failure(get_failure(status, remote, target, session));
  if (tally != nullptr) {
    ++tally->files;
    tally->bytes += size_of(target);
  }
  return true;
}

// Stores the local file `local` as `remote` in the service's current directory.
bool store_one(Session& session, Console& console, Tally* tally, const std::string& command,
               const std::string& local, const std::string& remote) {
  const std::string wire_name = remote.empty() ? last_component(local) : remote;
  session.detail.clear();
  TerminalProgress progress = progress_for(session, console, "put " + wire_name);
  announce_stop(session, progress, console, command);
  const long status = remote_put(session, local, remote, &progress);
  session.on_stop = nullptr;
  progress.finish();
  console.listings.forget();
  if (status != FILE_OK) {
    say(console, command, put_failure(status, local, wire_name, session));
    if (tally != nullptr) tally->failed.push_back(local);
    return false;
  }
  if (tally != nullptr) {
    ++tally->files;
    tally->bytes += size_of(local);
  }
  return true;
}

std::string cut_name(const RemoteEntry& entry) { return whole_characters(entry.name) + cut_mark(); }

// A name the listing cut can be neither fetched nor entered by it.
std::string cut_name_text(const RemoteEntry& entry) {
  return quoted(cut_name(entry)) + ": the listing carries only the first " + std::to_string(kListedNameBytes) +
         " characters of a name; " + (entry.is_dir ? "cd to it by its whole name" : "get it by its whole name");
}

// A listed name is taken whole, as the name of one file or folder here, or
// refused: one that climbs out ("../x") or is a path ("x/.profile") is never
// cut down to a part of itself. False, with the refusal said and counted,
// for such a name; `path` names it in messages.
bool usable_listed(Console& console, Tally& tally, const RemoteEntry& entry, const std::string& path) {
  const std::string why = unusable_listed_name(entry.name);
  if (why.empty()) return true;
  say(console, tally.command,
      quoted(path) + " is refused: a name the service lists must be one name in its folder, and " + why);
  tally.failed.push_back(path + (entry.is_dir ? "/" : ""));
  return false;
}

// The local folders a command has made, so that a failed one leaves none of
// them empty behind. Only the outermost are named: what is below one of them
// the command has made as well, however many folders that is.
struct MadeFolders {
  std::vector<std::string> outermost;
  bool no_room = false;  // the last one could not be made for want of room
  bool inside(const std::string& path) const {
    return std::any_of(outermost.begin(), outermost.end(),
                       [&](const std::string& made) { return path.starts_with(made + "/"); });
  }
  void remove_empty() const;
};

bool make_folder(const std::string& path, MadeFolders& made, std::string& error) {
  if (mkdir(path.c_str(), 0777) == 0) {
    if (!made.inside(path)) made.outermost.push_back(path);
    return true;
  }
  made.no_room = errno == ENOSPC || errno == EDQUOT;
  if (errno == EEXIST && is_folder(path)) return true;
  error = errno == EEXIST ? "cannot make the folder " + path + ": a file of that name is in the way"
                          : "cannot make the folder " + path + ": " + std::strerror(errno);
  return false;
}

// Changes the service's folder to `dir`; false with the reason said.
bool enter(Session& session, Console& console, const std::string& command, const std::string& dir) {
  const long status = remote_cd(session, dir);
  if (status == LINK_OK || status == REMOTE_DIR_UNCONFIRMED) return true;
  say(console, command, status == REMOTE_DIR_UNCHANGED ? not_entered(session, console, dir) : link_failure(status, session));
  return false;
}

// Back to the folder `start` (as pwd gave it) after a walk that began with cd
// `dir`; also after a stop, whose cancel of the link would keep it from going.
bool go_back(Session& session, Console& console, const std::string& command, const std::string& start,
             bool start_cut, const std::string& dir) {
  if (session.remote_dir == start && !start_cut) return true;
  if (stop_requested()) session.link.clear_cancel();
  // A name too long for a command frame is refused before anything is sent.
  const bool by_name = !start_cut && remote_cd(session, start) != NAME_TOO_LONG;
  if (!by_name && dir.find('/') == std::string::npos) remote_cd(session, "..");
  if (session.remote_dir == start) return true;
  say(console, command, "could not go back to " + start + "; the service is in " + session.remote_dir);
  return false;
}

// The names in a local folder, sorted; empty when it cannot be read.
std::vector<std::string> local_names(const std::string& folder) {
  std::vector<std::string> names;
  const host::DirStream scan(opendir(folder.c_str()));
  if (!scan) return names;
  while (const dirent* entry = readdir(scan.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Removes the empty folders in and below `folder` (links are not followed).
void remove_empty_folders(const std::string& folder) {
  for (const auto& name : local_names(folder)) {
    const std::string path = joined(folder, name);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_empty_folders(path);
  }
  rmdir(folder.c_str());
}

void MadeFolders::remove_empty() const {
  for (auto path = outermost.rbegin(); path != outermost.rend(); ++path) remove_empty_folders(*path);
}

void collect_files(const std::string& folder, std::vector<std::string>& files) {
  for (const auto& name : local_names(folder)) {
    const std::string path = joined(folder, name);
    if (is_folder(path)) {
      collect_files(path, files);
    } else if (is_plain_file(path)) {
      files.push_back(path);
    }
  }
}

// What get -r is at: its tally, what it does with files there already, the
// folders it made, and the service's names of the folders it is in, from the
// one it fetches down.
struct TreeWalk {
  Tally tally;
  const Existing& existing;
  MadeFolders made{};
  std::vector<std::string> folders{};
};

// Whether the service's cd has led to a folder the walk is in already (a
// link on its side that points up): its tree would never end.
bool leads_back(const Session& session, const TreeWalk& walk) {
  return !session.remote_dir.empty() && !session.remote_dir_cut &&
         std::find(walk.folders.begin(), walk.folders.end(), session.remote_dir) != walk.folders.end();
}

// The tree below the service's current folder into `local`; false when the
// walk had to stop (a stop, no room here, or it lost its place on the
// service). Listings are not kept: a tree may have more folders than memory.
bool fetch_folder(Session& session, Console& console, TreeWalk& walk, const std::string& shown,
                  const std::string& local) {
  Tally& tally = walk.tally;
  Entries listing;
  if (const long status = remote_list(session, listing); status != DIR_OK) {
    say(console, tally.command, "cannot list " + shown + ": " + listing_failure(status, session));
    tally.failed.push_back(shown + "/");
    return !session.lost;
  }
  const std::vector<RemoteEntry> entries = sorted_by_name(std::move(listing));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const RemoteEntry& entry = entries[i];
    if (stopping(session)) {
      not_tried(entries, i, tally);
      return false;
    }
    const std::string path = shown + "/" + entry.name;
    if (entry.cut) {
      say(console, tally.command, "cannot fetch " + cut_name_text(entry));
      tally.failed.push_back(shown + "/" + cut_name(entry));
      continue;
    }
    if (!usable_listed(console, tally, entry, path)) continue;
    if (!entry.is_dir) {
      fetch_one(session, console, &tally, walk.existing, entry.name, joined(local, entry.name), path, entry.size);
      if (!tally.no_room) continue;
      not_tried(entries, i + 1, tally);
      return false;
    }
    if (walk.folders.size() > kDeepestFolder) {
      say(console, tally.command,
          "left out " + path + "/: get -r goes at most " + std::to_string(kDeepestFolder) + " folders deep");
      tally.failed.push_back(path + "/");
      continue;
    }
    std::string error;
    if (!make_folder(joined(local, entry.name), walk.made, error)) {
      say(console, tally.command, error);
      tally.failed.push_back(path + "/");
      if (!walk.made.no_room) continue;
      not_tried(entries, i + 1, tally);
      return false;
    }
    const std::string parent = session.remote_dir;
    const bool parent_cut = session.remote_dir_cut;
    if (!enter(session, console, tally.command, entry.name)) {
      tally.failed.push_back(path + "/");
      continue;
    }
    bool walking = true;
    if (leads_back(session, walk)) {
      say(console, tally.command, "left out " + path + "/: the service's cd leads back to " + session.remote_dir +
                                      ", a folder the walk is in already");
      tally.failed.push_back(path + "/");
    } else {
      walk.folders.push_back(session.remote_dir);
      walking = fetch_folder(session, console, walk, path, joined(local, entry.name));
      walk.folders.pop_back();
    }
    if (!walking || !go_back(session, console, tally.command, parent, parent_cut, entry.name)) {
      not_tried(entries, i + 1, tally);
      return false;
    }
  }
  return true;
}

// The files of the local folder `local` into the service's current folder,
// and its folders into the service's folders of the same names.
bool store_folder(Session& session, Console& console, Tally& tally, const std::string& local) {
  for (const auto& name : local_names(local)) {
    if (stopping(session)) return false;
    const std::string path = joined(local, name);
    if (is_plain_file(path)) {
      store_one(session, console, &tally, tally.command, path, name);
      continue;
    }
    if (!is_folder(path)) continue;
    const std::string parent = session.remote_dir;
    const long entered = remote_cd(session, name);
    if (entered == LINK_OK || entered == REMOTE_DIR_UNCONFIRMED) {
      const bool walking = store_folder(session, console, tally, path);
      if (!walking || !go_back(session, console, tally.command, parent, false, name)) return false;
      continue;
    }
    if (session.lost) return false;
    std::vector<std::string> files;
    collect_files(path, files);
    if (files.empty()) continue;
    const std::string what =
        files.size() == 1 ? files[0] : "the " + std::to_string(files.size()) + " files of " + path;
    say(console, tally.command,
        "cannot place " + what + ": the service has no folder " + quoted(name) + " in " + parent +
            " (the line has no command that makes one)");
    tally.failed.insert(tally.failed.end(), files.begin(), files.end());
  }
  return true;
}

// The entries of a listing that the patterns of an mget choose.
struct Chosen {
  std::vector<const RemoteEntry*> files;  // to fetch, in order; a cut one among them fails
  std::vector<const RemoteEntry*> maybe;  // cut names a pattern may match
  std::vector<const RemoteEntry*> folders;
  std::vector<std::string> unmatched;     // patterns that matched no file
};

void add_once(std::vector<const RemoteEntry*>& to, const RemoteEntry* entry) {
  if (std::find(to.begin(), to.end(), entry) == to.end()) to.push_back(entry);
}

Chosen choose(const std::vector<RemoteEntry>& entries, const std::vector<std::string>& patterns) {
  Chosen chosen;
  for (const auto& pattern : patterns) {
    bool matched = false;
    for (const RemoteEntry& entry : entries) {
      const Reach reach = entry.cut ? pattern_reach(pattern, entry.name)
                                    : pattern_matches(pattern, entry.name) ? Reach::all : Reach::none;
      if (reach == Reach::none || (reach == Reach::some && entry.is_dir)) continue;
      if (reach == Reach::some) {
        add_once(chosen.maybe, &entry);
      } else if (entry.is_dir) {
        add_once(chosen.folders, &entry);
      } else {
        matched = true;
        add_once(chosen.files, &entry);
      }
    }
    if (!matched) chosen.unmatched.push_back(pattern);
  }
  std::erase_if(chosen.maybe, [&](const RemoteEntry* entry) {
    return std::find(chosen.files.begin(), chosen.files.end(), entry) != chosen.files.end();
  });
  return chosen;
}

// Names what the patterns left out: folders, and cut names they may match.
void name_left_out(Console& console, const Chosen& chosen) {
  std::vector<std::string> names;
  for (const RemoteEntry* folder : chosen.folders) names.push_back(entry_as_listed(*folder));
  if (!names.empty()) {
    say(console, "mget", "left out " + plural(names.size(), "folder", "folders") + ": " + listed(names) +
                             " (get -r fetches a folder)");
  }
  names.clear();
  for (const RemoteEntry* entry : chosen.maybe) names.push_back(quoted(cut_name(*entry)));
  if (!names.empty()) {
    say(console, "mget",
        "left out " + plural(names.size(), "file", "files") + " that may match, whose names the listing cut at " +
            std::to_string(kListedNameBytes) + " characters: " + listed(names) + " (get a file by its whole name)");
  }
}

// mput: the service's current folder as its fresh listing shows it, into
// `entries`; false with the reason said.
bool list_for_mput(Session& session, Console& console, const Entries*& entries) {
  const long status = current_listing(session, console.listings, entries, true);
  if (status == LINK_OK) return true;
  say(console, "mput", "cannot list the service's folder: " + listing_failure(status, session));
  return false;
}

// Whether mput may store `path` under its name, by the listing of the
// service's folder; false when it leaves it there (skipped, or a failure said).
bool may_store(Console& console, Tally& tally, const Existing& existing, const Entries& entries,
               const std::string& path) {
  const std::string name = last_component(path);
  for (const RemoteEntry& entry : entries) {
    const bool same = !entry.cut && entry.name == name;
    const bool perhaps = entry.cut && name.size() > entry.name.size() && name.starts_with(entry.name);
    if (!same && !perhaps) continue;
    if (same && entry.is_dir) {
      say(console, "mput", quoted(name) + " is a folder on the service");
    } else if (same && existing.skip_same && already(entry.size, size_of(path)) == Already::same_size) {
      ++tally.skipped;
      return false;
    } else if (existing.replace || console.overwrite) {
      return true;
    } else if (same) {
      say(console, "mput", exists_text(quoted(name), "on the service", existing));
    } else {
      say(console, "mput", quoted(name) + " may exist on the service: its listing cut a name that begins so at " +
                               std::to_string(kListedNameBytes) + " characters; " + existing.typed +
                               " -f stores it all the same");
    }
    tally.failed.push_back(path);
    return false;
  }
  return true;
}

}  // namespace

std::vector<RemoteEntry> sorted_by_name(std::vector<RemoteEntry> entries) {
  // A whole name before the cut one that begins alike.
  std::sort(entries.begin(), entries.end(), [](const RemoteEntry& a, const RemoteEntry& b) {
    return a.name != b.name ? a.name < b.name : !a.cut && b.cut;
  });
  return entries;
}

bool could_match_longer(const std::string& pattern, const std::string& prefix) {
  return pattern_reach(pattern, prefix) != Reach::none;
}

bool get_file(Session& session, Console& console, const std::string& remote, const std::string& local, bool replace) {
  const RemoteKind kind = kept_kind(session, console.listings, remote);
  if (kind == RemoteKind::folder) {
    say(console, "get", quoted(remote) + " is a folder on the service: get -r fetches a folder");
    return false;
  }
  if (kind == RemoteKind::absent && has_wildcard(remote)) {
    say(console, "get", quoted(remote) + " names no file on the service: mget fetches the files that match a pattern");
    return false;
  }
  session.detail.clear();
  const std::string target = get_target(session, remote, local);
  return fetch_one(session, console, nullptr, Existing{replace, false, "get"}, remote, target, remote);
}

bool put_file(Session& session, Console& console, const std::string& local, const std::string& remote) {
  bool into_folder = !remote.empty() && remote.back() == '/';
  const Entries* entries = nullptr;
  // The listing of REMOTE's folder (kept, or fetched now) tells a folder from a file's name.
  if (!remote.empty() && !into_folder &&
      folder_listing(session, console.listings, folder_part(remote), entries) == LINK_OK) {
    into_folder = kind_in(*entries, remote.substr(folder_part(remote).size())) == RemoteKind::folder;
  }
  session.detail.clear();
  return store_one(session, console, nullptr, "put", local, into_folder ? joined(remote, last_component(local)) : remote);
}

bool get_matching(Session& session, Console& console, const std::vector<std::string>& patterns,
                  const Existing& existing) {
  Tally tally{"mget", "not fetched", "here", session.link.now()};
  const Entries* listing = nullptr;
  if (const long status = current_listing(session, console.listings, listing, true); status != LINK_OK) {
    say(console, "mget", "cannot list the service's folder: " + listing_failure(status, session));
    return false;
  }
  const std::vector<RemoteEntry> entries = sorted_by_name(*listing);
  const Chosen chosen = choose(entries, patterns);
  for (const auto& pattern : chosen.unmatched) {
    say(console, "mget", "no file on the service matches " + quoted(pattern));
    tally.failed.push_back(pattern);
  }
  name_left_out(console, chosen);
  for (std::size_t i = 0; i < chosen.files.size(); ++i) {
    const RemoteEntry& entry = *chosen.files[i];
    if (stopping(session)) {
      tally.files_not_tried += static_cast<int>(chosen.files.size() - i);
      break;
    }
    if (entry.cut) {
      say(console, "mget", "cannot fetch " + cut_name_text(entry));
      tally.failed.push_back(cut_name(entry));
      continue;
    }
    if (usable_listed(console, tally, entry, entry.name)) {
      fetch_one(session, console, &tally, existing, entry.name, entry.name, entry.name, entry.size);
    }
  }
  return summarize(session, console, tally);
}

bool put_matching(Session& session, Console& console, const std::vector<std::string>& patterns,
                  const Existing& existing) {
  Tally tally{"mput", "not stored", "on the service", session.link.now()};
  std::vector<std::string> files;
  for (const auto& pattern : patterns) {
    glob_t found{};
    const int result = glob(pattern.c_str(), 0, nullptr, &found);
    std::size_t plain = 0;
    for (std::size_t i = 0; result == 0 && i < found.gl_pathc; ++i) {
      const std::string path = found.gl_pathv[i];
      if (is_folder(path)) {
        say(console, "mput", path + " is a folder: put -r stores a folder");
      } else if (is_plain_file(path)) {
        ++plain;
        if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
      }
    }
    globfree(&found);
    if (plain == 0) {
      say(console, "mput", "no local file matches " + quoted(pattern));
      tally.failed.push_back(pattern);
    }
  }
  const Entries* listing = nullptr;
  if (!files.empty() && !list_for_mput(session, console, listing)) return false;
  const Entries there = listing != nullptr ? *listing : Entries{};
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (stopping(session)) {
      tally.files_not_tried += static_cast<int>(files.size() - i);
      break;
    }
    if (may_store(console, tally, existing, there, files[i])) store_one(session, console, &tally, "mput", files[i], "");
  }
  return summarize(session, console, tally);
}

bool get_tree(Session& session, Console& console, const std::string& dir, const std::string& local,
              const Existing& existing) {
  TreeWalk walk{Tally{"get", "not fetched", "here", session.link.now()}, existing};
  if (session.remote_dir.empty() && remote_pwd(session) != LINK_OK) {
    say(console, "get", link_failure(LINK_LOST, session));
    return false;
  }
  const std::string start = session.remote_dir;
  const bool start_cut = session.remote_dir_cut;
  if (!enter(session, console, "get", dir)) return false;
  walk.folders.push_back(session.remote_dir);
  // The folder's name as typed, or as the service names it; that one is a listed name.
  std::string name = last_component(dir);
  if (name.empty() && unusable_listed_name(last_component(session.remote_dir)).empty()) {
    name = last_component(session.remote_dir);
  }
  std::string root = local.empty() ? name : is_folder(local) && !name.empty() ? joined(local, name) : local;
  std::string error;
  if (root.empty()) error = quoted(dir) + " ends in no folder name; give the local folder's name";
  if (!root.empty() && !make_folder(root, walk.made, error)) root.clear();
  bool ok = false;
  if (root.empty()) {
    say(console, "get", error);
  } else {
    const std::string shown = dir.back() == '/' && dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir;
    fetch_folder(session, console, walk, shown, root);
    ok = summarize(session, console, walk.tally);
  }
  const bool back = session.lost || go_back(session, console, "get", start, start_cut, dir);
  if (!ok || !back) walk.made.remove_empty();
  return ok && back;
}

bool put_tree(Session& session, Console& console, const std::string& dir, const std::string& remote) {
  Tally tally{"put", "not stored", "on the service", session.link.now()};
  if (!is_folder(dir)) {
    say(console, "put", "there is no folder " + dir + " here");
    return false;
  }
  const std::string into = !remote.empty() ? remote : !last_component(dir).empty() ? last_component(dir) : ".";
  if (session.remote_dir.empty() && remote_pwd(session) != LINK_OK) {
    say(console, "put", link_failure(LINK_LOST, session));
    return false;
  }
  const std::string start = session.remote_dir;
  const bool start_cut = session.remote_dir_cut;
  if (into != "." && !enter(session, console, "put", into)) {
    say(console, "put", "the line has no command that makes a folder: make " + quoted(into) +
                            " on the service's side first");
    return false;
  }
  store_folder(session, console, tally, dir);
  const bool back = session.lost || into == "." || go_back(session, console, "put", start, start_cut, into);
  return summarize(session, console, tally) && back;
}

}  // namespace quorvantix::customer
