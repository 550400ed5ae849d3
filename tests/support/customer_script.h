// The customer's end of the cable, played byte for byte by a test against a
// service process on a pty pair: identification, command frames, the frames of
// the transfers, and the service's console.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "support/pty_pair.h"
#include "support/service_process.h"

namespace testsupport {

class CustomerScript {
 public:
  // Starts the service in `directory` on a fresh pty pair, the real binary, or
  // with `tick` its entry point forked with that tick, and identifies itself as
  // a customer. Throws when the service does not answer.
  explicit CustomerScript(const std::string& directory,
                          std::optional<std::chrono::nanoseconds> tick = std::nullopt);

  PtyPair& line() { return line_; }
  ServiceProcess& service() { return service_; }

  // Sends a command frame; throws unless the service acknowledges it.
  void command(std::uint8_t code, const std::string& argument = "");
  // Sends bytes (frames, answers) to the service.
  void send(const Bytes& bytes) { line_.send(bytes); }
  void answer(std::uint8_t byte) { line_.send({byte}); }
  // The next `count` bytes from the service (fewer when it falls silent).
  Bytes receive(std::size_t count) { return line_.receive(count); }
  // The next `count` bytes, answered with `answer`.
  Bytes receive_and_answer(std::size_t count, std::uint8_t answer);

  // Waits until the console holds `text` and returns everything printed after
  // the customer's identification line.
  std::string console_after(const std::string& text);

  // Ends the service with cmd_terminate; its exit status.
  std::optional<int> terminate();

 private:
  PtyPair line_;
  ServiceProcess service_;
};

// The 60-byte header frame of a file transfer for the header text `text`.
Bytes header_frame(const std::string& text);
// The frame with its check byte spoiled.
Bytes damaged(Bytes frame);
// A frame for `payload` taken from `bytes` at `offset`.
Bytes frame_of(const Bytes& bytes, std::size_t offset, std::size_t length);

}  // namespace testsupport
