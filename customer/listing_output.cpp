#include "customer/listing_output.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "customer/text_width.h"
#include "host/charset.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

// A name is listed in this many columns at least, and cut beyond the most.
constexpr std::size_t kNameColumns = 30;
constexpr std::size_t kMostNameColumns = 40;
constexpr std::size_t kColumnGap = 2;

std::string listed_name(const RemoteEntry& entry) {
  // Shown, never obeyed: a name's control bytes do not reach the terminal.
  return entry.cut ? host::shown_name(whole_characters(entry.name)) + cut_mark() : host::shown_name(entry.name);
}

// Rows of the name, DIR or FILE, and the size, in columns that line up on the terminal.
void print_rows(const std::vector<RemoteEntry>& entries, std::ostream& out) {
  std::vector<std::string> names;
  std::size_t width = kNameColumns;
  for (const auto& entry : entries) {
    names.push_back(listed_name(entry));
    width = std::max(width, std::min(display_width(names.back()), kMostNameColumns));
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    char size[24] = "?";
    if (entries[i].size >= 0) std::snprintf(size, sizeof size, "%lld", static_cast<long long>(entries[i].size));
    char rest[48];
    std::snprintf(rest, sizeof rest, "  %-4s  %10s", entries[i].is_folder() ? "DIR" : "FILE", size);
    out << pad_columns(names[i], width) << rest << '\n';
  }
}

// The names down the columns of a terminal `columns` wide, as ls puts them.
void print_names(const std::vector<RemoteEntry>& entries, std::size_t columns, std::ostream& out) {
  if (entries.empty()) return;
  std::vector<std::string> names;
  std::size_t width = 0;
  for (const auto& entry : entries) {
    names.push_back(entry_as_listed(entry));
    width = std::max(width, display_width(names.back()) + kColumnGap);
  }
  // The last column needs no gap after it, and the terminal's last column stays free.
  const std::size_t across = columns == 0 ? 1 : std::max<std::size_t>(1, (columns - 1 + kColumnGap) / width);
  const std::size_t rows = (names.size() + across - 1) / across;
  for (std::size_t row = 0; row < rows; ++row) {
    std::string line;
    for (std::size_t at = row; at < names.size(); at += rows) {
      line += at + rows < names.size() ? pad_columns(names[at], width) : names[at];
    }
    out << line << '\n';
  }
}

// The code point of the UTF-8 character at the start of `text` and its
// length; length 0 when the bytes form none (the name's converter has put
// U+FFFD in their place already).
std::size_t utf8_code(const std::string& text, std::size_t at, char32_t& code) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  return length;
}

void append_unicode_escape(char32_t code, std::string& json) {
  char escaped[16];
  if (code > 0xFFFF) {
    code -= 0x10000;
    std::snprintf(escaped, sizeof escaped, "\\u%04x\\u%04x", 0xD800 + static_cast<unsigned>(code >> 10),
                  0xDC00 + static_cast<unsigned>(code & 0x3FF));
  } else {
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(code));
  }
  json += escaped;
}

// A JSON string of the UTF-8 `text`. The characters that the terminal would
// obey, or that let one name pass for another, go as \u escapes: a reader
// of the JSON gets the name as it is, and a terminal that shows it sees them.
void append_json_string(const std::string& text, std::string& json) {
  json += '"';
  for (std::size_t at = 0; at < text.size();) {
    char32_t code = 0;
    const std::size_t decoded = utf8_code(text, at, code), length = decoded == 0 ? 1 : decoded;
    if (text[at] == '"' || text[at] == '\\') {
      json += '\\';
      json += text[at];
    } else if (decoded != 0 && host::shown_escaped(code)) {
      append_unicode_escape(code, json);
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  json += '"';
}

}  // namespace

std::string entry_as_listed(const RemoteEntry& entry) { return listed_name(entry) + (entry.is_folder() ? "/" : ""); }

std::string listing_json(const std::vector<RemoteEntry>& entries) {
  std::string error;
  const std::optional<host::NameCodec> utf8 = host::NameCodec::open("UTF-8", error);
  std::string json = "[";
  for (const auto& entry : entries) {
    std::string name = entry.name;
    if (utf8) utf8->to_wire(entry.name, name);
    json += json.size() == 1 ? "\n  {\"name\": " : ",\n  {\"name\": ";
    append_json_string(name, json);
    json += std::string(", \"type\": ") + (entry.is_folder() ? "\"dir\"" : "\"file\"") + ", \"size\": " +
            (entry.size >= 0 ? std::to_string(entry.size) : "null") + ", \"cut\": " + (entry.cut ? "true" : "false") +
            "}";
  }
  return json + (entries.empty() ? "]\n" : "\n]\n");
}

void print_listing(std::vector<RemoteEntry> entries, ListingStyle style, std::size_t columns, std::ostream& out) {
  entries = sorted_by_name(std::move(entries));
  switch (style) {
    case ListingStyle::names:
      print_names(entries, columns, out);
      return;
    case ListingStyle::rows:
      print_rows(entries, out);
      return;
    case ListingStyle::json:
      out << listing_json(entries);
      return;
  }
}

std::vector<RemoteEntry> sorted_by_name(std::vector<RemoteEntry> entries) {
  // A whole name before the cut one that begins alike.
  std::sort(entries.begin(), entries.end(), [](const RemoteEntry& a, const RemoteEntry& b) {
    return a.name != b.name ? a.name < b.name : !a.cut && b.cut;
  });
  return entries;
}

}  // namespace quorvantix::customer
