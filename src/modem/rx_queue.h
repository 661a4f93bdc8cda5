// The bytes of one port that have been read from the device but not yet taken
// by a receive call: what follows the line that ended a call waits here for
// the next call. Bounded; when it would overflow, the oldest bytes go.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class RxQueue {
 public:
  static constexpr size_t kCapacity = 4096;

  // Appends n bytes; answers how many of the oldest bytes had to be dropped to
  // make room (0 normally). Of more than kCapacity bytes only the last stay.
  size_t push(const uint8_t* bytes, size_t n);
  bool pop(uint8_t& byte);
  // True when one of the queued bytes equals byte.
  bool holds(uint8_t byte) const;
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t space() const { return kCapacity - size_; }
  void clear() { head_ = size_ = 0; }

 private:
  std::array<uint8_t, kCapacity> ring_{};
  size_t head_ = 0;  // oldest byte
  size_t size_ = 0;
};
