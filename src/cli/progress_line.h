// The one live line that twinbay-cli sync shows on a terminal while it copies:
// files and bytes done of the total, the rate and the time left, drawn over
// itself with a carriage return.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/number_format.h"

namespace twinbay {

struct ProgressFigures {
  size_t filesDone = 0, filesTotal = 0;
  double bytesDone = 0, bytesTotal = 0;
  double seconds = 0;  // since the copying started
};

// "3 of 200 files, 1,024KB of 4,096KB, 512KB/s, 0:06 left"; the rate and the
// time left are "--" until a byte has moved.
std::string FormatProgressLine(const ProgressFigures& figures, const NumberFormat& format);

class ProgressLine {
 public:
  // Draws on `out` (a terminal), cut to `width` columns.
  ProgressLine(std::FILE* out, int width);
  // Draws the figures, at most 5 times a second unless forced. Callable
  // from any thread.
  void Update(ProgressFigures figures, bool force = false);
  // Erases the line, so that what follows starts at the left.
  void Clear();

 private:
  std::FILE* out_;
  int width_;
  NumberFormat format_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point start_, last_{};
  bool drawn_ = false;
};

}  // namespace twinbay
