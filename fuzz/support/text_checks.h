// What a text shown on a terminal or given to a script may hold.
#pragma once

#include <string_view>

namespace quorvantix::fuzzing {

// Whether `text` is well-formed UTF-8: no stray or missing continuation
// bytes, no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool valid_utf8(std::string_view text);
// Whether `text` holds no control character a terminal obeys: no C0 byte but
// the line break (when `lines`), no DEL, and no C1 character in UTF-8.
bool free_of_controls(std::string_view text, bool lines);

}  // namespace quorvantix::fuzzing
