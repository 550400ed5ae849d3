#include "customer/text_width.h"

#include <langinfo.h>

#include <cstring>
#include <cwchar>

namespace quorvantix::customer {

namespace {

// The length of the UTF-8 character that starts at `at`: 1 for a byte that
// starts none (it stands for itself), 0 for one cut off by the end of `text`.
std::size_t character_length(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

std::size_t character_width(const std::string& text, std::size_t at, std::size_t length) {
  if (length < 2 || !utf8_locale()) return 1;
  std::mbstate_t state{};
  wchar_t wide = 0;
  if (std::mbrtowc(&wide, text.data() + at, length, &state) != length) return 1;
  const int width = wcwidth(wide);
  return width < 0 ? 1 : static_cast<std::size_t>(width);
}

}  // namespace

bool utf8_locale() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

const char* cut_mark() { return utf8_locale() ? "\u2026" : "~"; }

std::size_t display_width(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = character_length(text, at);
    if (length == 0) return width + (text.size() - at);
    width += character_width(text, at, length);
    at += length;
  }
  return width;
}

std::string whole_characters(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = character_length(text, at);
    if (length == 0) return text.substr(0, at);
    at += length;
  }
  return text;
}

std::size_t character_count(const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); ++count) {
    const std::size_t length = character_length(text, at);
    if (length == 0) return count + (text.size() - at);
    at += length;
  }
  return count;
}

std::string fit_columns(const std::string& text, std::size_t columns) {
  if (display_width(text) <= columns) return text;
  const std::string mark = cut_mark();
  const std::size_t room = columns >= display_width(mark) ? columns - display_width(mark) : 0;
  std::size_t width = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = character_length(text, at);
    if (length == 0) break;
    const std::size_t next = width + character_width(text, at, length);
    if (next > room) break;
    width = next;
    at += length;
  }
  return room == 0 && columns == 0 ? std::string() : text.substr(0, at) + mark;
}

std::string pad_columns(const std::string& text, std::size_t columns) {
  std::string fitted = fit_columns(text, columns);
  const std::size_t width = display_width(fitted);
  if (width < columns) fitted.append(columns - width, ' ');
  return fitted;
}

}  // namespace quorvantix::customer
