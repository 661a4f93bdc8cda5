// Byte-level line assembly for the receive routine, apart from read(): bytes
// go in one at a time and a line is complete when the byte just taken is LF.
// The same input can so be fed whole, byte by byte or split across reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

class LineAssembler {
 public:
  // Bytes one line may hold, its LF included (the line buffer of 1024 bytes
  // keeps a NUL after them).
  static constexpr size_t kCapacity = 1023;

  enum class Event {
    kNone,      // byte taken, no line end yet
    kLine,      // byte was LF: the line is complete (see text())
    kOverflow,  // the line outgrew kCapacity: dropped, and so is the rest up to its LF
  };

  // The modem's AT text is printable ASCII with CR, LF and TAB (payloads
  // travel as hex text); a byte that cannot occur in it (0x00-0x08, 0x0B,
  // 0x0C, 0x0E-0x1F, 0x7F) is line noise and is dropped before it can hide a
  // result or an echo. Bytes from 0x80 up stay: a topic may hold UTF-8.
  Event feed(uint8_t byte);

  // The line's text up to its first NUL, as the string searches see it.
  std::string_view text() const;
  // Every byte held (NULs included) and the NUL-terminated buffer.
  std::string_view bytes() const { return {buf_.data(), len_}; }
  const char* c_str() const { return buf_.data(); }
  size_t size() const { return len_; }

  // A consumed line is cleared; a line that is kept (not cleared) has the next
  // bytes appended behind it.
  void clear();

 private:
  std::array<char, kCapacity + 1> buf_{};
  size_t len_ = 0;
  bool skipping_ = false;  // inside an overlong line, until its LF
};
