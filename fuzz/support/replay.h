// Every fuzz target of fuzz/*_fuzz.cpp by name, for the test suite that
// replays the committed corpora and regressions through them. Built from the
// same sources as the fuzzers, each entry point renamed (fuzz/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvantix::fuzzing {

struct ReplayTarget {
  const char* name;  // "frame" for fuzz/frame_fuzz.cpp
  int (*run)(const std::uint8_t* data, std::size_t size);
};

const std::vector<ReplayTarget>& replay_targets();

}  // namespace quorvantix::fuzzing
