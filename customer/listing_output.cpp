#include "listing_output.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/charset.h"
#include "text_width.h"
#include "transfers.h"

namespace customer_side {
namespace {

// A name is listed in this many columns at least, and cut beyond the most.
constexpr std::size_t kNameColumns = 30;
constexpr std::size_t kMostNameColumns = 40;
constexpr std::size_t kColumnGap = 2;

std::string listed_name(const RemoteEntry& entry) {
  // Shown, never obeyed: a name's control bytes do not reach the terminal.
  return entry.cut ? platform::shown_name(whole_characters(entry.name)) + cut_mark() : platform::shown_name(entry.name);
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
    std::snprintf(rest, sizeof rest, "  %-4s  %10s", entries[i].is_dir ? "DIR" : "FILE", size);
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

void append_json_string(const std::string& text, std::string& json) {
  json += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      json += escaped;
    } else {
      json += c;
    }
  }
  json += '"';
}

}  // namespace

std::string entry_as_listed(const RemoteEntry& entry) { return listed_name(entry) + (entry.is_dir ? "/" : ""); }

std::string listing_json(const std::vector<RemoteEntry>& entries) {
  std::string error;
  const std::optional<platform::NameCodec> utf8 = platform::NameCodec::open("UTF-8", error);
  std::string json = "[";
  for (const auto& entry : entries) {
    std::string name = entry.name;
    if (utf8) utf8->to_wire(entry.name, name);
    json += json.size() == 1 ? "\n  {\"name\": " : ",\n  {\"name\": ";
    append_json_string(name, json);
    json += std::string(", \"type\": ") + (entry.is_dir ? "\"dir\"" : "\"file\"") + ", \"size\": " +
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

}  // namespace customer_side
