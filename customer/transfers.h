// Fetching and storing files: one at a time, many by wildcard, or a whole
// folder tree. A local file is replaced only when the user has said so. A
// command for many files draws one progress line a file and ends with a
// summary and the list of the files that failed.
#pragma once

#include <string>
#include <vector>

#include "customer/console.h"
#include "customer/transfer_steps.h"

namespace quorvantix::customer {

// get REMOTE [LOCAL]: `replace` allows a local file of that name to be
// replaced. What the kept listings show tells a folder (get -r fetches it)
// and a pattern (mget) before anything is sent.
bool get_file(session::Session& session, Console& console, const std::string& remote, const std::string& local,
              bool replace);
// put LOCAL [REMOTE]: into REMOTE when the service lists a folder of that
// name (or REMOTE ends in '/').
bool put_file(session::Session& session, Console& console, const std::string& local, const std::string& remote);
// mget PATTERN...: the files of the service's current directory whose names
// match a pattern, into the local current directory. A name the listing cut
// takes part when the pattern matches every name that begins as it does
// (it cannot be fetched by it: a failure); one the pattern may match,
// depending on the part that was cut, is named and left out; one it cannot
// match plays no part.
bool get_matching(session::Session& session, Console& console, const std::vector<std::string>& patterns,
                  const Existing& existing);
// mput PATTERN...: the local plain files that match, into the service's
// current directory, whose listing tells which are there already.
bool put_matching(session::Session& session, Console& console, const std::vector<std::string>& patterns,
                  const Existing& existing);
// get -r DIR [LOCAL]: the tree below the service's folder DIR into the local
// folder LOCAL, or LOCAL/DIR's-name when LOCAL is a folder already (made
// when missing, and removed again when the command fails and leaves it
// empty), through cd and the listing; the service is back in the folder it
// started in at the end. A stop counts the files and folders not tried.
bool get_tree(session::Session& session, Console& console, const std::string& dir, const std::string& local,
              const Existing& existing);
// put -r DIR [REMOTE]: the files of the local tree DIR into the service's
// folder REMOTE and the folders below it, which must exist already (the line
// has no command that makes one); files that find no folder are reported.
bool put_tree(session::Session& session, Console& console, const std::string& dir, const std::string& remote);

}  // namespace quorvantix::customer
