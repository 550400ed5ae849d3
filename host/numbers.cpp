#include "host/numbers.h"

namespace quorvantix::host {

namespace {

constexpr long kHighestRate = 100'000'000;

}  // namespace

bool parse_digits(const std::string& text, long& value) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::stol(text);
  return true;
}

long parse_rate(const std::string& text) {
  long rate = 0;
  return parse_digits(text, rate) && rate >= 1 && rate <= kHighestRate ? rate : 0;
}

}  // namespace quorvantix::host
