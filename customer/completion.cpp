#include "completion.h"

#include <algorithm>

#include "command_line.h"
#include "commands.h"
#include "transfers.h"

namespace customer_side {
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
    {"get", NameKind::remote_file, NameKind::local, NameKind::remote_folder, NameKind::local},
    {"mget", NameKind::remote_file, NameKind::remote_file, NameKind::remote_file, NameKind::remote_file},
    {"put", NameKind::local, NameKind::remote_any, NameKind::local, NameKind::remote_folder},
    {"mput", NameKind::local, NameKind::local, NameKind::local, NameKind::local},
    {"lcd", NameKind::local, NameKind::nothing, NameKind::local, NameKind::nothing},
};

}  // namespace

NameKind completion_kind(const std::string& before) {
  std::string text = before;
  // Readline starts a word after its opening quote.
  if (!text.empty() && (text.back() == '\'' || text.back() == '"')) text.pop_back();
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
      tree = tree || words[i].find('r') != std::string::npos;
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
                                           const std::string& typed) {
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    const bool wanted = kind == NameKind::remote_any || (kind == NameKind::remote_folder) == entry.is_dir;
    if (wanted && !listing_cut(entry) && entry.name.rfind(typed, 0) == 0) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace customer_side
