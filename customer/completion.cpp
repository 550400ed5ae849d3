#include "customer/completion.h"

#include <algorithm>

#include "customer/command_line.h"
#include "customer/commands.h"
#include "customer/listings.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

struct ArgumentKinds {
  const char* command;
  NameKind first;       // the first argument
  NameKind later;       // the arguments after it
  NameKind first_tree;  // the first argument with -r
  NameKind later_tree;
};

constexpr ArgumentKinds kArguments[] = {
    {"cd", NameKind::remote_folder, NameKind::nothing, NameKind::remote_folder, NameKind::nothing},
    {"ls", NameKind::remote_any, NameKind::nothing, NameKind::remote_any, NameKind::nothing},
    {"get", NameKind::remote_file, NameKind::local, NameKind::remote_folder, NameKind::local},
    {"mget", NameKind::remote_here, NameKind::remote_here, NameKind::remote_here, NameKind::remote_here},
    {"put", NameKind::local, NameKind::remote_any, NameKind::local, NameKind::remote_folder},
    {"mput", NameKind::local, NameKind::local, NameKind::local, NameKind::local},
    {"lcd", NameKind::local, NameKind::nothing, NameKind::local, NameKind::nothing},
    {"lls", NameKind::local, NameKind::nothing, NameKind::local, NameKind::nothing},
    {"lmkdir", NameKind::local, NameKind::nothing, NameKind::local, NameKind::nothing},
    {"!", NameKind::local, NameKind::local, NameKind::local, NameKind::local},
    {"help", NameKind::command, NameKind::nothing, NameKind::command, NameKind::nothing},
    {"?", NameKind::command, NameKind::nothing, NameKind::command, NameKind::nothing},
};

bool wanted(const RemoteEntry& entry, NameKind kind) {
  switch (kind) {
    case NameKind::remote_folder:
      return entry.is_folder();
    case NameKind::remote_here:
      return !entry.is_folder();
    default:
      return true;
  }
}

}  // namespace

NameKind completion_kind(const std::string& before) {
  std::string text = before;
  // Readline starts a word after its opening quote.
  if (!text.empty() && (text.back() == '\'' || text.back() == '"')) text.pop_back();
  if (text.find_first_not_of(" \t") != std::string::npos && text[text.find_first_not_of(" \t")] == '!') {
    return NameKind::local;  // the rest of a line after '!' goes to the local shell
  }
  std::vector<Command> commands;
  std::string error;
  // A word in place of the one being completed shows where it stands.
  if (!split_line(text + "x", commands, error) || commands.empty()) return NameKind::nothing;
  Command words = commands.back();
  words.pop_back();
  if (words.empty()) return NameKind::command;
  take_go_on_mark(words);
  bool tree = false;
  std::size_t arguments = 0;
  bool options_over = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (!options_over && words[i] == "--") {
      options_over = true;
    } else if (!options_over && arguments == 0 && words[i].size() > 1 && words[i][0] == '-') {
      tree = tree || (words[i][1] != '-' && words[i].find('r') != std::string::npos);
    } else {
      ++arguments;
    }
  }
  for (const auto& kinds : kArguments) {
    if (words[0] != kinds.command) continue;
    if (arguments == 0) return tree ? kinds.first_tree : kinds.first;
    return tree ? kinds.later_tree : kinds.later;
  }
  return NameKind::nothing;
}

std::vector<std::string> remote_candidates(const std::vector<RemoteEntry>& entries, NameKind kind,
                                           const std::string& word) {
  const std::string folder = folder_part(word), typed = word.substr(folder.size());
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    if (wanted(entry, kind) && !entry.cut && entry.name.starts_with(typed)) {
      names.push_back(folder + entry.name + (entry.is_folder() && kind != NameKind::remote_here ? "/" : ""));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string quoted_for_line(const std::string& name, char& quote) {
  if (quote != '\'' && quote != '"') quote = name.find('\'') == std::string::npos ? '\'' : '"';
  std::string text(1, quote);
  for (const char c : name) {
    if (quote == '\'' && c == '\'') {
      text += "'\\''";  // close, an escaped quote, open again
      continue;
    }
    if (quote == '"' && (c == '"' || c == '\\')) text += '\\';
    text += c;
  }
  return text;
}

}  // namespace quorvantix::customer
