#include "customer/patterns.h"

#include <fnmatch.h>

#include <vector>

namespace quorvantix::customer {

namespace {

// Where the bracket expression that opens at `open` ends (one past its ']'),
// or open + 1 when it does not close and the '[' stands for itself.
std::size_t bracket_end(const std::string& pattern, std::size_t open) {
  std::size_t at = open + 1;
  if (at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^')) ++at;
  if (at < pattern.size() && pattern[at] == ']') ++at;  // a ']' first is one of the characters
  while (at < pattern.size() && pattern[at] != ']') {
    const std::size_t class_end = pattern.compare(at, 2, "[:") == 0 ? pattern.find(":]", at + 2) : std::string::npos;
    at = class_end == std::string::npos ? at + 1 : class_end + 2;
  }
  return at < pattern.size() ? at + 1 : open + 1;
}

// The pattern in pieces that a cut between two names' parts cannot split: a
// wildcard, a bracket expression, an escaped character, or a byte.
std::vector<std::string> pieces_of(const std::string& pattern) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < pattern.size();) {
    std::size_t end = at + 1;
    if (pattern[at] == '\\' && at + 1 < pattern.size()) end = at + 2;
    if (pattern[at] == '[') end = bracket_end(pattern, at);
    pieces.push_back(pattern.substr(at, end - at));
    at = end;
  }
  return pieces;
}

// Whether `pieces` match every text of one character or more.
bool matches_any_tail(const std::vector<std::string>& pieces) {
  int stars = 0, singles = 0;
  for (const auto& piece : pieces) {
    if (piece == "*") {
      ++stars;
    } else if (piece == "?") {
      ++singles;
    } else {
      return false;
    }
  }
  return stars > 0 && singles <= 1;
}

}  // namespace

// A name matches when the pattern splits into a head that matches the part
// that can be seen and a tail that matches the rest; a '*' at the split may
// stand on both sides of it. fnmatch judges the head, with its rules for
// characters, classes and a leading '.'.
Reach pattern_reach(const std::string& pattern, const std::string& start) {
  const std::vector<std::string> pieces = pieces_of(pattern);
  Reach reach = Reach::none;
  std::string head;
  for (std::size_t split = 0; split <= pieces.size(); ++split) {
    if (split > 0) head += pieces[split - 1];
    if (fnmatch(head.c_str(), start.c_str(), FNM_PERIOD) != 0) continue;
    std::vector<std::string> tail(pieces.begin() + static_cast<std::ptrdiff_t>(split), pieces.end());
    if (split > 0 && pieces[split - 1] == "*") tail.insert(tail.begin(), "*");
    if (matches_any_tail(tail)) return Reach::all;
    if (!tail.empty()) reach = Reach::some;
  }
  return reach;
}

bool pattern_matches(const std::string& pattern, const std::string& name) {
  return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

bool has_wildcard(const std::string& text) { return text.find_first_of("*?[") != std::string::npos; }

bool could_match_longer(const std::string& pattern, const std::string& prefix) {
  return pattern_reach(pattern, prefix) != Reach::none;
}

}  // namespace quorvantix::customer
