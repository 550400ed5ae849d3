// Turning what the user typed into commands: a command is its name and its
// arguments.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

namespace quorvantix::customer {

using Command = std::vector<std::string>;

// Splits one line of a script or of the interactive shell. Words are separated
// by blanks; '...' quotes literally, "..." quotes with \" and \\ as escapes, and
// a backslash outside quotes takes the next character as it is. $'...' quotes
// with the escapes that names are shown with (host::shown_name): \n, \t,
// \r, \xHH, \\ and \' (any other stays as it is), so a name shown escaped is
// typed as $'NAME'. An unquoted ';' ends a command, and an unquoted '#' at the
// start of a word starts a comment. Empty commands are dropped. False, with
// `error` filled, for an open quote.
bool split_line(const std::string& line, std::vector<Command>& commands, std::string& error);

// The longest line a script may have.
constexpr std::size_t kScriptLineBytes = 65536;

enum class TextLine { read, end, unusable };
// Reads the next line of a text file (a script, the settings) into `line`,
// without its '\n'. `unusable`, with `error` filled ("holds a NUL byte ..."),
// for a line with a NUL byte in it, which would cut a name or a command short
// without a word, or one longer than `most` bytes; the rest of it is left
// unread, so that a file without an end ends there too. `end` when nothing
// was left to read.
TextLine read_text_line(std::istream& in, std::string& line, std::size_t most, std::string& error);

// Splits the words that follow DEVICE on the program's command line, where the
// user's shell has already removed its quotes: each word is one word, a word ";"
// ends a command, and so does a ';' at the end of a word ("ls;" or "a.txt;"). A
// command word that holds blanks or ';' ("cd sub; get a") is split as a line.
bool split_words(const std::vector<std::string>& words, std::vector<Command>& commands, std::string& error);

}  // namespace quorvantix::customer
