#include "modem/line_assembler.h"

#include <cstring>

LineAssembler::Event LineAssembler::feed(uint8_t byte) {
  if (comma_to_colon_ && byte == ',') byte = ':';
  if (skipping_) {
    if (byte == '\n') skipping_ = false;
    return Event::kNone;
  }
  if (len_ == kCapacity) {
    clear();
    skipping_ = byte != '\n';
    return Event::kOverflow;
  }
  buf_[len_++] = static_cast<char>(byte);
  buf_[len_] = '\0';
  return byte == '\n' ? Event::kLine : Event::kNone;
}

std::string_view LineAssembler::text() const {
  return {buf_.data(), std::strlen(buf_.data())};
}

void LineAssembler::clear() {
  len_ = 0;
  buf_[0] = '\0';
}
