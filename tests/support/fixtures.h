// What the tests share: frame builders, rows of a listing, the console of a
// simulation, and the two ends of a session on a simulated cable.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/charset.h"
#include "service/service.h"
#include "session/session.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_dir.h"
#include "wire/display.h"
#include "wire/identification.h"

namespace quorvantix::testsupport {

inline Bytes operator+(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;  // moved out, so appending in a loop stays linear
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using Strings = std::vector<std::string>;

// A session operation that succeeded; its failure, kind and reason, otherwise.
template <class T>
testing::AssertionResult ok(const session::Result<T>& result) {
  if (result) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "failed, kind " << static_cast<int>(result.error().kind) << ": "
                                     << result.error().reason;
}
// The kind of a session operation's failure; none for success.
template <class T>
std::optional<session::Kind> kind_of(const session::Result<T>& result) {
  return result ? std::nullopt : std::optional(result.error().kind);
}
// The wire's status for a session operation that failed on the wire; none otherwise.
template <class T>
std::optional<wire::Status> status_of(const session::Result<T>& result) {
  return result || result.error().kind != session::Kind::wire ? std::nullopt : std::optional(result.error().status);
}

// The bytes of `content`.
inline Bytes text(const std::string& content) { return Bytes(content.begin(), content.end()); }
// `count` letters ü, two bytes each in UTF-8 and one in ISO-8859-1.
inline std::string umlauts(std::size_t count) {
  std::string letters;
  while (count-- > 0) letters += "\u00fc";
  return letters;
}
// Sends `frame`; what comes back within one time limit, at most `count` bytes.
inline Bytes ask(wire::Link& link, const Bytes& frame, std::size_t count = 3) {
  return write_raw(link, frame), read_raw(link, count);
}

// Names between UTF-8 on the host and `charset` on the wire.
inline host::NameCodec codec_for(const std::string& charset) {
  std::string error;
  if (auto codec = host::NameCodec::open(charset, error, "UTF-8")) return std::move(*codec);
  throw std::runtime_error(error);
}

// A command frame: its code, its argument, NULs up to 60 bytes.
inline Bytes command_frame(wire::UBYTE code, const std::string& argument = "") {
  std::string payload = static_cast<char>(code) + argument;
  payload.resize(wire::kCommandFrameBytes, '\0');
  return frame_of(payload);
}

// A file header frame: the text, and NULs to its 60 bytes.
inline Bytes header_frame(std::string text) { return text.resize(wire::kHeaderBytes), frame_of(text); }

// This host's identification codes, and its identification frame.
inline Bytes own_codes() {
  Bytes codes(3);
  wire::build_own_frame(codes.data());
  return codes;
}
inline Bytes own_frame() { return frame_of(own_codes()); }

// What a wire operation came to: the Status it failed with, or kOk.
using WireOutcome = std::optional<wire::Status>;
inline constexpr WireOutcome kOk = std::nullopt;
template <class T>
WireOutcome outcome_of(const wire::Result<T>& result) {
  return result ? kOk : WireOutcome(result.error().status);
}
// Why a wire operation failed; empty when it did not.
template <class T>
std::string reason_of(const wire::Result<T>& result) {
  return result ? std::string() : result.error().reason;
}

// What `body` prints on the console; a simulation that gets stuck fails the test.
inline std::string console_of(const std::function<void()>& body) {
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(body());
  return testing::internal::GetCapturedStdout();
}


// A tree confined to `root`: its folder is "/", and no name leads out of it.
inline host::Tree confined_to(const std::string& root) {
  std::string error;
  std::optional<host::Tree> tree = host::Tree::confined(root.c_str(), error);
  if (!tree) throw std::runtime_error(error);
  return std::move(*tree);
}

// The service in its command loop on side a, serving `remote`, its current
// directory; the customer's session on side b, its files in `local`. Names
// cross in ISO-8859-1, as the programs have it unless told otherwise.
struct Served {
  Served() { service.tree->set_wire_names(codec_for(host::kDefaultWireCharset)); }
  void serve() { service::wait_for_customer(service), service::exec_commands(service); }
  // Runs `customer` once the session has reached the service, the service
  // and `beside` as background ends.
  void run(const std::function<void()>& customer, std::vector<std::function<void()>> beside = {}) {
    beside.insert(beside.begin(), [this] { serve(); });
    pair.clock.run([&] { ASSERT_TRUE(ok(session.reach_service())); customer(); }, beside);
  }
  TempDir remote, local;
  CurrentDirectory in_remote{remote.path()};
  SimPair pair;
  service::ServiceState service{pair.service, "sim", 0, {}};
  session::Session session{pair.customer};
};

}  // namespace quorvantix::testsupport

namespace quorvantix::wire {
inline void PrintTo(const Entry& entry, std::ostream* out) {
  *out << (entry.is_folder() ? "folder '" : "file '") << entry.name << "' " << entry.size << (entry.cut ? " cut" : "");
}
inline void PrintTo(Status status, std::ostream* out) { *out << "Status " << static_cast<int>(status); }
}  // namespace quorvantix::wire

// Every test names the layers it tries as their own code does, and times as literals.
using namespace quorvantix;
using namespace quorvantix::wire;
using namespace quorvantix::service;
using namespace quorvantix::testsupport;
using namespace std::chrono_literals;
