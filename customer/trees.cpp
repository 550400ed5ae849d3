#include "customer/transfers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "customer/listing_output.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/transfer_steps.h"
#include "host/fs.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

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
  const Result<> entered = session.remote_cd(dir);
  if (entered || entered.error().kind == Kind::remote_dir_unconfirmed) return true;
  say(console, command,
      entered.error().kind == Kind::remote_dir_unchanged ? not_entered(session, console, dir)
                                                         : link_failure(entered.error(), session));
  return false;
}

// Back to the folder `start` (as pwd gave it) after a walk that began with cd
// `dir`; also after a stop, whose cancel of the link would keep it from going.
bool go_back(Session& session, Console& console, const std::string& command, const std::string& start,
             bool start_cut, const std::string& dir) {
  if (session.remote_dir() == start && !start_cut) return true;
  if (stop_requested()) session.link().clear_cancel();
  // A name too long for a command frame is refused before anything is sent.
  const auto too_long = [](const Result<>& cd) { return !cd && cd.error().kind == Kind::name_too_long; };
  const bool by_name = !start_cut && !too_long(session.remote_cd(start));
  if (!by_name && dir.find('/') == std::string::npos) (void)session.remote_cd("..");
  if (session.remote_dir() == start) return true;
  say(console, command, "could not go back to " + start + "; the service is in " + session.remote_dir());
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
  return !session.remote_dir().empty() && !session.remote_dir_cut() &&
         std::find(walk.folders.begin(), walk.folders.end(), session.remote_dir()) != walk.folders.end();
}

// The tree below the service's current folder into `local`; false when the
// walk had to stop (a stop, no room here, or it lost its place on the
// service). Listings are not kept: a tree may have more folders than memory.
bool fetch_folder(Session& session, Console& console, TreeWalk& walk, const std::string& shown,
                  const std::string& local) {
  Tally& tally = walk.tally;
  Entries listing;
  if (const Result<> listed = session.remote_list(listing); !listed) {
    say(console, tally.command, "cannot list " + shown + ": " + listing_failure(listed.error(), session));
    tally.failed.push_back(shown + "/");
    return !session.lost();
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
    if (!entry.is_folder()) {
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
    const std::string parent = session.remote_dir();
    const bool parent_cut = session.remote_dir_cut();
    if (!enter(session, console, tally.command, entry.name)) {
      tally.failed.push_back(path + "/");
      continue;
    }
    bool walking = true;
    if (leads_back(session, walk)) {
      say(console, tally.command, "left out " + path + "/: the service's cd leads back to " + session.remote_dir() +
                                      ", a folder the walk is in already");
      tally.failed.push_back(path + "/");
    } else {
      walk.folders.push_back(session.remote_dir());
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
    const std::string parent = session.remote_dir();
    const Result<> entered = session.remote_cd(name);
    if (entered || entered.error().kind == Kind::remote_dir_unconfirmed) {
      const bool walking = store_folder(session, console, tally, path);
      if (!walking || !go_back(session, console, tally.command, parent, false, name)) return false;
      continue;
    }
    if (session.lost()) return false;
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

}  // namespace

bool get_tree(Session& session, Console& console, const std::string& dir, const std::string& local,
              const Existing& existing) {
  TreeWalk walk{Tally{"get", "not fetched", "here", session.link().now()}, existing};
  if (session.remote_dir().empty() && !session.remote_pwd()) {
    say(console, "get", link_failure(fail(Kind::link_lost).error, session));
    return false;
  }
  const std::string start = session.remote_dir();
  const bool start_cut = session.remote_dir_cut();
  if (!enter(session, console, "get", dir)) return false;
  walk.folders.push_back(session.remote_dir());
  // The folder's name as typed, or as the service names it; that one is a listed name.
  std::string name = last_component(dir);
  if (name.empty() && unusable_listed_name(last_component(session.remote_dir())).empty()) {
    name = last_component(session.remote_dir());
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
  const bool back = session.lost() || go_back(session, console, "get", start, start_cut, dir);
  if (!ok || !back) walk.made.remove_empty();
  return ok && back;
}

bool put_tree(Session& session, Console& console, const std::string& dir, const std::string& remote) {
  Tally tally{"put", "not stored", "on the service", session.link().now()};
  if (!is_folder(dir)) {
    say(console, "put", "there is no folder " + dir + " here");
    return false;
  }
  const std::string into = !remote.empty() ? remote : !last_component(dir).empty() ? last_component(dir) : ".";
  if (session.remote_dir().empty() && !session.remote_pwd()) {
    say(console, "put", link_failure(fail(Kind::link_lost).error, session));
    return false;
  }
  const std::string start = session.remote_dir();
  const bool start_cut = session.remote_dir_cut();
  if (into != "." && !enter(session, console, "put", into)) {
    say(console, "put", "the line has no command that makes a folder: make " + quoted(into) +
                            " on the service's side first");
    return false;
  }
  store_folder(session, console, tally, dir);
  const bool back = session.lost() || into == "." || go_back(session, console, "put", start, start_cut, into);
  return summarize(session, console, tally) && back;
}

}  // namespace quorvantix::customer
