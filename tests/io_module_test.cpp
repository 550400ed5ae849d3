// File transfers and listings between two real ends on the simulated cable,
// with real files on both sides.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "io_module.h"
#include "support/list_rows.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"

using namespace testsupport;
using Results = std::pair<long, long>;
using Names = std::vector<std::string>;
using At = std::set<std::size_t>;

namespace {

Bytes operator+(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Runs both ends until each has returned; their results, `first`'s first.
Results both(SimPair& pair, const std::function<long()>& first, const std::function<long()>& second) {
  Results got{-1, -1};  // every result is 0 or more; a stuck end makes run() throw within a month
  pair.clock.run([&] { for (got.first = first(); got.second < 0;) pair.clock.sleep_for(std::chrono::hours(1)); },
                 {[&] { got.second = second(); }});
  return got;
}

// A header frame: the text, and NULs to its 60 bytes.
Bytes header_frame(std::string text) { return text.resize(kHeaderBytes), frame_of(text); }

// What a sender writes when every frame is acknowledged at once.
Bytes stream(const std::string& header, const Bytes& content) {
  Bytes wire = header_frame(header);
  for (std::size_t at = 0; at < content.size(); at += kBlockBytes)
    wire = std::move(wire) +
           frame_of(Bytes(content.begin() + at, content.begin() + std::min(at + kBlockBytes, content.size())));
  return wire;
}

// A byte inside the `n`th frame after the header, all frames before it blocks.
constexpr std::size_t in_frame(std::size_t n) { return kHeaderBytes + 3 + (kBlockBytes + 3) * n + 100; }

// Flips, or with `lose` drops, the bytes at `at` of what a side writes.
SimCable::Fault damage(At at, bool lose = false) {
  return [at, lose](std::size_t i, std::uint8_t byte) {
    return at.count(i) == 0 ? Bytes{byte} : lose ? Bytes{} : Bytes{static_cast<std::uint8_t>(byte ^ 0x20)};
  };
}

// Both ends on a cable. The service works in `to`, its current directory; the
// customer's files are in `from`, where `src` holds `content`.
struct Ends {
  explicit Ends(const Bytes& content = {}) { write_file(from / "src", content); }
  // The customer sends `local` as `wire_name`; the service stores it under
  // `target`, or the header's name. {received, sent}.
  Results send(const std::string& wire_name, const std::string& target = "", const std::string& local = "src") {
    return both(
        pair, [&] { return receive_file_to(pair.service, nullptr, target.empty() ? nullptr : target.c_str()); },
        [&] { return send_file_as(pair.customer, (from / local).c_str(), wire_name.c_str(), nullptr); });
  }
  const Bytes& customer_wrote() const { return pair.cable.sent_by(SimCable::b); }
  const Bytes& service_wrote() const { return pair.cable.sent_by(SimCable::a); }
  Names stored() const { return names_in(to.path()); }

  SimPair pair;
  TempDir from, to;
  CurrentDirectory inside{to.path()};
};

}  // namespace

TEST(IoModule, AFileCrossesAsHeaderBlocksAndShortBlockIsStoredUnderItsNameAndComesBack) {
  const struct { std::size_t size; std::string wire_name, header, target, stored; } cases[] = {
      {0, "empty", "empty 0 0", "", "empty"},
      {1500, "readme", "readme 1 476", "", "readme"},
      {2048, "two blocks", "two\xAE" "blocks 2 0", "", "two blocks"},
      {1034, "../evil", "../evil 1 10", "chosen", "chosen"},
      {1 << 20, "big", "big 1024 0", "", "big"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    Ends e(pattern_bytes(c.size));
    EXPECT_EQ(e.send(c.wire_name, c.target), Results(FILE_OK, FILE_OK));
    EXPECT_EQ(e.customer_wrote(), stream(c.header, pattern_bytes(c.size)));
    EXPECT_EQ(e.stored(), Names{c.stored});
    EXPECT_TRUE(read_file(e.to / c.stored) == pattern_bytes(c.size));
    // And back, the service sending, the customer receiving.
    EXPECT_EQ(both(e.pair, [&] { return receive_file_to(e.pair.customer, nullptr, (e.from / "back").c_str()); },
                   [&] { return send_file(e.pair.service, c.stored.c_str(), nullptr); }),
              Results(FILE_OK, FILE_OK));
    EXPECT_TRUE(read_file(e.from / "back") == pattern_bytes(c.size));
  }
}

TEST(IoModule, WhatCannotBeSentOrStoredEndsTheTransferAtItsHeader) {
  const struct { std::string local, wire_name; Results results; Bytes sent; } cases[] = {
      {"missing", "missing", {FILE_HEADER_DAMAGED, FILE_NO_LOCK}, {STX, '-', '-', ETX}},
      {"", "dir", {FILE_HEADER_DAMAGED, FILE_NO_EXAMINE}, {STX, '-', '-', ETX}},
      // No file can be created where a directory is.
      {"src", "sub", {FILE_CREATE_FAILED, FILE_HEADER_NOT_ACKED}, header_frame("sub 1 476")},
  };
  for (const auto& c : cases) {
    Ends e(pattern_bytes(1500));
    std::filesystem::create_directory(e.to / "sub");
    EXPECT_EQ(e.send(c.wire_name, "", c.local), c.results);
    EXPECT_EQ(e.customer_wrote(), c.sent);
    EXPECT_EQ(e.service_wrote(), Bytes{NAK});
  }
}

TEST(IoModule, FailedFramesAreRepeatedUntilTheFifthFailureOfTheTransfer) {
  const Bytes five = pattern_bytes(5 * kBlockBytes);
  const struct { std::string what; Bytes content; At damaged, lost; long result; Bytes answers; } cases[] = {
      {"four", five, {in_frame(0), in_frame(2), in_frame(4), in_frame(6)}, {}, FILE_OK, Bytes(6, ACK)},
      {"five", five, {in_frame(0), in_frame(2), in_frame(4), in_frame(6), in_frame(8)}, {}, FILE_TOO_MANY_FAILURES,
       Bytes(5, ACK) + Bytes{NAK}},
      {"short block", pattern_bytes(1500), {in_frame(1)}, {}, FILE_OK, {ACK, ACK, NAK, ACK}},
      // The first block comes again: it is acknowledged again, not stored again.
      {"ACK lost", pattern_bytes(3 * kBlockBytes), {}, {1}, FILE_OK, Bytes(5, ACK)},
      {"equal blocks", Bytes(3 * kBlockBytes, 9), {}, {}, FILE_OK, Bytes(4, ACK)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ends e(c.content);
    write_file(e.to / "f", {'o', 'l', 'd'});
    std::filesystem::permissions(e.to / "f", std::filesystem::perms{0604});
    e.pair.cable.tamper(SimCable::b, damage(c.damaged));
    e.pair.cable.tamper(SimCable::a, damage(c.lost, true));
    EXPECT_EQ(e.send("f"), Results(c.result, c.result));
    EXPECT_EQ(e.service_wrote(), c.answers);
    EXPECT_EQ(e.stored(), Names{"f"});
    EXPECT_EQ(read_file(e.to / "f"), (c.result == FILE_OK ? c.content : Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::filesystem::status(e.to / "f").permissions(), std::filesystem::perms{0604});
  }
}

TEST(IoModule, TheLastAckSaysTheFileIsInPlace) {
  Ends e(pattern_bytes(1500));
  // As the short block leaves, a directory takes the file's name.
  e.pair.cable.tamper(SimCable::b, [&](std::size_t index, std::uint8_t byte) {
    if (index == in_frame(1) - 100) std::filesystem::create_directory(e.to / "f");
    return Bytes{byte};
  });
  EXPECT_EQ(e.send("f"), Results(FILE_WRITE_FAILED, FILE_TOO_MANY_FAILURES));
  EXPECT_EQ(e.service_wrote(), (Bytes{ACK, ACK, NAK}));
  EXPECT_EQ(e.stored(), Names{"f"});
}

TEST(IoModule, ABadHeaderNoRoomOrASenderAFrameAheadLeavesNoFile) {
  // Half as much again as the volume has free (f_bavail * f_frsize), in blocks.
  const auto free = std::filesystem::space(std::filesystem::temp_directory_path()).available;
  const auto too_big = std::to_string(free / 2 * 3 / kBlockBytes);
  const Bytes two_frames = frame_of(pattern_bytes(kBlockBytes)) + frame_of(pattern_bytes(kBlockBytes, 2));
  const struct { std::string header; Bytes then; long result; Bytes answers; } cases[] = {
      {"x 1", {}, FILE_HEADER_BAD, {NAK}},       {"x -1 0", {}, FILE_HEADER_BAD, {NAK}},
      {"x 0 1024", {}, FILE_HEADER_BAD, {NAK}},  {"x " + too_big + " 0", {}, FILE_NO_ROOM, {NAK}},
      {"x 1 0", two_frames, FILE_TOO_MANY_FAILURES, {ACK, NAK}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    Ends e;
    EXPECT_EQ(both(e.pair, [&] { return receive_file(e.pair.service, nullptr); },
                   [&] { return long{write_raw(e.pair.customer, header_frame(c.header) + c.then)}; }),
              Results(c.result, 1));
    EXPECT_EQ(e.service_wrote(), c.answers);
    EXPECT_EQ(e.stored(), Names{});
  }
}

TEST(IoModule, AListingCrossesLineByLineAndAFrameThatFailsTwiceIsGivenUp) {
  struct stat empty_dir {};
  ASSERT_EQ(stat(TempDir().path().c_str(), &empty_dir), 0);
  const std::string dir_size = std::to_string(empty_dir.st_size), end = "END" + std::string(42, ' ');
  const std::string sub = "DIR sub" + std::string(27, ' ') + std::string(10 - dir_size.size(), ' ') + dir_size + '\0';
  const std::string readme = "FILEreadme" + std::string(24, ' ') + std::string(6, ' ') + "1234" + '\0';
  const std::string n30(30, 'n');
  const RowMaker no_row = [](const char*, const char*) -> Dir_Entry* { return nullptr; };
  const Row earlier{"earlier", "FILE", "", 0};
  const struct {
    std::string entry;  // "sub" a directory, "readme" 1234 bytes, others empty
    RowMaker make_row;
    At damaged, lost;
    Results results;
    std::vector<std::string> sent;
    Bytes answers;
    std::vector<Row> rows;
  } cases[] = {
      {"", alloc_list_row, {}, {}, {DIR_OK, DIR_OK}, {end}, {ACK}, {earlier}},
      {"readme", alloc_list_row, {}, {}, {DIR_OK, DIR_OK}, {readme, end}, {ACK, ACK},
       {earlier, {padded("readme"), "FILE", padded("readme"), 0}}},
      {n30, alloc_list_row, {}, {}, {DIR_OK, DIR_OK}, {"FILE" + n30 + std::string(9, ' ') + "0" + '\0', end},
       {ACK, ACK}, {earlier, {n30, "FILE", n30, 0}}},
      {"sub", alloc_list_row, {}, {}, {DIR_OK, DIR_OK}, {sub, end}, {ACK, ACK},
       {earlier, {padded("sub"), "DIR", padded("sub"), 1}}},
      // No row for the line: it is left unanswered, and so is all that follows.
      {"readme", no_row, {}, {}, {DIR_NO_MEMORY, DIR_END_NOT_ACKED}, {readme, readme, end, end}, {}, {earlier}},
      // Every frame damaged, then silence: the receiver gives up at its fifth failed frame in a row.
      {"readme", alloc_list_row, {2, 50, 98, 146}, {}, {DIR_END_DAMAGED, DIR_END_NOT_ACKED}, {readme, readme, end, end},
       Bytes(5, NAK), {earlier}},
      // A damaged end marker is acknowledged, and reported; that ACK is lost.
      {"", alloc_list_row, {20}, {0}, {DIR_END_DAMAGED, DIR_END_NOT_ACKED}, {end, end}, {ACK}, {earlier}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry + " answered by " + std::to_string(c.answers.size()));
    Ends e;
    if (c.entry == "sub") std::filesystem::create_directory(c.entry);
    if (c.entry != "sub" && !c.entry.empty()) write_file(c.entry, pattern_bytes(c.entry == "readme" ? 1234 : 0));
    e.pair.cable.tamper(SimCable::a, damage(c.damaged));
    e.pair.cable.tamper(SimCable::b, damage(c.lost, true));
    OwnedList list("earlier");
    EXPECT_EQ(both(e.pair, [&] { return receive_akt_dir(e.pair.customer, &list, c.make_row); },
                   [&] { return send_akt_dir(e.pair.service); }),
              c.results);
    Bytes sent;
    for (const auto& payload : c.sent) sent = sent + frame_of(payload);
    EXPECT_EQ(e.service_wrote(), sent);
    EXPECT_EQ(e.customer_wrote(), c.answers);
    EXPECT_EQ(rows_of(list), c.rows);
  }
}
