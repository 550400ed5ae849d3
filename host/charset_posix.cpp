#include <langinfo.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <utility>

#include "host/charset.h"

namespace quorvantix::host {
namespace {

constexpr char kPivot[] = "UTF-32LE";
constexpr std::size_t kPivotUnitBytes = 4;
constexpr char kStandInUnit[kPivotUnitBytes] = {kStandIn, 0, 0, 0};
constexpr std::size_t kNoConversion = static_cast<std::size_t>(-1);

// Runs `in` through the conversion `cd` into `out`, at most `unit` bytes of
// it a call. Where a character cannot pass (no form on the far side, bytes
// that are none, or a character cut off at the end), `skip` bytes of the
// input are passed over and `stand_in` follows the output instead. iconv
// also passes over some characters without a word (glibc drops Unicode's
// tag characters on the way into a set that lacks them): fed one character
// a call, a unit that `droppable` names and that gave no output gets the
// stand-in too. False when either happened.
template <typename StandIn, typename Droppable>
bool run(iconv_t cd, std::string_view in, std::size_t unit, std::size_t skip, StandIn stand_in, Droppable droppable,
         std::string& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out.clear();
  char* from = const_cast<char*>(in.data());  // iconv's signature; it only reads
  std::size_t left = in.size();
  bool whole = true;
  char chunk[256];
  for (;;) {
    char* to = chunk;
    std::size_t room = sizeof chunk;
    const bool flushing = left == 0;  // a stateful set ends in its initial state
    const std::size_t fed = left < unit ? left : unit;
    const char* fed_from = from;
    std::size_t fed_left = fed;
    const std::size_t result = flushing ? iconv(cd, nullptr, nullptr, &to, &room) : iconv(cd, &from, &fed_left, &to, &room);
    const int cause = errno;
    left -= fed - fed_left;
    out.append(chunk, static_cast<std::size_t>(to - chunk));
    if (result != kNoConversion) {
      if (flushing) return whole;
      if (to == chunk && droppable(std::string_view(fed_from, fed))) {
        whole = false;
        stand_in(out);
      }
      continue;
    }
    if (cause == E2BIG) continue;
    if (flushing) return false;
    whole = false;
    const std::size_t passed_over = left < skip ? left : skip;
    from += passed_over;
    left -= passed_over;
    stand_in(out);
  }
}

// Host or wire bytes into pivot units: a byte that begins no character is one
// stand-in.
bool into_pivot(const IconvHandle& handle, std::string_view in, std::string& pivot) {
  const auto stand_in = [](std::string& out) { out.append(kStandInUnit, kPivotUnitBytes); };
  return run(handle.get(), in, in.size(), 1, stand_in, [](std::string_view) { return false; }, pivot);
}

// Pivot units into host or wire bytes: the stand-in passes through the same
// conversion, so that a set with shift states gets it in the right one.
bool out_of_pivot(const IconvHandle& handle, const std::string& pivot, std::string& out) {
  const auto stand_in = [&handle](std::string& to) {
    char* from = const_cast<char*>(kStandInUnit);
    std::size_t left = kPivotUnitBytes;
    char bytes[16];
    char* at = bytes;
    std::size_t room = sizeof bytes;
    iconv(handle.get(), &from, &left, &at, &room);
    to.append(bytes, static_cast<std::size_t>(at - bytes));
  };
  const auto tag_character = [](std::string_view unit) {
    char32_t code = 0;
    for (std::size_t at = unit.size(); at-- > 0;) code = (code << 8) | static_cast<unsigned char>(unit[at]);
    return code >= 0xE0000 && code <= 0xE007F;
  };
  return run(handle.get(), pivot, kPivotUnitBytes, kPivotUnitBytes, stand_in, tag_character, out);
}

// No name holds a NUL, which would end it short wherever it is used: a set
// that maps a byte to U+0000 (ISIRI-3342 does so with 0x80) has no
// character there. False when one was replaced by the stand-in.
bool without_nul(std::string& pivot) {
  constexpr char kNulUnit[kPivotUnitBytes] = {};
  bool none = true;
  for (std::size_t at = 0; at + kPivotUnitBytes <= pivot.size(); at += kPivotUnitBytes) {
    if (pivot.compare(at, kPivotUnitBytes, kNulUnit, kPivotUnitBytes) != 0) continue;
    pivot.replace(at, kPivotUnitBytes, kStandInUnit, kPivotUnitBytes);
    none = false;
  }
  return none;
}

bool through_pivot(const IconvHandle& in, const IconvHandle& out, std::string_view name, std::string& result) {
  std::string pivot;
  const bool read_whole = into_pivot(in, name, pivot);
  const bool free_of_nul = without_nul(pivot);
  const bool written_whole = out_of_pivot(out, pivot, result);
  return read_whole && free_of_nul && written_whole;
}

void escape_bytes(std::string_view bytes, std::string& shown) {
  for (const char byte : bytes) {
    switch (byte) {
      case '\t':
        shown += "\\t";
        break;
      case '\n':
        shown += "\\n";
        break;
      case '\r':
        shown += "\\r";
        break;
      default:
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(byte));
        shown += escape;
    }
  }
}

bool is_control(char32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

// Characters that show nothing of themselves yet change what a terminal
// shows: they turn the direction of the text around them (U+202E makes
// "evil\u202etxt.exe" show as "evilexe.txt"), take no room (U+200B), or break
// the line. Unicode's format characters, and the line and paragraph separators.
bool is_invisible_format(char32_t code) {
  constexpr std::pair<char32_t, char32_t> kRanges[] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
      {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
      {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
      {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F}};
  for (const auto& [first, last] : kRanges) {
    if (code >= first && code <= last) return true;
  }
  return false;
}

// The length of the UTF-8 character that `text` begins with, and its code
// point; 0 when its first byte begins none (a stray continuation byte, an
// overlong form, a surrogate, beyond U+10FFFF, or cut off at the end).
std::size_t utf8_character(std::string_view text, char32_t& code) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || text.size() < length) return 0;
  code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The same in the locale's multibyte set; its wide characters are Unicode
// code points on the hosts we build for.
std::size_t locale_character(std::string_view text, char32_t& code) {
  std::mbstate_t state{};
  wchar_t wide = 0;
  const std::size_t length = std::mbrtowc(&wide, text.data(), text.size(), &state);
  if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) return 0;
  code = static_cast<char32_t>(wide);
  return length == 0 ? 1 : length;  // a NUL inside the name
}

std::string printable_ascii() {
  std::string text;
  for (char c = ' '; c <= '~'; ++c) text += c;
  return text;
}

}  // namespace

std::string host_charset() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0) return "UTF-8";
  return codeset;
}

std::string shown_name(std::string_view host_name) {
  const bool utf8 = host_charset() == "UTF-8";
  std::string shown;
  shown.reserve(host_name.size());
  while (!host_name.empty()) {
    char32_t code = 0;
    const std::size_t length = utf8 ? utf8_character(host_name, code) : locale_character(host_name, code);
    const std::string_view character = host_name.substr(0, length == 0 ? 1 : length);
    if (length == 0 || shown_escaped(code)) {
      escape_bytes(character, shown);
    } else if (code == '\\') {
      shown += "\\\\";
    } else {
      shown += character;
    }
    host_name.remove_prefix(character.size());
  }
  return shown;
}

bool shown_escaped(char32_t code) { return is_control(code) || is_invisible_format(code); }

std::optional<NameCodec> NameCodec::open(const std::string& wire_charset, std::string& error,
                                         const std::string& host) {
  NameCodec codec;
  if (wire_charset == kRawCharset) return codec;
  codec.charset_ = wire_charset;
  codec.host_to_pivot_ = IconvHandle(kPivot, host.c_str());
  codec.pivot_to_host_ = IconvHandle(host.c_str(), kPivot);
  if (!codec.host_to_pivot_ || !codec.pivot_to_host_) {
    error = "iconv cannot convert the host's character set " + host + " (from the locale)";
    return std::nullopt;
  }
  codec.wire_to_pivot_ = IconvHandle(kPivot, wire_charset.c_str());
  codec.pivot_to_wire_ = IconvHandle(wire_charset.c_str(), kPivot);
  if (wire_charset.empty() || !codec.wire_to_pivot_ || !codec.pivot_to_wire_) {
    error = "iconv knows no character set '" + wire_charset + "' (iconv -l lists them; " + kRawCharset +
            " passes names as they are)";
    return std::nullopt;
  }
  const std::string ascii = printable_ascii();
  std::string wire, back;
  if (!codec.to_wire(ascii, wire) || wire != ascii || !codec.to_host(wire, back) || back != ascii) {
    error = "'" + wire_charset + "' cannot carry names on the line: it does not keep ASCII characters as they are";
    return std::nullopt;
  }
  return codec;
}

bool NameCodec::to_wire(std::string_view host, std::string& wire) const {
  if (passes_bytes()) {
    wire.assign(host);
    return true;
  }
  return through_pivot(host_to_pivot_, pivot_to_wire_, host, wire);
}

bool NameCodec::to_host(std::string_view wire, std::string& host) const {
  if (passes_bytes()) {
    host.assign(wire);
    return true;
  }
  return through_pivot(wire_to_pivot_, pivot_to_host_, wire, host);
}

}  // namespace quorvantix::host
