#include "ui/alerts.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#ifdef __linux__
#include <linux/kd.h>
#include <sys/ioctl.h>
#endif

namespace twinbay::alerts {
namespace {

// The console's tone generator, or -1 when the program may not use it.
int ToneDevice() {
#ifdef __linux__
  static const int fd = [] {
    for (const char* dev : {"/dev/console", "/dev/tty0"}) {
      const int f = open(dev, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (f < 0) continue;
      // A tone of length 0 is silent: it only shows whether the ioctl works.
      if (ioctl(f, KDMKTONE, 0) == 0) return f;
      close(f);
    }
    return -1;
  }();
  return fd;
#else
  return -1;
#endif
}

void PlayFrom(std::vector<Tone> tones, size_t i) {
  if (i >= tones.size()) return;
#ifdef __linux__
  const auto [hz, ms] = tones[i];
  // The kernel sounds the tone for `ms` and stops it by itself.
  ioctl(ToneDevice(), KDMKTONE, static_cast<unsigned long>((ms << 16) | (1193180 / hz)));
  QTimer::singleShot(ms, qApp, [tones = std::move(tones), i] { PlayFrom(tones, i + 1); });
#endif
}

}  // namespace

std::vector<Tone> CompareTones() { return {{1000, 100}, {500, 250}}; }
std::vector<Tone> TransferTones() { return {{1000, 100}, {1000, 100}, {1000, 100}}; }

void Play(const std::vector<Tone>& tones) {
  if (tones.empty()) return;
  if (ToneDevice() < 0) {
    QApplication::beep();
    return;
  }
  PlayFrom(tones, 0);
}

}  // namespace twinbay::alerts
