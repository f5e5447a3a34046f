#include "client/ProgressLine.h"

#include <cstdio>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

std::string Printf(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string FormatBytes(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024;
    ++unit;
  }
  return Printf("%.1f ", value) + kUnits[unit];
}

std::string FormatDuration(double seconds) {
  const long long total = static_cast<long long>(seconds + 0.5);
  const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
  char text[40];
  if (h > 0)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
  return text;
}

std::string FormatProgress(const TransferProgress& progress, double seconds) {
  const std::int64_t position = progress.start + progress.moved;
  const double rate = seconds > 0 ? static_cast<double>(progress.moved) / seconds : 0;
  const std::string speed = rate > 0 ? FormatBytes(static_cast<std::int64_t>(rate)) + "/s" : "-- B/s";
  if (progress.total < 0) return FormatBytes(position) + "  " + speed;

  const double percent =
      progress.total == 0 ? 100.0 : 100.0 * static_cast<double>(position) / static_cast<double>(progress.total);
  const std::int64_t left = progress.total > position ? progress.total - position : 0;
  const std::string eta = left == 0 ? "0:00" : rate > 0 ? FormatDuration(static_cast<double>(left) / rate) : "--:--";
  return Printf("%5.1f%%", percent) + "  " + FormatBytes(position) + " of " + FormatBytes(progress.total) + "  " +
         speed + "  ETA " + eta;
}

TProgressLine::TProgressLine(std::ostream& out, bool enabled) : FOut(out), FEnabled(enabled) {}

bool TProgressLine::Update(const TransferProgress& progress) {
  FLast = progress;
  if (FEnabled && (!FAny || Clock::now() - FDrawn >= kRedrawInterval)) Draw();
  return true;
}

void TProgressLine::Finish() {
  if (!FEnabled || !FAny) return;
  Draw();
  FOut << '\n';
  FOut.flush();
}

void TProgressLine::Draw() {
  FDrawn = Clock::now();
  std::string line = FormatProgress(FLast, std::chrono::duration<double>(FDrawn - FStart).count());
  // Blanks over the rest of a longer earlier line.
  const std::size_t width = line.size();
  if (width < FWidth) line.append(FWidth - width, ' ');
  FWidth = width;
  FOut << '\r' << line;
  FOut.flush();
  FAny = true;
}
