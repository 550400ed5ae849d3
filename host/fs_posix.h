// What the two POSIX files of the file system (fs_posix.cpp and
// replacement_file_posix.cpp) share.
#pragma once

#include <string>

namespace quorvantix::host {

// "." or "..".
bool is_dot_or_dot_dot(const char* name);
// "/proc/self/fd/N": the name of the object of `fd` through /proc.
std::string proc_link(int fd);
// Removes the temporaries in `folder` that no live process holds.
void sweep_folder(int folder);

}  // namespace quorvantix::host
