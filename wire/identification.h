// The identification exchange.
//
// Identification frame: a link frame with 3 payload bytes, OS code, CPU code
// and version code (high nibble major, low nibble minor). The customer sends
// first; the service answers with its own.
#pragma once

#include <cstddef>

#include "wire/link.h"
#include "wire/status.h"

namespace quorvantix::wire {

// Which end runs the identification exchange.
enum class Side { service, customer };

// Runs the identification exchange on `link`. Side::service:
// waits without limit for the customer's frame, then answer_identification;
// ok whatever the customer makes of the answer, or Status::timed_out when the
// line is lost while it waits (Link::lost) or the link is cancelled.
// Side::customer: sends the own frame (into `ids.customer`), receives the
// service's into `ids.service`; ok, or the failing frame's error with
// `ids.service` left untouched.
Result<> identify(Link& link, Side side, Identities& ids);
// The service's answer to an intact identification frame (its 3 payload
// bytes): ACK, `ids.customer` decoded from it, `ids.service` from the own
// frame, and the own frame sent once.
void answer_identification(Link& link, const UBYTE* customer_frame, Identities& ids);
// Whether the six bytes at `wire` are a whole identification frame (STX,
// three codes, their check byte, ETX) naming an operating system that the
// code tables know.
bool is_identification_frame(const UBYTE* wire);
// Whether six bytes that came where a longer frame was expected are a lone
// identification: a whole identification frame after which the line stays
// quiet for a frame gap, as its sender waits for the answer. A customer that
// comes anew while the last one's exchange is unfinished sends it.
bool lone_identification(Link& link, const UBYTE* wire);
// Decodes the 3 bytes at `buffer` into `id_ptr`: os, cpu and os_ver only.
void get_sys_data(ID* id_ptr, const UBYTE* buffer);
// The own frame's three codes, as this host reports itself.
void build_own_frame(UBYTE* buffer);

// Version code from the operating system's library version; 0x00 when unknown.
UBYTE version_code_from_lib_version(int lib_version);


}  // namespace quorvantix::wire
