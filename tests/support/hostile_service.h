// A hostile service for the tests: it keeps to the link's framing, so that
// our customer and our mount take its frames, and says whatever the test
// makes it say. Listings with any names, sizes and lengths, or without an
// end; file headers that lie; files that never end; floods. It runs on our
// own link layer, so it plays on the simulated cable in one process (as a
// background end of SimClock::run) and on a real tcp-listen line in a thread
// against the real programs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "tests/support/sim_link.h"
#include "wire/link.h"

namespace quorvantix::testsupport {

// A listing line as a service formats it ("%s%-30s%10s"), cut or padded with
// NULs to the 45 bytes of its frame. `type` is "FILE" or "DIR ".
std::string listing_line(const std::string& type, const std::string& name, const std::string& size = "0");
// A file's line with its size in decimal.
std::string file_line(const std::string& name, std::int64_t size);
// A folder's line.
std::string folder_line(const std::string& name);

class HostileService {
 public:
  // Serves on `link`, which is open already (at 9600 baud).
  explicit HostileService(wire::Link& link) : link_(link) {}

  // --- What it says; each answer can be replaced by a test ---
  // The current folder, as pwd gives it; cd appends to it ("/srv" + "docs"
  // is "/srv/docs"; ".." takes the last part off, "/" goes to "/"), as a
  // service that resolves nothing would.
  std::string folder = "/srv";
  // Listing lines by folder; a folder not in the map lists nothing.
  std::map<std::string, std::vector<std::string>> listings;
  // A cd to a path in here leads to its target instead, as a symbolic link
  // does on a service that resolves them.
  std::map<std::string, std::string> links;
  // The listing of the current folder: by default its lines from `listings`,
  // then the end marker.
  std::function<void(HostileService&)> on_list;
  // Files by the name a get asks for, as the command carries it: the header
  // text sent for it, and its content. A name not in the map draws the
  // refusal frame.
  struct File {
    std::string header;  // empty: "NAME BLOCKS REST" for the content
    Bytes content;
    // Blocks past the content, each 1024 bytes of this byte, for a file
    // that never ends (the header then says what it says).
    long extra_blocks = 0;
    std::uint8_t fill = 'x';
  };
  std::map<std::string, File> files;
  // What a get of `name` does: by default the file from `files`.
  std::function<void(HostileService&, const std::string& name)> on_get;

  // --- Steps for the answers above ---
  // Each true when its frames were acknowledged.
  bool send_frame(const std::string& payload);  // send_data of all its bytes
  bool send_end_marker();
  // Sends `file` as the answer to a get of `name`: header, blocks, short block.
  bool send_file(const std::string& name, const File& file);
  bool send_refusal();
  // Lists `count` files "f0", "f1", ... as a service would (a line left
  // unanswered twice ends it), then the end marker.
  void send_many_files(long count);
  // Sends `header` as a file's header, then `frames` block frames back to
  // back at the line's speed, never waiting for an answer: a flood.
  void flood(const std::string& header, long frames);

  // --- Running ---
  // Waits for an identification and answers it, then serves commands until
  // the terminate command, or until the link is cancelled or its line lost.
  void serve();

  // What it was asked, in order: "pwd", "cd docs", "get a", "put", "ls",
  // "baud 19200", "bye", "end".
  std::vector<std::string> commands;
  wire::Link& link() { return link_; }

 private:
  bool identified();
  void run_command(std::uint8_t code, const std::string& argument);
  void change_folder(const std::string& dir);
  void send_folder_name();
  void receive_and_drop_file();
  void list();

  wire::Link& link_;
};

// A hostile service on a real tcp-listen line on 127.0.0.1, for the real
// programs: `line` is what they connect to ("tcp:127.0.0.1:PORT"). Set up
// `service`'s script, then start(); it serves in a thread of its own until
// this goes.
struct HostileOnTcp {
  HostileOnTcp();
  ~HostileOnTcp();
  void start();
  host::SteadyClock clock;
  wire::Link link{clock};
  HostileService service{link};
  std::string line;
  std::thread serving;
};

}  // namespace quorvantix::testsupport
