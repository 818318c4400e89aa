// zevofa's progress line on standard error: name, bar, percentage, bytes,
// rate and time left. Draws nothing unless enabled (a terminal, not quiet).
#pragma once

#include <chrono>
#include <string>

class PProgressBar {
 public:
  explicit PProgressBar(bool iEnabled) : fEnabled(iEnabled) {}
  ~PProgressBar() { finish(); }

  void start(const std::string& iLabel);
  // iTotal -1: unknown. Redraws at most ten times a second.
  void update(long long iDone, long long iTotal);
  // Draws the last state and ends the line.
  void finish();
  // Wipes the line for a message; the next update draws it again.
  void clear();

 private:
  void draw(bool iFinal);

  bool fEnabled;
  bool fActive = false;
  std::string fLabel;
  long long fDone = 0;
  long long fTotal = -1;
  std::chrono::steady_clock::time_point fStart;
  std::chrono::steady_clock::time_point fLastDraw;
};

// "512 B", "12.3 KiB", "4.0 MiB".
std::string formatBytes(double iBytes);
