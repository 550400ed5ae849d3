#include "linesim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>

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

// Stores one option's value; false when the value does not fit the option.
using ValueSetter = std::function<bool(Options&, const std::string&)>;

ValueSetter milliseconds_into(std::chrono::milliseconds Options::*field) {
  return [field](Options& options, const std::string& text) {
    unsigned long long value = 0;
    if (!parse_unsigned(text, kMaxMilliseconds, value)) return false;
    options.*field = std::chrono::milliseconds(value);
    return true;
  };
}

ValueSetter path_into(std::string Options::*field) {
  return [field](Options& options, const std::string& text) {
    options.*field = text;
    return !text.empty();
  };
}

ValueSetter rate_into(double FaultRates::*field) {
  return [field](Options& options, const std::string& text) { return parse_rate(text, options.rates.*field); };
}

const std::map<std::string, ValueSetter>& options_with_values() {
  static const std::map<std::string, ValueSetter> kSetters{
      {"--a", path_into(&Options::path_a)},
      {"--b", path_into(&Options::path_b)},
      {"--baud",
       [](Options& o, const std::string& text) {
         unsigned long long value = 0;
         if (!parse_unsigned(text, kMaxBaud, value)) return false;
         o.baud = static_cast<long>(value);
         o.pacing = value > 0 ? Pacing::fixed : Pacing::unthrottled;
         return true;
       }},
      {"--latency-ms", milliseconds_into(&Options::latency)},
      {"--delivery",
       [](Options& o, const std::string& text) {
         std::string ignored;
         const auto pattern = parse_delivery(text, ignored);
         if (pattern) o.delivery = *pattern;
         return pattern.has_value();
       }},
      {"--seed",
       [](Options& o, const std::string& text) {
         unsigned long long value = 0;
         if (!parse_unsigned(text, std::numeric_limits<std::uint64_t>::max(), value)) return false;
         o.seed = value;
         return true;
       }},
      {"--flip", rate_into(&FaultRates::flip)},
      {"--drop", rate_into(&FaultRates::drop)},
      {"--insert", rate_into(&FaultRates::insert)},
      {"--stall-after",
       [](Options& o, const std::string& text) {
         unsigned long long value = 0;
         if (!parse_unsigned(text, std::numeric_limits<std::uint64_t>::max(), value)) return false;
         o.stall_after_bytes = value;
         return true;
       }},
      {"--stall-ms", milliseconds_into(&Options::stall)},
      {"--turnarounds",  // only as --turnarounds=BYTES: alone it takes no value
       [](Options& o, const std::string& text) {
         unsigned long long value = 0;
         if (!parse_unsigned(text, std::numeric_limits<std::uint64_t>::max(), value) || value == 0) return false;
         o.turnaround_bytes = value;
         return true;
       }},
      {"--direction", [](Options& o, const std::string& text) { return parse_directions(text, o.fault_directions); }},
  };
  return kSetters;
}

bool complete(const Options& options, bool stall_ms_given, bool unthrottled_given, std::string& error) {
  if (options.path_a.empty() || options.path_b.empty()) {
    error = "both --a PATH and --b PATH are needed";
    return false;
  }
  if (options.path_a == options.path_b) {
    error = "--a and --b name the same path";
    return false;
  }
  if (unthrottled_given && options.pacing == Pacing::fixed) {
    error = "--unthrottled and --baud N do not go together";
    return false;
  }
  if (options.stall_after_bytes.has_value() != stall_ms_given) {
    error = "--stall-after and --stall-ms go together";
    return false;
  }
  return true;
}

}  // namespace

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error) {
  Options options;
  bool stall_ms_given = false;
  bool unthrottled_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "-h") {
      options.help = true;
      return options;
    }
    if (name == "--quiet" && !value) {
      options.quiet = true;
      continue;
    }
    if (name == "--turnarounds" && !value) {
      options.turnaround_bytes = 1;
      continue;
    }
    if (name == "--unthrottled" && !value) {
      unthrottled_given = true;
      if (options.pacing == Pacing::follow) options.pacing = Pacing::unthrottled;
      continue;
    }
    const auto setter = options_with_values().find(name);
    if (setter == options_with_values().end()) {
      error = "unknown option '" + args[i] + "'";
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 == args.size()) {
        error = name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (!setter->second(options, *value)) {
      error = "bad value '" + *value + "' for " + name;
      return std::nullopt;
    }
    if (name == "--stall-ms") stall_ms_given = true;
  }
  if (!complete(options, stall_ms_given, unthrottled_given, error)) return std::nullopt;
  return options;
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
