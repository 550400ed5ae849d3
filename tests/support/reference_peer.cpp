#include "tests/support/reference_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace quorvantix::testsupport {

using namespace quorvantix::wire;

namespace {

constexpr UBYTE kStx = 0x02, kEtx = 0x03, kAck = 0x06, kNak = 0x15;
constexpr int kPolls = 21, kTicksBetweenPolls = 5;
constexpr long kBlock = 1024, kHeader = 60, kCommand = 60, kListingLine = 45, kIdentification = 3;
// A transfer ends at its fifth failure, a listing at five failed frames in a row.
constexpr int kFailuresSurvived = 4, kListingFailures = 5;
constexpr char kSpaceSubstitute = '\xAE';

UBYTE calc_LPC(const UBYTE* data, long len) {
  if (len < 1) return 4;
  UBYTE x = 0;
  for (long i = 0; i < len; ++i) x ^= data[i];
  return x >= 3 && x <= 127 ? x : static_cast<UBYTE>(x + 4);
}

}  // namespace

// One transfer on the line, as the device runs it: started, polled, aborted.
struct ReferencePeer::Request {
  bool write;
  UBYTE* data;
  std::size_t length;
  std::size_t actual = 0;
  bool failed = false;  // the line refused the bytes: the write never ends
};

ReferencePeer::ReferencePeer(SimCable& cable, SimCable::Side side, host::Clock& clock) : clock_(clock) {
  std::string error;
  line_ = cable.open(side, error);
  if (!line_ || !line_->set_speed(9600, error)) throw std::runtime_error("reference peer: " + error);
}

// --- The time limit ---

bool ReferencePeer::poll(Request& request) {
  if (request.write) return !request.failed && line_->output_queued() == 0;
  const long moved = line_->read_some(request.data + request.actual, request.length - request.actual);
  if (moved > 0) request.actual += static_cast<std::size_t>(moved);
  return request.actual == request.length || (short_reads && request.actual > 0);
}

// An aborted read takes what has come up to that moment, and the caller
// throws it away. What a write has handed to the port goes out regardless.
bool ReferencePeer::checktimeout(Request& request) {
  for (int counter = kPolls;;) {
    if (poll(request)) return false;
    --counter;
    clock_.sleep_for(kTicksBetweenPolls * clock_.tick());
    if (counter == 0) {
      if (!request.write) poll(request);
      return true;
    }
  }
}

// Starts one transfer and waits for it: the bytes it moved, or -1 on a time-out.
long ReferencePeer::transfer(bool write, UBYTE* data, std::size_t length) {
  Request request{write, data, length};
  if (write) {
    const long written = line_->write_some(data, length);
    request.failed = written < 0;
    request.actual = static_cast<std::size_t>(std::max(written, 0L));
  }
  return checktimeout(request) ? -1 : static_cast<long>(request.actual);
}

// All of `length` bytes, one transfer after another; false at a time-out.
bool ReferencePeer::transfer_all(bool write, UBYTE* data, std::size_t length) {
  for (std::size_t done = 0; done < length;) {
    const long moved = transfer(write, data + done, length - done);
    if (moved < 0) return false;
    done += static_cast<std::size_t>(moved);
  }
  return true;
}

// --- The link ---

long ReferencePeer::set_baud_rate(const char* baud) {
  clock_.sleep_for(clock_.tick());
  std::string error;
  return line_->set_speed(std::atol(baud), error) ? PORT_OK : PORT_PARAMS_FAILED;
}

long ReferencePeer::send_data(const UBYTE* data, long len) {
  Bytes frame{kStx};
  frame.insert(frame.end(), data, data + len);
  frame.insert(frame.end(), {calc_LPC(data, len), kEtx});
  UBYTE answer = 0x66;
  if (!transfer_all(true, frame.data(), frame.size())) return LINK_SEND_TIMEOUT;
  if (transfer(false, &answer, 1) < 0) return LINK_TIMEOUT;
  return answer == kAck ? LINK_OK : LINK_NOT_ACKED;
}

long ReferencePeer::receive_data(UBYTE* data, long len) {
  Bytes frame(static_cast<std::size_t>(len) + 3, 0);
  if (!transfer_all(false, frame.data(), frame.size())) return LINK_TIMEOUT;
  std::copy(frame.begin() + 1, frame.begin() + 1 + len, data);
  data[len] = 0;
  return calc_LPC(data, len) == frame[len + 1] ? LINK_OK : LINK_CHECK_ERROR;
}

long ReferencePeer::send_ACK() {
  UBYTE byte = kAck;
  return transfer(true, &byte, 1) < 0 ? LINK_TIMEOUT : LINK_OK;
}

long ReferencePeer::send_NAK() {
  UBYTE byte = kNak;
  return transfer(true, &byte, 1) < 0 ? LINK_TIMEOUT : LINK_OK;
}

// --- Transfers ---

long ReferencePeer::send_file(const std::string& name) {
  const auto file = disk.files.find(name);
  if (file == disk.files.end()) return send_data(reinterpret_cast<const UBYTE*>("-"), 1), FILE_NO_LOCK;
  const Bytes content = file->second;
  const long blocks = static_cast<long>(content.size()) / kBlock, rest = static_cast<long>(content.size()) % kBlock;
  std::string wire_name = name;
  std::replace(wire_name.begin(), wire_name.end(), ' ', kSpaceSubstitute);
  UBYTE data[kBlock + 1] = {};
  std::snprintf(reinterpret_cast<char*>(data), sizeof data, "%s %ld %ld", wire_name.c_str(), blocks, rest);
  if (send_data(data, kHeader) != LINK_OK) return FILE_HEADER_NOT_ACKED;
  int retry = 0;
  for (long number = 1; number <= blocks + (rest != 0); ++number) {
    const long len = number <= blocks ? kBlock : rest;
    clock_.sleep_for(read_time(number));
    const UBYTE* block = content.data() + (number - 1) * kBlock;
    while (send_data(block, len) != LINK_OK) {
      if (retry == kFailuresSurvived) return FILE_TOO_MANY_FAILURES;
      ++retry;
    }
  }
  return FILE_OK;
}

long ReferencePeer::receive_file() {
  UBYTE data[kBlock + 1] = {};
  if (receive_data(data, kHeader) != LINK_OK) return send_NAK(), FILE_HEADER_DAMAGED;
  char name[1024] = {};
  int blocks = 0, rest = 0;
  if (std::sscanf(reinterpret_cast<const char*>(data), "%1023s %d %d", name, &blocks, &rest) < 3 || blocks < 0 ||
      rest < 0 || rest >= kBlock) {
    return send_NAK(), FILE_HEADER_BAD;
  }
  std::replace(name, name + std::strlen(name), kSpaceSubstitute, ' ');
  Bytes& file = disk.files[name];
  file.clear();
  send_ACK();
  int retry = 0;
  for (long number = 1; number <= blocks + (rest != 0); ++number) {
    const long len = number <= blocks ? kBlock : rest;
    while (receive_data(data, len) != LINK_OK) {
      if (retry == kFailuresSurvived) return send_NAK(), FILE_TOO_MANY_FAILURES;
      ++retry;
      if (number > blocks) send_NAK();  // a damaged block is not answered, a damaged short block is
    }
    clock_.sleep_for(write_time);
    file.insert(file.end(), data, data + len);
    send_ACK();
  }
  return FILE_OK;
}

long ReferencePeer::send_akt_dir() {
  const auto sent_in_two_tries = [&](const char* line) {
    return send_data(reinterpret_cast<const UBYTE*>(line), 45) == LINK_OK ||
           send_data(reinterpret_cast<const UBYTE*>(line), 45) == LINK_OK;
  };
  char line[46];
  for (const auto& [name, content] : disk.files) {
    std::snprintf(line, sizeof line, "FILE%-30.30s%10zu", name.c_str(), content.size());
    if (!sent_in_two_tries(line)) break;
  }
  std::snprintf(line, sizeof line, "END%42s", "");
  return sent_in_two_tries(line) ? 0 : 1;
}

long ReferencePeer::receive_akt_dir(std::vector<std::string>& names) {
  UBYTE frame[kListingLine + 1] = {};
  for (int failures = 0; failures < kListingFailures;) {
    const long got = receive_data(frame, kListingLine);
    if (got != LINK_TIMEOUT && std::memcmp(frame, "END", 3) == 0) {
      send_ACK();
      return got == LINK_OK ? DIR_OK : DIR_END_DAMAGED;
    }
    if (got != LINK_OK) {
      send_NAK(), ++failures;
      continue;
    }
    failures = 0;
    std::string name(reinterpret_cast<const char*>(frame) + 4, 30);
    name = name.substr(0, std::min(name.find('\0'), name.find_last_not_of(' ') + 1));
    names.push_back(name + (std::memcmp(frame, "DIR", 3) == 0 ? "/" : ""));
    send_ACK();
  }
  return DIR_END_DAMAGED;
}

// --- Identification ---

long ReferencePeer::identify(char mode) {
  UBYTE buffer[kIdentification + 1] = {};
  if (mode == 's') {
    while (receive_data(buffer, kIdentification) != LINK_OK) continue;
    send_ACK();
    peer_codes.assign(buffer, buffer + kIdentification);
    send_data(codes.data(), kIdentification);
    return LINK_OK;
  }
  const long sent = send_data(codes.data(), kIdentification);
  if (sent != LINK_OK) return sent;
  std::copy(codes.begin(), codes.end(), buffer);  // the own frame is still in the buffer
  const long got = receive_data(buffer, kIdentification);
  send_ACK();
  peer_codes.assign(buffer, buffer + kIdentification);
  return got;
}

// --- The service ---

void ReferencePeer::serve() { identify('s'), exec_commands(); }

void ReferencePeer::exec_commands() {
  UBYTE buffer[1024] = {};
  for (;;) {
    const long got = receive_data(buffer, kCommand);
    if (got != LINK_OK) {
      if (got != LINK_TIMEOUT) send_NAK();
      continue;
    }
    send_ACK();
    const std::string argument(reinterpret_cast<const char*>(buffer) + 1);
    switch (buffer[0]) {
      case 0x20: std::memcpy(buffer, "/", 2), send_data(buffer, kCommand); break;  // its one folder
      case 0x22: statuses.push_back(send_file(argument)); break;
      case 0x23: statuses.push_back(receive_file()); break;
      case 0x24: statuses.push_back(send_akt_dir()); break;
      case 0x25: return;
      case 0x26: set_baud_rate("9600"), identify('s'); break;
      case 0x29: statuses.push_back(set_baud_rate(argument.c_str())); break;
      default: send_NAK();
    }
  }
}

// --- The customer ---

long ReferencePeer::command(UBYTE code, const std::string& argument) {
  UBYTE payload[kCommand] = {code};
  std::memcpy(payload + 1, argument.data(), std::min<std::size_t>(argument.size(), kCommand - 1));
  return send_data(payload, kCommand);
}

// A command's exchange, once the command frame went through.
template <typename Exchange>
static long then(long sent, Exchange exchange) { return sent != LINK_OK ? sent : exchange(); }

long ReferencePeer::get(const std::string& name) { return then(command(0x22, name), [&] { return receive_file(); }); }
long ReferencePeer::put(const std::string& name) { return then(command(0x23), [&] { return send_file(name); }); }
long ReferencePeer::list(std::vector<std::string>& names) {
  return then(command(0x24), [&] { return receive_akt_dir(names); });
}

long ReferencePeer::cd(const std::string& dir) { return command(0x21, dir); }

long ReferencePeer::set_baud(long rate) {
  const std::string baud = std::to_string(rate);
  return then(command(0x29, baud), [&] { return set_baud_rate(baud.c_str()); });
}

long ReferencePeer::sign_off() { return then(command(0x26), [&] { return set_baud_rate("9600"); }); }

long ReferencePeer::terminate() { return command(0x25); }

// --- Lines and troubles ---

void reference_line(SimCable& cable, SimCable::Side ours, long baud) {
  if (baud > 0) cable.pace(baud);
  cable.follow_speeds();
  cable.output_queue(ours, false);
}

SimCable::Fault damage_after(Bytes marker) {
  return [marker = std::move(marker), matched = std::size_t{0}](std::size_t, std::uint8_t byte) mutable {
    if (matched > marker.size()) return Bytes{byte};
    if (matched == marker.size()) return ++matched, Bytes{static_cast<std::uint8_t>(byte ^ 0x20)};
    matched = byte == marker[matched] ? matched + 1 : byte == marker[0] ? 1 : 0;
    return Bytes{byte};
  };
}

namespace {

enum class Trouble { none, lost_ack, damaged_block, slow_disk };
const char* const kTroubleNames[] = {"clean", "lost ACK", "damaged block", "slow disk"};

// Sets `trouble` up for a transfer of `content` from the end at `sender`.
void arrange(Trouble trouble, SimCable& cable, SimCable::Side sender, ReferencePeer& reference, const Bytes& content) {
  const auto receiver = static_cast<SimCable::Side>(1 - sender);
  const Bytes first_block(content.begin(), content.begin() + std::min<long>(kBlock, static_cast<long>(content.size())));
  if (trouble == Trouble::lost_ack) {
    // The receiver's first byte once the sender has sent the whole block: its answer.
    cable.tamper(receiver, [&cable, sender, first_block, lost = false, answered = false](std::size_t,
                                                                                         std::uint8_t byte) mutable {
      const Bytes& sent = cable.sent_by(sender);
      lost = lost || std::search(sent.begin(), sent.end(), first_block.begin(), first_block.end()) != sent.end();
      return lost && !answered ? answered = true, Bytes{} : Bytes{byte};
    });
  } else if (trouble == Trouble::damaged_block) {
    cable.tamper(sender, damage_after(Bytes(first_block.begin(), first_block.begin() + 100)));
  } else if (trouble == Trouble::slow_disk) {
    reference.read_time = [](long) { return std::chrono::milliseconds(1500); };
    reference.write_time = std::chrono::milliseconds(1500);
  }
}

Bytes block_at(const Bytes& bytes, std::size_t at) {
  const auto end = static_cast<long>(std::min(at + kBlock, bytes.size()));
  return Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + end);
}

}  // namespace

// --- Verdicts ---

std::string figures(const TransferOutcome& outcome, const Bytes& content) {
  std::string blocks;
  for (std::size_t at = 0; at < outcome.received.size(); at += kBlock) {
    std::string number = "?";
    for (std::size_t from = 0; from < content.size() && number == "?"; from += kBlock) {
      if (block_at(outcome.received, at) == block_at(content, from)) number = std::to_string(from / kBlock + 1);
    }
    blocks += (blocks.empty() ? "" : " ") + number;
  }
  return "reference " + std::to_string(outcome.reference) + ", ours " + std::to_string(outcome.ours) + ", received " +
         (blocks.empty() ? "nothing" : blocks);
}

std::string verdict(const TransferOutcome& outcome, const Bytes& content) {
  const long reference = outcome.reference, ours = outcome.ours;
  if (reference != 0 && ours != 0) return "failed at both ends";
  const std::string where = reference == 0 && ours == 0 ? "both ends" : reference == 0 ? "the reference end" : "ours";
  if (outcome.received != content) return "WRONG FILE AS SUCCESS at " + where;
  return reference == 0 && ours == 0 ? "right file" : "success only at " + where;
}

void expect_sound_transfers(const TransferRunner& run) {
  const Bytes content = pattern_bytes(2 * kBlock + 500);
  for (const long baud : {9600L, 115200L}) {
    for (const bool ours_send : {true, false}) {
      for (const Trouble trouble : {Trouble::none, Trouble::lost_ack, Trouble::damaged_block, Trouble::slow_disk}) {
        const TransferOutcome out = run(content, baud, ours_send,
                                        [&](SimCable& cable, SimCable::Side sender, ReferencePeer& peer) {
                                          arrange(trouble, cable, sender, peer, content);
                                        });
        const std::string what = std::to_string(baud) + (ours_send ? " baud, ours sending, " : " baud, ours receiving, ") +
                                 kTroubleNames[static_cast<int>(trouble)] + ": " + figures(out, content);
        if (ours_send && trouble == Trouble::lost_ack) {
          // The line's own limit: a receiver without repeat detection stores the repeat as the next block.
          EXPECT_NE(out.received, content) << what;
          EXPECT_NE(out.ours, FILE_OK) << what;
        } else {
          EXPECT_EQ(verdict(out, content), "right file") << what;
        }
      }
    }
  }
}

}  // namespace quorvantix::testsupport
