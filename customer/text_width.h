// How much room a text takes on the terminal, and texts cut or padded to a
// number of columns. Widths follow the locale (setlocale(LC_CTYPE, "") at the
// start of the program): in a UTF-8 locale each character takes the columns
// wcwidth gives it; elsewhere every character takes one. A cut never splits a
// UTF-8 character, and shows with a mark at its end.
#pragma once

#include <cstddef>
#include <string>

namespace quorvantix::customer {

// True when the terminal's characters are UTF-8.
bool utf8_locale();
// The mark at the end of a cut text: "…" in a UTF-8 locale, "~" elsewhere.
const char* cut_mark();
// The columns `text` takes. A byte that begins no valid UTF-8 character takes one.
std::size_t display_width(const std::string& text);
// The characters of `text` as UTF-8 counts them; a byte that begins none, or
// begins one cut off at the end, counts as one.
std::size_t character_count(const std::string& text);
// `text` without a UTF-8 character that was cut off part-way at its end.
std::string whole_characters(const std::string& text);
// `text` when it fits in `columns`; otherwise its first whole characters and
// the cut mark, in at most `columns` columns.
std::string fit_columns(const std::string& text, std::size_t columns);
// fit_columns, then spaces up to `columns` columns.
std::string pad_columns(const std::string& text, std::size_t columns);

}  // namespace quorvantix::customer
