// Owns one descriptor: closed when the owner goes, unless handed on with
// release(). Moves, never copies. close(2) is not retried: on Linux the
// descriptor is released even when the call is interrupted.
#pragma once

#include <unistd.h>

#include <utility>

class PFd {
 public:
  PFd() = default;
  explicit PFd(int iFd) : fFd(iFd) {}
  ~PFd() { reset(); }
  PFd(PFd&& ioOther) noexcept : fFd(ioOther.release()) {}
  PFd& operator=(PFd&& ioOther) noexcept {
    if (this != &ioOther) reset(ioOther.release());
    return *this;
  }
  PFd(const PFd&) = delete;
  PFd& operator=(const PFd&) = delete;

  int get() const { return fFd; }
  bool valid() const { return fFd >= 0; }
  int release() { return std::exchange(fFd, -1); }
  void reset(int iFd = -1) {
    if (fFd >= 0) ::close(fFd);
    fFd = iFd;
  }

 private:
  int fFd = -1;
};
