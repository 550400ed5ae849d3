// Shared by every module: the records, the entries of a listing, and how an
// operation fails (a Status and its reason; the console's numbers for them
// are made at the edge, and never sent to the peer).
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

// One entry of a listing, the service's or this end's.
enum class EntryType { file, folder };
struct Entry {
  EntryType type = EntryType::file;
  std::string name;        // whole, or as the service's listing gave it (trailing spaces cut unless `cut`)
  std::int64_t size = -1;  // in bytes; -1 when the listing gave none
  bool cut = false;        // the listing carried only the start of a longer name
  bool is_folder() const { return type == EntryType::folder; }
  bool operator==(const Entry&) const = default;
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

inline constexpr char version[] = "$VER: Quorvantix 11.00 (07.06.26)";  // the version text

}  // namespace quorvantix::wire
