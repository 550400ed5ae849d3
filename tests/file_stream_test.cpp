// File transfers and listings between two real ends on the simulated cable,
// with real files on both sides.
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "host/memory_file_system.h"
#include "tests/support/fixtures.h"
#include "wire/file_stream.h"
#include "wire/folder.h"
#include "wire/listing_stream.h"

using Results = std::pair<WireOutcome, WireOutcome>;
using At = std::set<std::size_t>;
namespace fs = std::filesystem;

namespace {

// The whole file system, from the current directory, as both ends see it here.
const host::Tree whole = host::Tree::whole();

// Runs both ends until each has returned; their results, `first`'s first.
Results both(SimPair& pair, const std::function<WireOutcome()>& first, const std::function<WireOutcome()>& second) {
  Results got;
  bool second_done = false;  // a stuck end makes run() throw within a month
  pair.clock.run([&] { for (got.first = first(); !second_done;) pair.clock.sleep_for(std::chrono::hours(1)); },
                 {[&] { got.second = second(), second_done = true; }});
  return got;
}

// A byte inside the `n`th frame after the header, all frames before it blocks.
constexpr std::size_t in_frame(std::size_t n) { return kHeaderBytes + 3 + (kBlockBytes + 3) * n + 100; }

// Flips, or with `lose` drops, the bytes at `at` of what a side writes.
SimCable::Fault damage(At at, bool lose = false) {
  return [at, lose](std::size_t i, std::uint8_t byte) {
    return at.count(i) == 0 ? Bytes{byte} : lose ? Bytes{} : Bytes{static_cast<std::uint8_t>(byte ^ 0x20)};
  };
}

// A sender that takes 1.5 s to read each block from its disk (an old machine
// on a floppy): the next block comes that long after the last ACK.
struct SlowDisk final : Gadget {
  explicit SlowDisk(SimClock& on) : clock(on) {}
  void set_text(const char*, const TransferProgress& progress) override { if (!progress.final) clock.sleep_for(1500ms); }
  SimClock& clock;
};

// Both ends on a cable. The service works in `remote`, its current
// directory; the customer's file `src`, in `local`, holds `content`.
struct Ends : Served {
  explicit Ends(const Bytes& content = {}) { write_file(local / "src", content); }
  // The customer sends `file` as `wire_name`; the service stores it under
  // `target`, or the header's name. {received, sent}.
  Results send(const std::string& wire_name, const std::string& target = "", const std::string& file = "src",
               Gadget* sender = nullptr) {
    return both(
        pair,
        [&] { return outcome_of(receive_file_to(pair.service, whole, nullptr, target.empty() ? nullptr : target.c_str())); },
        [&] { return outcome_of(send_file_as(pair.customer, whole, (local / file).c_str(), wire_name.c_str(), sender)); });
  }
  const Bytes& customer_wrote() const { return pair.cable.sent_by(SimCable::b); }
  const Bytes& service_wrote() const { return pair.cable.sent_by(SimCable::a); }
  Strings stored() const { return names_in(remote.path()); }
};

}  // namespace

// What cannot be sent or stored ends the transfer at its header, and leaves
// no file: a sender without the file sends a frame that cannot be a header;
// a header that is bad, asks for more room than there is, or is followed by
// more than one frame is refused.
TEST(IoModule, WhatCannotBeSentOrStoredEndsTheTransferAtItsHeaderAndLeavesNoFile) {
  // Half as much again as the volume has free (f_bavail * f_frsize), in blocks.
  const auto free = fs::space(fs::temp_directory_path()).available;
  const auto too_big = std::to_string(free / 2 * 3 / kBlockBytes);
  const Bytes two_frames = frame_of(pattern_bytes(kBlockBytes)) + frame_of(pattern_bytes(kBlockBytes, 2));
  const Bytes dummy = {STX, '-', '-', ETX};
  const struct { std::string file, wire_name; Results results; Bytes sent, answers; } cases[] = {
      {"missing", "missing", {Status::header_damaged, Status::no_such_object}, dummy, {NAK}},
      {"", "dir", {Status::header_damaged, Status::not_a_plain_file}, dummy, {NAK}},
      // No file can be created where a directory is.
      {"src", "sub", {Status::create_failed, Status::header_not_acked}, header_frame("sub 1 476"), {NAK}},
      {"src", "nodir/x", {Status::create_failed, Status::header_not_acked}, header_frame("nodir/x 1 476"), {NAK}},
      // Nor under a name of the shape of our temporaries: it would be hidden, and swept.
      {"src", ".x.part-1-2-3", {Status::create_failed, Status::header_not_acked}, header_frame(".x.part-1-2-3 1 476"), {NAK}},
      // Raw bytes from the customer's side.
      {"", "", {Status::header_bad, kOk}, header_frame("x 1"), {NAK}},
      {"", "", {Status::header_bad, kOk}, header_frame("x -1 0"), {NAK}},
      {"", "", {Status::header_bad, kOk}, header_frame("x 0 1024"), {NAK}},
      {"", "", {Status::no_room, kOk}, header_frame("x " + too_big + " 0"), {NAK}},
      {"", "", {Status::too_many_failures, kOk}, header_frame("x 1 0") + two_frames, {ACK, NAK}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sent.begin(), c.sent.begin() + std::min<std::size_t>(c.sent.size(), 20)));
    Ends e(pattern_bytes(1500));
    fs::create_directory(e.remote / "sub");
    if (c.wire_name.empty()) {
      EXPECT_EQ(both(e.pair, [&] { return outcome_of(receive_file(e.pair.service, whole, nullptr)); },
                     [&] { return write_raw(e.pair.customer, c.sent) ? kOk : WireOutcome(Status::send_timed_out); }), c.results);
    } else {
      EXPECT_EQ(e.send(c.wire_name, "", c.file), c.results);
    }
    EXPECT_EQ(e.customer_wrote(), c.sent);
    EXPECT_EQ(e.service_wrote(), c.answers);
    EXPECT_EQ(e.stored(), Strings{"sub"});
  }
}

// A repeat that follows a lost ACK is acknowledged again, not stored again;
// equal blocks of a sender, slow or not, are all stored.
TEST(IoModule, FailedFramesAreRepeatedUntilTheFifthFailureOfTheTransfer) {
  const Bytes five = pattern_bytes(5 * kBlockBytes), zeros(20 * kBlockBytes, 0);
  const struct { std::string what; Bytes content; At damaged, lost; bool slow; WireOutcome result; Bytes answers; } cases[] = {
      {"four", five, {in_frame(0), in_frame(2), in_frame(4), in_frame(6)}, {}, false, kOk, Bytes(6, ACK)},
      {"five", five, {in_frame(0), in_frame(2), in_frame(4), in_frame(6), in_frame(8)}, {}, false,
       Status::too_many_failures, Bytes(5, ACK) + Bytes{NAK}},
      {"short block", pattern_bytes(1500), {in_frame(1)}, {}, false, kOk, {ACK, ACK, NAK, ACK}},
      {"ACK lost", pattern_bytes(3 * kBlockBytes), {}, {1}, false, kOk, Bytes(5, ACK)},
      {"equal blocks", Bytes(3 * kBlockBytes, 9), {}, {}, false, kOk, Bytes(4, ACK)},
      {"slow sender", zeros, {}, {}, true, kOk, Bytes(21, ACK)},
      {"slow sender, ACK lost", zeros, {}, {5}, true, kOk, Bytes(22, ACK)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ends e(c.content);
    write_file(e.remote / "f", {'o', 'l', 'd'});
    fs::permissions(e.remote / "f", fs::perms{0604});
    e.pair.cable.tamper(SimCable::b, damage(c.damaged));
    e.pair.cable.tamper(SimCable::a, damage(c.lost, true));
    SlowDisk slow(e.pair.clock);
    EXPECT_EQ(e.send("f", "", "src", c.slow ? &slow : nullptr), Results(c.result, c.result));
    EXPECT_EQ(e.service_wrote(), c.answers);
    EXPECT_EQ(e.stored(), Strings{"f"});
    EXPECT_EQ(read_file(e.remote / "f"), (c.result == kOk ? c.content : Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(fs::status(e.remote / "f").permissions(), fs::perms{0604});
  }
}

// Until then the file being received has no name in the folder.
TEST(IoModule, TheLastAckSaysTheFileIsInPlace) {
  Ends e(pattern_bytes(1500));
  Strings while_receiving;
  // As the short block leaves, a directory takes the file's name.
  e.pair.cable.tamper(SimCable::b, [&](std::size_t index, std::uint8_t byte) {
    if (index == in_frame(1) - 100) while_receiving = e.stored(), fs::create_directory(e.remote / "f");
    return Bytes{byte};
  });
  EXPECT_EQ(e.send("f"), Results(Status::write_failed, Status::too_many_failures));
  EXPECT_EQ(e.service_wrote(), (Bytes{ACK, ACK, NAK}));
  EXPECT_EQ(e.stored(), Strings{"f"});
  EXPECT_EQ(while_receiving, Strings{});
}

// The header is answered once the room on the volume the file lands on is
// known; an acknowledged header with no blocks after it ends in failures,
// and leaves the folder as it was. "/small" is a volume of 1 MiB of its own.
TEST(IoModule, RoomIsJudgedOnTheVolumeTheFileLandsOn) {
  const std::string little(10, 'l');
  const struct { const char* cwd; const char* name; int blocks; bool read_only, write_protected; WireOutcome status; } cases[] = {
      {"/", "small/big", 2048, false, false, Status::no_room},
      {"/small", "../big", 2048, false, false, Status::too_many_failures},
      {"/small", "little", 10, false, false, Status::too_many_failures},
      {"/small", "../little", 10, true, false, Status::write_protected},  // a read-only tree
      {"/", "small/little", 10, false, true, Status::write_protected},    // the volume mounted read-only
  };
  for (const auto& c : cases) {
    host::MemoryFileSystem files;
    files.add_folder("/small", 0755, 1 << 20);
    files.add_file("/small/little", little);
    files.set_write_protected("/small", c.write_protected);
    SimPair pair;
    ASSERT_TRUE(set_akt_dir(files, c.cwd).ok());
    files.set_read_only(c.read_only);
    WireOutcome status;
    char header[kHeaderBytes + 1] = {};
    std::snprintf(header, sizeof header, "%s %d 0", c.name, c.blocks);
    pair.clock.run([&] { status = outcome_of(receive_file(pair.service, files, nullptr)); },
                   {[&] { (void)send_data(pair.customer, header, kHeaderBytes); }});
    EXPECT_EQ(status, c.status) << c.cwd << " " << c.name;
    // The header's answer: ACK once the file can come, NAK at once when it cannot.
    EXPECT_EQ(pair.cable.sent_by(SimCable::a).at(0), c.status == Status::too_many_failures ? ACK : NAK);
    EXPECT_EQ(files.names_in("/"), Strings{"small"});
    EXPECT_EQ(files.names_in("/small"), Strings{"little"});
    EXPECT_EQ(files.contents("/small/little"), little);
  }
}

// A volume is never filled to its last kilobyte: a file that leaves exactly
// that much free is stored, one a byte larger is refused.
TEST(IoModule, AFileIsStoredWhenItLeavesTheLastKilobyteFree) {
  for (const auto& [size, status] : {std::pair{3072, kOk}, std::pair{3073, WireOutcome(Status::no_room)}}) {
    host::MemoryFileSystem here, there;
    const Bytes bytes = pattern_bytes(static_cast<std::size_t>(size));
    here.add_file("/f", std::string(bytes.begin(), bytes.end()));
    there.add_folder("/small", 0755, 4096);
    ASSERT_TRUE(set_akt_dir(there, "/small").ok());
    SimPair pair;
    const Results got = both(pair, [&] { return outcome_of(receive_file(pair.service, there, nullptr)); },
                             [&] { return outcome_of(send_file(pair.customer, here, "f", nullptr)); });
    EXPECT_EQ(got.first, status) << size;
    EXPECT_EQ(there.contents("/small/f"), status == kOk ? here.contents("/f") : std::nullopt) << size;
  }
}

TEST(IoModule, AListingCrossesLineByLineAndAFrameThatFailsTwiceIsGivenUp) {
  struct stat empty_dir {};
  ASSERT_EQ(stat(TempDir().path().c_str(), &empty_dir), 0);
  const std::string dir_size = std::to_string(empty_dir.st_size), end = "END" + std::string(42, ' ');
  const std::string sub = "DIR sub" + std::string(27, ' ') + std::string(10 - dir_size.size(), ' ') + dir_size + '\0';
  const std::string readme = "FILEreadme" + std::string(24, ' ') + std::string(6, ' ') + "1234" + '\0';
  const std::string n30(30, 'n');
  const Entry earlier{EntryType::file, "earlier", -1, false};
  const auto listed = [&](EntryType type, const std::string& name, std::int64_t size) {
    return std::vector<Entry>{earlier, {type, name, size, false}};
  };
  const struct {
    std::string entry;  // "sub" a directory, "readme" 1234 bytes, others empty
    std::size_t most_lines;
    At damaged, lost;
    Results results;
    std::vector<std::string> sent;
    Bytes answers;
    std::vector<Entry> entries;
  } cases[] = {
      {"", SIZE_MAX, {}, {}, {kOk, kOk}, {end}, {ACK}, {earlier}},
      {"readme", SIZE_MAX, {}, {}, {kOk, kOk}, {readme, end}, {ACK, ACK}, listed(EntryType::file, "readme", 1234)},
      {n30, SIZE_MAX, {}, {}, {kOk, kOk}, {"FILE" + n30 + std::string(9, ' ') + "0" + '\0', end}, {ACK, ACK},
       listed(EntryType::file, n30, 0)},
      {"sub", SIZE_MAX, {}, {}, {kOk, kOk}, {sub, end}, {ACK, ACK},
       listed(EntryType::folder, "sub", std::stoll(dir_size))},
      // A line past the most taken: it is left unanswered, and so is all that follows.
      {"readme", 0, {}, {}, {Status::listing_no_memory, Status::listing_end_not_acked}, {readme, readme, end, end},
       {}, {earlier}},
      // Every frame damaged, then silence: the receiver gives up at its fifth failed frame in a row.
      {"readme", SIZE_MAX, {2, 50, 98, 146}, {}, {Status::listing_end_damaged, Status::listing_end_not_acked},
       {readme, readme, end, end}, Bytes(5, NAK), {earlier}},
      // A damaged end marker is acknowledged, and reported; that ACK is lost.
      {"", SIZE_MAX, {20}, {0}, {Status::listing_end_damaged, Status::listing_end_not_acked}, {end, end}, {ACK},
       {earlier}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry + " answered by " + std::to_string(c.answers.size()));
    Ends e;
    if (c.entry == "sub") fs::create_directory(c.entry);
    if (c.entry != "sub" && !c.entry.empty()) write_file(c.entry, pattern_bytes(c.entry == "readme" ? 1234 : 0));
    e.pair.cable.tamper(SimCable::a, damage(c.damaged));
    e.pair.cable.tamper(SimCable::b, damage(c.lost, true));
    std::vector<Entry> entries{earlier};
    EXPECT_EQ(both(e.pair, [&] { return outcome_of(receive_akt_dir(e.pair.customer, entries, c.most_lines)); },
                   [&] { return outcome_of(send_akt_dir(e.pair.service, whole)); }),
              c.results);
    Bytes sent;
    for (const auto& payload : c.sent) sent = sent + frame_of(payload);
    EXPECT_EQ(e.service_wrote(), sent);
    EXPECT_EQ(e.customer_wrote(), c.answers);
    EXPECT_EQ(entries, c.entries);
  }
}
