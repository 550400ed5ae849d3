// Names in two character sets: the host's, in which the file system and the
// console hold them (the locale's, UTF-8 on most hosts), and the wire's, in
// which the peer at the other end of the line reads and writes them
// (ISO-8859-1 unless told otherwise). A NameCodec converts between the two
// with iconv; its "raw" form passes the bytes as they are.
//
// A wire set must keep the printable ASCII characters as they are: the frames
// are built of them (spaces, digits, "FILE", "/"). One that does not (UTF-16,
// EBCDIC, UTF-7) is refused when the codec is opened.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvantix::host {

constexpr char kDefaultWireCharset[] = "ISO-8859-1";
// The spelling that passes names through unchanged, byte for byte.
constexpr char kRawCharset[] = "raw";
// What a character stands as when the other side has no form for it.
constexpr char kStandIn = '?';

// The host's character set: the locale's (setlocale(LC_CTYPE, "") first).
// The C and POSIX locales say ASCII, which tells nothing of the names on a
// disk: UTF-8, of which ASCII is a part, stands for them.
std::string host_charset();

// A name in host form as every console line, log line, message and listing
// shows it: never obeyed by the terminal, never taken for another name.
// Control characters (C0, DEL, C1), the format characters that take no room
// or turn the direction of the text (U+200B, U+202E, U+2066, U+FEFF, ...),
// the line and paragraph separators, and bytes that form no character of the
// host's set are escaped as \t, \n, \r, or \xHH for each of their bytes
// (\x1b, \xc2\x85, \xe2\x80\xae), and a backslash is doubled; every other
// character stands as it is. So a name that shows an escape is typed inside
// $'...', as a shell reads it: $'a\nb' is the name shown as a\nb.
std::string shown_name(std::string_view host_name);
// Whether shown_name escapes the character `code` (a Unicode code point).
bool shown_escaped(char32_t code);

// A move-only owner of one iconv conversion.
class IconvHandle {
 public:
  IconvHandle() = default;
  // From `from` to `to`; an empty handle when iconv knows either not.
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  IconvHandle(IconvHandle&& other) noexcept : cd_(std::exchange(other.cd_, kNone())) {}
  IconvHandle& operator=(IconvHandle&& other) noexcept {
    if (this != &other) {
      close();
      cd_ = std::exchange(other.cd_, kNone());
    }
    return *this;
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  ~IconvHandle() { close(); }

  explicit operator bool() const { return cd_ != kNone(); }
  iconv_t get() const { return cd_; }

 private:
  static iconv_t kNone() { return reinterpret_cast<iconv_t>(-1); }
  void close() noexcept {
    if (cd_ != kNone()) iconv_close(cd_);
    cd_ = kNone();
  }
  iconv_t cd_ = kNone();
};

// Converts names between the host's and the wire's character sets. Not for
// two threads at once (an iconv conversion keeps state while it runs).
class NameCodec {
 public:
  // Passes every name through unchanged.
  NameCodec() = default;
  // Names on the wire in `wire_charset` (any name iconv takes, or kRawCharset),
  // on the host in `host`. Nothing, with a sentence in `error`, when iconv
  // knows no such set or it does not keep ASCII as it is.
  static std::optional<NameCodec> open(const std::string& wire_charset, std::string& error,
                                       const std::string& host = host_charset());

  // The wire set as it was named ("raw" for bytes as they are).
  const std::string& charset() const { return charset_; }
  bool passes_bytes() const { return !host_to_pivot_; }

  // The wire form of the host name `host`. False when some character has
  // none, or `host` holds bytes that are no character of the host's set:
  // each then stands in `wire` as kStandIn.
  bool to_wire(std::string_view host, std::string& wire) const;
  // The host form of the wire name `wire`. False when it holds bytes that are
  // no character of the wire set, or one the host's set lacks: kStandIn again.
  bool to_host(std::string_view wire, std::string& host) const;

 private:
  std::string charset_ = kRawCharset;
  // Both ways go through UTF-32, one unit a character, so that a character
  // without a form on the far side is replaced whole, and only it.
  IconvHandle host_to_pivot_, pivot_to_wire_, wire_to_pivot_, pivot_to_host_;
};

}  // namespace quorvantix::host
