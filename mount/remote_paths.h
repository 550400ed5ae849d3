// Paths on the service as the mount keeps them: the names of their folders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvantix::mount {

using Folder = std::vector<std::string>;

// The names of the folders of `path` ("/a/b" gives a and b).
Folder parts_of(const std::string& path);
// The path of `parts`, as the listings are kept by ("/a/b"; "/" for none).
std::string key_of(const Folder& parts);
// The folder that holds `parts`.
Folder parent_of(Folder parts);
// The size of a file of this machine; 0 when it cannot be had.
std::int64_t size_of_file(int fd);
std::int64_t size_of_file(const std::string& path);

}  // namespace quorvantix::mount
