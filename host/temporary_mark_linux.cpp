#include <sys/stat.h>
#include <sys/xattr.h>

#include "host/temporary_mark.h"

namespace quorvantix::host {

TemporaryMark mark_temporary(int fd) {
  constexpr char kValue[] = "1";
  if (fsetxattr(fd, kTemporaryAttribute, kValue, sizeof kValue - 1, 0) == 0) return TemporaryMark::attribute;
  return fchmod(fd, kTemporaryMode) == 0 ? TemporaryMark::mode : TemporaryMark::none;
}

bool carries_temporary_mark(int fd) {
  if (fgetxattr(fd, kTemporaryAttribute, nullptr, 0) >= 0) return true;
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == kTemporaryMode;
}

void unmark_temporary(int fd, TemporaryMark mark) {
  if (mark == TemporaryMark::attribute) fremovexattr(fd, kTemporaryAttribute);
}

}  // namespace quorvantix::host
