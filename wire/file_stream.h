// File transfers, both ends.
//
// File-transfer stream: a 60-byte header frame "%s %d %d" (the name with its
// spaces as 0xAE, whole 1024-byte blocks, the remainder), the block frames of
// 1024 bytes, and a short block of the remainder; each frame answered before the
// next goes out; the fifth failed frame of a transfer ends it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/file_system.h"
#include "wire/display.h"
#include "wire/link.h"
#include "wire/status.h"

namespace quorvantix::wire {

// The names below resolve in `tree` (host::FileSystem: the host's whole file
// system with the process's current directory, a tree confined to a directory
// that no name and no link leads out of, or one in memory).

// Sends the plain file `name` (relative to the tree's current directory, or
// with a path), announcing it under that name. `gad` shows progress, or is
// null. Fails with Status::too_many_failures, no_such_object (or not
// readable: the refusal frame went out), not_a_plain_file (or too large for
// the header: refusal frame), header_not_acked, open_failed (the object
// changed since it was examined) or read_failed (also when the file yields
// fewer bytes than announced). too_many_failures also when a new customer's
// identification came instead of an answer: it is left on the link for the
// command loop. Every wait is bounded by the link's time limit.
Result<> send_file(Link& link, const host::FileSystem& tree, const char* name, Gadget* gad);
// As send_file, but reads the local file `local` and announces it as
// `wire_name` in the header (spaces go out as 0xAE).
Result<> send_file_as(Link& link, const host::FileSystem& tree, const char* local, const char* wire_name, Gadget* gad);

// Receives one file under the name its header gives (0xAE back to spaces; a
// path is taken relative to the tree's current directory). The header is
// acknowledged only after the room check on the volume of the folder the file
// lands in and once the file can be written. Fails with Status::
// header_damaged, header_bad (also a negative block count or a rest outside 0
// to 1023), no_current_folder, no_volume_info, write_protected (also in a
// read-only tree), no_room, create_failed (also when the name leads into no
// folder), too_many_failures (also when the sender has gone and a new
// customer's identification came instead of a frame: it is left on the link
// for the command loop, and not answered) or write_failed. Every other
// failure has been answered with NAK. A failed transfer leaves no partial
// file, and a file of that name that existed before stays as it was. The file
// is stored by the rules of host::FileSystem::replace (mode, owner, links).
Result<> receive_file(Link& link, const host::FileSystem& tree, Gadget* gad);
// As receive_file, but stores the file as `target` whatever name the header
// gives, so that a peer cannot choose the path; with `target` null it is
// receive_file.
Result<> receive_file_to(Link& link, const host::FileSystem& tree, Gadget* gad, const char* target);

// Which way a name crosses the line.
enum class NameCoding {
  to_wire,    // every space becomes 0xAE
  from_wire,  // every 0xAE becomes a space
};
// Codes `name` in place; the length never changes.
void code_name(char* name, NameCoding coding);

}  // namespace quorvantix::wire
