#include "modem/rx_queue.h"

size_t RxQueue::push(const uint8_t* bytes, size_t n) {
  size_t dropped = 0;
  if (n > kCapacity) {
    dropped += n - kCapacity;
    bytes += n - kCapacity;
    n = kCapacity;
  }
  if (n > space()) {
    size_t drop = n - space();
    head_ = (head_ + drop) % kCapacity;
    size_ -= drop;
    dropped += drop;
  }
  for (size_t i = 0; i < n; ++i) ring_[(head_ + size_ + i) % kCapacity] = bytes[i];
  size_ += n;
  return dropped;
}

bool RxQueue::pop(uint8_t& byte) {
  if (size_ == 0) return false;
  byte = ring_[head_];
  head_ = (head_ + 1) % kCapacity;
  --size_;
  return true;
}

bool RxQueue::holds(uint8_t byte) const {
  for (size_t i = 0; i < size_; ++i) {
    if (ring_[(head_ + i) % kCapacity] == byte) return true;
  }
  return false;
}
