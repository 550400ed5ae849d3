// What the shell completes a word with: command names in the first word (and
// after help), the service's names where a command takes a name on the
// service, local names where it takes a local one; and how a name is quoted
// so that the line splits back into it.
#pragma once

#include <string>
#include <vector>

#include "session/session.h"

namespace quorvantix::customer {

enum class NameKind {
  command,
  remote_file,    // a file on the service, in any folder: folders too, to go down into
  remote_folder,  // a folder on the service, in any folder
  remote_any,     // a file or a folder on the service
  remote_here,    // a name of the service's current folder (mget's patterns)
  local,
  nothing,
};

// What the word that follows `before` (the line up to the start of the word
// being completed) names.
NameKind completion_kind(const std::string& before);
// The words that complete `word` (as typed, without its quoting) of `kind`:
// the folder part of `word` ("Projects/" of "Projects/Su") followed by each
// name of `entries`, the listing of that folder, that begins with the rest;
// a folder's with '/'. Sorted; names the listing cut are left out, for they
// cannot be used.
std::vector<std::string> remote_candidates(const std::vector<session::RemoteEntry>& entries, NameKind kind,
                                           const std::string& word);
// `name` with the quoting that split_line takes back to it, begun with
// `quote` (' or "; 0: ' unless the name holds one, then ") and not closed,
// for the closing quote follows: 'it'\''s, "say \"hi\"". `quote` is set to
// the one begun.
std::string quoted_for_line(const std::string& name, char& quote);

}  // namespace quorvantix::customer
