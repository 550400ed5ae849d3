#include "customer/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "customer/text_width.h"

namespace quorvantix::customer {

using namespace quorvantix::wire;

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

// The label, then the fields that fit, each two spaces after the one before;
// fields at the back give way first, down to the first two, and then the
// label is cut. `columns` 0 is no limit; otherwise the line stays
// out of the last column, where a terminal would wrap.
std::string fit_line(const std::string& label, const std::string& after_label, std::vector<std::string> fields,
                     std::size_t columns) {
  auto join = [&](const std::string& head) {
    std::string line = head + after_label;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : "  ") + fields[i];
    return line;
  };
  if (columns == 0) return join(label);
  const std::size_t room = columns - 1;
  const std::size_t keep = std::min<std::size_t>(2, fields.size());
  while (fields.size() > keep && display_width(join(label)) > room) fields.pop_back();
  const std::size_t rest = display_width(join(""));
  if (rest + display_width(label) <= room) return join(label);
  return fit_columns(join(fit_columns(label, rest < room ? room - rest : 0)), room);
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

std::string format_rate(std::int64_t bytes, duration<double> elapsed) {
  const double secs = elapsed.count() > 0.0 ? elapsed.count() : 1e-9;
  return format_bytes(static_cast<std::int64_t>(static_cast<double>(bytes) / secs)) + "/s";
}

std::string progress_line(const std::string& label, std::int64_t done, std::int64_t total, duration<double> elapsed,
                          std::size_t columns) {
  const long percent = total > 0 ? static_cast<long>(done * 100 / total) : 100;
  std::vector<std::string> fields{std::to_string(percent) + "%", format_bytes(done) + " of " + format_bytes(total)};
  if (elapsed >= kFirstRateAfter && done > 0) {
    const double rate = static_cast<double>(done) / elapsed.count();
    fields.push_back(format_rate(done, elapsed));
    fields.push_back(format_duration(seconds(static_cast<long>(static_cast<double>(total - done) / rate + 0.5))) +
                     " left");
  }
  return fit_line(label, "  ", fields, columns);
}

std::string summary_line(const std::string& label, std::int64_t total, duration<double> elapsed,
                         std::size_t columns) {
  const std::string took = printf_text("in %.2f s,", elapsed.count());
  return fit_line(label, ": ", {format_bytes(total) + " " + took + " " + format_rate(total, elapsed)}, columns);
}

std::size_t terminal_columns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

TerminalProgress::TerminalProgress(std::ostream& err, std::string label, bool live, Now now, Columns columns)
    : err_(err),
      label_(std::move(label)),
      live_(live),
      now_(now ? std::move(now) : Now([] { return steady_clock::now().time_since_epoch(); })),
      columns_(columns ? std::move(columns) : Columns([] { return terminal_columns(STDERR_FILENO); })),
      start_(now_()) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::set_text(const char*, const TransferProgress& progress) {
  if (!live_) return;
  const nanoseconds now = now_();
  const duration<double> elapsed = now - start_;
  if (progress.final) {
    draw(summary_line(label_, progress.bytes_total, elapsed, columns_()));
    finish();
    return;
  }
  if (line_open_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw(progress_line(label_, progress.bytes_done, progress.bytes_total, elapsed, columns_()));
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

}  // namespace quorvantix::customer
