#include "customer/local_side.h"

#include <dirent.h>
#include <glob.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/fs.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

// The entry of `path` under the name `name`; false when it cannot be examined.
bool examined(const std::string& path, const std::string& name, RemoteEntry& entry) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const EntryType type = S_ISDIR(st.st_mode) ? EntryType::folder : EntryType::file;
  entry = RemoteEntry{type, name, static_cast<std::int64_t>(st.st_size)};
  return true;
}

bool list_folder(const std::string& folder, std::vector<RemoteEntry>& entries, std::string& error) {
  const host::DirStream scan(opendir(folder.c_str()));
  if (!scan) {
    error = "cannot read the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  while (const dirent* found = readdir(scan.get())) {
    const std::string name = found->d_name;
    RemoteEntry entry;
    if (name != "." && name != ".." && examined(folder + "/" + name, name, entry)) entries.push_back(entry);
  }
  return true;
}

bool list_matches(const std::string& pattern, std::vector<RemoteEntry>& entries, std::string& error) {
  glob_t found{};
  const int result = glob(pattern.c_str(), 0, nullptr, &found);
  for (std::size_t i = 0; result == 0 && i < found.gl_pathc; ++i) {
    RemoteEntry entry;
    if (examined(found.gl_pathv[i], found.gl_pathv[i], entry)) entries.push_back(entry);
  }
  globfree(&found);
  if (result == 0) return true;
  error = "no local file matches '" + pattern + "'";
  return false;
}

// Ignores Ctrl-C and Ctrl-\ while a child has the terminal, as a shell does:
// the child takes them, and this program goes on once the child has ended.
class KeysForTheChild {
 public:
  KeysForTheChild() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &interrupt_);
    sigaction(SIGQUIT, &ignore, &quit_);
  }
  KeysForTheChild(const KeysForTheChild&) = delete;
  KeysForTheChild& operator=(const KeysForTheChild&) = delete;
  ~KeysForTheChild() {
    sigaction(SIGINT, &interrupt_, nullptr);
    sigaction(SIGQUIT, &quit_, nullptr);
  }

 private:
  struct sigaction interrupt_ {}, quit_ {};
};

}  // namespace

std::string home_folder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  const passwd* user = getpwuid(getuid());
  return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

std::string with_home(const std::string& path, std::string& error) {
  if (!path.empty() && path != "~" && !path.starts_with("~/")) return path;
  const std::string home = home_folder();
  if (home.empty()) error = "there is no home folder (HOME is not set)";
  return home.empty() ? home : home + (path.size() > 1 ? path.substr(1) : "");
}

bool list_local(const std::string& path, std::vector<RemoteEntry>& entries, std::string& error) {
  if (path.find_first_of("*?[") != std::string::npos) return list_matches(path, entries, error);
  const std::string target = path.empty() ? "." : path;
  RemoteEntry entry;
  if (!examined(target, target, entry)) {
    error = errno == ENOENT ? "there is no file or folder " + target + " here"
                            : "cannot read " + target + ": " + std::strerror(errno);
    return false;
  }
  if (entry.is_folder()) return list_folder(target, entries, error);
  entries.push_back(entry);
  return true;
}

bool make_local_folder(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  error = "cannot make the folder " + path + ": " +
          (errno == EEXIST ? std::string("there is one of that name already") : std::strerror(errno));
  return false;
}

int run_local_shell(const std::string& command, std::string& error) {
  const char* user_shell = std::getenv("SHELL");
  const std::string shell = command.empty() && user_shell != nullptr && user_shell[0] == '/' ? user_shell : "/bin/sh";
  const KeysForTheChild keys;
  const pid_t child = fork();
  if (child < 0) {
    error = std::string("cannot start a shell: ") + std::strerror(errno);
    return -1;
  }
  if (child == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    if (command.empty()) {
      execl(shell.c_str(), shell.c_str(), static_cast<char*>(nullptr));
    } else {
      execl(shell.c_str(), shell.c_str(), "-c", command.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      error = std::string("lost the shell: ") + std::strerror(errno);
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace quorvantix::customer
