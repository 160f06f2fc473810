#pragma once

#include <unistd.h>

namespace nevrik::usbbus {

// A descriptor closed when it goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }

  int Get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
  void Reset(int newFd = -1) {
    if (fd >= 0) {
      close(fd);
    }
    fd = newFd;
  }
  int Release() {
    const int released = fd;
    fd = -1;
    return released;
  }

 private:
  int fd;
};

}  // namespace nevrik::usbbus
