// The mount's session with the service over the host's line. It is opened and
// identified before the mount is in place; when it is lost (the line went, or
// the service stopped answering), a thread of its own seeks it again as the
// customer reaches a service (at 9600 baud, and then at the speed of -o baud
// again), for as long as it takes, while the mount's operations fail with EIO
// at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/charset.h"
#include "host/clock.h"
#include "lines/serial_line.h"
#include "mount/remote_files.h"

namespace quorvantix::mount {

struct LineSettings {
  std::string device;
  long unit = 0;
  long baud = 0;  // 0: stay at 9600 baud
  std::string charset = host::kDefaultWireCharset;  // the character set of names on the line
};

class LineSessions final : public SessionSource {
 public:
  // `clock` must outlive it. `say` hears when the session is lost and found
  // again; it is called from the seeking thread.
  LineSessions(host::Clock& clock, LineSettings settings, std::function<void(const std::string&)> say = {},
               lines::LineOpener opener = lines::open_host_line);
  ~LineSessions() override;  // finish()
  LineSessions(const LineSessions&) = delete;
  LineSessions& operator=(const LineSessions&) = delete;

  // Opens the line, reaches the service and sets the speed, in the calling
  // thread. False, with the cause in `error`, when one of them failed. From
  // here on the seeking thread runs.
  bool start(std::string& error);
  session::Session* session() override;
  void give_up() override;
  // Stops seeking, signs the session off (the service goes back to 9600 baud
  // and waits for its next customer) and closes the line.
  void finish();
  // Ends the transfer in flight at its next poll. Safe in a signal handler.
  void cancel() noexcept;

 private:
  struct Connection;
  bool connect(Connection& connection, std::string& error);
  void seek();

  host::Clock& clock_;
  LineSettings settings_;
  std::function<void(const std::string&)> say_;
  lines::LineOpener opener_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unique_ptr<Connection> active_;  // what session() hands out
  std::unique_ptr<Connection> lost_;    // given up, for the seeking thread
  std::atomic<wire::Link*> active_link_{nullptr};
  std::atomic<wire::Link*> seeking_link_{nullptr};
  bool finishing_ = false;
  std::thread seeker_;
};

}  // namespace quorvantix::mount
