#include "fuzz/support/check.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace quorvantix::fuzzing {

namespace {

bool g_throws = false;  // set once by the replay test, before any input runs

}  // namespace

void violated(const char* rule, const char* file, int line) {
  const std::string message = std::string(file) + ":" + std::to_string(line) + ": rule broken: " + rule;
  if (g_throws) throw std::logic_error(message);
  std::fprintf(stderr, "%s\n", message.c_str());
  std::abort();
}

void throw_on_violation() { g_throws = true; }

}  // namespace quorvantix::fuzzing
