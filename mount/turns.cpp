#include "mount/turns.h"

namespace quorvantix::mount {

Turns::Whole::Whole(Turns& turns) : turns_(turns) {
  turns_.line_.lock();
  turns_.line_holder_ = std::this_thread::get_id();
  turns_.state_.lock();
}

Turns::Whole::~Whole() {
  turns_.state_.unlock();
  turns_.line_holder_ = std::thread::id{};
  turns_.line_.unlock();
}

Turns::StateAway::StateAway(Turns* turns)
    : turns_(turns != nullptr && turns->line_holder_ == std::this_thread::get_id() ? turns : nullptr) {
  if (turns_ != nullptr) turns_->state_.unlock();
}

Turns::StateAway::~StateAway() {
  if (turns_ != nullptr) turns_->state_.lock();
}

}  // namespace quorvantix::mount
