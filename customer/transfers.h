// Fetching and storing files: one at a time, many by wildcard, or a whole
// folder tree. A local file is replaced only when the user has said so. A
// command for many files draws one progress line a file and ends with a
// summary and the list of the files that failed.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace customer_side {

// get REMOTE [LOCAL]: `replace` allows a local file of that name to be replaced.
bool get_file(Session& session, Console& console, const std::string& remote, const std::string& local, bool replace);
// put LOCAL [REMOTE]
bool put_file(Session& session, Console& console, const std::string& local, const std::string& remote);
// mget PATTERN...: the files of the service's current directory whose names
// match a pattern, into the local current directory.
bool get_matching(Session& session, Console& console, const std::vector<std::string>& patterns, bool replace);
// mput PATTERN...: the local plain files that match, into the service's
// current directory.
bool put_matching(Session& session, Console& console, const std::vector<std::string>& patterns);
// get -r DIR [LOCAL]: the tree below the service's folder DIR into the local
// folder LOCAL (made when missing), through cd and the listing; the service is
// back in the folder it started in at the end.
bool get_tree(Session& session, Console& console, const std::string& dir, const std::string& local, bool replace);
// put -r DIR [REMOTE]: the files of the local tree DIR into the service's
// folder REMOTE and the folders below it, which must exist already (the line
// has no command that makes one); files that find no folder are reported.
bool put_tree(Session& session, Console& console, const std::string& dir, const std::string& remote);

// The entries in the order of their names.
std::vector<RemoteEntry> sorted_by_name(std::vector<RemoteEntry> entries);
// Whether some name that begins with `prefix` can match the shell wildcard
// `pattern` (* ? [...] and \ as fnmatch takes them).
bool could_match_longer(const std::string& pattern, const std::string& prefix);

}  // namespace customer_side
