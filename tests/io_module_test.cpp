#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "io_atome.h"
#include "io_module.h"
#include "misc.h"
#include "service.h"
#include "support/customer_script.h"
#include "support/link_end.h"
#include "support/list_rows.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

constexpr auto kShortTick = 1ms;
constexpr std::size_t kListingFrameBytes = 48;
constexpr auto kNoAnswerWithin = 300ms;
constexpr auto kRepeatAfter = 600ms;  // past a fifth of the 2.1 s time limit

// The 45-byte listing payload for one entry, formatted independently of the
// code under test.
Bytes listing_payload(const std::string& type, const std::string& name, long long size) {
  char size_field[16];
  std::snprintf(size_field, sizeof size_field, "%10lld", size);
  std::string name_field = name;
  if (name_field.size() < 30) name_field.resize(30, ' ');
  std::string text = type + name_field + size_field;
  text.resize(45, '\0');
  return bytes_of(text);
}

Bytes end_marker() { return bytes_of("END" + std::string(42, ' ')); }

long long size_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_size;
}

// Receives the whole stream of one file as the customer and acknowledges
// every frame, checking header and blocks byte for byte.
void expect_file_stream(CustomerScript& customer, const std::string& header_text, const Bytes& content) {
  EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(header_frame(header_text))) << header_text;
  for (std::size_t offset = 0; offset < content.size(); offset += 1024) {
    const std::size_t length = std::min<std::size_t>(1024, content.size() - offset);
    EXPECT_EQ(hex(customer.receive_and_answer(length + 3, ACK)), hex(frame_of(content, offset, length)))
        << header_text << " at " << offset;
  }
}

// Sends the whole stream of one file as the customer, expecting ACK for each frame.
void send_file_stream(CustomerScript& customer, const std::string& header_text, const Bytes& content) {
  customer.send(header_frame(header_text));
  EXPECT_EQ(hex(customer.receive(1)), "06") << header_text;
  for (std::size_t offset = 0; offset < content.size(); offset += 1024) {
    customer.send(frame_of(content, offset, std::min<std::size_t>(1024, content.size() - offset)));
    EXPECT_EQ(hex(customer.receive(1)), "06") << header_text << " at " << offset;
  }
}

struct RecordingGadget : Gadget {
  std::vector<std::string> texts;
  std::vector<TransferProgress> progress;
  int pauses = 0;
  void set_text(const char* text, const TransferProgress& now) override {
    texts.emplace_back(text);
    progress.push_back(now);
  }
  void pause_after_final() override { ++pauses; }
};

void expect_progress_of_one_block_and_rest(const RecordingGadget& gadget, std::int64_t size) {
  ASSERT_EQ(gadget.texts.size(), 2u);
  EXPECT_EQ(gadget.texts[0], "    1/    1");
  EXPECT_EQ(gadget.progress[0].bytes_done, 1024);
  EXPECT_EQ(gadget.progress[0].bytes_total, size);
  EXPECT_FALSE(gadget.progress[0].final);
  EXPECT_TRUE(gadget.texts[1].ends_with(" Bytes/s")) << gadget.texts[1];
  EXPECT_GT(std::stoll(gadget.texts[1]), 0);
  EXPECT_TRUE(gadget.progress[1].final);
  EXPECT_EQ(gadget.pauses, 1);
}

}  // namespace

// --- The directory listing ---

TEST(IoModule, SendAktDirCommandStreamsOneLinePerEntryAndTheEndMarker) {
  TempDir tmp;
  std::filesystem::create_directories(tmp / "readme-dir");
  write_file(tmp / "readme-dir/readme", pattern_bytes(1234));
  std::filesystem::create_directories(tmp / "empty");
  std::filesystem::create_directories(tmp / "kinds/sub");
  const std::string long_name(40, 'x');
  write_file(tmp / "kinds" + "/" + long_name, pattern_bytes(7));
  CustomerScript customer(tmp.path());
  const Bytes readme_line = frame(listing_payload("FILE", "readme", 1234));

  customer.command(cmd_set_akt_dir, "readme-dir");
  customer.command(cmd_send_akt_dir);
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)),
            hex(frame(bytes_of("FILEreadme" + std::string(24, ' ') + "      1234" + std::string(1, '\0')))));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)), hex(frame(end_marker())));

  // A line refused once comes again.
  customer.command(cmd_send_akt_dir);
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, NAK)), hex(readme_line));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)), hex(readme_line));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)), hex(frame(end_marker())));

  // Refused twice, it ends the listing; so does an end marker refused twice.
  customer.command(cmd_send_akt_dir);
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, NAK)), hex(readme_line));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, NAK)), hex(readme_line));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, NAK)), hex(frame(end_marker())));
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, NAK)), hex(frame(end_marker())));

  customer.command(cmd_set_akt_dir, "../empty");
  customer.command(cmd_send_akt_dir);
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)), hex(frame(end_marker())));

  // Any kind but a plain file is listed as "DIR "; a name too long for the
  // line is cut so that the line still fits its buffer.
  customer.command(cmd_set_akt_dir, "../kinds");
  customer.command(cmd_send_akt_dir);
  std::vector<std::string> lines = {hex(customer.receive_and_answer(kListingFrameBytes, ACK)),
                                    hex(customer.receive_and_answer(kListingFrameBytes, ACK))};
  EXPECT_EQ(hex(customer.receive_and_answer(kListingFrameBytes, ACK)), hex(frame(end_marker())));
  std::vector<std::string> expected = {hex(frame(listing_payload("DIR ", "sub", size_of(tmp / "kinds/sub")))),
                                       hex(frame(listing_payload("FILE", long_name.substr(0, 35), 7)))};
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);

  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"),
            "Akt. Verzeichnis auf readme-dir gesetzt.\n"
            "Sende Verzeichnis status 0\n"
            "Sende Verzeichnis status 0\n"
            "Sende Verzeichnis status 1\n"
            "Akt. Verzeichnis auf ../empty gesetzt.\n"
            "Sende Verzeichnis status 0\n"
            "Akt. Verzeichnis auf ../kinds gesetzt.\n"
            "Sende Verzeichnis status 0\n"
            "Terminierungsignal empfangen\n");
}

TEST(IoModule, ReceiveAktDirAppendsARowPerLineAndAcknowledgesEachFrame) {
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  OwnedList list;
  append_row(list, "earlier");
  auto reading = std::async(std::launch::async, [&list] { return receive_akt_dir(&list); });

  const std::string name31(31, 'q');
  const Bytes stream[] = {frame(listing_payload("FILE", "readme", 1234)),
                          damaged(frame(listing_payload("DIR ", "sub", 4096))),
                          frame(listing_payload("DIR ", "sub", 4096)), frame(listing_payload("FILE", name31, 5)),
                          frame(end_marker())};
  std::string answers;
  for (const Bytes& sent : stream) {
    pty.send(sent);
    answers += hex(pty.receive(1)) + " ";
  }
  EXPECT_EQ(answers, "06 15 06 06 06 ");
  EXPECT_EQ(reading.get(), DIR_OK);
  const std::vector<Row> expected = {
      {"earlier", "FILE", "earlier", 0},
      {padded("readme"), "FILE", padded("readme"), 0},
      {padded("sub"), "DIR", padded("sub"), 1},
      {name31.substr(0, 30), "FILE", name31.substr(0, 30), 0},
  };
  EXPECT_EQ(rows_of(list), expected);
  // The size a display may show: the listed one, or none where a long name pushed it out of reach.
  std::vector<std::int64_t> sizes;
  for (const Node* node = list.lh_Head; node != nullptr; node = node->ln_Succ) {
    sizes.push_back(list_row_size(reinterpret_cast<const Dir_Entry*>(node)));
  }
  EXPECT_EQ(sizes, (std::vector<std::int64_t>{-1, 1234, 4096, -1}));
}

TEST(IoModule, ReceiveAktDirEndsOnTheEndMarkerOrAfterFiveFailedFramesInARow) {
  const Bytes line = frame(listing_payload("FILE", "a", 1));
  const Bytes bad = damaged(line);
  const struct {
    const char* story;
    std::vector<Bytes> stream;
    std::string answers;
    long result;
  } cases[] = {
      {"damaged end marker", {line, damaged(frame(end_marker()))}, "06 06 ", DIR_END_DAMAGED},
      {"end marker with any tail", {frame(bytes_of("END" + std::string(42, 'z')))}, "06 ", DIR_OK},
      {"five failures in a row", {bad, bad, bad, bad, bad}, "15 15 15 15 15 ", DIR_END_DAMAGED},
      {"failures broken by a good line",
       {bad, bad, bad, bad, line, bad, bad, bad, bad, frame(end_marker())},
       "15 15 15 15 06 15 15 15 15 06 ",
       DIR_OK},
  };
  for (const auto& c : cases) {
    PtyPair pty;
    LinkEnd link(pty, LinkEnd::Side::slave);
    OwnedList list;
    auto reading = std::async(std::launch::async, [&list] { return receive_akt_dir(&list); });
    std::string answers;
    for (const Bytes& sent : c.stream) {
      pty.send(sent);
      answers += hex(pty.receive(1)) + " ";
    }
    EXPECT_EQ(answers, c.answers) << c.story;
    EXPECT_EQ(reading.get(), c.result) << c.story;
  }
}

TEST(IoModule, ReceiveAktDirWithoutRoomForARowEndsWithoutAnswering) {
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  OwnedList list;
  platform::testing::limit_list_rows(1);
  auto reading = std::async(std::launch::async, [&list] { return receive_akt_dir(&list); });
  pty.send(frame(listing_payload("FILE", "kept", 1)));
  EXPECT_EQ(hex(pty.receive(1)), "06");
  pty.send(frame(listing_payload("FILE", "no room", 1)));
  EXPECT_EQ(reading.get(), DIR_NO_MEMORY);
  platform::testing::limit_list_rows(-1);
  EXPECT_TRUE(pty.quiet_for(kNoAnswerWithin));
  ASSERT_EQ(rows_of(list).size(), 1u);
  EXPECT_EQ(rows_of(list)[0].column0, padded("kept"));
}

// --- Sending a file ---

TEST(IoModule, SendFileCommandSendsHeaderBlocksAndShortBlock) {
  TempDir tmp;
  const struct {
    std::string name;
    std::string header;
    std::size_t size;
  } cases[] = {
      {"empty.bin", "empty.bin 0 0", 0},
      {"two.bin", "two.bin 2 0", 2048},
      {"odd.bin", "odd.bin 1 476", 1500},
      {"with space.txt", "with\xAEspace.txt 0 10", 10},
      // A name holding 0xAE itself is opened and reported as it was given.
      {"a\xAE" "b", "a\xAE" "b 0 5", 5},
  };
  for (const auto& c : cases) write_file(tmp / c.name, pattern_bytes(c.size, static_cast<std::uint8_t>(c.size)));
  CustomerScript customer(tmp.path());
  std::string console;
  for (const auto& c : cases) {
    customer.command(cmd_send_file, c.name);
    expect_file_stream(customer, c.header, pattern_bytes(c.size, static_cast<std::uint8_t>(c.size)));
    console += "Sende Datei <" + c.name + "> status 0\n";
  }
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"), console + "Terminierungsignal empfangen\n");
}

TEST(IoModule, SendFileCommandRefusesWhatIsNoPlainFile) {
  TempDir tmp;
  std::filesystem::create_directory(tmp / "adir");
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
  const struct {
    std::string name;
    long status;
  } cases[] = {{"missing", FILE_NO_LOCK}, {"adir", FILE_NO_EXAMINE}, {"fifo", FILE_NO_EXAMINE}};
  CustomerScript customer(tmp.path());
  std::string console;
  for (const auto& c : cases) {
    customer.command(cmd_send_file, c.name);
    EXPECT_EQ(hex(customer.receive_and_answer(4, ACK)), "02 2d 2d 03") << c.name;
    console += "Sende Datei <" + c.name + "> status " + std::to_string(c.status) + "\n";
  }
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"), console + "Terminierungsignal empfangen\n");
}

TEST(IoModule, SendFileCommandRepeatsFramesUntilTheFifthFailureOfTheTransfer) {
  TempDir tmp;
  const Bytes content = pattern_bytes(3 * 1024 + 100);
  write_file(tmp / "data.bin", content);
  const Bytes blocks[] = {frame_of(content, 0, 1024), frame_of(content, 1024, 1024), frame_of(content, 2048, 1024),
                          frame_of(content, 3072, 100)};
  // Which frame comes, and how it is answered.
  using Script = std::vector<std::pair<int, std::uint8_t>>;
  const struct {
    const char* story;
    Script script;
    long status;
  } cases[] = {
      {"four failures spread over the blocks",
       {{0, NAK}, {0, ACK}, {1, NAK}, {1, NAK}, {1, ACK}, {2, ACK}, {3, NAK}, {3, ACK}},
       FILE_OK},
      {"the fifth failure, though each block got through at its second try",
       {{0, NAK}, {0, ACK}, {1, NAK}, {1, ACK}, {2, NAK}, {2, ACK}, {3, NAK}, {3, NAK}},
       FILE_TOO_MANY_FAILURES},
  };
  CustomerScript customer(tmp.path(), kShortTick);  // each wrong answer costs a repeat pause
  std::string console;
  for (const auto& c : cases) {
    customer.command(cmd_send_file, "data.bin");
    EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(header_frame("data.bin 3 100")));
    for (const auto& [block, answer] : c.script) {
      const Bytes& expected = blocks[block];
      EXPECT_EQ(hex(customer.receive_and_answer(expected.size(), answer)), hex(expected)) << c.story;
    }
    EXPECT_TRUE(customer.line().quiet_for(100ms)) << c.story;
    console += "Sende Datei <data.bin> status " + std::to_string(c.status) + "\n";
  }
  customer.command(cmd_send_file, "data.bin");
  EXPECT_EQ(hex(customer.receive_and_answer(63, NAK)), hex(header_frame("data.bin 3 100")));
  EXPECT_TRUE(customer.line().quiet_for(100ms));  // a refused header is not repeated
  console += "Sende Datei <data.bin> status 18\n";

  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"), console + "Terminierungsignal empfangen\n");
}

TEST(IoModule, SendFileAsAnnouncesTheWireNameAndShowsProgress) {
  TempDir tmp;
  const Bytes content = pattern_bytes(1500);
  write_file(tmp / "local.bin", content);
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  RecordingGadget gadget;
  const std::string local = tmp / "local.bin";
  auto sending = std::async(std::launch::async,
                            [&] { return send_file_as(local.c_str(), "remote name.bin", &gadget); });

  EXPECT_EQ(hex(pty.receive(63)), hex(header_frame("remote\xAEname.bin 1 476")));
  pty.send({ACK});
  EXPECT_EQ(hex(pty.receive(1027)), hex(frame_of(content, 0, 1024)));
  pty.send({ACK});
  EXPECT_EQ(hex(pty.receive(479)), hex(frame_of(content, 1024, 476)));
  pty.send({ACK});
  EXPECT_EQ(sending.get(), FILE_OK);
  expect_progress_of_one_block_and_rest(gadget, 1500);
}

TEST(IoModule, SendFileAsStopsWhenTheFileChangesAfterItsHeaderWentOut) {
  const struct {
    const char* story;
    void (*change)(const std::string& path);
    long status;
  } cases[] = {
      {"shrunk: no stale bytes go out as file data",
       [](const std::string& path) { std::filesystem::resize_file(path, 100); }, FILE_READ_FAILED},
      {"replaced by a FIFO: not opened, so nothing blocks",
       [](const std::string& path) {
         ASSERT_EQ(mkfifo((path + ".fifo").c_str(), 0600), 0);
         std::filesystem::rename(path + ".fifo", path);
       },
       FILE_OPEN_FAILED},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string path = tmp / "data.bin";
    write_file(path, pattern_bytes(2048));
    PtyPair pty;
    LinkEnd link(pty, LinkEnd::Side::slave);
    auto sending = std::async(std::launch::async, [&] { return send_file_as(path.c_str(), "data.bin", nullptr); });
    EXPECT_EQ(hex(pty.receive(63)), hex(header_frame("data.bin 2 0"))) << c.story;
    c.change(path);
    pty.send({ACK});
    EXPECT_EQ(sending.get(), c.status) << c.story;
    EXPECT_TRUE(pty.quiet_for(100ms)) << c.story;
  }
}

TEST(IoModule, SendFileAsRefusesAFileItMayNotReadBeforeAnnouncingIt) {
  TempDir tmp;
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  const std::string path = tmp / "secret.bin";
  write_file(path, pattern_bytes(10));
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  // The superuser reads anything: the sender runs as nobody then.
  const pid_t sender = fork();
  ASSERT_GE(sender, 0);
  if (sender == 0) {
    constexpr uid_t kNobody = 65534;
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
    _exit(static_cast<int>(send_file_as(path.c_str(), "secret.bin", nullptr)));
  }
  EXPECT_EQ(hex(pty.receive(4)), "02 2d 2d 03");
  pty.send({ACK});
  int status = 0;
  ASSERT_EQ(waitpid(sender, &status, 0), sender);
  EXPECT_EQ(WEXITSTATUS(status), FILE_NO_LOCK);
}

TEST(IoModule, SendFileAsOfAnEmptyFileShowsOnlyItsRate) {
  TempDir tmp;
  write_file(tmp / "empty.bin", {});
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  RecordingGadget gadget;
  const std::string local = tmp / "empty.bin";
  auto sending = std::async(std::launch::async, [&] { return send_file_as(local.c_str(), "empty.bin", &gadget); });
  EXPECT_EQ(hex(pty.receive(63)), hex(header_frame("empty.bin 0 0")));
  pty.send({ACK});
  EXPECT_EQ(sending.get(), FILE_OK);
  EXPECT_EQ(gadget.texts, std::vector<std::string>{"0 Bytes/s"});
  EXPECT_EQ(gadget.pauses, 1);
}

// --- Receiving a file ---

TEST(IoModule, ReceiveFileCommandStoresTheFileItsHeaderNames) {
  TempDir tmp;
  const struct {
    std::string header;
    std::string stored_as;
    std::size_t size;
  } cases[] = {
      {"empty.bin 0 0", "empty.bin", 0},
      {"two.bin 2 0", "two.bin", 2048},
      {"odd.bin 1 476", "odd.bin", 1500},
      {"my\xAE" "file 0 3", "my file", 3},
  };
  CustomerScript customer(tmp.path());
  std::string console;
  std::vector<std::string> stored;
  for (const auto& c : cases) {
    customer.command(cmd_receive_file);
    send_file_stream(customer, c.header, pattern_bytes(c.size, 9));
    console += "Empfangen der Datei status 0\n";
    stored.push_back(c.stored_as);
  }
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"), console + "Terminierungsignal empfangen\n");
  for (const auto& c : cases) EXPECT_EQ(read_file(tmp / c.stored_as), pattern_bytes(c.size, 9)) << c.stored_as;
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(names_in(tmp.path()), stored);  // and no temporary files
}

TEST(IoModule, ReceiveFileCommandRefusesHeadersItCannotStore) {
  TempDir tmp;
  std::filesystem::create_directory(tmp / "adir");
  const struct {
    std::string header;
    long status;
  } cases[] = {
      {"x.bin 5", FILE_HEADER_BAD},
      {"x.bin -1 0", FILE_HEADER_BAD},
      {"x.bin 0 -1", FILE_HEADER_BAD},
      {"x.bin 0 1024", FILE_HEADER_BAD},
      {"x.bin 99999999999 0", FILE_HEADER_BAD},
      {"huge.bin 2147483647 1023", FILE_NO_ROOM},
      {"nodir/x.bin 0 1", FILE_CREATE_FAILED},
      {"adir 0 1", FILE_CREATE_FAILED},
  };
  CustomerScript customer(tmp.path());
  std::string console;
  for (const auto& c : cases) {
    customer.command(cmd_receive_file);
    customer.send(header_frame(c.header));
    EXPECT_EQ(hex(customer.receive(1)), "15") << c.header;
    console += "Empfangen der Datei status " + std::to_string(c.status) + "\n";
  }
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"), console + "Terminierungsignal empfangen\n");
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"adir"});
  EXPECT_TRUE(names_in(tmp / "adir").empty());
}

TEST(IoModule, ReceiveFileCommandTakesDamagedFramesAgain) {
  TempDir tmp;
  const Bytes two = pattern_bytes(2048, 3);
  const Bytes small = pattern_bytes(100, 4);
  CustomerScript customer(tmp.path());

  customer.command(cmd_receive_file);
  customer.send(header_frame("dmg.bin 2 0"));
  EXPECT_EQ(hex(customer.receive(1)), "06");
  customer.send(damaged(frame_of(two, 0, 1024)));
  // A damaged block gets no answer; a sender repeats it only after a pause
  // (its time limit), and the service waits for the line to go quiet first.
  EXPECT_TRUE(customer.line().quiet_for(kRepeatAfter));
  customer.send(frame_of(two, 0, 1024));
  EXPECT_EQ(hex(customer.receive(1)), "06");
  customer.send(frame_of(two, 1024, 1024));
  EXPECT_EQ(hex(customer.receive(1)), "06");

  customer.command(cmd_receive_file);
  customer.send(header_frame("short.bin 0 100"));
  EXPECT_EQ(hex(customer.receive(1)), "06");
  customer.send(damaged(frame(small)));
  EXPECT_EQ(hex(customer.receive(1)), "15");  // a damaged short block is refused at once
  customer.send(frame(small));
  EXPECT_EQ(hex(customer.receive(1)), "06");

  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(customer.console_after("Terminierungsignal empfangen\n"),
            "Empfangen der Datei status 0\nEmpfangen der Datei status 0\nTerminierungsignal empfangen\n");
  EXPECT_EQ(read_file(tmp / "dmg.bin"), two);
  EXPECT_EQ(read_file(tmp / "short.bin"), small);
}

TEST(IoModule, ReceiveFileCommandReplacesAnExistingFileKeepingItsPermissions) {
  TempDir tmp;
  write_file(tmp / "old.txt", bytes_of("old content"));
  ASSERT_EQ(chmod((tmp / "old.txt").c_str(), 0640), 0);
  CustomerScript customer(tmp.path());
  customer.command(cmd_receive_file);
  send_file_stream(customer, "old.txt 0 3", bytes_of("new"));
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(read_file(tmp / "old.txt"), bytes_of("new"));
  struct stat st {};
  ASSERT_EQ(stat((tmp / "old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"old.txt"});
}

TEST(IoModule, ReceiveFileLeavesAnExistingFileIntactWhenThePeerStopsMidway) {
  TempDir tmp;
  write_file(tmp / "keep.txt", bytes_of("precious"));
  CustomerScript customer(tmp.path(), kShortTick);
  customer.command(cmd_receive_file);
  customer.send(header_frame("keep.txt 3 0"));
  EXPECT_EQ(hex(customer.receive(1)), "06");
  customer.send(frame_of(pattern_bytes(1024), 0, 1024));
  EXPECT_EQ(hex(customer.receive(1)), "06");
  // The customer falls silent: five time-outs end the transfer with a NAK.
  EXPECT_EQ(hex(customer.receive(1)), "15");
  EXPECT_EQ(customer.console_after("Empfangen der Datei status 14\n"), "Empfangen der Datei status 14\n");
  EXPECT_EQ(read_file(tmp / "keep.txt"), bytes_of("precious"));
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(customer.terminate(), 0);
}

// --- Faults the frames cannot show: a repeat taken for a new block, a frame off by a byte ---

// A tick at which the time limit is 525 ms: a repeat is told by 131 ms of
// silence, the line counts as between frames after 105 ms of quiet, and our
// sender pauses 210 ms before it repeats a frame that drew a wrong answer.
// The senders played here repeat after 300 ms, well clear of all of them.
constexpr auto kFaultTick = 5ms;
constexpr auto kRepeatAfter300 = 300ms;

Bytes joined(const Bytes& first, const Bytes& second) {
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  return both;
}

TEST(IoModule, ReceiveFileTellsASendersRepeatFromANextBlockOfTheSameBytes) {
  TempDir tmp;
  const Bytes a = pattern_bytes(1024, 5);
  const Bytes b = pattern_bytes(1024, 6);
  struct Frame {
    Bytes payload;
    std::chrono::milliseconds after;  // silence before it
  };
  const struct {
    std::string header;
    std::vector<Frame> frames;
    Bytes stored;
  } cases[] = {
      // Our ACK of a was lost: the sender repeats a after a pause.
      {"repeat.bin 2 0", {{a, 0ms}, {a, kRepeatAfter300}, {b, 0ms}}, joined(a, b)},
      // A file of two equal blocks: the second follows our ACK at once.
      {"same.bin 2 0", {{a, 0ms}, {a, 0ms}}, joined(a, a)},
  };
  CustomerScript customer(tmp.path(), kFaultTick);
  for (const auto& c : cases) {
    customer.command(cmd_receive_file);
    customer.send(header_frame(c.header));
    EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
    for (const auto& f : c.frames) {
      std::this_thread::sleep_for(f.after);
      customer.send(frame(f.payload));
      EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
    }
  }
  EXPECT_EQ(customer.console_after("status 0\nEmpfangen der Datei status 0\n"),
            "Empfangen der Datei status 0\nEmpfangen der Datei status 0\n");
  EXPECT_EQ(read_file(tmp / "repeat.bin"), joined(a, b));
  EXPECT_EQ(read_file(tmp / "same.bin"), joined(a, a));
  EXPECT_EQ(customer.terminate(), 0);
}

TEST(IoModule, ReceiveFileFindsTheNextFrameAfterAByteAddedOrLost) {
  TempDir tmp;
  const Bytes a = pattern_bytes(1024, 7);
  const Bytes b = pattern_bytes(1024, 8);
  Bytes longer = frame(a);
  longer.insert(longer.begin() + 500, 0x55);
  Bytes shorter = frame(a);
  shorter.erase(shorter.begin() + 500);
  const struct {
    std::string header;
    Bytes torn;
    int repeats_lost;  // whole repeats the service drops while it finds the frames again
  } cases[] = {
      {"added.bin 2 0", longer, 0},
      // The first repeat completes the torn frame and goes with it.
      {"lost.bin 2 0", shorter, 1},
  };
  CustomerScript customer(tmp.path(), kFaultTick);
  for (const auto& c : cases) {
    customer.command(cmd_receive_file);
    customer.send(header_frame(c.header));
    EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
    customer.send(c.torn);
    // No answer, so the sender repeats the block after a pause, as often as it must.
    for (int lost = 0; lost < c.repeats_lost; ++lost) {
      EXPECT_TRUE(customer.line().quiet_for(kRepeatAfter300)) << c.header;
      customer.send(frame(a));
    }
    EXPECT_TRUE(customer.line().quiet_for(kRepeatAfter300)) << c.header;
    customer.send(frame(a));
    EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
    customer.send(frame(b));
    EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
  }
  EXPECT_EQ(customer.terminate(), 0);
  EXPECT_EQ(read_file(tmp / "added.bin"), joined(a, b));
  EXPECT_EQ(read_file(tmp / "lost.bin"), joined(a, b));
}

TEST(IoModule, ReceiveFileFailsWhenBytesFollowTheLastFrameBeforeItsAnswer) {
  TempDir tmp;
  const Bytes a = pattern_bytes(1024, 10);
  const Bytes b = pattern_bytes(1024, 11);
  const struct {
    std::string header;
    Bytes sent;
    std::string answer;
    std::string console;
  } cases[] = {
      {"alone.bin 1 0", frame(a), "06", "Empfangen der Datei status 0\n"},
      // A sender a frame ahead of us: its next frame is there before our answer.
      {"ahead.bin 1 0", joined(frame(a), frame(b)), "15", "Empfangen der Datei status 14\n"},
  };
  CustomerScript customer(tmp.path(), kFaultTick);
  std::string console;
  for (const auto& c : cases) {
    customer.command(cmd_receive_file);
    customer.send(header_frame(c.header));
    EXPECT_EQ(hex(customer.receive(1)), "06") << c.header;
    customer.send(c.sent);
    EXPECT_EQ(hex(customer.receive(1)), c.answer) << c.header;
    console += c.console;
    EXPECT_EQ(customer.console_after(c.console), console) << c.header;
  }
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"alone.bin"});
  EXPECT_EQ(read_file(tmp / "alone.bin"), a);
  EXPECT_EQ(customer.terminate(), 0);  // what followed did not reach the command loop
}

TEST(IoModule, SendFilePausesBeforeItRepeatsAFrameThatDrewAWrongAnswer) {
  TempDir tmp;
  const Bytes content = pattern_bytes(2048, 9);
  write_file(tmp / "two.bin", content);
  CustomerScript customer(tmp.path(), kFaultTick);
  customer.command(cmd_send_file, "two.bin");
  EXPECT_EQ(hex(customer.receive_and_answer(63, ACK)), hex(header_frame("two.bin 2 0")));
  EXPECT_EQ(hex(customer.receive(1027)), hex(frame_of(content, 0, 1024)));
  // A garbled ACK, and behind it a stray byte that must not pass for the next answer.
  customer.send({0x86, ACK});
  const auto answered = std::chrono::steady_clock::now();
  EXPECT_EQ(hex(customer.receive(1027)), hex(frame_of(content, 0, 1024)));
  EXPECT_GE(std::chrono::steady_clock::now() - answered, 200ms);  // the repeat pause: our receiver tells it a repeat
  customer.answer(ACK);
  EXPECT_EQ(hex(customer.receive_and_answer(1027, ACK)), hex(frame_of(content, 1024, 1024)));
  EXPECT_EQ(customer.console_after("Sende Datei <two.bin> status 0\n"), "Sende Datei <two.bin> status 0\n");
  EXPECT_EQ(customer.terminate(), 0);
}

TEST(IoModule, ReceiveFileToStoresUnderTheChosenNameWhateverTheHeaderSays) {
  TempDir tmp;
  std::filesystem::create_directories(tmp / "a/b");
  CurrentDirectory inside(tmp / "a/b");
  PtyPair pty;
  LinkEnd link(pty, LinkEnd::Side::slave);
  RecordingGadget gadget;
  const std::string target = tmp / "a/b/target.bin";
  auto receiving = std::async(std::launch::async, [&] { return receive_file_to(&gadget, target.c_str()); });
  const Bytes content = pattern_bytes(1034);

  pty.send(header_frame("../../evil 1 10"));
  EXPECT_EQ(hex(pty.receive(1)), "06");
  pty.send(frame_of(content, 0, 1024));
  EXPECT_EQ(hex(pty.receive(1)), "06");
  pty.send(frame_of(content, 1024, 10));
  EXPECT_EQ(hex(pty.receive(1)), "06");
  EXPECT_EQ(receiving.get(), FILE_OK);

  EXPECT_EQ(read_file(target), content);
  EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"a"});
  EXPECT_EQ(names_in(tmp / "a/b"), std::vector<std::string>{"target.bin"});
  expect_progress_of_one_block_and_rest(gadget, 1034);
}

// --- Both halves against each other ---

TEST(IoModule, SixteenMebibytesCrossThePtyBothWaysUnchanged) {
  TempDir service_dir;
  TempDir customer_dir;
  CurrentDirectory inside(customer_dir.path());
  const Bytes content = pattern_bytes(16 << 20, 77);
  write_file(customer_dir / "big.bin", content);
  PtyPair pty;
  auto service = ServiceProcess::forked({pty.slave_path(), "0"}, 20ms, service_dir.path());
  ASSERT_TRUE(service.wait_for_output("Service is ready\n"));
  LinkEnd link(pty, LinkEnd::Side::master);
  ASSERT_EQ(identify('c'), LINK_OK);

  ASSERT_EQ(send_command(cmd_receive_file), LINK_OK);
  EXPECT_EQ(send_file_as("big.bin", "big copy.bin", nullptr), FILE_OK);
  EXPECT_TRUE(service.wait_for_output("Empfangen der Datei status 0\n"));

  ASSERT_EQ(send_command(cmd_send_file, "big copy.bin"), LINK_OK);
  EXPECT_EQ(receive_file_to(nullptr, "back.bin"), FILE_OK);
  EXPECT_TRUE(service.wait_for_output("Sende Datei <big copy.bin> status 0\n"));

  ASSERT_EQ(send_command(cmd_send_akt_dir), LINK_OK);
  OwnedList list;
  EXPECT_EQ(receive_akt_dir(&list), DIR_OK);
  EXPECT_EQ(rows_of(list), (std::vector<Row>{{padded("big copy.bin"), "FILE", padded("big copy.bin"), 0}}));

  ASSERT_EQ(send_command(cmd_terminate), LINK_OK);
  EXPECT_EQ(service.wait_exit(), 0);
  EXPECT_TRUE(read_file(service_dir / "big copy.bin") == content);
  EXPECT_TRUE(read_file(customer_dir / "back.bin") == content);
}
