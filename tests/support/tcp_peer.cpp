#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>
#include <thread>

namespace testsupport {

using namespace std::chrono;

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

platform::UniqueFd try_connect(int port) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

platform::UniqueFd bound_listener(int& port) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("binding a loopback port failed");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

TcpPeer TcpPeer::connect(int port, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  for (;;) {
    if (auto fd = try_connect(port)) return TcpPeer(std::move(fd));
    if (steady_clock::now() >= deadline) throw std::runtime_error("nothing listens on the port");
    std::this_thread::sleep_for(milliseconds(10));
  }
}

bool TcpPeer::accepts_connection(int port) { return static_cast<bool>(try_connect(port)); }

void TcpPeer::send(const Bytes& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) throw std::runtime_error("sending to the service failed");
    done += static_cast<std::size_t>(sent);
  }
}

Bytes TcpPeer::receive(std::size_t count, milliseconds limit) const {
  Bytes got;
  const auto deadline = steady_clock::now() + limit;
  while (got.size() < count) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) break;
    pollfd in{fd_.get(), POLLIN, 0};
    if (poll(&in, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t chunk[4096];
    const ssize_t n = recv(fd_.get(), chunk, std::min(sizeof chunk, count - got.size()), 0);
    if (n <= 0) break;
    got.insert(got.end(), chunk, chunk + n);
  }
  return got;
}

TcpListener::TcpListener() {
  fd_ = bound_listener(port_);
  if (listen(fd_.get(), 4) != 0) throw std::runtime_error("listen failed");
}

TcpPeer TcpListener::accept(milliseconds limit) const {
  pollfd in{fd_.get(), POLLIN, 0};
  if (poll(&in, 1, static_cast<int>(limit.count())) <= 0) throw std::runtime_error("nobody connected");
  platform::UniqueFd peer(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!peer) throw std::runtime_error("accept failed");
  return TcpPeer(std::move(peer));
}

int unused_tcp_port() {
  int port = 0;
  bound_listener(port);
  return port;
}

}  // namespace testsupport
