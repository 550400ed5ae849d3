// Shared by every module: the records and the status codes. Every operation
// that can fail returns one of these codes, 0 for success; they are printed on
// the console and never sent to the peer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/result.h"

namespace quorvantix::wire {

using UBYTE = std::uint8_t;
using BOOL = std::int16_t;

// What one end of the link runs on, decoded from an identification frame.
struct ID {
  char os[20];
  char cpu[20];
  char os_ver[20];
  std::int32_t fn_len;
  std::int32_t ext_len;
};

// The two records of an identification exchange, as one end holds them:
// `service` the serving end, `customer` the other.
struct Identities {
  ID service{};
  ID customer{};
};

// --- How an operation fails ---

// One value per way an operation of the link, the port, a transfer or a
// listing can fail. Success is no Status: it is a Result that is ok().
enum class Status {
  port_open_failed,          // the device or unit cannot be opened
  port_params_failed,        // the line cannot take the speed or settings
  frame_damaged,             // a frame's check byte (or its STX/ETX) is wrong
  frame_not_acked,           // our frame was answered with anything but ACK
  send_timed_out,            // our frame did not leave within the time limit
  timed_out,                 // nothing (or not enough) came within the time limit
  header_damaged,            // a file header came damaged
  header_bad,                // a file header that makes no sense
  header_not_acked,          // our file header was refused
  no_current_folder,         // the current folder has gone
  no_memory,                 // memory for the file ran short
  no_volume_info,            // the volume of the folder cannot be examined
  write_protected,           // the folder or the tree is read-only
  no_room,                   // the volume has no room for the file
  create_failed,             // the file cannot be created
  too_many_failures,         // the fifth failed frame of a transfer
  write_failed,              // the file cannot be written
  no_such_object,            // no such file, or not readable
  not_a_plain_file,          // no plain file, or too large for a header
  open_failed,               // the file changed since it was examined
  read_failed,               // the file cannot be read, or yields too little
  no_such_folder,            // a folder to change to cannot be locked, or is none
  listing_end_not_acked,     // the end of our listing was not acknowledged
  listing_end_damaged,       // a listing's end came damaged, or not at all
  listing_no_memory,         // a listing came longer than the caller takes
  listing_unreadable,        // the folder to list cannot be read
};

// A failure: what kind, and the reason, naming the object and the cause.
struct Error {
  Status status;
  std::string reason;
};

template <class T = void>
using Result = host::Result<T, Error>;

inline host::Failure<Error> fail(Status status, std::string reason) {
  return host::Failure<Error>{Error{status, std::move(reason)}};
}

// --- Status codes ---
constexpr long LINK_OK = 0;
constexpr long PORT_OK = 0;
constexpr long FILE_OK = 0;
constexpr long DIR_OK = 0;
constexpr long PORT_PARAMS_FAILED = 1;
constexpr long DIR_END_NOT_ACKED = 1;
constexpr long DIR_END_DAMAGED = 1;
constexpr long LINK_CHECK_ERROR = 2;
constexpr long LINK_NOT_ACKED = 3;
constexpr long PORT_NO_REPLY_PORT = 4;
constexpr long PORT_NO_REQUEST = 5;
constexpr long PORT_OPEN_FAILED = 6;
constexpr long FILE_HEADER_DAMAGED = 7;
constexpr long FILE_NO_DIR_LOCK = 8;
constexpr long FILE_NO_MEMORY = 9;
constexpr long DIR_NO_MEMORY = 9;
constexpr long FILE_NO_INFO = 10;
constexpr long FILE_WRITE_PROTECTED = 11;
constexpr long FILE_NO_ROOM = 12;
constexpr long FILE_CREATE_FAILED = 13;
constexpr long FILE_TOO_MANY_FAILURES = 14;
constexpr long FILE_WRITE_FAILED = 15;
constexpr long FILE_NO_LOCK = 16;
constexpr long FILE_NO_EXAMINE = 17;
constexpr long DIR_NO_SCAN = 17;
constexpr long FILE_HEADER_NOT_ACKED = 18;
constexpr long FILE_OPEN_FAILED = 19;
constexpr long FILE_READ_FAILED = 20;
constexpr long FILE_HEADER_BAD = 21;
constexpr long LINK_SEND_TIMEOUT = 22;
constexpr long LINK_TIMEOUT = 23;

inline constexpr char version[] = "$VER: Quorvantix 11.00 (07.06.26)";  // the version text

}  // namespace quorvantix::wire
