#include "customer/command_line.h"

#include <string_view>
#include <cstring>

namespace quorvantix::customer {

namespace {

struct Token {
  std::string text;
  bool ends_command = false;
};

Token word_token(std::string text) { return Token{std::move(text), false}; }
Token end_token() { return Token{"", true}; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool at_command_start(const std::vector<Token>& tokens) { return tokens.empty() || tokens.back().ends_command; }

// The length of the name of a local shell command at the start of `text`:
// "!", or "-!" for one that may fail; 0 when there is none.
std::size_t shell_mark_length(std::string_view text) {
  if (text.starts_with("!")) return 1;
  return text.starts_with("-!") ? 2 : 0;
}

// "!COMMAND": the mark as the command's name and the rest of `text`, as it
// stands, as its one argument (none when it is blank).
void shell_tokens(std::string_view text, std::size_t mark, std::vector<Token>& tokens) {
  tokens.push_back(word_token(std::string(text.substr(0, mark))));
  const std::size_t start = text.find_first_not_of(" \t", mark);
  if (start != std::string_view::npos) tokens.push_back(word_token(std::string(text.substr(start))));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The escape of $'...' whose letter is at line[at] onto `word`; the index of
// its last character.
std::size_t take_escape(const std::string& line, std::size_t at, std::string& word) {
  const char letter = line[at];
  std::size_t end = at + 1;
  int value = 0;
  for (; letter == 'x' && end < line.size() && end < at + 3 && hex_value(line[end]) >= 0; ++end) {
    value = value * 16 + hex_value(line[end]);
  }
  if (end > at + 1) {
    word += static_cast<char>(value);
    return end - 1;
  }
  const char* const kLetters = "ntr\\'\"";
  const char* const kMeanings = "\n\t\r\\'\"";
  const char* const found = std::strchr(kLetters, letter);
  if (found != nullptr && letter != '\0') {
    word += kMeanings[found - kLetters];
  } else {
    word += '\\';
    word += letter;
  }
  return at;
}

// The tokens of one line, by the quoting rules of split_line.
bool tokenize_line(const std::string& line, std::vector<Token>& tokens, std::string& error) {
  enum class Quote { none, single, dbl, shown };
  Quote quote = Quote::none;
  std::string word;
  bool in_word = false;
  auto finish_word = [&] {
    if (in_word) tokens.push_back(word_token(word));
    word.clear();
    in_word = false;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    const bool has_next = i + 1 < line.size();
    if (quote == Quote::single) {
      if (c == '\'') {
        quote = Quote::none;
      } else {
        word += c;
      }
    } else if (quote == Quote::shown) {
      if (c == '\'') {
        quote = Quote::none;
      } else if (c == '\\' && has_next) {
        i = take_escape(line, i + 1, word);
      } else {
        word += c;
      }
    } else if (quote == Quote::dbl) {
      if (c == '"') {
        quote = Quote::none;
      } else if (c == '\\' && has_next && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (!in_word && at_command_start(tokens) && shell_mark_length(std::string_view(line).substr(i)) > 0) {
      // The rest of the line goes to the local shell as it stands.
      shell_tokens(std::string_view(line).substr(i), shell_mark_length(std::string_view(line).substr(i)), tokens);
      return true;
    } else if (is_blank(c)) {
      finish_word();
    } else if (c == ';') {
      finish_word();
      tokens.push_back(end_token());
    } else if (c == '#' && !in_word) {
      break;
    } else {
      in_word = true;
      if (c == '\'') {
        quote = Quote::single;
      } else if (c == '$' && has_next && line[i + 1] == '\'') {
        quote = Quote::shown;
        ++i;
      } else if (c == '"') {
        quote = Quote::dbl;
      } else if (c == '\\') {
        if (has_next) word += line[++i];
      } else {
        word += c;
      }
    }
  }
  if (quote != Quote::none) {
    error = quote == Quote::dbl ? "the quote \" is not closed"
                                : quote == Quote::shown ? "the quote $' is not closed" : "the quote ' is not closed";
    return false;
  }
  finish_word();
  return true;
}

std::vector<Command> group(const std::vector<Token>& tokens) {
  std::vector<Command> commands;
  Command current;
  for (const Token& token : tokens) {
    if (token.ends_command) {
      if (!current.empty()) commands.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(token.text);
    }
  }
  if (!current.empty()) commands.push_back(std::move(current));
  return commands;
}

bool holds_blank_or_separator(const std::string& word) {
  for (char c : word) {
    if (is_blank(c) || c == ';') return true;
  }
  return false;
}

}  // namespace

TextLine read_text_line(std::istream& in, std::string& line, std::size_t most, std::string& error) {
  line.clear();
  std::streambuf* const bytes = in.rdbuf();
  for (bool any = false;; any = true) {
    const int byte = bytes == nullptr ? std::char_traits<char>::eof() : bytes->sbumpc();
    if (byte == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return any ? TextLine::read : TextLine::end;
    }
    if (byte == '\n') return TextLine::read;
    if (byte == '\0') {
      error = "holds a NUL byte; a text file has none";
      return TextLine::unusable;
    }
    if (line.size() == most) {
      error = "is longer than " + std::to_string(most) + " bytes";
      return TextLine::unusable;
    }
    line += static_cast<char>(byte);
  }
}

bool split_line(const std::string& line, std::vector<Command>& commands, std::string& error) {
  std::vector<Token> tokens;
  if (!tokenize_line(line, tokens, error)) return false;
  commands = group(tokens);
  return true;
}

bool split_words(const std::vector<std::string>& words, std::vector<Command>& commands, std::string& error) {
  std::vector<Token> tokens;
  std::string shell_text;  // a local shell command being gathered, word by word, up to a ";"
  bool in_shell_command = false;
  for (const std::string& word : words) {
    const bool command_position = at_command_start(tokens);
    if (in_shell_command && word != ";") {
      shell_text += (shell_text.empty() ? "" : " ") + word;
      continue;
    }
    if (in_shell_command) {
      shell_tokens(shell_text, shell_mark_length(shell_text), tokens);
      in_shell_command = false;
    }
    if (command_position && shell_mark_length(word) > 0 && !holds_blank_or_separator(word)) {
      shell_text = word;
      in_shell_command = true;
    } else if (word == ";") {
      tokens.push_back(end_token());
    } else if (command_position && holds_blank_or_separator(word)) {
      if (!tokenize_line(word, tokens, error)) return false;
    } else if (word.size() > 1 && word.back() == ';') {
      tokens.push_back(word_token(word.substr(0, word.size() - 1)));
      tokens.push_back(end_token());
    } else {
      tokens.push_back(word_token(word));
    }
  }
  if (in_shell_command) shell_tokens(shell_text, shell_mark_length(shell_text), tokens);
  commands = group(tokens);
  return true;
}

}  // namespace quorvantix::customer
