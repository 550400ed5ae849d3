// File transfers both ways through a faulty cable, and what each end made of
// them. Both ends run in this process on the simulated cable: the service's
// real command loop, and the customer's session functions. The faults are
// seeded per byte, so a run repeats exactly, and its time-outs cost nothing.
// Every transfer must end with the same file at both ends and status 0 on
// both, or with a failure on both and no file (nor a half-written one) at the
// receiver; and the service must answer a clean next customer afterwards.
// What the ends cannot tell apart by the design of the link is counted, not
// hidden.
//
//   build/tests/fault_suite [--quick] [--transfers N] [--seed N] [--size BYTES]
//
// --quick (for ctest) runs 4 transfers a row. Exit status: 1 when a transfer
// broke, the fault-free row did not complete every transfer or the stalled
// line delivered a wrong file; 2 for a bad command line; else 0.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/fixtures.h"

using session::Session;

namespace {

enum class Kind { none, flip, drop, insert, stall };
enum Verdict { completed, failed_cleanly, wrong_data, ends_disagree, broken };
const char* const kVerdicts[] = {"completed", "failed cleanly", "WRONG DATA AS SUCCESS", "ends disagree", "BROKEN"};
const std::string kName = "file.bin";

struct Case { const char* name; Kind kind; double rate; };
// The service's status is -1 when it printed none: it ran no transfer.
struct Outcome { Verdict verdict = broken; long customer = -1, service = -1; std::string detail; };

// What the cable does to each byte of one direction, drawn in the order the
// bytes leave: the same seed damages the same bytes, whatever the timing.
SimCable::Fault fault(const Case& row, std::uint64_t seed) {
  return [row, random = std::mt19937_64(seed)](std::size_t, std::uint8_t byte) mutable -> Bytes {
    const std::uint64_t draw = random();
    if (static_cast<double>(draw >> 11) * 0x1.0p-53 >= row.rate) return {byte};
    if (row.kind == Kind::flip) return {static_cast<std::uint8_t>(byte ^ (1U << (draw & 7)))};
    return row.kind == Kind::drop ? Bytes{} : Bytes{byte, static_cast<std::uint8_t>(draw >> 3)};
  };
}

Outcome transfer(const Case& row, bool get, std::uint64_t seed, std::size_t size) {
  Served ends;
  SimPair& pair = ends.pair;
  Bytes content(size);  // arbitrary bytes: a block of zeros, say, hides some flips from the check byte
  std::generate(content.begin(), content.end(), std::independent_bits_engine<std::mt19937_64, 8, unsigned>(seed));
  const std::string sender = (get ? ends.remote : ends.local) / kName;
  const std::string receiver_dir = (get ? ends.local : ends.remote).path();
  write_file(sender, content);
  pair.cable.pace(kStartBaud);
  const auto faults = [&](bool on) {
    for (const auto side : {SimCable::a, SimCable::b}) {
      pair.cable.tamper(side, on ? fault(row, seed * 2 + side) : SimCable::Fault{});
      pair.cable.stall(side, on && row.kind == Kind::stall ? size / 3 : SIZE_MAX, time_limit(pair.service) * 3 / 2);
    }
    // The line stands still both ways: the answer (going back) to the block held up waits as long.
    const SimCable::Side data = get ? SimCable::a : SimCable::b, back = get ? SimCable::b : SimCable::a;
    if (on && row.kind == Kind::stall) pair.cable.tamper(data, [&, back](std::size_t at, std::uint8_t byte) {
      if (at == size / 3) pair.cable.stall(back, pair.cable.sent_by(back).size(), time_limit(pair.service) * 3 / 2);
      return Bytes{byte};
    });
  };
  faults(true);
  Session& session = ends.session;
  Outcome out;
  bool answers_next = false;
  const auto customer = [&] {
    session::Result<> result = session.reach_service();
    if (result && get) result = session.remote_get(kName, ends.local / kName, nullptr);
    if (result && !get) result = session.remote_put(sender, kName, nullptr);
    out.customer = result ? 0 : 1 + static_cast<long>(result.error().kind);
    faults(false);  // a clean line for the next customer, who may try three times, as a person would
    for (int attempt = 0; attempt < 3 && !answers_next; ++attempt) {
      Session next(pair.customer);
      answers_next = next.reach_service() && next.remote_pwd() && next.remote_dir() == ends.remote.path();
    }
  };
  testing::internal::CaptureStdout();
  try {
    pair.clock.run(customer, {[&] { ends.serve(); }});
  } catch (const std::runtime_error& stuck) {
    out.detail = std::string("the simulation is stuck: ") + stuck.what();
  }
  const std::string console = testing::internal::GetCapturedStdout();
  if (!out.detail.empty()) return out;
  // The service's status for its last transfer of the file.
  const std::string said = get ? "Sende Datei <" + kName + "> status " : "Empfangen der Datei status ";
  if (const auto at = console.rfind(said); at != std::string::npos) out.service = std::atol(&console[at + said.size()]);
  const auto names = names_in(receiver_dir);
  const bool identical = names == std::vector{kName} && read_file(receiver_dir + "/" + kName) == content;
  if (out.customer == 0 && out.service == 0) out.verdict = identical ? completed : wrong_data;
  else if (out.customer != 0 && out.service != 0) out.verdict = names.empty() ? failed_cleanly : broken;
  else if ((get ? out.customer : out.service) != 0) out.detail = "the sender reports success for a file not kept";
  else out.verdict = identical ? ends_disagree : wrong_data;  // the sender alone failed: its last answer was lost
  if (names.size() > 1 || (!names.empty() && names.front() != kName)) out.detail = "a stray file: " + names.back();
  if (out.service < 0 && out.customer == 0) out.detail = "the customer reports a transfer the service never ran";
  if (!answers_next) out.detail = "the service does not answer the next customer";
  if (!out.detail.empty()) out.verdict = broken;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int transfers = 40;
  std::size_t size = 16 * 1024;
  unsigned long long seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--quick") transfers = 4;
    else if (word == "--transfers" && i + 1 < argc) transfers = std::max(1, std::atoi(argv[++i]));
    else if (word == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (word == "--size" && i + 1 < argc) size = std::strtoul(argv[++i], nullptr, 10);
    else {
      std::fprintf(stderr, "usage: fault_suite [--quick] [--transfers N] [--seed N] [--size BYTES]\n");
      return 2;
    }
  }
  const Case rows[] = {{"none", Kind::none, 0}, {"flip 1e-5", Kind::flip, 1e-5}, {"flip 1e-4", Kind::flip, 1e-4},
                      {"flip 1e-3", Kind::flip, 1e-3}, {"drop 1e-4", Kind::drop, 1e-4},
                      {"insert 1e-4", Kind::insert, 1e-4}, {"stall 1.5 time limits", Kind::stall, 0}};
  std::printf("fault suite: %zu bytes and up to 1023 more, seed %llu (transfers that went wrong on stderr)\n\n"
              "| faults | transfers | completed | failed cleanly | wrong data as success | ends disagree | broken |\n"
              "|---|---:|---:|---:|---:|---:|---:|\n", size, seed);
  bool failed = false;
  for (const Case& row : rows) {
    int counts[5] = {};
    for (int t = 0; t < transfers; ++t) {
      const unsigned long long transfer_seed = seed * 1'000'003 + (&row - rows) * 10'007 + static_cast<unsigned>(t);
      // Sizes vary, so that both whole blocks and a short block cross; half get, half put.
      const std::size_t bytes = size + static_cast<std::size_t>(t) * 337 % 1024;
      const Outcome out = transfer(row, t % 2 == 0, transfer_seed, bytes);
      ++counts[out.verdict];
      // A line that damages no byte must carry every file (or, stalled, at least never a wrong one).
      failed = failed || out.verdict == broken || (row.kind == Kind::none && out.verdict != completed) ||
               (row.kind == Kind::stall && out.verdict == wrong_data);
      if (out.verdict == completed || out.verdict == failed_cleanly) continue;
      std::fprintf(stderr, "%s, transfer %d (%s, seed %llu, %zu bytes): %s (customer %ld, service %ld) %s\n", row.name,
                   t, t % 2 == 0 ? "get" : "put", transfer_seed, bytes, kVerdicts[out.verdict], out.customer,
                   out.service, out.detail.c_str());
    }
    std::printf("| %s | %d | %d | %d | %d | %d | %d |\n", row.name, transfers, counts[0], counts[1], counts[2],
                counts[3], counts[4]);
  }
  std::printf("\n%s\n", failed ? "FAILED" : "passed");
  return failed ? 1 : 0;
}
