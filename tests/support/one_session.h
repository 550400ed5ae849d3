// The mount's source of sessions in the tests: the one session there is,
// until it is given up.
#pragma once

#include "mount/remote_files.h"
#include "session/session.h"

namespace quorvantix::testsupport {

struct OneSession final : mount::SessionSource {
  explicit OneSession(session::Session& first) : current(&first) {}
  session::Session* session() override { return current; }
  void give_up() override { current = nullptr, ++given_up; }
  session::Session* current;
  int given_up = 0;
};

}  // namespace quorvantix::testsupport
