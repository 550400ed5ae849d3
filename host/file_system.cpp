#include "host/file_system.h"

#include <utility>

namespace quorvantix::host {

void FileSystem::set_wire_names(NameCodec names, NameReport report) {
  names_ = std::move(names);
  report_ = std::move(report);
}

std::string FileSystem::wire_form(const std::string& host_name) const {
  std::string wire;
  if (names_.to_wire(host_name, wire) || !report_) return wire;
  std::string sent_as;
  names_.to_host(wire, sent_as);
  report_(host_name, sent_as);
  return wire;
}

}  // namespace quorvantix::host
