// Move-only owner of a file descriptor: the descriptor is closed exactly once,
// whichever path gives it up, and a port reopened in place never leaks the
// descriptor it had.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  constexpr UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports close()'s result; the descriptor is given up even
  // when close fails (Linux frees it in every case).
  int close() {
    int fd = release();
    return fd < 0 ? 0 : ::close(fd);
  }

 private:
  int fd_ = -1;
};
