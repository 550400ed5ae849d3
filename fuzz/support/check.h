// The rules a fuzz target checks after each input, beyond what the
// sanitizers catch.
#pragma once

namespace quorvantix::fuzzing {

// An input broke a rule that the code under test promises. Under libFuzzer
// the process aborts, so that the input is kept as a crash; the replay test
// makes it throw instead, so that the test names the rule and the input.
[[noreturn]] void violated(const char* rule, const char* file, int line);
// From now on violated() throws std::logic_error.
void throw_on_violation();

}  // namespace quorvantix::fuzzing

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::quorvantix::fuzzing::violated(#condition, __FILE__, __LINE__))
