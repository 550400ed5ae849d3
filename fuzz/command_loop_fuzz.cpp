// The service's command loop, fed a customer's bytes: every command with any
// argument, files sent and fetched, listings, speeds, identifications and
// sign-offs, hang-ups and garbage, at any pace. It serves a folder of a few
// files (support/scratch.h), confined as under --root, and runs until the
// script is used up.
//
// Input: a settings byte (bits 0-2: the wire character set,
// support/wire_sets.h; bit 3: --no-shutdown; bit 4: --read-only), then the
// customer's script (support/scripted_line.h).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "fuzz/support/check.h"
#include "fuzz/support/scratch.h"
#include "fuzz/support/scripted_line.h"
#include "fuzz/support/wire_sets.h"
#include "host/fs.h"
#include "service/service.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::service;
using namespace quorvantix::wire;

namespace {

constexpr std::uint8_t kNoShutdown = 0x08;
constexpr std::uint8_t kReadOnly = 0x10;

host::Tree served(const Scratch& scratch, std::uint8_t settings) {
  std::string error;
  std::optional<host::Tree> tree = host::Tree::confined(scratch.path().c_str(), error);
  if (!tree) throw std::runtime_error(error);
  tree->set_wire_names(wire_codec(settings));
  tree->set_read_only((settings & kReadOnly) != 0);
  return std::move(*tree);
}

std::string last_part(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// Whatever the customer did: nothing outside the folder, no folder replaced,
// no temporary left, and nothing at all changed in a read-only tree.
void check_folder(const Scratch& scratch, std::uint8_t settings) {
  FUZZ_CHECK(scratch.alone());
  const Snapshot after = scratch.snapshot();
  FUZZ_CHECK(after.count("d") == 1 && after.at("d") == "dir");
  for (const auto& [path, what] : after) FUZZ_CHECK(!host::is_temporary_name(last_part(path).c_str()));
  if ((settings & kReadOnly) != 0) FUZZ_CHECK(after == scratch.fixture());
}

}  // namespace

int command_loop_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const Scratch& scratch = Scratch::folder();
  scratch.reset();
  {
    ScriptedLink ends(data + 1, size - 1);
    ServiceState state{ends.link, "script", 0, {}};
    state.tree = std::make_unique<host::Tree>(served(scratch, data[0]));
    state.no_shutdown = (data[0] & kNoShutdown) != 0;
    exec_commands(state);
  }
  check_folder(scratch, data[0]);
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::command_loop_input(data, size);
}
