// The customer's commands as a script file (--batch FILE) and as the words
// of its command line: quoting, escapes, ';', comments, '!' lines and '-'
// marks, split into commands and checked before a line is opened.
//
// Input: a mode byte (bit 0: the rest is a --batch file; else it is the
// words after DEVICE, one a line), then the text.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "customer/customer_main.h"
#include "fuzz/support/check.h"
#include "fuzz/support/memory_file.h"
#include "fuzz/support/scripted_line.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;

namespace {

// Standard output and error taken away while it lives.
class Muted {
 public:
  Muted() : out_(std::cout.rdbuf(nullptr)), err_(std::cerr.rdbuf(nullptr)) {}
  Muted(const Muted&) = delete;
  Muted& operator=(const Muted&) = delete;
  ~Muted() {
    std::cout.rdbuf(out_);
    std::cerr.rdbuf(err_);
    std::cout.clear();
    std::cerr.clear();
  }

 private:
  std::streambuf* out_;
  std::streambuf* err_;
};

std::vector<std::string> command_line(const std::uint8_t* data, std::size_t size, bool batch) {
  static MemoryFile file;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (batch) return {"quorvantix-customer", "--batch", file.hold(data, size), "script"};
  std::vector<std::string> words{"quorvantix-customer", "script", "--"};
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

}  // namespace

// Commands that pass their checks go on to open the line, which is not
// there; all others are refused as a wrong command line.
int script_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::vector<std::string> words = command_line(data + 1, size - 1, (data[0] & 1) != 0);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  ScriptClock clock;
  const lines::LineOpener no_line = [](const std::string&, long, std::string& error) {
    error = "no line here";
    return std::unique_ptr<lines::Line>();
  };
  int status = 0;
  {
    const Muted muted;
    status = customer::customer_main(static_cast<int>(words.size()), argv.data(), clock, no_line);
  }
  FUZZ_CHECK(status == customer::kExitUsage || status == customer::kExitNoLink);
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::script_input(data, size);
}
