// File transfers through the line simulator under seeded faults, both ways, and
// what each end made of them. Every transfer must end either with the same
// file at both ends and status 0 on both, or with a failure on both and no
// file (nor any half-written one) left behind; and the service must answer the
// next customer afterwards. What the protocol cannot tell apart by its design
// is counted, not hidden.
//
//   build/tests/fault_suite [--quick] [--transfers N] [--size BYTES] [--tick-ms N] [--seed N]
//                           [--row FAULTS] [--only T]
//
// The service and the customer run their real entry points, each in a process
// of its own, with a short tick (default 2 ms: a time limit of 210 ms instead
// of 2.1 s) so that the time-outs that faults cause cost little; the simulator
// is the real program. --quick (for the test suite) runs 4 transfers a row of
// 8 KiB files at a tick of 4 ms. Exit status: 0 when nothing went wrong that
// our ends could have prevented, 1 otherwise, 2 for a bad command line.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "customer_main.h"
#include "io_atome.h"
#include "platform/serial_line.h"
#include "support/program_run.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using testsupport::Bytes;
using testsupport::ServiceProcess;
using testsupport::TempDir;

constexpr int kPollsPerLimit = kPollsPerOperation * kTicksBetweenPolls;  // ticks in one time limit
constexpr int kNextCustomerAttempts = 3;

struct Settings {
  int transfers = 40;  // per row, half of them get, half put
  std::size_t size = 16 * 1024;
  int tick_ms = 2;
  unsigned long seed = 1;
  bool quick = false;
  std::string row;        // only the row whose faults begin with this
  int only_transfer = -1;  // only this transfer of each row (as numbered in the lines printed)

  milliseconds time_limit() const { return milliseconds(kPollsPerLimit * tick_ms); }
};

struct Scenario {
  std::string name;
  std::vector<std::string> linesim_args;
};

std::vector<Scenario> scenarios(const Settings& settings) {
  // A stall of one and a half time limits, a third of the way into the file.
  const std::string stall_ms = std::to_string(settings.time_limit().count() * 3 / 2);
  const std::string stall_after = std::to_string(settings.size / 3);
  return {
      {"none", {}},
      {"flip 1e-5", {"--flip", "1e-5"}},
      {"flip 1e-4", {"--flip", "1e-4"}},
      {"flip 1e-3", {"--flip", "1e-3"}},
      {"drop 1e-4", {"--drop", "1e-4"}},
      {"insert 1e-4", {"--insert", "1e-4"}},
      {"stall " + stall_ms + " ms", {"--stall-after", stall_after, "--stall-ms", stall_ms}},
  };
}

// --- The simulator ---

class Linesim {
 public:
  Linesim(const std::string& a, const std::string& b, unsigned long seed, const std::vector<std::string>& faults) {
    std::vector<std::string> args{QUORVANTIX_LINESIM_BINARY, "--a", a, "--b", b, "--quiet", "--seed", std::to_string(seed)};
    args.insert(args.end(), faults.begin(), faults.end());
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      std::freopen("/dev/null", "w", stdout);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // A busy machine may take its time to start a program.
    for (int waits = 0; waits < 2000 && !(std::filesystem::exists(a) && std::filesystem::exists(b)); ++waits) {
      std::this_thread::sleep_for(10ms);
    }
    if (!std::filesystem::exists(a) || !std::filesystem::exists(b)) throw std::runtime_error("the simulator did not start");
  }
  ~Linesim() {
    if (!ended_) kill(pid_, SIGTERM);
    if (!ended_) waitpid(pid_, nullptr, 0);
  }
  // False once the simulator has ended by itself (or something else ended it).
  bool running() {
    if (!ended_ && waitpid(pid_, nullptr, WNOHANG) == pid_) ended_ = true;
    return !ended_;
  }
  Linesim(const Linesim&) = delete;
  Linesim& operator=(const Linesim&) = delete;

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
};

// --- One transfer ---

enum class Direction { get, put };

enum class Verdict { completed, failed_cleanly, wrong_data_as_success, ends_disagree, broken };

struct Outcome {
  Verdict verdict = Verdict::broken;
  int customer_status = -1;
  long service_status = -1;  // -1: no console line, the service ran no transfer
  std::string detail;
  bool simulator_ended = false;  // the cable went away under the transfer: not our ends' doing
};

Bytes random_bytes(std::size_t count, std::mt19937_64& random) {
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

testsupport::ProgramResult run_customer(const Settings& settings, const std::string& device,
                                        const std::vector<std::string>& command, const std::string& directory) {
  std::vector<std::string> words{"quorvantix-customer", "-q", device};
  words.insert(words.end(), command.begin(), command.end());
  const auto tick = milliseconds(settings.tick_ms);
  return testsupport::run_forked(
      [&words, tick] {
        platform::testing::set_tick(tick);
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        return customer_side::customer_main(static_cast<int>(words.size()), argv.data());
      },
      "", directory, settings.time_limit() * 60 + 10s);
}

// The status of the service's console line for the transfer, once printed.
long service_status(ServiceProcess& service, Direction direction, const std::string& name, milliseconds limit) {
  const std::string prefix = direction == Direction::get ? "Sende Datei <" + name + "> status " : "Empfangen der Datei status ";
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    const std::string& all = service.output();
    const auto at = all.find(prefix);
    if (at != std::string::npos && all.find('\n', at) != std::string::npos) {
      return std::strtol(all.c_str() + at + prefix.size(), nullptr, 10);
    }
    service.wait_for_output("\n\n", 20ms);  // a wait that collects output meanwhile
  } while (std::chrono::steady_clock::now() < deadline);
  return -1;
}

// Empty when a customer gets an answer to pwd; else what the last one said.
std::string next_customer_served(const Settings& settings, const std::string& device, const std::string& service_dir) {
  std::string said;
  for (int attempt = 0; attempt < kNextCustomerAttempts; ++attempt) {
    const auto result = run_customer(settings, device, {"pwd"}, "");
    if (result.status == 0 && result.out == service_dir + "\n") return {};
    said = result.err;
  }
  return said.empty() ? "no answer" : said;
}

Verdict judge(int customer_status, long service_status, bool receiver_has_file, bool identical) {
  const bool customer_ok = customer_status == 0;
  const bool service_ok = service_status == 0;
  if (customer_ok && service_ok) return identical ? Verdict::completed : Verdict::wrong_data_as_success;
  if (!customer_ok && !service_ok) return receiver_has_file ? Verdict::broken : Verdict::failed_cleanly;
  // One end says success. A file that is there but wrong is the worst case;
  // otherwise the two ends simply disagree, as when the last answer is lost.
  if (receiver_has_file && !identical) return Verdict::wrong_data_as_success;
  return Verdict::ends_disagree;
}

Outcome run_transfer(const Settings& settings, const Scenario& scenario, Direction direction, unsigned long seed,
                     std::size_t size) {
  TempDir work;
  const std::string service_dir = work / "service";
  const std::string customer_dir = work / "customer";
  std::filesystem::create_directory(service_dir);
  std::filesystem::create_directory(customer_dir);
  const std::string name = "file.bin";
  std::mt19937_64 random(seed);
  const Bytes content = random_bytes(size, random);
  const std::string& sender_dir = direction == Direction::get ? service_dir : customer_dir;
  const std::string& receiver_dir = direction == Direction::get ? customer_dir : service_dir;
  testsupport::write_file(sender_dir + "/" + name, content);

  Linesim line(work / "A", work / "B", seed, scenario.linesim_args);
  ServiceProcess service = ServiceProcess::forked({work / "A", "0"}, milliseconds(settings.tick_ms), service_dir);
  Outcome outcome;
  if (!service.wait_for_output("Service is ready\n", 5s)) {
    outcome.detail = "the service did not start";
    return outcome;
  }
  const auto customer = run_customer(settings, work / "B", {direction == Direction::get ? "get" : "put", name}, customer_dir);
  outcome.customer_status = customer.status;
  // The service may still be counting time-outs when the customer is done.
  outcome.service_status = service_status(service, direction, name, settings.time_limit() * 8);

  const std::vector<std::string> in_receiver = testsupport::names_in(receiver_dir);
  const std::vector<std::string> in_sender = testsupport::names_in(sender_dir);
  const bool receiver_has_file = !in_receiver.empty();
  const bool identical = in_receiver == std::vector<std::string>{name} &&
                         testsupport::read_file(receiver_dir + "/" + name) == content;
  outcome.verdict = judge(outcome.customer_status, outcome.service_status, receiver_has_file, identical);
  if (in_receiver.size() > 1 || (receiver_has_file && in_receiver.front() != name)) {
    outcome.verdict = Verdict::broken;
    outcome.detail = "stray files at the receiver: " + in_receiver.front() + (in_receiver.size() > 1 ? ", ..." : "");
  }
  if (in_sender != std::vector<std::string>{name} || testsupport::read_file(sender_dir + "/" + name) != content) {
    outcome.verdict = Verdict::broken;
    outcome.detail = "the sender's file changed";
  }
  if (customer.status < 0 || customer.status >= 128) {
    outcome.verdict = Verdict::broken;
    outcome.detail = "the customer hung or crashed (" + std::to_string(customer.status) + "): " + customer.err;
  }
  // No status line: the command never got through, and the customer must say so.
  if (outcome.service_status < 0 && outcome.customer_status == 0) {
    outcome.verdict = Verdict::broken;
    outcome.detail = "the customer reports success, but the service printed no status for the transfer";
  } else if (const std::string said = next_customer_served(settings, work / "B", service_dir); !said.empty()) {
    outcome.verdict = Verdict::broken;
    outcome.detail = "the service did not answer the next customer: " + said + "service console:\n" + service.output();
  }
  outcome.simulator_ended = !line.running();
  return outcome;
}

// --- The table ---

struct Row {
  std::string faults;
  int transfers = 0;
  int counts[5] = {};
};

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::completed:
      return "completed";
    case Verdict::failed_cleanly:
      return "failed cleanly";
    case Verdict::wrong_data_as_success:
      return "WRONG DATA AS SUCCESS";
    case Verdict::ends_disagree:
      return "ends disagree";
    case Verdict::broken:
      return "BROKEN";
  }
  return "?";
}

void print_table(const Settings& settings, const std::vector<Row>& rows) {
  std::printf("\nfault suite: files of %zu bytes and a little more, tick %d ms (time limit %lld ms), seed %lu\n\n",
              settings.size, settings.tick_ms, static_cast<long long>(settings.time_limit().count()), settings.seed);
  std::printf("| faults | transfers | completed | failed cleanly | wrong data reported as success | ends disagree | broken |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %d | %d | %d | %d | %d | %d |\n", row.faults.c_str(), row.transfers, row.counts[0],
                row.counts[1], row.counts[2], row.counts[3], row.counts[4]);
  }
}

bool parse_settings(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool has_value = i + 1 < argc;
    if (word == "--quick") {
      // Few transfers, and a tick that a busy machine running other tests cannot outrun.
      settings.quick = true;
      settings.transfers = 4;
      settings.size = 8 * 1024;
      settings.tick_ms = 4;
    } else if (word == "--transfers" && has_value) {
      settings.transfers = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--size" && has_value) {
      settings.size = std::strtoul(argv[++i], nullptr, 10);
    } else if (word == "--tick-ms" && has_value) {
      settings.tick_ms = std::max(1, std::atoi(argv[++i]));
    } else if (word == "--row" && has_value) {
      settings.row = argv[++i];
    } else if (word == "--only" && has_value) {
      settings.only_transfer = std::atoi(argv[++i]);
    } else if (word == "--seed" && has_value) {
      settings.seed = std::strtoul(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: fault_suite [--quick] [--transfers N] [--size BYTES] [--tick-ms N] [--seed N] [--row FAULTS] [--only T]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, settings)) return 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Row> rows;
  bool failed = false;
  try {
    const auto all = scenarios(settings);
    for (std::size_t s = 0; s < all.size(); ++s) {
      if (all[s].name.rfind(settings.row, 0) != 0) continue;
      Row row{all[s].name};
      for (int t = 0; t < settings.transfers; ++t) {
        if (settings.only_transfer >= 0 && t != settings.only_transfer) continue;
        const Direction direction = t % 2 == 0 ? Direction::get : Direction::put;
        const unsigned long seed = settings.seed * 1'000'003 + s * 10'007 + static_cast<unsigned long>(t);
        // Sizes vary, so that both full blocks and a short block are on the line.
        const std::size_t size = settings.size + static_cast<std::size_t>(t) * 337 % 1024;
        Outcome outcome = run_transfer(settings, all[s], direction, seed, size);
        if (outcome.simulator_ended) {
          std::printf("%-12s transfer %d: the line simulator ended under it; once more\n", all[s].name.c_str(), t);
          outcome = run_transfer(settings, all[s], direction, seed, size);
        }
        ++row.transfers;
        ++row.counts[static_cast<int>(outcome.verdict)];
        if (outcome.verdict != Verdict::completed && outcome.verdict != Verdict::failed_cleanly) {
          std::printf("%-12s transfer %d, %s, seed %lu, %zu bytes: %s (customer %d, service %ld) %s\n",
                      all[s].name.c_str(), t, direction == Direction::get ? "get" : "put", seed, size,
                      verdict_name(outcome.verdict),
                      outcome.customer_status, outcome.service_status, outcome.detail.c_str());
        }
        if (outcome.verdict == Verdict::broken) failed = true;
        if (s == 0 && outcome.verdict != Verdict::completed) failed = true;  // a clean line must carry every file
      }
      rows.push_back(row);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fault_suite: %s\n", error.what());
    return 1;
  }
  print_table(settings, rows);
  std::printf("\n%s\n", failed ? "FAILED: see the lines above the table" : "passed");
  return failed ? 1 : 0;
}
