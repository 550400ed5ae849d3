// Turning what the user typed into commands: a command is its name and its
// arguments.
#pragma once

#include <string>
#include <vector>

namespace customer_side {

using Command = std::vector<std::string>;

// Splits one line of a script or of the interactive shell. Words are separated
// by blanks; '...' quotes literally, "..." quotes with \" and \\ as escapes, and
// a backslash outside quotes takes the next character as it is. $'...' quotes
// with the escapes that names are shown with (platform::shown_name): \n, \t,
// \r, \xHH, \\ and \' (any other stays as it is), so a name shown escaped is
// typed as $'NAME'. An unquoted ';' ends a command, and an unquoted '#' at the
// start of a word starts a comment. Empty commands are dropped. False, with
// `error` filled, for an open quote.
bool split_line(const std::string& line, std::vector<Command>& commands, std::string& error);

// Splits the words that follow DEVICE on the program's command line, where the
// user's shell has already removed its quotes: each word is one word, a word ";"
// ends a command, and so does a ';' at the end of a word ("ls;" or "a.txt;"). A
// command word that holds blanks or ';' ("cd sub; get a") is split as a line.
bool split_words(const std::vector<std::string>& words, std::vector<Command>& commands, std::string& error);

}  // namespace customer_side
