#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <sstream>
#include <thread>

#include "command_line.h"
#include "customer_main.h"
#include "io_atome.h"
#include "misc.h"
#include "options.h"
#include "platform/serial_line.h"
#include "progress.h"
#include "service.h"
#include "session.h"
#include "support/null_modem.h"
#include "support/program_run.h"
#include "support/pty_pair.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace customer_side;
using namespace std::chrono_literals;

namespace {

std::vector<Command> commands_of_words(const std::vector<std::string>& words) {
  std::vector<Command> commands;
  std::string error;
  EXPECT_TRUE(split_words(words, commands, error)) << error;
  return commands;
}

std::vector<Command> commands_of_line(const std::string& line) {
  std::vector<Command> commands;
  std::string error;
  EXPECT_TRUE(split_line(line, commands, error)) << error;
  return commands;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// What the customer prints about a service on this host.
std::string service_line() {
  UBYTE frame[3];
  build_own_frame(frame);
  ID id{};
  get_sys_data(&id, frame);
  return std::string("Service: ") + id.os + " " + id.os_ver + " / " + id.cpu + "\n";
}

}  // namespace

// --- The command line ---

TEST(CustomerOptions, TakesOptionsBeforeTheDeviceAndWordsAfterIt) {
  const char* argv[] = {"quorvantix-customer", "--unit", "2", "--baud=115200", "-q", "serial.device", "get", "-q"};
  Options options;
  std::string error;
  ASSERT_TRUE(parse_options(8, argv, options, error)) << error;
  EXPECT_EQ(options.unit, 2);
  EXPECT_EQ(options.baud, 115200);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.device, "serial.device");
  EXPECT_EQ(options.command_words, (std::vector<std::string>{"get", "-q"}));
}

TEST(CustomerOptions, RefusesWhatCannotBeUsed) {
  const struct {
    std::vector<const char*> argv;
    const char* error_part;
  } cases[] = {
      {{"c"}, "name the serial line"},
      {{"c", "--baud", "fast", "/dev/x"}, "--baud takes a line speed"},
      {{"c", "--baud", "0", "/dev/x"}, "--baud takes a line speed"},
      {{"c", "--unit", "-1", "/dev/x"}, "--unit takes a unit number"},
      {{"c", "--unit"}, "needs a value"},
      {{"c", "--speed", "/dev/x"}, "unknown option '--speed'"},
  };
  for (const auto& c : cases) {
    Options options;
    std::string error;
    EXPECT_FALSE(parse_options(static_cast<int>(c.argv.size()), c.argv.data(), options, error)) << c.argv.size();
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  }
}

TEST(CustomerCommandLine, SplitsArgumentWordsAtSemicolons) {
  const struct {
    std::vector<std::string> words;
    std::vector<Command> commands;
  } cases[] = {
      {{"ls"}, {{"ls"}}},
      {{"get", "my file.txt"}, {{"get", "my file.txt"}}},
      {{"cd", "sub", ";", "get", "a"}, {{"cd", "sub"}, {"get", "a"}}},
      {{"cd", "sub;", "ls;"}, {{"cd", "sub"}, {"ls"}}},
      {{"cd sub; get 'a b' c"}, {{"cd", "sub"}, {"get", "a b", "c"}}},
      {{"ls;", "pwd"}, {{"ls"}, {"pwd"}}},
      {{";", "pwd", ";", ";"}, {{"pwd"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(commands_of_words(c.words), c.commands) << c.words.front();
}

TEST(CustomerCommandLine, SplitsScriptLinesWithQuotesAndComments) {
  const struct {
    std::string line;
    std::vector<Command> commands;
  } cases[] = {
      {"  get  a.txt   b.txt ", {{"get", "a.txt", "b.txt"}}},
      {"put \"my file\" 'x y'", {{"put", "my file", "x y"}}},
      {R"(put my\ file "a \"q\" \\")", {{"put", "my file", "a \"q\" \\"}}},
      {"cd sub;ls ; pwd", {{"cd", "sub"}, {"ls"}, {"pwd"}}},
      {"get 'a;b' # fetch it", {{"get", "a;b"}}},
      {"# only a comment", {}},
      {"get a#b", {{"get", "a#b"}}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(commands_of_line(c.line), c.commands) << c.line;
  std::vector<Command> commands;
  std::string error;
  EXPECT_FALSE(split_line("get 'open", commands, error));
  EXPECT_EQ(error, "the quote ' is not closed");
}

// --- Names ---

TEST(CustomerNames, LastComponentIsTheLocalDefault) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.txt", "a.txt"}, {"dir/sub/a.txt", "a.txt"}, {"Work:docs/a", "a"}, {"Work:a", "a"},
      {"dir/", ""},       {"..", ""},                 {"a/..", ""},         {"../../.profile", ".profile"},
  };
  for (const auto& [path, last] : cases) EXPECT_EQ(last_component(path), last) << path;
}

TEST(CustomerNames, WireNameMustFitTheHeader) {
  const std::string fits(60 - 4, 'n');  // "nnn... 0 5" is exactly 60 bytes
  const struct {
    std::string name;
    std::int64_t size;
    long result;
  } cases[] = {
      {"a.txt", 1500, 0},
      {"with space", 10, 0},
      {fits, 5, 0},
      {fits, 10240, NAME_TOO_LONG},  // "10 0" is one byte longer than "0 5"
      {fits + "n", 5, NAME_TOO_LONG},
      {"", 1, NAME_UNUSABLE},
      {"..", 1, NAME_UNUSABLE},
      {"tab\tname", 1, NAME_UNUSABLE},
      {"line\nbreak", 1, NAME_UNUSABLE},
      {"sub\xAEstitute", 1, NAME_UNUSABLE},
  };
  for (const auto& c : cases) EXPECT_EQ(check_wire_name(c.name, c.size), c.result) << c.name;
}

TEST(CustomerNames, GetWritesWhereTheUserSaysAndNowhereElse) {
  TempDir here;
  CurrentDirectory inside(here.path());
  write_file(here / "existing", {1});
  ASSERT_EQ(mkdir((here / "dir").c_str(), 0755), 0);
  Session session;
  const struct {
    std::string remote;
    std::string local;
    std::string target;
  } cases[] = {
      {"a.txt", "", "a.txt"},
      {"sub/../../.profile", "", ".profile"},
      {"a.txt", "b.txt", "b.txt"},
      {"a.txt", "dir", "dir/a.txt"},
      {"x/a.txt", "dir/", "dir/a.txt"},
      {"a.txt", "existing", "existing"},
      {"dir", "", ""},        // a directory is in the way
      {"sub/", "", ""},       // no name to take
      {"..", "dir", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(get_target(session, c.remote, c.local), c.target) << c.remote;
}

// --- The progress line ---

TEST(CustomerProgress, ShowsSizesRatesAndTimes) {
  EXPECT_EQ(format_bytes(0), "0 B");
  EXPECT_EQ(format_bytes(1023), "1023 B");
  EXPECT_EQ(format_bytes(1536), "1.5 KiB");
  EXPECT_EQ(format_bytes(16 << 20), "16.0 MiB");
  EXPECT_EQ(format_bytes(std::int64_t{3} << 30), "3.00 GiB");
  EXPECT_EQ(format_duration(7s), "0:07");
  EXPECT_EQ(format_duration(754s), "12:34");
  EXPECT_EQ(format_duration(3723s), "1:02:03");
  EXPECT_EQ(progress_line("get a", 512, 2048, 0.1s), "get a  25%  512 B of 2.0 KiB");
  EXPECT_EQ(progress_line("get a", 1 << 20, 4 << 20, 2s), "get a  25%  1.0 MiB of 4.0 MiB  512.0 KiB/s  0:06 left");
  EXPECT_EQ(progress_line("put e", 0, 0, 1s), "put e  100%  0 B of 0 B");
  EXPECT_EQ(summary_line("get a", 4 << 20, 2s), "get a: 4.0 MiB in 2.00 s, 2.0 MiB/s (2097152 Bytes/s)");
}

TEST(CustomerProgress, DrawsOnlyWhenLiveAndEndsItsLine) {
  std::ostringstream quiet_err;
  {
    TerminalProgress quiet(quiet_err, "get a", false);
    quiet.set_text("    1/    2", TransferProgress{1024, 2048, false});
    quiet.set_text("2048 Bytes/s", TransferProgress{2048, 2048, true});
  }
  EXPECT_EQ(quiet_err.str(), "");
  std::ostringstream live_err;
  {
    TerminalProgress live(live_err, "get a", true);
    live.set_text("    1/    2", TransferProgress{1024, 2048, false});
  }
  EXPECT_EQ(live_err.str(), "\r\033[Kget a  50%  1.0 KiB of 2.0 KiB\n");
}

// --- The two programs on the two ends of a cable ---

namespace {

// Time limits of 210 ms instead of 2.1 s.
constexpr auto kShortTick = 2ms;

class CustomerAndService : public ::testing::Test {
 protected:
  void start_service(std::optional<std::chrono::nanoseconds> tick = std::nullopt) {
    const std::vector<std::string> args{cable.a_path(), "0"};
    service.emplace(tick ? ServiceProcess::forked(args, *tick, remote.path())
                         : ServiceProcess::binary(args, remote.path()));
    ASSERT_TRUE(service->wait_for_output("Service is ready\n"));
  }

  const std::string& line() const { return cable.b_path(); }

  // The real customer program with `args`, in the local directory.
  ProgramResult customer(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv{QUORVANTIX_CUSTOMER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, input, local.path());
  }

  // The customer's entry point in a child with a short tick, for paths that
  // wait out time limits.
  ProgramResult quick_customer(const std::vector<std::string>& args, const std::string& input = "",
                               const std::function<void(pid_t)>& started = {}) {
    std::vector<std::string> argv{"quorvantix-customer"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_forked(
        [&argv] {
          platform::testing::set_tick(kShortTick);
          std::vector<char*> pointers;
          for (auto& arg : argv) pointers.push_back(arg.data());
          return customer_main(static_cast<int>(argv.size()), pointers.data());
        },
        input, local.path(), 60s, started);
  }

  TempDir remote;
  TempDir local;
  NullModem cable;
  std::optional<ServiceProcess> service;
};

// One row of ls or lls: name, type word, size.
std::string listing_row(const std::string& name, const std::string& type, long long size) {
  char row[128];
  std::snprintf(row, sizeof row, "%-30s  %-4s  %10lld\n", name.c_str(), type.c_str(), size);
  return row;
}

long long size_of(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

TEST_F(CustomerAndService, BrowsesTheServicesDirectories) {
  start_service();
  write_file(remote / "readme.txt", pattern_bytes(1234));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  write_file(remote / "sub/inner.bin", pattern_bytes(10));

  const auto run = customer({line(), "pwd;", "ls;", "cd", "sub", ";", "pwd", ";", "ls", ";", "cd", "..", ";", "pwd"});

  EXPECT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(run.out, remote.path() + "\n" + listing_row("readme.txt", "FILE", 1234) +
                         listing_row("sub", "DIR", size_of(remote / "sub")) + remote.path() + "/sub\n" +
                         listing_row("inner.bin", "FILE", 10) + remote.path() + "\n");
  EXPECT_EQ(run.err, service_line());
  EXPECT_TRUE(service->wait_for_output("Customer Terminierung empfangen\n"));
}

TEST_F(CustomerAndService, FetchesAndStoresFilesByteForByte) {
  start_service();
  const std::size_t sizes[] = {0, 1, 1023, 1024, 1025, 2048, 70'000};
  std::string script;
  for (std::size_t size : sizes) {
    const std::string name = "f" + std::to_string(size);
    write_file(remote / name, pattern_bytes(size, static_cast<std::uint8_t>(size)));
    write_file(local / ("u" + std::to_string(size)), pattern_bytes(size, static_cast<std::uint8_t>(size + 7)));
    script += "get " + name + "\nput u" + std::to_string(size) + "\n";
  }
  write_file(local / "old copy", {9, 9, 9});
  script += "get f1025 'old copy'\nput u1025 'stored as this'\n";

  const auto run = customer({"-q", line(), "-"}, script);

  EXPECT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(run.err, "");
  for (std::size_t size : sizes) {
    EXPECT_EQ(read_file(local / ("f" + std::to_string(size))), read_file(remote / ("f" + std::to_string(size))))
        << size;
    EXPECT_EQ(read_file(remote / ("u" + std::to_string(size))), read_file(local / ("u" + std::to_string(size))))
        << size;
  }
  EXPECT_EQ(read_file(local / "old copy"), read_file(remote / "f1025"));
  EXPECT_EQ(read_file(remote / "stored as this"), read_file(local / "u1025"));
}

TEST_F(CustomerAndService, SwitchesBothEndsToAnotherSpeed) {
  start_service();
  write_file(remote / "data", pattern_bytes(5000));

  const auto run = customer({"--baud", "115200", line(), "get data; baud 38400; put data copy"});

  EXPECT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(read_file(remote / "copy"), read_file(remote / "data"));
  EXPECT_TRUE(service->wait_for_output("Customer Terminierung empfangen\n"));
  const std::string& console = service->output();
  EXPECT_NE(console.find("Baudrate auf 115200 gesetzt status 0\n"), std::string::npos) << console;
  EXPECT_NE(console.find("Baudrate auf 38400 gesetzt status 0\n"), std::string::npos) << console;
}

TEST_F(CustomerAndService, SignsOffSoThatTheNextCustomerIsServedThenShutsDown) {
  start_service();
  const auto first = customer({line(), "baud", "57600"});
  ASSERT_EQ(first.status, kExitOk) << first.err;
  ASSERT_TRUE(service->wait_for_output("Customer Terminierung empfangen\n"));
  // The service drops back to 9600 baud just after its console line.
  for (int wait = 0; wait < 100 && cable.a_baud() != 9600; ++wait) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(cable.a_baud(), 9600);

  const auto second = customer({"-q", line(), "pwd", ";", "shutdown"});

  EXPECT_EQ(second.status, kExitOk) << second.err;
  EXPECT_EQ(second.out, remote.path() + "\n");
  EXPECT_EQ(service->wait_exit(), 0);
  EXPECT_NE(service->output().find("Terminierungsignal empfangen\n"), std::string::npos);
}

TEST_F(CustomerAndService, ReachesAServiceThatItsLastCustomerLeftWithoutSigningOff) {
  start_service(kShortTick);
  const auto vanished = run_forked([this] {
    platform::testing::set_tick(kShortTick);
    Session session;
    if (open_line(session, line(), 0) != PORT_OK) return 1;
    const long identified = identify_service(session, [] { return false; });
    close_line();
    return identified == LINK_OK ? 0 : 1;
  });
  ASSERT_EQ(vanished.status, 0);
  ASSERT_TRUE(service->wait_for_output("Customer:"));

  const auto next = quick_customer({"-q", line(), "pwd"});

  EXPECT_EQ(next.status, kExitOk) << next.err;
  EXPECT_EQ(next.out, remote.path() + "\n");
}

TEST_F(CustomerAndService, ReadsCommandsFromAScriptFile) {
  start_service();
  write_file(remote / "a b.txt", pattern_bytes(300));
  write_file(local / "script", bytes_of("# fetch one file, twice\n"
                                        "get 'a b.txt'   # under its own name\n"
                                        "get \"a b.txt\" second; lls\n"
                                        "\n"
                                        "bye\n"
                                        "pwd\n"));

  const auto run = customer({"-q", line(), "script"});

  EXPECT_EQ(run.status, kExitOk) << run.err;
  EXPECT_EQ(read_file(local / "a b.txt"), read_file(remote / "a b.txt"));
  EXPECT_EQ(read_file(local / "second"), read_file(remote / "a b.txt"));
  // lls lists the local directory; nothing runs after bye.
  EXPECT_EQ(run.out, listing_row("a b.txt", "FILE", 300) + listing_row("script", "FILE", size_of(local / "script")) +
                         listing_row("second", "FILE", 300));
}

// --- Failures, each with a clear sentence and its exit status ---

TEST_F(CustomerAndService, MissingRemoteFileLeavesLocalFilesAsTheyWere) {
  start_service(kShortTick);
  write_file(local / "keep", {1, 2, 3});

  const auto run = quick_customer({"-q", line(), "get nothere; get nothere keep; pwd"});

  EXPECT_EQ(run.status, kExitCommandFailed);
  EXPECT_EQ(run.err,
            "get: the service sent no file 'nothere' (it has none of that name, or cannot read it)\n"
            "get: the service sent no file 'nothere' (it has none of that name, or cannot read it)\n");
  EXPECT_EQ(run.out, remote.path() + "\n");  // the line is in step again afterwards
  EXPECT_EQ(names_in(local.path()), std::vector<std::string>{"keep"});
  EXPECT_EQ(read_file(local / "keep"), (Bytes{1, 2, 3}));
}

TEST_F(CustomerAndService, CtrlCStopsATransferAndStillSignsOff) {
  start_service(kShortTick);
  write_file(remote / "big", pattern_bytes(8 << 20));
  std::thread interrupter;

  const auto run = quick_customer({"-q", line(), "get big; pwd"}, "", [&](pid_t pid) {
    interrupter = std::thread([this, pid] {
      // The file being received shows up under its temporary name.
      for (int wait = 0; wait < 1000 && names_in(local.path()).empty(); ++wait) std::this_thread::sleep_for(5ms);
      kill(pid, SIGINT);
    });
  });
  interrupter.join();

  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_EQ(run.err, "get: stopping; the service needs a few seconds to give up\nget: stopped; nothing was kept\n");
  EXPECT_EQ(run.out, "");  // nothing runs after the interrupted command
  EXPECT_EQ(names_in(local.path()), std::vector<std::string>{});
  EXPECT_TRUE(service->wait_for_output("Sende Datei <big> status 14\nCustomer Terminierung empfangen\n"))
      << service->output();
}

TEST_F(CustomerAndService, RefusedUploadFailsAndTheSessionGoesOn) {
  start_service();
  write_file(local / "a.txt", pattern_bytes(100));
  // The largest file a header can announce, without taking the room: the
  // service finds no room for it.
  const off_t largest = off_t{INT32_MAX} * 1024 + 1023;
  const int fd = open((local / "huge").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(ftruncate(fd, largest), 0);
  close(fd);
  struct statvfs volume {};
  ASSERT_EQ(statvfs(remote.path().c_str(), &volume), 0);
  ASSERT_LT(static_cast<double>(volume.f_bavail) * volume.f_frsize, static_cast<double>(largest));
  const std::string long_name(57, 'n');

  const auto run = customer(
      {"-q", line(), "put a.txt nodir/a.txt; put huge; put a.txt " + long_name + "; put gone; put .; pwd"});

  EXPECT_EQ(run.status, kExitCommandFailed);
  EXPECT_EQ(run.err,
            "put: the service refused to store 'a.txt' (its disk is full or write-protected, or it cannot "
            "create a file of that name)\n"
            "put: the service refused to store 'huge' (its disk is full or write-protected, or it cannot "
            "create a file of that name)\n"
            "put: '" + long_name + "' is too long: the name and the size must fit the 60 bytes of the file header\n"
            "put: stat(gone): No such file or directory\n"
            "put: . is not a plain file\n");
  EXPECT_EQ(run.out, remote.path() + "\n");
  EXPECT_TRUE(service->wait_for_output("Customer Terminierung empfangen\n"));
  EXPECT_NE(service->output().find("Empfangen der Datei status 13\nEmpfangen der Datei status 12\n"
                                   "Akt. Verzeichnisname"),
            std::string::npos)
      << service->output();
  EXPECT_EQ(names_in(remote.path()), std::vector<std::string>{});
}

TEST_F(CustomerAndService, RefusesDevicesItCannotUse) {
  start_service();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{cable.a_path(), "pwd"}, kExitNoLink,
       "quorvantix-customer: cannot open the line: open(" + cable.a_path() +
           "): the line is in use by another program\n"},
      {{"/nonexistent/tty", "pwd"}, kExitNoLink,
       "quorvantix-customer: cannot open the line: open(/nonexistent/tty): No such file or directory\n"},
      {{"floppy.device", "pwd"}, kExitNoLink,
       "quorvantix-customer: cannot open the line: unknown device 'floppy.device': give a path, tcp:HOST:PORT, tcp-listen:PORT, or "
       "serial.device, usbserial.device or acm.device with a unit\n"},
      {{line(), "fetch", "x"}, kExitUsage,
       "quorvantix-customer: unknown command 'fetch' (try help)\nTry 'quorvantix-customer --help'.\n"},
      {{line(), "get"}, kExitUsage,
       "quorvantix-customer: usage: get REMOTE [LOCAL]\nTry 'quorvantix-customer --help'.\n"},
  };
  for (const auto& c : cases) {
    const auto run = customer(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0];
    EXPECT_EQ(run.err, c.err);
  }
}

TEST_F(CustomerAndService, GivesUpOnALineWithoutService) {
  const auto run = quick_customer({line(), "pwd"});

  EXPECT_EQ(run.status, kExitNoLink);
  EXPECT_EQ(run.err, "quorvantix-customer: no service answers on " + line() +
                         " (no answer to the identification after 3 tries)\n");
}

// The cable is pulled in the middle of a session: the customer says so and
// ends with a failure, neither hanging nor signing off into the void.
TEST_F(CustomerAndService, ReportsALineThatWentAway) {
  PtyPair pulled;
  std::optional<ProgramResult> run;
  std::thread customer([&] { run = quick_customer({"-q", pulled.slave_path(), "pwd; pwd"}); });
  EXPECT_EQ(pulled.receive(6).size(), 6u);
  pulled.send({ACK});
  pulled.send(frame({0x1F, 0x2F, 0x41}));
  EXPECT_EQ(hex(pulled.receive(1)), "06");
  pulled.hang_up();
  customer.join();

  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->status, kExitCommandFailed);
  EXPECT_NE(run->err.find("quorvantix-customer: the line went away; the session is over\n"), std::string::npos)
      << run->err;
  EXPECT_EQ(run->err.find("pwd: ", run->err.find("went away")), std::string::npos) << "nothing runs after the loss";
}

// A peer that names a path of its own choosing in the file header: the file
// lands where the user said, and nowhere else.
TEST(CustomerAgainstAPeer, StoresAFetchedFileOnlyUnderTheLocalName) {
  TempDir top;
  const std::string here = top / "here";
  ASSERT_EQ(mkdir(here.c_str(), 0755), 0);
  PtyPair line;
  std::optional<ProgramResult> run;
  std::thread customer([&] {
    run = run_program({QUORVANTIX_CUSTOMER_BINARY, "-q", line.slave_path(), "get", "x"}, "", here);
  });
  const Bytes identification = line.receive(6);
  line.send({ACK});
  line.send(frame({0x1F, 0x2F, 0x41}));
  EXPECT_EQ(hex(line.receive(1)), "06");
  EXPECT_EQ(line.receive(63), command_frame(cmd_send_file, "x"));
  line.send({ACK});
  Bytes header(60, 0);
  const std::string text = "../evil 0 5";
  std::copy(text.begin(), text.end(), header.begin());
  line.send(frame(header));
  EXPECT_EQ(hex(line.receive(1)), "06");
  line.send(frame(bytes_of("hello")));
  EXPECT_EQ(hex(line.receive(1)), "06");
  EXPECT_EQ(line.receive(63), command_frame(cmd_customer_terminate));
  line.send({ACK});
  customer.join();

  EXPECT_EQ(identification.size(), 6u);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->status, kExitOk) << run->err;
  EXPECT_EQ(text_of(read_file(here + "/x")), "hello");
  EXPECT_EQ(names_in(top.path()), std::vector<std::string>{"here"});
  EXPECT_EQ(names_in(here), std::vector<std::string>{"x"});
}
