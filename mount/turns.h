// The two locks of the mount's operations. One that may need the line holds
// the line's turn and then the state (what RemoteFiles keeps: listings,
// copies, open files) for its whole span, but lets the state go while a
// listing or a file crosses the line. Meanwhile an operation that the kept
// state can answer (an attribute, a listing) takes the state alone and is
// answered at once, instead of waiting for a transfer of many seconds.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace quorvantix::mount {

class Turns {
 public:
  // The line's turn, then the state; given back in the other order.
  class Whole {
   public:
    explicit Whole(Turns& turns);
    ~Whole();
    Whole(const Whole&) = delete;
    Whole& operator=(const Whole&) = delete;

   private:
    Turns& turns_;
  };

  // Lets the state go for the span of an exchange on the line, when the
  // calling thread holds the line's turn; does nothing for any other caller.
  class StateAway {
   public:
    explicit StateAway(Turns* turns);
    ~StateAway();
    StateAway(const StateAway&) = delete;
    StateAway& operator=(const StateAway&) = delete;

   private:
    Turns* turns_;
  };

  // The state alone, for answers that never wait for the line.
  std::unique_lock<std::mutex> state() { return std::unique_lock<std::mutex>(state_); }

 private:
  std::mutex line_;
  std::mutex state_;
  std::atomic<std::thread::id> line_holder_{};
};

}  // namespace quorvantix::mount
