// Shell wildcards (* ? [...] and \, as fnmatch takes them with FNM_PERIOD)
// against names, including names of which only the start is known: the
// listing cuts a long name, and what follows its cut cannot be seen.
#pragma once

#include <string>

namespace quorvantix::customer {

// How a pattern meets the names that begin with a known start and go on
// beyond it (by one character or more).
enum class Reach {
  none,  // it matches none of them
  some,  // it matches some of them: the part that cannot be seen decides
  all,   // it matches every one of them
};

// `start`: the part of a name that can be seen.
Reach pattern_reach(const std::string& pattern, const std::string& start);
// Whether `name` as a whole matches `pattern`.
bool pattern_matches(const std::string& pattern, const std::string& name);
// Whether `text` holds a wildcard character (* ? [).
bool has_wildcard(const std::string& text);

// Whether some name that begins with `prefix` can match the shell wildcard
// `pattern` (* ? [...] and \ as fnmatch takes them).
bool could_match_longer(const std::string& pattern, const std::string& prefix);

}  // namespace quorvantix::customer
