#include "mount/mount_main.h"

#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "host/errno_text.h"
#include "host/options.h"
#include "host/stop_signals.h"
#include "mount/background.h"
#include "mount/fuse_files.h"
#include "mount/line_sessions.h"
#include "mount/mount_options.h"

namespace quorvantix::mount {

using namespace quorvantix::wire;
using namespace quorvantix::session;

namespace {

constexpr const char* kProgram = "quorvantix-mount";

void say(const std::string& text) { std::cerr << kProgram << ": " << text << std::endl; }

const host::Program kCommandLine{kProgram, std::string("\nTry '") + kProgram + " --help'.\n"};

int usage_error(const std::string& error) { return host::refuse_command_line(kCommandLine, error); }

// The FUSE library's option text: backslash and comma are its separators.
std::string option_text(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// The arguments for fuse_new: the name the mount shows in the mount table,
// permissions checked by the kernel against the modes shown, and the user's
// -o options for the kernel and the library.
std::vector<std::string> fuse_words(const MountOptions& options) {
  std::vector<std::string> words{kProgram, "-o", "fsname=quorvantix:" + option_text(options.device),
                                 "-o", "subtype=quorvantix", "-o", "default_permissions"};
  if (options.debug) words.emplace_back("-d");
  for (const auto& option : options.fuse_options) words.insert(words.end(), {"-o", option});
  return words;
}

// A FUSE file system made from the options, unmounted and freed with its owner.
class FuseMount {
 public:
  FuseMount(const MountOptions& options, MountedFiles* data) {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    for (const auto& word : fuse_words(options)) fuse_opt_add_arg(&args, word.c_str());
    fuse_ = fuse_new(&args, &mount_operations(), sizeof(fuse_operations), data);
    fuse_opt_free_args(&args);
  }
  ~FuseMount() {
    if (fuse_ == nullptr) return;
    if (mounted_) fuse_unmount(fuse_);
    fuse_destroy(fuse_);
  }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  // False when the library refused the options (it has said why).
  bool made() const { return fuse_ != nullptr; }
  bool mount(const std::string& mountpoint) { return mounted_ = fuse_mount(fuse_, mountpoint.c_str()) == 0; }
  // Each request in a thread of the library's, so that an interrupt from the
  // kernel is read while the operation it interrupts runs.
  int serve() { return fuse_loop_mt(fuse_, 0); }
  fuse_session* session() { return fuse_get_session(fuse_); }

 private:
  fuse* fuse_ = nullptr;
  bool mounted_ = false;
};

// Stores the files that lived only in the mount once their grace has passed,
// from a thread of its own, until it goes.
class GraceStores {
 public:
  explicit GraceStores(MountedFiles& files) : files_(files), thread_([this] { run(); }) {}
  ~GraceStores() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  GraceStores(const GraceStores&) = delete;
  GraceStores& operator=(const GraceStores&) = delete;

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kGraceAfterClose / 4, [this] { return ending_; })) {
      lock.unlock();
      store_due_files(files_, false);
      lock.lock();
    }
  }

  MountedFiles& files_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool ending_ = false;
  std::thread thread_;
};

// A stop signal ends the loop and the transfer in flight.
struct Stopping {
  fuse_session* session;
  LineSessions* lines;
};

void stop(void* context) {
  auto* stopping = static_cast<Stopping*>(context);
  fuse_session_exit(stopping->session);
  stopping->lines->cancel();
}

std::string line_name(const MountOptions& options) {
  std::string error;
  return lines::device_path(options.device, options.unit, error);
}

int serve(const MountOptions& options, Readiness& readiness) {
  ScratchDir scratch;
  if (!scratch.made()) {
    say("cannot make a private directory: " + scratch.error());
    return kExitMountFailed;
  }
  host::SteadyClock clock;
  LineSessions lines(clock, {options.device, options.unit, options.baud, options.charset}, say);
  std::string error;
  if (!lines.start(error)) {
    say(line_name(options) + ": " + error);
    return kExitNoLink;
  }
  RemoteFiles files(lines, scratch, clock, options.cache_timeout, say, [] { return fuse_interrupted() != 0; });
  files.set_quiet_attrs(options.quiet_attrs);
  std::timespec since{};
  clock_gettime(CLOCK_REALTIME, &since);
  MountedFiles mounted{files, since, getuid(), getgid()};
  FuseMount fuse(options, &mounted);
  if (!fuse.made() || !fuse.mount(options.mountpoint)) {
    say("cannot mount on " + options.mountpoint);
    return kExitMountFailed;
  }
  Stopping stopping{fuse.session(), &lines};
  const host::StopSignals signals(stop, &stopping);
  readiness.ready();
  {
    const GraceStores grace(mounted);
    fuse.serve();
  }
  // Unmounted: what lived only in the mount goes to the service now, also
  // after a stop signal ended the transfer in flight.
  if (session::Session* session = lines.session()) session->link().clear_cancel();
  store_due_files(mounted, true);
  return kExitOk;
}

bool usable_mountpoint(const std::string& mountpoint, std::string& error) {
  struct stat st {};
  if (stat(mountpoint.c_str(), &st) != 0) {
    error = host::describe_errno("stat", mountpoint);
    return false;
  }
  if (S_ISDIR(st.st_mode)) return true;
  error = mountpoint + " is no folder";
  return false;
}

}  // namespace

int mount_main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  MountOptions options;
  std::string error;
  if (!parse_mount_options(argc, argv, options, error)) return usage_error(error);
  if (options.help) return host::answer_help(mount_usage_text());
  if (options.version) return host::answer_version(kCommandLine, version);
  if (!usable_mountpoint(options.mountpoint, error)) {
    say("cannot mount on " + options.mountpoint + ": " + error);
    return kExitMountFailed;
  }
  // The library checks its options before the line is opened.
  if (!FuseMount(options, nullptr).made()) return usage_error("the FUSE library refused the -o options");
  if (options.foreground) {
    Readiness in_foreground;
    return serve(options, in_foreground);
  }
  return run_in_background([&options](Readiness& readiness) { return serve(options, readiness); });
}

}  // namespace quorvantix::mount
