// Listings as ls and lls print them: the names alone, in columns on a
// terminal; with -l a row for each entry with its type and size; or one JSON
// array for scripts. Entries come out in the order of their names, and a name
// that the service's listing cut ends in the cut mark (JSON: "cut": true).
#pragma once

#include <cstddef>
#include <ostream>
#include <vector>

#include "session/session.h"

namespace quorvantix::customer {

enum class ListingStyle { names, rows, json };

// `columns`: the width of the terminal the names go to (0: one name a line).
void print_listing(std::vector<session::RemoteEntry> entries, ListingStyle style, std::size_t columns,
                   std::ostream& out);
// One JSON array: [{"name": "a.txt", "type": "file", "size": 20, "cut": false}, ...];
// "type" is "file" or "dir", "size" is null where the listing gave none, and
// names are in UTF-8 whatever the locale (a byte that is no character: U+FFFD),
// the characters that shown_name escapes as \u escapes.
std::string listing_json(const std::vector<session::RemoteEntry>& entries);
// How a listing shows a name: escaped, a folder's with '/', a cut one with its mark.
std::string entry_as_listed(const session::RemoteEntry& entry);

// The entries in the order of their names.
std::vector<session::RemoteEntry> sorted_by_name(std::vector<session::RemoteEntry> entries);

}  // namespace quorvantix::customer
