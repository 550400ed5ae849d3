#include "mount/errno_of.h"

#include <cerrno>

namespace quorvantix::mount {

using session::Kind;
using wire::Status;

int errno_of(const session::Error& error) {
  switch (error.kind) {
    case Kind::wire:
      // A header refused, damaged or no header at all: the service cannot
      // read the file, has none of that name, or will not store it.
      if (error.is(Status::header_damaged) || error.is(Status::header_bad) || error.is(Status::header_not_acked)) {
        return -EACCES;
      }
      return error.is(Status::no_room) ? -ENOSPC : -EIO;
    case Kind::name_too_long: return -ENAMETOOLONG;
    case Kind::name_unusable: return -EINVAL;
    case Kind::local_too_large:
    case Kind::listing_too_long: return -EFBIG;
    case Kind::interrupted: return -EINTR;
    case Kind::remote_dir_unchanged: return -ENOENT;
    default: return -EIO;
  }
}

}  // namespace quorvantix::mount
