#include "linesim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

#include "host/options.h"

namespace quorvantix::linesim {
namespace {

constexpr long kMaxBaud = 100'000'000;
constexpr long long kMaxMilliseconds = 24LL * 3600 * 1000;

bool parse_unsigned(const std::string& text, unsigned long long max, unsigned long long& value) {
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value <= max;
}

bool parse_rate(const std::string& text, double& rate) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  rate = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(rate) && rate >= 0 && rate <= 1;
}

bool parse_directions(const std::string& text, FaultDirections& directions) {
  static const std::map<std::string, FaultDirections> kNames{
      {"both", FaultDirections::both}, {"a2b", FaultDirections::a_to_b}, {"b2a", FaultDirections::b_to_a}};
  const auto found = kNames.find(text);
  if (found == kNames.end()) return false;
  directions = found->second;
  return true;
}

// The options as they are read, and what only their combination tells.
struct Parsing {
  Options options;
  bool stall_ms_given = false;
  bool unthrottled_given = false;
};

using host::OptionValue;
using Setter = bool (*)(Parsing&, const std::string&, std::string&);

template <std::chrono::milliseconds Options::*field>
bool milliseconds_into(Parsing& parsing, const std::string& text, std::string&) {
  unsigned long long value = 0;
  if (!parse_unsigned(text, kMaxMilliseconds, value)) return false;
  parsing.options.*field = std::chrono::milliseconds(value);
  return true;
}

template <std::string Options::*field>
bool path_into(Parsing& parsing, const std::string& text, std::string&) {
  parsing.options.*field = text;
  return !text.empty();
}

template <double FaultRates::*field>
bool rate_into(Parsing& parsing, const std::string& text, std::string&) {
  return parse_rate(text, parsing.options.rates.*field);
}

// A count of bytes; with `at_least_one`, 0 is refused.
bool count_of(const std::string& text, std::uint64_t& count, bool at_least_one = false) {
  unsigned long long value = 0;
  if (!parse_unsigned(text, std::numeric_limits<std::uint64_t>::max(), value) || (at_least_one && value == 0)) {
    return false;
  }
  count = value;
  return true;
}

bool take_baud(Parsing& parsing, const std::string& text, std::string&) {
  unsigned long long value = 0;
  if (!parse_unsigned(text, kMaxBaud, value)) return false;
  parsing.options.baud = static_cast<long>(value);
  parsing.options.pacing = value > 0 ? Pacing::fixed : Pacing::unthrottled;
  return true;
}

// BAUD:RATE[,BAUD:RATE...], the speeds rising.
bool take_flip_from(Parsing& parsing, const std::string& text, std::string&) {
  SpeedFlips steps;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string step = text.substr(start, end - start);
    const std::size_t colon = step.find(':');
    unsigned long long baud = 0;
    double rate = 0;
    if (colon == std::string::npos || !parse_unsigned(step.substr(0, colon), kMaxBaud, baud) || baud == 0 ||
        !parse_rate(step.substr(colon + 1), rate) || (!steps.empty() && static_cast<long>(baud) <= steps.back().from_baud)) {
      return false;
    }
    steps.push_back({static_cast<long>(baud), rate});
    start = end + 1;
  }
  parsing.options.flip_from = std::move(steps);
  return true;
}

bool take_delivery(Parsing& parsing, const std::string& text, std::string&) {
  std::string ignored;
  const auto pattern = parse_delivery(text, ignored);
  if (pattern) parsing.options.delivery = *pattern;
  return pattern.has_value();
}

bool take_stall_after(Parsing& parsing, const std::string& text, std::string&) {
  std::uint64_t count = 0;
  if (!count_of(text, count)) return false;
  parsing.options.stall_after_bytes = count;
  return true;
}

bool take_stall_ms(Parsing& parsing, const std::string& text, std::string& error) {
  parsing.stall_ms_given = true;
  return milliseconds_into<&Options::stall>(parsing, text, error);
}

// Alone it counts every answer; as --turnarounds=BYTES, those to at least BYTES.
bool take_turnarounds(Parsing& parsing, const std::string& text, std::string&) {
  if (text.empty()) return parsing.options.turnaround_bytes = 1, true;
  return count_of(text, parsing.options.turnaround_bytes, true);
}

bool take_unthrottled(Parsing& parsing, const std::string&, std::string&) {
  parsing.unthrottled_given = true;
  if (parsing.options.pacing == Pacing::follow) parsing.options.pacing = Pacing::unthrottled;
  return true;
}

constexpr Setter kHelp = [](Parsing& parsing, const std::string&, std::string&) { return parsing.options.help = true; };

constexpr host::Option<Parsing> kOptions[] = {
    {'h', nullptr, OptionValue::none, "", kHelp},
    {0, "help", OptionValue::joinable, "", kHelp},
    {0, "quiet", OptionValue::none, "", [](Parsing& p, const std::string&, std::string&) { return p.options.quiet = true; }},
    {0, "unthrottled", OptionValue::none, "", take_unthrottled},
    {0, "turnarounds", OptionValue::joinable, "", take_turnarounds},
    {0, "a", OptionValue::required, "--a needs a value", path_into<&Options::path_a>},
    {0, "b", OptionValue::required, "--b needs a value", path_into<&Options::path_b>},
    {0, "baud", OptionValue::required, "--baud needs a value", take_baud},
    {0, "latency-ms", OptionValue::required, "--latency-ms needs a value", milliseconds_into<&Options::latency>},
    {0, "delivery", OptionValue::required, "--delivery needs a value", take_delivery},
    {0, "seed", OptionValue::required, "--seed needs a value",
     [](Parsing& p, const std::string& text, std::string&) { return count_of(text, p.options.seed); }},
    {0, "flip", OptionValue::required, "--flip needs a value", rate_into<&FaultRates::flip>},
    {0, "drop", OptionValue::required, "--drop needs a value", rate_into<&FaultRates::drop>},
    {0, "flip-from", OptionValue::required, "--flip-from needs a value", take_flip_from},
    {0, "insert", OptionValue::required, "--insert needs a value", rate_into<&FaultRates::insert>},
    {0, "stall-after", OptionValue::required, "--stall-after needs a value", take_stall_after},
    {0, "stall-ms", OptionValue::required, "--stall-ms needs a value", take_stall_ms},
    {0, "direction", OptionValue::required, "--direction needs a value",
     [](Parsing& p, const std::string& text, std::string&) { return parse_directions(text, p.options.fault_directions); }},
};

bool complete(const Parsing& parsing, std::string& error) {
  const Options& options = parsing.options;
  if (options.path_a.empty() || options.path_b.empty()) {
    error = "both --a PATH and --b PATH are needed";
    return false;
  }
  if (options.path_a == options.path_b) {
    error = "--a and --b name the same path";
    return false;
  }
  if (parsing.unthrottled_given && options.pacing == Pacing::fixed) {
    error = "--unthrottled and --baud N do not go together";
    return false;
  }
  if (options.stall_after_bytes.has_value() != parsing.stall_ms_given) {
    error = "--stall-after and --stall-ms go together";
    return false;
  }
  return true;
}

}  // namespace

double flip_at(const SpeedFlips& steps, long baud) {
  double rate = 0;
  for (const SpeedFlip& step : steps) {
    if (baud >= step.from_baud) rate = step.rate;
  }
  return rate;
}

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error) {
  Parsing parsing;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!host::take_option<Parsing>(kOptions, args, i, parsing, error)) return std::nullopt;
    if (parsing.options.help) return parsing.options;
  }
  if (!complete(parsing, error)) return std::nullopt;
  return parsing.options;
}

std::string usage_text() {
  return R"(usage: quorvantix-linesim --a PATH --b PATH [options]

A null-modem cable in software: two pseudo-terminals joined like a crossed
serial cable, reachable under PATH A and PATH B (symlinks, replaced if they
exist, removed on exit). Runs until interrupted, then prints one summary line.

Each direction runs at the speed that its sending end has set on its pty
(8N1, ten bit-times a byte), following every change; both ends start at 9600
baud. Where the two ends' speeds differ, the far end reads what a UART at its
own speed makes of the bits: garbage, mostly zero bytes.

  --a PATH, --b PATH   where the two ends appear
  --baud N             pace both directions at N baud instead, whatever the
                       ends set
  --unthrottled        pass bytes on as fast as they come (also --baud 0)
  --latency-ms N       hold every byte N ms before it may leave (each way)
  --delivery PATTERN   how each end's port hands on the bytes it receives:
                         byte      each as its stop bit ends (no FIFO)
                         fifo:N    N at a time, the rest after 4 character
                                   times of quiet (a 16550's FIFO)
                         usb:N,MS  packets of at most N bytes, sent when full
                                   or MS ms after their first byte came (a USB
                                   adapter's latency timer)
                         tick:MS   what came in each MS ms, at once (an
                                   emulator's frame)
                         burst     what came in each half millisecond, the
                                   last byte of a write as it comes
                       (default fifo:8: a PC's 16550A as Linux sets it)
  --seed N             seed of the fault injector (default 1); equal seeds and
                       equal input give equal faults
  --flip RATE          probability per byte that one of its bits is inverted
  --drop RATE          probability per byte that it is lost
  --flip-from BAUD:RATE[,BAUD:RATE...]
                       errors that rise with the speed: bytes sent at BAUD
                       or faster get one bit inverted at RATE, the entry with
                       the highest such BAUD counting (speeds rising), on top
                       of --flip; 19200:0.0001,115200:0.05 holds 9600, gives a
                       repeat now and then at 19200 to 57600, fails 115200
  --insert RATE        probability per byte that a random byte follows it
  --stall-after BYTES  after BYTES bytes the line stands still once, for
  --stall-ms N           N ms (in each direction that gets faults)
  --direction D        where faults act: a2b, b2a or both (default)
  --turnarounds        on exit, how soon each end wrote after it had been
                       handed everything sent to it (an answer's delay)
  --turnarounds=BYTES  the same, counting only answers to at least BYTES
                       bytes handed over since the end last wrote
  --quiet              no start line
  --help               this text
)";
}

}  // namespace quorvantix::linesim
