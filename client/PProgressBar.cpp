#include "PProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "PFaOutput.h"

std::string formatBytes(double iBytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (iBytes >= 1024 && unit < 4) {
    iBytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", iBytes, kUnits[unit]);
  return text;
}

namespace {

std::string formatDuration(double iSeconds) {
  const long total = static_cast<long>(iSeconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

int terminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

}  // namespace

void PProgressBar::start(const std::string& iLabel) {
  finish();
  if (!fEnabled) return;
  fActive = true;
  fLabel = iLabel;
  fDone = 0;
  fTotal = -1;
  fStart = std::chrono::steady_clock::now();
  fLastDraw = fStart;
  draw(false);
}

void PProgressBar::update(long long iDone, long long iTotal) {
  if (!fActive) return;
  fDone = iDone;
  fTotal = iTotal;
  const auto now = std::chrono::steady_clock::now();
  if (now - fLastDraw < std::chrono::milliseconds(100)) return;
  fLastDraw = now;
  draw(false);
}

void PProgressBar::finish() {
  if (!fActive) return;
  draw(true);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  fActive = false;
}

void PProgressBar::clear() {
  if (!fActive) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

void PProgressBar::draw(bool iFinal) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fStart).count();
  const double rate = seconds > 0.05 ? fDone / seconds : 0;
  std::string tail;
  if (fTotal > 0) {
    const int percent = static_cast<int>(fDone * 100 / fTotal);
    char text[16];
    std::snprintf(text, sizeof text, "%3d%%", percent > 100 ? 100 : percent);
    tail = text;
  } else if (fTotal == 0) {
    tail = "100%";
  }
  tail += "  " + formatBytes(static_cast<double>(fDone));
  if (rate > 0) tail += "  " + formatBytes(rate) + "/s";
  if (iFinal) {
    tail += "  " + formatDuration(seconds);
  } else if (fTotal > 0 && rate > 0 && fDone <= fTotal) {
    tail += "  " + formatDuration((fTotal - fDone) / rate) + " left";
  }
  const int width = terminalWidth() - 1;
  int room = width - static_cast<int>(tail.size()) - 2;
  std::string label = shownName(fLabel, true);
  // The name gets up to half of what is left, the bar the rest.
  const int labelRoom = room / 2;
  if (static_cast<int>(label.size()) > labelRoom) {
    label = labelRoom > 3 ? "..." + label.substr(label.size() - static_cast<size_t>(labelRoom - 3)) : "";
  }
  room -= static_cast<int>(label.size()) + 1;
  std::string bar;
  if (fTotal > 0 && room >= 12) {
    const int cells = room - 2;
    const long long filled = fDone >= fTotal ? cells : fDone * cells / fTotal;
    bar = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(cells - filled), '-') + "] ";
  }
  std::fprintf(stderr, "\r%s %s%s\033[K", label.c_str(), bar.c_str(), tail.c_str());
  std::fflush(stderr);
}
