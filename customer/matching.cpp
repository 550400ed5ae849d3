#include "customer/transfers.h"

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "customer/listing_output.h"
#include "customer/patterns.h"
#include "customer/progress.h"
#include "customer/transfer_steps.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

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
      if (reach == Reach::none || (reach == Reach::some && entry.is_folder())) continue;
      if (reach == Reach::some) {
        add_once(chosen.maybe, &entry);
      } else if (entry.is_folder()) {
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
        "left out " + plural(names.size(), "file", "files") + " that may match, whose names the listing cut: " +
            listed(names) + " (get a file by its whole name)");
  }
}

// mput: the service's current folder as its fresh listing shows it, into
// `entries`; false with the reason said.
bool list_for_mput(Session& session, Console& console, const Entries*& entries) {
  const Result<> listing = current_listing(session, console.listings, entries, true);
  if (listing) return true;
  say(console, "mput", "cannot list the service's folder: " + listing_failure(listing.error(), session));
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
    if (same && entry.is_folder()) {
      say(console, "mput", quoted(name) + " is a folder on the service");
    } else if (same && existing.skip_same && already(entry.size, size_of(path)) == Already::same_size) {
      ++tally.skipped;
      return false;
    } else if (existing.replace || console.overwrite) {
      return true;
    } else if (same) {
      say(console, "mput", exists_text(quoted(name), "on the service", existing));
    } else {
      say(console, "mput", quoted(name) + " may exist on the service: its listing cut a name that begins so; " + existing.typed +
                               " -f stores it all the same");
    }
    tally.failed.push_back(path);
    return false;
  }
  return true;
}

}  // namespace

bool get_matching(Session& session, Console& console, const std::vector<std::string>& patterns,
                  const Existing& existing) {
  Tally tally{"mget", "not fetched", "here", session.link().now()};
  const Entries* listing = nullptr;
  if (const Result<> listed = current_listing(session, console.listings, listing, true); !listed) {
    say(console, "mget", "cannot list the service's folder: " + listing_failure(listed.error(), session));
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
  Tally tally{"mput", "not stored", "on the service", session.link().now()};
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

}  // namespace quorvantix::customer
