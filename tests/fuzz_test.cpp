// The fuzz targets' inputs, replayed: every seed of fuzz/corpus/<target>/
// and every input that once broke a target, fuzz/regressions/<target>/, runs
// through the target as the fuzzer runs it, with its rules checked (under
// the sanitize preset, ASan and UBSan check it too). So a crash the fuzzers
// found stays a test in every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "fuzz/support/check.h"
#include "fuzz/support/replay.h"
#include "tests/support/fixtures.h"

namespace {

// The inputs of `folder`, in the order of their names.
std::vector<std::filesystem::path> inputs_in(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> inputs;
  if (!std::filesystem::is_directory(folder)) return inputs;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

class FuzzReplay : public testing::TestWithParam<fuzzing::ReplayTarget> {};

}  // namespace

namespace quorvantix::fuzzing {
void PrintTo(const ReplayTarget& target, std::ostream* out) { *out << target.name; }
}  // namespace quorvantix::fuzzing

TEST_P(FuzzReplay, EverySeedAndRegressionKeepsTheRules) {
  fuzzing::throw_on_violation();
  const std::filesystem::path fuzz = std::filesystem::path(QUORVANTIX_SOURCE_DIR) / "fuzz";
  const std::vector<std::filesystem::path> seeds = inputs_in(fuzz / "corpus" / GetParam().name);
  EXPECT_FALSE(seeds.empty()) << "a target without seeds: run fuzz/seeds.py";
  std::vector<std::filesystem::path> inputs = inputs_in(fuzz / "regressions" / GetParam().name);
  inputs.insert(inputs.end(), seeds.begin(), seeds.end());
  for (const auto& input : inputs) {
    const Bytes data = read_file(input.string());
    testing::internal::CaptureStdout();  // the service's console
    try {
      GetParam().run(data.data(), data.size());
    } catch (const std::exception& broken) {
      ADD_FAILURE() << input.string() << ": " << broken.what();
    }
    testing::internal::GetCapturedStdout();
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(fuzzing::replay_targets()),
                         [](const testing::TestParamInfo<fuzzing::ReplayTarget>& target) { return target.param.name; });
