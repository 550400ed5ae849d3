// The interactive shell on a terminal 50 columns wide, played through a
// pseudo-terminal: the service's names completed, a progress line that never
// wraps, the exit status after Ctrl-D, and the history kept for next time.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <readline/readline.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "customer_main.h"
#include "service.h"
#include "support/sim_link.h"
#include "support/temp_dir.h"
#include "text_width.h"

using namespace testsupport;

namespace {

// Reads what the program shows until `text` is among it; false when 10 s
// pass without a byte, or the program has gone.
bool shows(int terminal, std::string& screen, const std::string& text) {
  char chunk[4096];
  for (pollfd in{terminal, POLLIN, 0}; screen.find(text) == std::string::npos;) {
    const ssize_t got = poll(&in, 1, 10'000) > 0 ? read(terminal, chunk, sizeof chunk) : 0;
    if (got <= 0) return false;
    screen.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

// The customer program on the terminal, against the service on a simulated
// line paced at 9600 baud; its exit status is the child's.
[[noreturn]] void customer_on_terminal(const std::string& state_home) {
  // The service's console lines go nowhere; the shell draws on the terminal.
  rl_outstream = fdopen(dup(STDOUT_FILENO), "w");
  if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(1);
  setenv("TERM", "dumb", 1);
  setenv("XDG_STATE_HOME", state_home.c_str(), 1);
  SimClock clock;
  SimCable cable(clock);
  cable.pace(9600);
  Link service_link(clock, cable.opener(SimCable::a));
  ServiceState service{service_link, "sim", 0, {}};
  int status = 1;
  const char* argv[] = {"quorvantix-customer", "sim", nullptr};
  clock.run([&] { status = customer_side::customer_main(2, const_cast<char**>(argv), clock, cable.opener(SimCable::b)); },
            {[&] { allocport(service_link, 0, "sim"); wait_for_customer(service); exec_commands(service); }});
  _exit(status);
}

}  // namespace

TEST(CustomerTerminal, CompletesTheServicesNamesAndKeepsProgressWithinFiftyColumns) {
  TempDir remote, local, state;
  CurrentDirectory in_remote(remote.path());
  write_file(remote / "hello_with_a_long_name.bin", pattern_bytes(20000, 1));
  ASSERT_EQ(mkdir((remote / "bulk").c_str(), 0755), 0);
  winsize size{20, 50, 0, 0};
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
  if (child == 0) customer_on_terminal(state.path());
  ASSERT_GT(child, 0);
  std::string screen;
  auto type = [&](const std::string& keys) { ASSERT_EQ(write(terminal, keys.data(), keys.size()), ssize_t(keys.size())); };
  // Keys go in only at a prompt: the terminal itself echoes keys typed ahead.
  const std::string prompt = "\nquorvantix " + remote.path();
  EXPECT_TRUE(shows(terminal, screen, prompt + "> "));
  type("get hel\t");
  EXPECT_TRUE(shows(terminal, screen, "hello_with_a_long_name.bin ")) << screen;
  type(local / "copy\n");
  EXPECT_TRUE(shows(terminal, screen, " B/s\r" + prompt + "> ")) << screen;
  type("cd bu\t\n");
  EXPECT_TRUE(shows(terminal, screen, prompt + "/bulk> ")) << screen;
  type("typo\n");
  EXPECT_TRUE(shows(terminal, screen, "unknown command 'typo' (try help)\r" + prompt + "/bulk> ")) << screen;
  type("\x04");
  shows(terminal, screen, std::string(1, '\0'));  // to the end of what it shows
  int status = -1;
  kill(child, SIGKILL);  // if it has not ended
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << screen;  // Ctrl-D after a typo
  EXPECT_EQ(read_file(local / "copy"), read_file(remote / "hello_with_a_long_name.bin"));
  // Every redraw of the progress line keeps out of the last column.
  int redraws = 0;
  for (std::size_t at = screen.find("\r\033[K"); at != std::string::npos; at = screen.find("\r\033[K", at + 1)) {
    const std::string line = screen.substr(at + 4, screen.find_first_of("\r\n", at + 4) - at - 4);
    EXPECT_LE(customer_side::display_width(line), 49u) << line;
    ++redraws;
  }
  EXPECT_GT(redraws, 10);
  const Bytes history = read_file(state / "quorvantix/history");
  EXPECT_NE(std::string(history.begin(), history.end()).find("cd bulk \ntypo\n"), std::string::npos);
}
