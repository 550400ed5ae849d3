#include "customer/transfer_steps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "customer/listing_output.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/text_width.h"
#include "host/fs.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Stopping a transfer takes the service up to five of its time limits to
// notice; the user hears at once that the stop is under way.
void announce_stop(Session& session, TerminalProgress& progress, Console& console, const std::string& command) {
  session.set_on_stop([&progress, &console, command] {
    progress.finish();
    say(console, command,
        "stopping; the service needs a few seconds to give up (press Ctrl-C again to quit at once)");
  });
}

// The label names the file as the service does: shown escaped.
TerminalProgress progress_for(Session& session, Console& console, const std::string& label) {
  return TerminalProgress(console.err, host::shown_name(label), console.live_progress,
                          [&session] { return session.link().now(); });
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

}  // namespace

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
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

bool summarize(Session& session, Console& console, const Tally& tally) {
  if (!console.quiet && (tally.files > 0 || tally.skipped > 0)) {
    std::string line = tally.command + ": " + plural(static_cast<std::size_t>(tally.files), "file", "files");
    if (tally.files > 0) {
      const std::chrono::duration<double> took = session.link().now() - tally.start;
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

bool stopping(const Session& session) { return session.lost() || stop_requested(); }

void not_tried(const std::vector<RemoteEntry>& entries, std::size_t from, Tally& tally) {
  for (std::size_t i = from; i < entries.size(); ++i) ++(entries[i].is_folder() ? tally.folders_not_tried : tally.files_not_tried);
}

Already already(std::int64_t size, std::int64_t coming) {
  if (size < 0) return Already::absent;
  return coming >= 0 && size == coming ? Already::same_size : Already::other;
}

std::string exists_text(const std::string& name, const std::string& where, const Existing& existing) {
  return name + " exists " + where + " already" + (existing.skip_same ? " and has another size" : "") + "; " +
         existing.typed + " -f replaces it (and so does set overwrite on)";
}

bool fetch_one(Session& session, Console& console, Tally* tally, const Existing& existing, const std::string& remote,
               const std::string& target, const std::string& shown, std::int64_t listed_size) {
  const std::string command = existing.typed.substr(0, existing.typed.find(' '));
  auto failure = [&](const std::string& message) {
    say(console, command, message);
    if (tally != nullptr) tally->failed.push_back(shown);
    return false;
  };
  if (is_folder(target)) return failure("a folder " + target + " is in the way");
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
  const Result<> got = session.remote_get(remote, target, &progress);
  session.set_on_stop(nullptr);
  progress.finish();
  if (got) {
    if (tally != nullptr) {
      ++tally->files;
      tally->bytes += size_of(target);
    }
    return true;
  }
  if (tally != nullptr && got.error().is(Status::no_room)) tally->no_room = true;
  return failure(get_failure(got.error(), remote, target, session));
}

bool store_one(Session& session, Console& console, Tally* tally, const std::string& command,
               const std::string& local, const std::string& remote) {
  const std::string wire_name = remote.empty() ? last_component(local) : remote;
  TerminalProgress progress = progress_for(session, console, "put " + wire_name);
  announce_stop(session, progress, console, command);
  const Result<> put = session.remote_put(local, remote, &progress);
  session.set_on_stop(nullptr);
  progress.finish();
  console.listings.forget();
  if (!put) {
    say(console, command, put_failure(put.error(), local, wire_name, session));
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

std::string cut_name_text(const RemoteEntry& entry) {
  return quoted(cut_name(entry)) + ": the listing carries only the start of the name; " +
         (entry.is_folder() ? "cd to it by its whole name" : "get it by its whole name");
}

bool usable_listed(Console& console, Tally& tally, const RemoteEntry& entry, const std::string& path) {
  const std::string why = unusable_listed_name(entry.name);
  if (why.empty()) return true;
  say(console, tally.command,
      quoted(path) + " is refused: a name the service lists must be one name in its folder, and " + why);
  tally.failed.push_back(path + (entry.is_folder() ? "/" : ""));
  return false;
}

}  // namespace quorvantix::customer
