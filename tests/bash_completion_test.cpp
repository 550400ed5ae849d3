// The bash completion of both programs (packaging/bash-completion), sourced
// into bash as bash-completion sources it, and asked as bash asks when Tab
// is pressed: options, their values, lines and the customer's commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "tests/support/running.h"
#include "tests/support/temp_dir.h"

using namespace quorvantix;
using namespace quorvantix::testsupport;

using Strings = std::vector<std::string>;

namespace {

// What the completion that the script registers for `words[0]` offers for
// the last of `words`, one a line.
std::string completions(const Strings& words) {
  std::string program = "source '" QUORVANTIX_SOURCE_DIR "/packaging/bash-completion/quorvantix'\nCOMP_WORDS=(";
  for (const auto& word : words) program += "'" + word + "' ";
  program += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
             "\nset -- $(complete -p " + words[0] + ")\n"  // complete -F FUNCTION NAME
             "\"$3\" \"${COMP_WORDS[0]}\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
             "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
  const TempDir dir;
  write_file(dir / "ask.sh", Bytes(program.begin(), program.end()));
  const std::unique_ptr<FILE, int (*)(FILE*)> bash(popen(("bash " + dir / "ask.sh 2>&1").c_str(), "r"), pclose);
  std::string seen;
  read_until(fileno(bash.get()), seen, std::string(1, '\0'));
  return seen;
}

}  // namespace

TEST(BashCompletion, CompletesOptionsTheirValuesLinesAndTheCustomersCommands) {
  const std::pair<Strings, std::string> cases[] = {
      {{"quorvantix", "--no"}, "--no-shutdown\n"},
      {{"quorvantix", "rfc"}, "rfc2217:\n"},
      {{"quorvantix", "/dev/ttyUSB0", ""}, "0\n1\n2\n3\n"},
      {{"quorvantix-customer", "--ba"}, "--baud\n--batch\n"},
      {{"quorvantix-customer", "-b", "1152"}, "115200\n"},
      {{"quorvantix-customer", "usb"}, "usbserial.device\n"},
      {{"quorvantix-customer", "/dev/ttyUSB0", "-q", "mg"}, "mget\n"},
      {{"quorvantix-customer", "tcp:h:1", "ls;", "pu"}, "put\n"},
      {{"quorvantix-customer", "tcp:h:1", "help", "lm"}, "lmkdir\n"},
      {{"quorvantix-customer", "tcp:h:1", "cd", ""}, "\n"},  // the service's names: its own shell completes them
  };
  for (const auto& [words, offered] : cases) EXPECT_EQ(completions(words), offered) << words.back();
}
