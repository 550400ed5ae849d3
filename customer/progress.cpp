#include "progress.h"

#include <cstdio>

namespace customer_side {
namespace {

using namespace std::chrono;

// Enough redraws for the eye, few enough not to slow a fast line.
constexpr milliseconds kRedrawInterval{100};
// Below this the rate is mostly the header's round trip.
constexpr milliseconds kFirstRateAfter{500};

std::string printf_text(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string rate_text(double bytes_per_second) {
  return format_bytes(static_cast<std::int64_t>(bytes_per_second)) + "/s";
}

}  // namespace

std::string format_bytes(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  const char* format = value < 10.0 && unit >= 2 ? "%.2f " : "%.1f ";
  return printf_text(format, value) + kUnits[unit];
}

std::string format_duration(seconds length) {
  const long total = static_cast<long>(length.count() < 0 ? 0 : length.count());
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string progress_line(const std::string& label, std::int64_t done, std::int64_t total,
                          duration<double> elapsed) {
  const long percent = total > 0 ? static_cast<long>(done * 100 / total) : 100;
  std::string line = label + "  " + std::to_string(percent) + "%  " + format_bytes(done) + " of " +
                     format_bytes(total);
  if (elapsed < kFirstRateAfter || done <= 0) return line;
  const double rate = static_cast<double>(done) / elapsed.count();
  const auto left = seconds(static_cast<long>(static_cast<double>(total - done) / rate + 0.5));
  return line + "  " + rate_text(rate) + "  " + format_duration(left) + " left";
}

std::string summary_line(const std::string& label, std::int64_t total, duration<double> elapsed) {
  const double secs = elapsed.count() > 0.0 ? elapsed.count() : 1e-9;
  const double rate = static_cast<double>(total) / secs;
  char figure[64];
  std::snprintf(figure, sizeof figure, " in %.2f s, ", elapsed.count());
  return label + ": " + format_bytes(total) + figure + rate_text(rate) + " (" +
         std::to_string(static_cast<std::int64_t>(rate)) + " Bytes/s)";
}

TerminalProgress::TerminalProgress(std::ostream& err, std::string label, bool live)
    : err_(err), label_(std::move(label)), live_(live) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::set_text(const char*, const TransferProgress& progress) {
  if (!live_) return;
  const auto now = Clock::now();
  const duration<double> elapsed = now - start_;
  if (progress.final) {
    draw(summary_line(label_, progress.bytes_total, elapsed));
    finish();
    return;
  }
  if (line_open_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw(progress_line(label_, progress.bytes_done, progress.bytes_total, elapsed));
}

void TerminalProgress::draw(const std::string& text) {
  // Carriage return and erase-to-end: the line is redrawn where it stands.
  err_ << "\r\033[K" << text << std::flush;
  line_open_ = true;
}

void TerminalProgress::finish() {
  if (!line_open_) return;
  err_ << '\n' << std::flush;
  line_open_ = false;
}

}  // namespace customer_side
