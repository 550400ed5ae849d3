// How a line that listens for TCP peers (tcp-listen) chooses among the peers
// that connect, and how long it keeps them.
//
// Every peer that connects is taken at once and watched with the others that
// wait; a peer outside `allowed` is closed at once. The line goes to the first
// peer whose greeting has arrived whole: `greeting.bytes` bytes in a row that
// `greeting.matches` takes, wherever they stand in what the peer sent. The
// greeting and what followed it are read from the line as they came; what
// came before it is dropped. Until then nothing a peer sends reaches the line.
// A peer that has not greeted within `idle_limit` of connecting (or of
// giving the line back, between_customers) is closed, whether or not others
// wait; so is the peer that has the line once it has sent nothing for
// `idle_limit`, and the line is then lost, as when its peer leaves: it goes
// to nobody until it is taken up again (Line::take_next_peer), and then to
// the first that greeted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lines/net_address.h"

namespace quorvantix::lines {

// The protocol's word for what a customer sends first; the line knows no frames.
struct Greeting {
  std::size_t bytes = 0;
  // Looks at `bytes` bytes. Empty: every peer greets the moment it connects.
  std::function<bool(const std::uint8_t* window)> matches;
};

struct ListenRules {
  Greeting greeting;
  std::vector<AddressRange> allowed;       // who may connect; empty: every peer
  std::chrono::nanoseconds idle_limit{0};  // 0: peers are kept however long they are silent
  // Told of every peer refused or closed by these rules, in a sentence.
  std::function<void(const std::string& event)> report;
};

}  // namespace quorvantix::lines
