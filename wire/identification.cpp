#include "wire/identification.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "host/system_info.h"
#include "wire/link.h"

namespace quorvantix::wire {

namespace {

constexpr UBYTE kOsAmiga = 31;
constexpr long kFrameBytes = kIdentificationBytes;

struct CodeName {
  UBYTE code;
  const char* name;
};

constexpr CodeName kOsNames[] = {
    {31, "AmigaOS"}, {32, "MS-DOS"}, {33, "PC-DOS"}, {34, "DR-DOS"}, {35, "Novell-DOS"},
};

constexpr CodeName kCpuNames[] = {
    {31, "68000"},  {32, "68010"},   {33, "68020"},   {34, "68030"},       {35, "68040"},
    {39, "68060"},  {40, "PPC603"},  {41, "PPC604"},  {42, "PPC750"},      {43, "PPC7400"},
    {44, "ALTIVEC"}, {45, "AMCC PPC4xx"}, {46, "PASemi"}, {47, "x86"},
};

struct VersionCode {
  int lib_version;
  UBYTE code;
};

constexpr VersionCode kVersionCodes[] = {
    {33, 0x12}, {34, 0x13}, {36, 0x20}, {37, 0x20}, {38, 0x21}, {39, 0x30},
    {40, 0x31}, {45, 0x39}, {50, 0x40}, {53, 0x41}, {54, 0x41},
};

template <std::size_t N>
const char* name_of(const CodeName (&table)[N], UBYTE code) {
  for (const auto& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return "Unknown";
}

// Writes the text and its NUL only; what follows the NUL stays as it was.
void put_text(char* field, const char* text) { std::memcpy(field, text, std::strlen(text) + 1); }

// Sends this end's identification frame, and decodes it into `own` for the
// console.
Result<> send_own_frame(Link& link, ID& own) {
  UBYTE buffer[kFrameBytes + 1] = {};
  build_own_frame(buffer);
  get_sys_data(&own, buffer);
  return send_data(link, reinterpret_cast<const char*>(buffer), kFrameBytes);
}

Result<> identify_as_service(Link& link, Identities& ids) {
  UBYTE buffer[kFrameBytes + 3] = {};
  for (;;) {
    Result<> result = receive_data(link, buffer, kFrameBytes);
    if (result) break;
    // Nobody identifies over a line that has gone: the caller opens it again.
    // A cancelled link ends the wait too.
    if (result.error().status == Status::timed_out && (link.lost() || link.cancelled())) return result;
  }
  answer_identification(link, buffer, ids);
  return {};
}

Result<> identify_as_customer(Link& link, Identities& ids) {
  if (Result<> sent = send_own_frame(link, ids.customer); !sent) return sent;
  UBYTE answer[kFrameBytes + 3] = {};
  Result<> result = receive_data(link, answer, kFrameBytes);
  // A damaged or missing answer is refused rather than decoded: the caller
  // learns that the exchange failed, and `service` keeps what it held. Only a
  // frame that arrived whole has a sender waiting for its answer; after a
  // time-out the service has stopped waiting, and a late byte would become the
  // first byte of the next command frame.
  if (!result) {
    if (result.error().status == Status::frame_damaged) send_NAK(link);
    return result;
  }
  send_ACK(link);
  get_sys_data(&ids.service, answer);
  return {};
}

}  // namespace

Result<> identify(Link& link, Side side, Identities& ids) {
  return side == Side::service ? identify_as_service(link, ids) : identify_as_customer(link, ids);
}

void answer_identification(Link& link, const UBYTE* customer_frame, Identities& ids) {
  send_ACK(link);
  get_sys_data(&ids.customer, customer_frame);
  // Sent once: a customer that does not take it identifies again, and the
  // command loop answers that too.
  (void)send_own_frame(link, ids.service);
}

bool is_identification_frame(const UBYTE* wire) {
  UBYTE codes[kIdentificationBytes + 1] = {};
  bool framed = false;
  const bool known_system = std::any_of(std::begin(kOsNames), std::end(kOsNames),
                                        [&](const CodeName& entry) { return entry.code == wire[1]; });
  return unpack_frame(wire, codes, kIdentificationBytes, framed).ok() && framed && known_system;
}

bool lone_identification(Link& link, const UBYTE* wire) {
  return is_identification_frame(wire) && !link.first_byte_within(frame_gap(link));
}

void get_sys_data(ID* id_ptr, const UBYTE* buffer) {
  put_text(id_ptr->os, name_of(kOsNames, buffer[0]));
  put_text(id_ptr->cpu, name_of(kCpuNames, buffer[1]));
  const char os_ver[4] = {static_cast<char>('0' + (buffer[2] >> 4)), '.',
                          static_cast<char>('0' + (buffer[2] & 0x0F)), '\0'};
  put_text(id_ptr->os_ver, os_ver);
}

UBYTE version_code_from_lib_version(int lib_version) {
  for (const auto& entry : kVersionCodes) {
    if (entry.lib_version == lib_version) return entry.code;
  }
  return 0x00;
}

void build_own_frame(UBYTE* buffer) {
  buffer[0] = kOsAmiga;
  buffer[1] = host::host_cpu_code();
  buffer[2] = version_code_from_lib_version(host::host_lib_version());
}

}  // namespace quorvantix::wire
