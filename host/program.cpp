#include <cstdio>
#include <cstring>

#include "host/charset.h"
#include "host/options.h"

namespace quorvantix::host {

namespace {

constexpr std::string_view kVersionMark = "$VER: ";

}  // namespace

std::string_view shown_version(const char* marked_version) {
  std::string_view text = marked_version;
  if (text.starts_with(kVersionMark)) text.remove_prefix(kVersionMark.size());
  return text;
}

int refuse_command_line(const Program& program, const std::string& error) {
  const std::string said = program.escape_refusal ? shown_name(error) : error;
  std::fprintf(stderr, "%s: %s%s", program.name, said.c_str(), program.after_refusal.c_str());
  std::fflush(stderr);
  return kExitUsage;
}

int answer_help(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  return kExitHelped;
}

int answer_version(const Program& program, const char* marked_version) {
  const std::string_view version = shown_version(marked_version);
  if (program.name_before_version) std::printf("%s, ", program.name);
  std::printf("%.*s\n", static_cast<int>(version.size()), version.data());
  std::fflush(stdout);
  return kExitHelped;
}

}  // namespace quorvantix::host
