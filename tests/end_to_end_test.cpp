// The real programs over the line simulator: the service, its customers one
// after another across a line that goes away and comes back, and refusals at
// start; and the service, as a user of its own, storing files for a customer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "io_module.h"
#include "misc.h"
#include "service.h"
#include "session.h"
#include "support/program_run.h"
#include "support/running.h"
#include "support/temp_dir.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

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

int free_port() {
  const platform::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Every name in `dir` with its contents, mode and owner.
std::map<std::string, std::tuple<Bytes, mode_t, uid_t>> state_of(const std::string& dir) {
  std::map<std::string, std::tuple<Bytes, mode_t, uid_t>> state;
  for (const std::string& name : names_in(dir)) {
    struct stat st {};
    lstat((dir + "/" + name).c_str(), &st);
    state[name] = {read_file(dir + "/" + name), st.st_mode & 07777, st.st_uid};
  }
  return state;
}

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

TEST(EndToEndStoring, ReplacedFilesKeepTheirModeButNoSetuidOfAnotherOwnerAndAKilledReceiveLeavesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the service as nobody";
  TempDir served, local;
  chmod(served.path().c_str(), 0777);
  const uid_t nobody = getpwnam("nobody")->pw_uid;
  write_file(local / "new.bin", pattern_bytes(3000, 4));
  const struct { const char* name; uid_t owner; mode_t mode, new_mode; } files[] = {
      {"setuid", 1234, 06757, 0757}, {"plain", nobody, 0640, 0640}};
  for (const auto& f : files) {
    write_file(served / f.name, pattern_bytes(10));
    ASSERT_EQ(chown((served / f.name).c_str(), f.owner, 0), 0);  // before chmod: a chown clears setuid
    ASSERT_EQ(chmod((served / f.name).c_str(), f.mode), 0);
  }
  const std::string port = std::to_string(free_port());
  Running service("setpriv --reuid=nobody --regid=nogroup --clear-groups " + std::string(QUORVANTIX_SERVICE_BINARY) +
                      " tcp-listen:" + port + " 0",
                  served.path());
  ASSERT_TRUE(service.says("Service is ready\n"));
  platform::SteadyClock clock;
  Link link(clock);
  ASSERT_EQ(allocport(link, 0, ("tcp:127.0.0.1:" + port).c_str()), PORT_OK);
  customer_side::Session session(link);
  ASSERT_EQ(customer_side::reach_service(session), LINK_OK);
  for (const auto& f : files) {
    EXPECT_EQ(customer_side::remote_put(session, local / "new.bin", f.name, nullptr), FILE_OK) << f.name;
    EXPECT_EQ(state_of(served.path())[f.name], std::make_tuple(pattern_bytes(3000, 4), f.new_mode, nobody));
  }
  // A third upload, killed after its header and two blocks.
  const auto before = state_of(served.path());
  const char command[kCommandFrameBytes] = {static_cast<char>(cmd_receive_file)}, header[kHeaderBytes] = "plain 9 0";
  const std::string block(kBlockBytes, 'k');
  ASSERT_EQ(send_data(link, command, kCommandFrameBytes), LINK_OK);
  ASSERT_EQ(send_data(link, header, kHeaderBytes), LINK_OK);
  for (int block_number = 0; block_number < 2; ++block_number) {
    ASSERT_EQ(send_data(link, block.data(), kBlockBytes), LINK_OK);
  }
  EXPECT_EQ(service.end(SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(state_of(served.path()), before);
  freeport(link, 0);
}
