// A file as the peer sends it, header first ("%s %d %d" in 60 bytes, the
// name's spaces as 0xAE), on both sides: the service storing what a customer
// puts (receive_file, in a confined folder of a few files,
// support/scratch.h), and the customer fetching a file (remote_get) into a
// local file that may be there already.
//
// Input: a settings byte (bit 0: the customer's side; bits 1-3: the wire
// character set, support/wire_sets.h; bit 4: the customer's local file is
// there before), then the sender's script (support/scripted_line.h).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support/check.h"
#include "fuzz/support/scratch.h"
#include "fuzz/support/scripted_line.h"
#include "fuzz/support/wire_sets.h"
#include "host/fs.h"
#include "session/session.h"
#include "wire/file_stream.h"

namespace quorvantix::fuzzing {

using namespace quorvantix::wire;

namespace {

constexpr std::uint8_t kCustomerSide = 0x01;
constexpr std::uint8_t kTargetThere = 0x10;
constexpr char kTarget[] = "got";
constexpr std::string_view kFile = "file:";  // how a snapshot marks a plain file

// The size the header announced.
class HeaderWatch final : public Gadget {
 public:
  void set_file(const char*, std::int64_t size) override { announced = size; }
  void set_text(const char*, const TransferProgress&) override {}
  std::int64_t announced = -1;
};

std::uint8_t wire_choice(std::uint8_t settings) { return static_cast<std::uint8_t>(settings >> 1); }

std::string last_part(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The paths whose entries differ between two snapshots.
std::vector<std::string> changes(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> changed;
  for (const auto& [path, what] : after) {
    const auto old = before.find(path);
    if (old == before.end() || old->second != what) changed.push_back(path);
  }
  for (const auto& [path, what] : before) {
    if (after.count(path) == 0) changed.push_back(path);
  }
  return changed;
}

// A file that failed leaves everything as it was; one that arrived is one
// plain file of the size its header gave, and no temporary stays behind.
void check_stored(const Scratch& scratch, const Snapshot& before, bool stored, std::int64_t announced,
                  const std::string* only_path) {
  FUZZ_CHECK(scratch.alone());
  const Snapshot after = scratch.snapshot();
  for (const auto& [path, what] : after) FUZZ_CHECK(!host::is_temporary_name(last_part(path).c_str()));
  const std::vector<std::string> changed = changes(before, after);
  if (!stored) {
    FUZZ_CHECK(changed.empty());
    return;
  }
  FUZZ_CHECK(changed.size() <= 1);
  if (changed.empty()) return;  // a file stored over one with the same contents
  FUZZ_CHECK(only_path == nullptr || changed.front() == *only_path);
  const auto file = after.find(changed.front());
  FUZZ_CHECK(file != after.end() && file->second.starts_with(kFile));
  FUZZ_CHECK(static_cast<std::int64_t>(file->second.size() - kFile.size()) == announced);
}

bool among(Status status, std::initializer_list<Status> statuses) {
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

void service_side(std::uint8_t settings, const std::uint8_t* script, std::size_t size) {
  const Scratch& scratch = Scratch::folder();
  scratch.reset();
  std::string error;
  std::optional<host::Tree> tree = host::Tree::confined(scratch.path().c_str(), error);
  if (!tree) throw std::runtime_error(error);
  tree->set_wire_names(wire_codec(wire_choice(settings)));
  ScriptedLink ends(script, size);
  HeaderWatch watch;
  const Result<> received = receive_file(ends.link, *tree, &watch);
  FUZZ_CHECK(received || among(received.error().status,
                               {Status::header_damaged, Status::header_bad, Status::no_current_folder,
                                Status::no_volume_info, Status::write_protected, Status::no_room,
                                Status::create_failed, Status::too_many_failures, Status::write_failed}));
  check_stored(scratch, scratch.fixture(), received.ok(), watch.announced, nullptr);
  // The sender always hears how it ended, unless it has gone, or a newcomer took its place.
  const Bytes& written = ends.peer.written();
  if (ends.link.cancelled() || ends.link.lost() || (!received && received.error().status == Status::too_many_failures)) {
    return;
  }
  FUZZ_CHECK(!written.empty() && written.back() == (received ? ACK : NAK));
}

void customer_side(std::uint8_t settings, const std::uint8_t* script, std::size_t size) {
  const Scratch& scratch = Scratch::folder();
  scratch.reset();
  const std::string target = scratch.path() + "/" + kTarget;
  if ((settings & kTargetThere) != 0) std::ofstream(target, std::ios::binary) << "as it was";
  const Snapshot before = scratch.snapshot();
  ScriptedLink ends(script, size);
  session::Session session(ends.link);
  session.use_charset(wire_set(wire_choice(settings)));
  HeaderWatch watch;
  const bool got = session.remote_get("a", target, &watch).ok();
  const std::string only = kTarget;
  check_stored(scratch, before, got, watch.announced, &only);
}

}  // namespace

int header_input(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if ((data[0] & kCustomerSide) != 0) {
    customer_side(data[0], data + 1, size - 1);
  } else {
    service_side(data[0], data + 1, size - 1);
  }
  return 0;
}

}  // namespace quorvantix::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return quorvantix::fuzzing::header_input(data, size);
}
