#include "modem/line_assembler.h"

#include <cstring>

namespace {

bool noise_in_at_text(uint8_t byte) {
  return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F;
}

}  // namespace

LineAssembler::Event LineAssembler::feed(uint8_t byte) {
  if (noise_in_at_text(byte)) return Event::kNone;
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
