// This end's own files and shell, for lcd, lls, lmkdir and !: host code that
// the service's side never needs.
#pragma once

#include <string>
#include <vector>

#include "session/session.h"

namespace quorvantix::customer {

// The user's home folder: $HOME, or the password database's; empty when
// neither gives one.
std::string home_folder();
// `path` with a leading "~" or "~/" standing for the home folder; "" is the
// home folder too. Empty, with `error` filled, when there is none.
std::string with_home(const std::string& path, std::string& error);
// The entries of a local folder, the one file `path` names, or the files and
// folders a wildcard matches ("" is the current folder), with their sizes.
// False, with `error` filled ("there is no file or folder x here"), when
// there is nothing to list.
bool list_local(const std::string& path, std::vector<session::RemoteEntry>& entries, std::string& error);
// Makes the local folder `path` (one level, as mkdir does); false with `error`.
bool make_local_folder(const std::string& path, std::string& error);
// Runs `command` with /bin/sh -c, or the user's shell ($SHELL, else /bin/sh)
// on the terminal when `command` is empty, and waits for it; Ctrl-C and
// Ctrl-\ reach it alone meanwhile. Its exit status, 128 + the signal that
// ended it, or -1 with `error` filled when it could not be started.
int run_local_shell(const std::string& command, std::string& error);

}  // namespace quorvantix::customer
