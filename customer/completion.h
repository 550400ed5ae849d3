// What the shell completes a word with: command names in the first word, the
// service's names where a command takes a name on the service, local names
// where it takes a local one.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace customer_side {

enum class NameKind { command, remote_file, remote_folder, remote_any, local, nothing };

// What the word that follows `before` (the line up to the start of the word
// being completed) names.
NameKind completion_kind(const std::string& before);
// The names of `entries` of that kind that begin with `typed`, sorted; names
// the listing cut are left out, for they cannot be used.
std::vector<std::string> remote_candidates(const std::vector<RemoteEntry>& entries, NameKind kind,
                                           const std::string& typed);

}  // namespace customer_side
