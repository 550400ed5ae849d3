// One table type for the command-line options of every program, and the
// skeleton every program's main shares: the refused command line (exit 2),
// --help and --version.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantix::host {

inline constexpr int kExitHelped = 0;
inline constexpr int kExitUsage = 2;

enum class OptionValue {
  none,      // a flag ("--quiet"); a value joined to it makes it unknown
  required,  // joined ("--baud=N", "-bN") or the next word, whatever it is
  joinable,  // a flag that may carry a joined value ("--turnarounds[=BYTES]")
};

// One option of a program that keeps what it is told in `Settings`.
template <typename Settings>
struct Option {
  char short_name;        // 0: none
  const char* long_name;  // without its "--"; nullptr: none
  OptionValue value;
  const char* missing;  // the message for a required value that is not there
  // Stores the option and its value (empty for a flag) into `settings`.
  // False for a value it cannot take, with `error` filled (left empty, the
  // message is "bad value 'V' for --NAME").
  bool (*set)(Settings& settings, const std::string& value, std::string& error);
};

template <typename Settings>
using OptionTable = std::span<const Option<Settings>>;

// The entry `word` names ("--name", "--name=value", "-x", "-xvalue"), with a
// value joined to it in `joined`; null for none.
template <typename Settings>
const Option<Settings>* find_option(OptionTable<Settings> table, std::string_view word,
                                    std::optional<std::string>& joined) {
  joined.reset();
  const bool is_long = word.starts_with("--");
  const std::size_t equals = word.find('=');
  for (const Option<Settings>& option : table) {
    if (is_long && option.long_name != nullptr && word.substr(2, equals - 2) == option.long_name) {
      if (equals != std::string_view::npos) joined = std::string(word.substr(equals + 1));
      return &option;
    }
    if (!is_long && option.short_name != 0 && word.size() >= 2 && word[0] == '-' && word[1] == option.short_name) {
      if (word.size() > 2) joined = std::string(word.substr(2));
      return &option;
    }
  }
  return nullptr;
}

// Takes the option at words[index] into `settings`, and index past a value in
// the next word. False, with `error` filled: "unknown option 'WORD'" (also for
// a value joined to a flag), the entry's `missing` (also for an empty value
// when `empty_is_missing`), or the setter's message.
template <typename Settings>
bool take_option(OptionTable<Settings> table, const std::vector<std::string>& words, std::size_t& index,
                 Settings& settings, std::string& error, bool empty_is_missing = false) {
  const std::string& word = words[index];
  std::optional<std::string> value;
  const Option<Settings>* option = find_option(table, word, value);
  if (option == nullptr || (value && option->value == OptionValue::none)) {
    error = "unknown option '" + word + "'";
    return false;
  }
  if (!value && option->value == OptionValue::required && index + 1 < words.size()) value = words[++index];
  if (option->value == OptionValue::required && (!value || (empty_is_missing && value->empty()))) {
    error = option->missing;
    return false;
  }
  error.clear();
  if (option->set(settings, value.value_or(""), error)) return true;
  if (error.empty()) error = "bad value '" + value.value_or("") + "' for --" + option->long_name;
  return false;
}

// What a program says of itself before its work.
struct Program {
  const char* name;  // "quorvantix-customer"
  // After "NAME: ERROR" on a refused command line ("\nTry 'NAME --help'.\n").
  std::string after_refusal;
  bool name_before_version = true;  // "NAME, VERSION" rather than "VERSION"
  bool escape_refusal = false;      // the error may hold the user's bytes: shown escaped
};

// The version text without the "$VER: " mark it carries for the shells' version command.
std::string_view shown_version(const char* marked_version);
// Prints the refusal of a command line on standard error; kExitUsage.
int refuse_command_line(const Program& program, const std::string& error);
// Prints --help's text on standard output; kExitHelped.
int answer_help(const std::string& text);
// Prints --version's line on standard output; kExitHelped.
int answer_version(const Program& program, const char* marked_version);

}  // namespace quorvantix::host
