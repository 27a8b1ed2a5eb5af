#include "cli/progress_line.h"

#include <cmath>

namespace twinbay {
namespace {

constexpr auto kRedraw = std::chrono::milliseconds(200);

std::string Size(double bytes, const NumberFormat& format) {
  std::string s = FormatSize(bytes, format);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Duration(double seconds) {
  const long s = std::lround(seconds);
  char buffer[32];
  if (s >= 3600) std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  return buffer;
}

}  // namespace

std::string FormatProgressLine(const ProgressFigures& f, const NumberFormat& format) {
  std::string line = std::to_string(f.filesDone) + " of " + std::to_string(f.filesTotal) + " file" +
                     (f.filesTotal == 1 ? "" : "s") + ", " + Size(f.bytesDone, format) + " of " +
                     Size(f.bytesTotal, format);
  const double rate = f.seconds > 0 ? f.bytesDone / f.seconds : 0;
  if (rate <= 0) return line + ", -- /s, -- left";
  const double left = f.bytesTotal > f.bytesDone ? (f.bytesTotal - f.bytesDone) / rate : 0;
  return line + ", " + Size(rate, format) + "/s, " + Duration(left) + " left";
}

ProgressLine::ProgressLine(std::FILE* out, int width)
    : out_(out), width_(width), format_(NumberFormat::FromUserLocale()), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::Update(ProgressFigures figures, bool force) {
  std::lock_guard g(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - last_ < kRedraw) return;
  last_ = now;
  figures.seconds = std::chrono::duration<double>(now - start_).count();
  std::string line = FormatProgressLine(figures, format_);
  if (width_ > 1 && static_cast<int>(line.size()) >= width_) line.resize(static_cast<size_t>(width_ - 1));
  // Back to the start of the line, the new text, and the rest of the old one erased.
  std::fprintf(out_, "\r%s\x1b[K", line.c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressLine::Clear() {
  std::lock_guard g(mutex_);
  if (!drawn_) return;
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace twinbay
