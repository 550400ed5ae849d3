#include "tests/support/hostile_service.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/running.h"
#include "wire/identification.h"

namespace quorvantix::testsupport {

using namespace quorvantix::wire;

std::string listing_line(const std::string& type, const std::string& name, const std::string& size) {
  char line[256];
  std::snprintf(line, sizeof line, "%s%-30s%10s", type.c_str(), name.c_str(), size.c_str());
  std::string payload(line);
  payload.resize(kListingLineBytes, '\0');
  return payload;
}

std::string file_line(const std::string& name, std::int64_t size) {
  return listing_line("FILE", name, std::to_string(size));
}

std::string folder_line(const std::string& name) { return listing_line("DIR ", name, "0"); }

bool HostileService::send_frame(const std::string& payload) {
  return send_data(link_, payload.data(), static_cast<long>(payload.size())).ok();
}

bool HostileService::send_end_marker() { return send_frame("END" + std::string(kListingLineBytes - 3, ' ')); }

bool HostileService::send_refusal() { return send_frame("-"); }

void HostileService::send_many_files(long count) {
  for (long i = 0; i < count; ++i) {
    const std::string line = file_line("f" + std::to_string(i), i);
    if (!send_frame(line) && !send_frame(line)) break;
  }
  if (!send_end_marker()) send_end_marker();
}

void HostileService::flood(const std::string& header, long frames) {
  std::string payload = header;
  payload.resize(kHeaderBytes, '\0');
  send_frame(payload);
  const Bytes block = frame_of(std::string(kBlockBytes, 'x'));
  for (long i = 0; i < frames && !link_.lost() && !link_.cancelled(); ++i) {
    write_bytes(link_, block.data(), static_cast<std::uint32_t>(block.size()));
    // At the line's speed where the line itself sets no pace (a socket).
    link_.delay_ticks(static_cast<int>((link_.sent_until() - link_.now()) / link_.tick()));
  }
}

namespace {

// A frame sent until it is acknowledged, at most five times.
bool send_until_acknowledged(Link& link, const char* data, long length) {
  for (int failures = 0; failures < kFailuresEndingATransfer; ++failures)
    if (send_data(link, data, length)) return true;
  return false;
}

}  // namespace

bool HostileService::send_file(const std::string& name, const File& file) {
  const auto size = static_cast<long>(file.content.size());
  std::string header = file.header;
  if (header.empty()) {
    std::string wire_name = name;
    std::replace(wire_name.begin(), wire_name.end(), ' ', static_cast<char>(kSpaceSubstitute));
    header = wire_name + " " + std::to_string(size / kBlockBytes) + " " + std::to_string(size % kBlockBytes);
  }
  header.resize(kHeaderBytes, '\0');
  if (!send_frame(header)) return false;
  const auto* bytes = reinterpret_cast<const char*>(file.content.data());
  for (long at = 0; at + kBlockBytes <= size; at += kBlockBytes)
    if (!send_until_acknowledged(link_, bytes + at, kBlockBytes)) return false;
  const std::string extra(kBlockBytes, static_cast<char>(file.fill));
  for (long block = 0; block < file.extra_blocks; ++block)
    if (link_.cancelled() || !send_until_acknowledged(link_, extra.data(), kBlockBytes)) return false;
  if (size % kBlockBytes != 0 && !send_until_acknowledged(link_, bytes + size - size % kBlockBytes, size % kBlockBytes))
    return false;
  return true;
}

void HostileService::serve() {
  while (identified()) {
    UBYTE buffer[kMaxPayload + 1] = {};
    for (;;) {
      const Result<> got = receive_data(link_, buffer, kCommandFrameBytes);
      if (link_.cancelled() || link_.lost()) return;
      if (!got && got.error().status == Status::timed_out) continue;
      if (!got) {
        send_NAK(link_);
        continue;
      }
      send_ACK(link_);
      const std::uint8_t code = buffer[0];
      if (code == cmd_terminate) return commands.push_back("end");
      run_command(code, reinterpret_cast<const char*>(buffer) + 1);
      if (code == cmd_customer_terminate) break;
    }
  }
}

bool HostileService::identified() {
  Identities ids;
  return identify(link_, Side::service, ids).ok();
}

void HostileService::run_command(std::uint8_t code, const std::string& argument) {
  switch (code) {
    case cmd_get_akt_dir: return commands.push_back("pwd"), send_folder_name();
    case cmd_set_akt_dir: return commands.push_back("cd " + argument), change_folder(argument);
    case cmd_send_file:
      commands.push_back("get " + argument);
      if (on_get) return on_get(*this, argument);
      if (const auto file = files.find(argument); file != files.end()) return void(send_file(argument, file->second));
      return void(send_refusal());
    case cmd_receive_file: return commands.push_back("put"), receive_and_drop_file();
    case cmd_send_akt_dir: return commands.push_back("ls"), on_list ? on_list(*this) : list();
    case cmd_customer_terminate: return commands.push_back("bye"), void(set_baud_rate(link_, kStartBaud));
    case cmd_set_baud_rate: return commands.push_back("baud " + argument), void(set_baud_rate(link_, std::atol(argument.c_str())));
    default: send_NAK(link_);
  }
}

void HostileService::send_folder_name() {
  std::string payload = folder;
  payload.resize(kCommandFrameBytes, '\0');
  send_frame(payload);
}

void HostileService::change_folder(const std::string& dir) {
  std::string path;
  if (dir.starts_with("/")) {
    path = dir;
  } else if (dir == "..") {
    path = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1));
  } else {
    path = folder == "/" ? "/" + dir : folder + "/" + dir;
  }
  if (const auto link = links.find(path); link != links.end()) path = link->second;
  folder = path;
}

void HostileService::list() {
  if (const auto lines = listings.find(folder); lines != listings.end())
    for (const std::string& line : lines->second)
      if (!send_frame(line) && !send_frame(line)) break;
  if (!send_end_marker()) send_end_marker();
}

void HostileService::receive_and_drop_file() {
  UBYTE buffer[kMaxPayload + 1] = {};
  if (!receive_data(link_, buffer, kHeaderBytes)) return void(send_NAK(link_));
  long blocks = 0, rest = 0;
  char name[kHeaderBytes + 1] = {};
  if (std::sscanf(reinterpret_cast<const char*>(buffer), "%60s %ld %ld", name, &blocks, &rest) != 3)
    return void(send_NAK(link_));
  send_ACK(link_);
  for (int failures = 0; blocks > 0 || rest > 0;) {
    const long length = blocks > 0 ? kBlockBytes : rest;
    if (receive_data(link_, buffer, length)) {
      send_ACK(link_);
      if (blocks > 0) --blocks;
      else rest = 0;
    } else if (++failures == kFailuresEndingATransfer || link_.cancelled()) {
      return;
    }
  }
}

HostileOnTcp::HostileOnTcp() {
  const std::string port = std::to_string(free_tcp_port());
  line = "tcp:127.0.0.1:" + port;
  if (const Result<> opened = allocport(link, 0, ("tcp-listen:127.0.0.1:" + port).c_str()); !opened)
    throw std::runtime_error("hostile service: " + opened.error().reason);
}

void HostileOnTcp::start() {
  serving = std::thread([this] { service.serve(); });
}

HostileOnTcp::~HostileOnTcp() {
  link.cancel();
  if (serving.joinable()) serving.join();
  freeport(link, 0);
}

}  // namespace quorvantix::testsupport
