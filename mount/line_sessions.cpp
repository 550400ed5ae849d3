#include "mount/line_sessions.h"

#include <signal.h>

#include "session/doctor.h"

namespace quorvantix::mount {

using namespace quorvantix::wire;
using namespace quorvantix::session;
using session::Result;

namespace {

// Half a second between tries to open a line that has gone, as the service waits for its own.
constexpr int kTicksBetweenOpenTries = 25;

}  // namespace

struct LineSessions::Connection {
  Connection(host::Clock& clock, lines::LineOpener opener) : link(clock, std::move(opener)) {}
  Link link;
  session::Session session{link};
};

LineSessions::LineSessions(host::Clock& clock, LineSettings settings, std::function<void(const std::string&)> say,
                           lines::LineOpener opener)
    : clock_(clock), settings_(std::move(settings)), say_(std::move(say)), opener_(std::move(opener)) {}

LineSessions::~LineSessions() { finish(); }

// Opens the line where it is closed or gone, and identifies with the service.
bool LineSessions::connect(Connection& connection, std::string& error) {
  session::Session& session = connection.session;
  if (connection.link.lost()) {
    session.close_line();
    if (const Result<> opened = session.open_line(settings_.device, settings_.unit); !opened) {
      error = "cannot open the line: " + opened.error().reason;
      return false;
    }
  }
  session.use_charset(settings_.charset);
  if (const Result<> reached = session.reach_service(); !reached) {
    error = "no service answers (" + reached.error().reason + ")";
    return false;
  }
  if (settings_.baud == 0) return true;
  if (settings_.baud == session::kFastestSpeedHeld) {
    const session::SpeedSearch search = session::find_fastest_speed(session);
    if (search.settled != 0) return true;
    error = "no speed holds: " + search.far_end;
    return false;
  }
  const Result<> switched = session.remote_set_baud(settings_.baud);
  if (switched) return true;
  error = "cannot switch the line to " + std::to_string(settings_.baud) + " baud: " + switched.error().reason;
  // The service is back at 9600 baud for whoever comes next.
  if (!session.lost()) (void)session.sign_off();
  return false;
}

bool LineSessions::start(std::string& error) {
  auto connection = std::make_unique<Connection>(clock_, opener_);
  if (!connect(*connection, error)) return false;
  active_ = std::move(connection);
  active_link_ = &active_->link;
  // Stop signals go to the thread that serves the mount, never to the seeker.
  sigset_t stops, previous;
  sigemptyset(&stops);
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, number);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  seeker_ = std::thread([this] { seek(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

session::Session* LineSessions::session() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return active_ ? &active_->session : nullptr;
}

void LineSessions::give_up() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!active_) return;
  active_link_ = nullptr;
  lost_ = std::move(active_);
  wake_.notify_all();
}

void LineSessions::seek() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || lost_ != nullptr; });
    if (finishing_) return;
    std::unique_ptr<Connection> connection = std::move(lost_);
    seeking_link_ = &connection->link;
    lock.unlock();
    if (say_) say_("the service does not answer any more; seeking it again");
    std::string error;
    while (!connection->link.cancelled() && !connect(*connection, error)) {
      connection->link.delay_ticks(kTicksBetweenOpenTries);
    }
    lock.lock();
    seeking_link_ = nullptr;
    if (finishing_) return;  // the connection goes, and its line with it
    if (say_) say_("the service answers again");
    active_ = std::move(connection);
    active_link_ = &active_->link;
  }
}

void LineSessions::finish() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
    if (Link* seeking = seeking_link_.load()) seeking->cancel();
  }
  wake_.notify_all();
  if (seeker_.joinable()) seeker_.join();
  active_link_ = nullptr;
  if (!active_) return;
  active_->link.clear_cancel();
  if (!active_->session.lost()) (void)active_->session.sign_off();
  active_->session.close_line();
  active_.reset();
}

void LineSessions::cancel() noexcept {
  if (Link* active = active_link_.load()) active->cancel();
}

}  // namespace quorvantix::mount
