#include "transfers.h"

#include <dirent.h>
#include <fnmatch.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/fs.h"
#include "progress.h"
#include "run.h"
#include "text_width.h"

namespace customer_side {
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

// What one command for many files has done so far.
struct Tally {
  std::string command;  // "mget", "get", ...
  const char* done_word;  // "not fetched", "not stored"
  nanoseconds start;
  int files = 0;
  std::int64_t bytes = 0;
  std::vector<std::string> failed{};
};

// Says how it went; true when no file failed.
bool summarize(Session& session, Console& console, const Tally& tally) {
  if (!console.quiet && tally.files > 0) {
    const std::chrono::duration<double> took = session.link.now() - tally.start;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", took.count());
    console.err << console.where << tally.command << ": " << tally.files << (tally.files == 1 ? " file, " : " files, ")
                << format_bytes(tally.bytes) << " in " << seconds << " s, " << format_rate(tally.bytes, took) << '\n';
  }
  if (tally.failed.empty()) return true;
  std::string list;
  for (const auto& name : tally.failed) list += (list.empty() ? "" : ", ") + name;
  say(console, tally.command, std::to_string(tally.failed.size()) + " " + tally.done_word + ": " + list);
  return false;
}

bool stopping(const Session& session) { return session.lost || stop_requested(); }

std::string get_failure(long status, const std::string& remote, const std::string& target, const Session& session) {
  switch (status) {
    case FILE_HEADER_DAMAGED:
      return "the service sent no file " + quoted(remote) + " (it has none of that name, or cannot read it)";
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
      if (platform::is_temporary_name(target.substr(target.rfind('/') + 1).c_str())) {
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
      return "the transfer of " + quoted(remote) + " broke off after repeated failures on the line";
    case INTERRUPTED:
      return "stopped part-way";
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
  return TerminalProgress(console.err, platform::shown_name(label), console.live_progress,
                          [&session] { return session.link.now(); });
}

// Why `target` cannot take a fetched file, or empty when it can.
std::string unusable_target(const std::string& target, bool replace, const std::string& command) {
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0 && !replace) {
    return target + " exists here already; " + command + " -f replaces it (and so does set overwrite on)";
  }
  const std::string folder = folder_of(target);
  if (stat(folder.c_str(), &st) != 0) {
    return errno == ENOENT ? "cannot store " + target + ": there is no folder " + folder
                           : "cannot store " + target + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "cannot store " + target + ": " + folder + " is no folder";
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "cannot store " + target + ": " + std::strerror(errno);
  return {};
}

// Fetches `remote` of the service's current directory as `local` (as get
// takes it); `shown` names it in messages.
bool fetch_one(Session& session, Console& console, Tally* tally, const std::string& command,
               const std::string& remote, const std::string& local, const std::string& shown, bool replace) {
  auto failure = [&](const std::string& message) {
    say(console, command, message);
    if (tally != nullptr) tally->failed.push_back(shown);
    return false;
  };
  session.detail.clear();
  const std::string target = get_target(session, remote, local);
  if (target.empty()) return failure(session.detail);
  const std::string unusable = unusable_target(target, replace || console.overwrite, command);
  if (!unusable.empty()) return failure(unusable);
  TerminalProgress progress = progress_for(session, console, "get " + shown);
  announce_stop(session, progress, console, command);
  const long status = remote_get(session, remote, target, &progress);
  session.on_stop = nullptr;
  progress.finish();
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
  console.listing.valid = false;
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

// A name the listing cut can be neither fetched nor entered by it.
std::string cut_name_text(const RemoteEntry& entry) {
  return quoted(whole_characters(entry.name) + cut_mark()) + ": the listing carries only the first " +
         std::to_string(kListedNameBytes) + " characters of a name; " +
         (entry.is_dir ? "cd to it by its whole name" : "get it by its whole name");
}

bool make_folder(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && is_folder(path))) return true;
  error = errno == EEXIST ? "cannot make the folder " + path + ": a file of that name is in the way"
                          : "cannot make the folder " + path + ": " + std::strerror(errno);
  return false;
}

// Changes the service's folder to `dir`; false with the reason said.
bool enter(Session& session, Console& console, const std::string& command, const std::string& dir) {
  console.listing.valid = false;
  const long status = remote_cd(session, dir);
  if (status == LINK_OK || status == REMOTE_DIR_UNCONFIRMED) return true;
  const std::string where = session.remote_dir.empty() ? std::string() : " in " + session.remote_dir;
  if (status == REMOTE_DIR_UNCHANGED) {
    say(console, command, "the service has no folder " + quoted(dir) + where);
  } else {
    say(console, command, link_failure(status, session));
  }
  return false;
}

// Back to the folder `start` (as pwd gave it) after a walk that began with cd `dir`.
bool go_back(Session& session, Console& console, const std::string& command, const std::string& start,
             bool start_cut, const std::string& dir) {
  if (session.remote_dir == start && !start_cut) return true;
  // A name too long for a command frame is refused before anything is sent.
  const bool by_name = !start_cut && remote_cd(session, start) != NAME_TOO_LONG;
  if (!by_name && dir.find('/') == std::string::npos) remote_cd(session, "..");
  console.listing.valid = false;
  if (session.remote_dir == start) return true;
  say(console, command, "could not go back to " + start + "; the service is in " + session.remote_dir);
  return false;
}

// The names in a local folder, sorted; empty when it cannot be read.
std::vector<std::string> local_names(const std::string& folder) {
  std::vector<std::string> names;
  const platform::DirStream scan(opendir(folder.c_str()));
  if (!scan) return names;
  while (const dirent* entry = readdir(scan.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
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

// The tree below the service's current folder into `local`; false when the
// walk lost its place on the service and had to stop.
bool fetch_folder(Session& session, Console& console, Tally& tally, const std::string& shown,
                  const std::string& local, bool replace) {
  console.listing.valid = false;
  if (const long status = current_listing(session, console); status != LINK_OK) {
    say(console, tally.command, "cannot list " + shown + ": " + listing_failure(status, session));
    tally.failed.push_back(shown + "/");
    return !session.lost;
  }
  const std::vector<RemoteEntry> entries = sorted_by_name(console.listing.entries);
  for (const RemoteEntry& entry : entries) {
    if (stopping(session)) return false;
    const std::string path = shown + "/" + entry.name;
    if (listing_cut(entry)) {
      say(console, tally.command, "cannot fetch " + cut_name_text(entry));
      tally.failed.push_back(shown + "/" + whole_characters(entry.name) + cut_mark());
      continue;
    }
    if (!entry.is_dir) {
      fetch_one(session, console, &tally, tally.command, entry.name, joined(local, entry.name), path, replace);
      continue;
    }
    std::string error;
    if (!make_folder(joined(local, entry.name), error)) {
      say(console, tally.command, error);
      tally.failed.push_back(path + "/");
      continue;
    }
    const std::string parent = session.remote_dir;
    if (!enter(session, console, tally.command, entry.name)) {
      tally.failed.push_back(path + "/");
      continue;
    }
    const bool walking = fetch_folder(session, console, tally, path, joined(local, entry.name), replace);
    if (!walking || !go_back(session, console, tally.command, parent, false, entry.name)) return false;
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

// One bracket expression of a wildcard at `p` ('[' already passed): whether
// `c` is in it; `p` ends after the closing ']'. False, with `p` unmoved, when
// the bracket does not close (the '[' then stands for itself).
bool bracket_holds(const std::string& pattern, std::size_t& p, unsigned char c, bool& closed) {
  std::size_t at = p;
  const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
  if (negated) ++at;
  bool holds = false;
  bool first = true;
  while (at < pattern.size() && (pattern[at] != ']' || first)) {
    first = false;
    const auto low = static_cast<unsigned char>(pattern[at]);
    if (at + 2 < pattern.size() && pattern[at + 1] == '-' && pattern[at + 2] != ']') {
      holds = holds || (c >= low && c <= static_cast<unsigned char>(pattern[at + 2]));
      at += 3;
    } else {
      holds = holds || c == low;
      ++at;
    }
  }
  closed = at < pattern.size();
  if (!closed) return false;
  p = at + 1;
  return holds != negated;
}

bool prefix_matches(const std::string& pattern, std::size_t p, const std::string& text, std::size_t t) {
  for (; t < text.size(); ++t) {
    if (p == pattern.size()) return false;
    const char here = pattern[p];
    if (here == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      for (std::size_t from = t; from <= text.size(); ++from) {
        if (prefix_matches(pattern, p, text, from)) return true;
      }
      return false;
    }
    if (here == '?') {
      ++p;
      continue;
    }
    if (here == '[') {
      std::size_t after = p + 1;
      bool closed = false;
      const bool holds = bracket_holds(pattern, after, static_cast<unsigned char>(text[t]), closed);
      if (closed) {
        if (!holds) return false;
        p = after;
        continue;
      }
    }
    if (here == '\\' && p + 1 < pattern.size()) ++p;
    if (pattern[p] != text[t]) return false;
    ++p;
  }
  return true;
}

}  // namespace

std::vector<RemoteEntry> sorted_by_name(std::vector<RemoteEntry> entries) {
  std::sort(entries.begin(), entries.end(),
            [](const RemoteEntry& a, const RemoteEntry& b) { return a.name < b.name; });
  return entries;
}

bool could_match_longer(const std::string& pattern, const std::string& prefix) {
  return prefix_matches(pattern, 0, prefix, 0);
}

bool get_file(Session& session, Console& console, const std::string& remote, const std::string& local, bool replace) {
  return fetch_one(session, console, nullptr, "get", remote, local, remote, replace);
}

bool put_file(Session& session, Console& console, const std::string& local, const std::string& remote) {
  return store_one(session, console, nullptr, "put", local, remote);
}

bool get_matching(Session& session, Console& console, const std::vector<std::string>& patterns, bool replace) {
  Tally tally{"mget", "not fetched", session.link.now()};
  console.listing.valid = false;
  if (const long status = current_listing(session, console); status != LINK_OK) {
    say(console, "mget", "cannot list the service's folder: " + listing_failure(status, session));
    return false;
  }
  const std::vector<RemoteEntry> entries = sorted_by_name(console.listing.entries);
  std::set<std::string> chosen;
  std::vector<const RemoteEntry*> files;
  for (const auto& pattern : patterns) {
    bool matched = false;
    for (const RemoteEntry& entry : entries) {
      if (entry.is_dir) continue;
      const bool cut = listing_cut(entry);
      if (cut ? !could_match_longer(pattern, entry.name) : fnmatch(pattern.c_str(), entry.name.c_str(), FNM_PERIOD) != 0) {
        continue;
      }
      matched = true;
      if (chosen.insert(entry.name).second) files.push_back(&entry);
    }
    if (!matched) {
      say(console, "mget", "no file on the service matches " + quoted(pattern));
      tally.failed.push_back(pattern);
    }
  }
  for (const RemoteEntry* entry : files) {
    if (stopping(session)) break;
    if (listing_cut(*entry)) {
      say(console, "mget", "cannot fetch " + cut_name_text(*entry));
      tally.failed.push_back(whole_characters(entry->name) + cut_mark());
      continue;
    }
    fetch_one(session, console, &tally, "mget", entry->name, "", entry->name, replace);
  }
  return summarize(session, console, tally);
}

bool put_matching(Session& session, Console& console, const std::vector<std::string>& patterns) {
  Tally tally{"mput", "not stored", session.link.now()};
  std::vector<std::string> files;
  std::set<std::string> chosen;
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
        if (chosen.insert(path).second) files.push_back(path);
      }
    }
    globfree(&found);
    if (plain == 0) {
      say(console, "mput", "no local file matches " + quoted(pattern));
      tally.failed.push_back(pattern);
    }
  }
  for (const auto& path : files) {
    if (stopping(session)) break;
    store_one(session, console, &tally, "mput", path, "");
  }
  return summarize(session, console, tally);
}

bool get_tree(Session& session, Console& console, const std::string& dir, const std::string& local, bool replace) {
  Tally tally{"get", "not fetched", session.link.now()};
  const std::string root = local.empty() ? last_component(dir) : local;
  if (root.empty()) {
    say(console, "get", quoted(dir) + " ends in no folder name; give the local folder's name");
    return false;
  }
  if (session.remote_dir.empty() && remote_pwd(session) != LINK_OK) {
    say(console, "get", link_failure(LINK_LOST, session));
    return false;
  }
  const std::string start = session.remote_dir;
  const bool start_cut = session.remote_dir_cut;
  std::string error;
  if (!make_folder(root, error)) {
    say(console, "get", error);
    return false;
  }
  if (!enter(session, console, "get", dir)) return false;
  const std::string shown = dir.back() == '/' && dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir;
  fetch_folder(session, console, tally, shown, root, replace);
  const bool back = session.lost || go_back(session, console, "get", start, start_cut, dir);
  return summarize(session, console, tally) && back;
}

bool put_tree(Session& session, Console& console, const std::string& dir, const std::string& remote) {
  Tally tally{"put", "not stored", session.link.now()};
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

}  // namespace customer_side
