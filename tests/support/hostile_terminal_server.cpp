#include "tests/support/hostile_terminal_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

#include "lines/telnet_com_port.h"

namespace quorvantix::testsupport {

using namespace quorvantix::wire;

using namespace lines::telnet;

namespace {

// What `fd` sends within `wait_ms`; empty when it sent nothing or has gone.
Bytes receive_within(int fd, int wait_ms) {
  std::uint8_t chunk[4096];
  pollfd in{fd, POLLIN, 0};
  if (poll(&in, 1, wait_ms) <= 0) return {};
  const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
  return got > 0 ? Bytes(chunk, chunk + got) : Bytes{};
}

// The client's COM-PORT-OPTION requests in `heard`, each answered with the value it asked for.
Bytes answers_to(const Bytes& heard) {
  Bytes answers;
  for (std::size_t at = 0; at + 4 < heard.size(); ++at) {
    if (heard[at] != IAC || heard[at + 1] != SB || heard[at + 2] != kComPortOption) continue;
    std::size_t end = at + 3;
    while (end + 1 < heard.size() && !(heard[end] == IAC && heard[end + 1] == SE)) end += heard[end] == IAC ? 2 : 1;
    const auto code = static_cast<std::uint8_t>(heard[at + 3] + kServerCodeOffset);
    answers.insert(answers.end(), {IAC, SB, kComPortOption, code});
    answers.insert(answers.end(), heard.begin() + static_cast<std::ptrdiff_t>(at + 4),
                   heard.begin() + static_cast<std::ptrdiff_t>(end));
    answers.insert(answers.end(), {IAC, SE});
    at = end;
  }
  return answers;
}

}  // namespace

HostileTerminalServer::HostileTerminalServer(Script script) : script_(std::move(script)) {
  listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_.get(), 8) != 0 ||
      getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("hostile terminal server: no port to listen on");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_connections(); });
}

HostileTerminalServer::~HostileTerminalServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& script : scripts_) script.join();
}

void HostileTerminalServer::accept_connections() {
  while (!stopping_) {
    pollfd in{listener_.get(), POLLIN, 0};
    if (poll(&in, 1, 20) <= 0) continue;
    const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    scripts_.emplace_back([this, fd] {
      const host::UniqueFd connection(fd);
      script_(fd, stopping_);
    });
  }
}

void HostileTerminalServer::agree(int fd) {
  const Bytes agreement{IAC, DO, kComPortOption, IAC, DO, kBinaryOption, IAC, WILL, kBinaryOption};
  send(fd, agreement.data(), agreement.size(), MSG_NOSIGNAL);
  for (Bytes heard = receive_within(fd, 2000); !heard.empty(); heard = receive_within(fd, 300)) {
    const Bytes answers = answers_to(heard);
    send(fd, answers.data(), answers.size(), MSG_NOSIGNAL);
  }
}

void HostileTerminalServer::flood(int fd, const Bytes& pattern, const std::atomic<bool>& stopping) {
  Bytes burst;
  while (burst.size() < 60000) burst.insert(burst.end(), pattern.begin(), pattern.end());
  for (pollfd out{fd, POLLOUT, 0}; !stopping;) {
    if (poll(&out, 1, 20) <= 0) continue;
    if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
  }
}

}  // namespace quorvantix::testsupport
