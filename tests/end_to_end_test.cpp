// The real programs over the line simulator: the service, its customers one
// after another across a line that goes away and comes back, and refusals at start.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "misc.h"
#include "support/program_run.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A program started by the shell in `directory` and left running; what it
// writes to standard output collects in `seen`.
class Running {
 public:
  Running(const std::string& command, const std::string& directory)
      : pipe_(popen(("cd " + directory + " && echo $$ && exec " + command).c_str(), "r"), pclose) {
    if (says("\n")) pid_ = std::stoi(seen);
    seen.erase(0, seen.find('\n') + 1);
  }
  ~Running() { end(SIGKILL); }

  // Whether `text` shows, with at most 5 s between two pieces of output.
  bool says(const std::string& text) {
    char chunk[512];
    for (pollfd in{fileno(pipe_.get()), POLLIN, 0}; seen.find(text) == std::string::npos;) {
      const ssize_t got = poll(&in, 1, 5000) > 0 ? read(in.fd, chunk, sizeof chunk) : 0;
      if (got <= 0) return false;
      seen.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
  }
  // Sends `signal` (0: none), waits for the output to end and gives the exit status.
  int end(int signal) {
    if (pipe_ == nullptr || pid_ <= 0) return -1;
    kill(pid_, signal);
    says(std::string(1, '\0'));
    kill(pid_, SIGKILL);  // if it has not ended by now
    const int status = pclose(pipe_.release());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string seen;

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> pipe_;
  pid_t pid_ = -1;
};

// The service on end a of a simulated cable, serving `remote`.
class EndToEnd : public ::testing::Test {
 protected:
  std::unique_ptr<Running> start_linesim() {
    auto sim = std::make_unique<Running>(std::string(QUORVANTIX_LINESIM_BINARY) + " --a a --b b", dir.path());
    EXPECT_TRUE(sim->says("linesim: "));
    return sim;
  }
  // The customer program on end b, in `local`.
  ProgramResult customer(std::vector<std::string> words, const std::string& input = "") {
    words.insert(words.begin(), {QUORVANTIX_CUSTOMER_BINARY, "-q", dir / "b"});
    return run_program(words, input, local.path(), 20s);
  }

  TempDir dir, remote, local;
  std::unique_ptr<Running> linesim = start_linesim();
  Running service{std::string(QUORVANTIX_SERVICE_BINARY) + " " + (dir / "a") + " 0", remote.path()};
};

}  // namespace

TEST_F(EndToEnd, ServesCustomersOneAfterAnotherAcrossALostLine) {
  ASSERT_TRUE(service.says("Service is ready\n"));
  write_file(remote / "r.bin", pattern_bytes(5000, 1));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  write_file(remote / "sub/s.txt", pattern_bytes(300, 2));
  write_file(local / "l.bin", pattern_bytes(3000, 3));
  const auto first = customer({"get", "r.bin;", "put", "l.bin"});
  EXPECT_EQ(first.status, 0) << first.err;
  linesim->end(SIGTERM);
  linesim = start_linesim();
  ASSERT_TRUE(service.says("Line is open again\n")) << service.seen;
  // A command marked '-' may fail (nothing to put): the rest still runs.
  const auto second = customer({"-"}, "cd sub\npwd\nget s.txt\n-put missing\nshutdown\n");
  EXPECT_EQ(std::tie(second.status, second.out), std::make_tuple(0, remote / "sub\n")) << second.err;
  EXPECT_EQ(service.end(0), 0);
  EXPECT_EQ(read_file(local / "r.bin"), read_file(remote / "r.bin"));
  EXPECT_EQ(read_file(remote / "l.bin"), read_file(local / "l.bin"));
  UBYTE own[3];
  build_own_frame(own);
  ID id{};
  get_sys_data(&id, own);
  const std::string a = dir / "a", here = remote.path();
  EXPECT_EQ(service.seen, a + " 0\nOpening Device " + a + " Port 0\nService is ready\nCustomer:" + id.os + " " +
                              id.os_ver + " / " + id.cpu + "\nSende Datei <r.bin> status 0\n" +
                              "Empfangen der Datei status 0\nCustomer Terminierung empfangen\n" +
                              "Line lost, waiting for it to come back\nLine is open again\n" +
                              "Akt. Verzeichnisname (" + here + ") gesendet.\nAkt. Verzeichnis auf sub gesetzt.\n" +
                              "Akt. Verzeichnisname (" + here + "/sub) gesendet.\nAkt. Verzeichnisname (" + here +
                              "/sub) gesendet.\nSende Datei <s.txt> status 0\nTerminierungsignal empfangen\n");
}

TEST_F(EndToEnd, AScriptFetchesAndStoresManyFilesAndStopsAtTheFirstFailure) {
  ASSERT_TRUE(service.says("Service is ready\n"));
  const std::string files[] = {"one.txt", "two.txt", "tree/t.bin", "tree/a/a.bin", "tree/a/b/b.bin"};
  for (const char* folder : {"tree", "tree/a", "tree/a/b"}) ASSERT_EQ(mkdir((remote / folder).c_str(), 0755), 0);
  for (std::uint8_t i = 0; i < 5; ++i) write_file(remote / files[i], pattern_bytes(1500u * i + 7, i));
  for (const char* name : {"up1.dat", "up2.dat"}) write_file(local / name, pattern_bytes(2000, 9));
  const std::string script = "-cd missing\nmget *.txt\nget -r tree\npwd\nmput up*.dat\nget one.txt\nput up1.dat x\n";
  write_file(local / "script", Bytes(script.begin(), script.end()));
  const auto run = run_program({QUORVANTIX_CUSTOMER_BINARY, "-q", "--batch", "script", dir / "b"}, "", local.path());
  // Back where it started after get -r; stopped by the get that would replace one.txt.
  EXPECT_EQ(std::tie(run.status, run.out), std::make_tuple(1, remote.path() + "\n")) << run.err;
  EXPECT_NE(run.err.find("line 6: get: one.txt exists here already; get -f replaces it"), std::string::npos);
  for (const auto& name : files) EXPECT_EQ(read_file(local / name), read_file(remote / name)) << name;
  for (const char* name : {"up1.dat", "up2.dat"}) EXPECT_EQ(read_file(remote / name), read_file(local / name));
  EXPECT_FALSE(exists(remote / "x"));
  // A word is a command, never a script to run.
  EXPECT_EQ(run_program({QUORVANTIX_CUSTOMER_BINARY, "-q", dir / "b", "script"}, "", local.path()).status, 2);
}

TEST(EndToEndRefusals, LinesThatCannotBeOpenedAndCommandsThatDoNotExist) {
  const auto service = run_program({QUORVANTIX_SERVICE_BINARY, "/nonexistent/tty", "0"}, "", "", 10s);
  EXPECT_EQ(service.status, 1);
  EXPECT_NE(service.out.find("Can't config Serial-Port\n"), std::string::npos) << service.out;
  EXPECT_EQ(run_program({QUORVANTIX_CUSTOMER_BINARY, "/nonexistent/tty", "pwd"}, "", "", 10s).status, 3);
  // Every command is checked before the line is opened.
  for (const char* word : {"fetch", "baud abc"})
    EXPECT_EQ(run_program({QUORVANTIX_CUSTOMER_BINARY, "/nonexistent/tty", word}, "", "", 10s).status, 2) << word;
}
