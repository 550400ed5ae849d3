// The mount program: checks its command line, opens the line, reaches the
// service, mounts, and serves file operations until it is unmounted (or
// stopped by a signal); then it signs off and removes its private directory.
#pragma once

namespace quorvantix::mount {

// Exit status: 0 once mounted (in the foreground: once unmounted); 1 when the
// mount failed; 2 for a command line that cannot be used; 3 when the line
// could not be opened, no service answered or the speed could not be set.
constexpr int kExitOk = 0;
constexpr int kExitMountFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoLink = 3;

int mount_main(int argc, char** argv);

}  // namespace quorvantix::mount
