// Text helpers shared by every parser: strtok-like splitting with the position
// held in a TokenView per use, atoi/strtol-like number reading, hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Splits text at any of the separator characters; runs of separators count as
// one and there are no empty fields (strtok semantics), without touching the
// text. Each use has its own position.
class TokenView {
 public:
  explicit TokenView(std::string_view text) : rest_(text) {}
  // The next field, or nullopt when none is left. The separator set may change
  // from call to call, as with strtok.
  std::optional<std::string_view> next(std::string_view delims);
  // What has not been split yet (the separator that ended the last field is
  // already passed over).
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// Field k (1-based) of text split at delims, strtok-style; nullopt when the text
// holds fewer fields.
std::optional<std::string_view> nth_field(std::string_view text, std::string_view delims, int k);

// The text up to (not including) the first character of any of the cut
// characters.
std::string_view cut_at(std::string_view text, std::string_view cut_chars);

// atoi: leading white space, an optional sign, decimal digits up to the first
// other character; 0 when there is no digit. Out-of-range values saturate at
// the long range and are then cut to 32 bits, as glibc's atoi does.
int32_t read_int(std::string_view text);

// strtol with a base from 2 to 36 (16 also accepts a 0x prefix); 0 when
// nothing is readable. Saturates at the 64-bit range.
int64_t read_long(std::string_view text, int base);

// Value of one hex digit; any other character counts 0.
int hex_digit_value(char c);

// Two upper-case hex digits per byte appended at out[0..]; out must hold
// 2 * n characters plus a NUL. Returns the characters written.
size_t bytes_to_hex(const uint8_t* bytes, size_t n, char* out);

// Byte i from the characters 2i and 2i+1 of hex (non-hex characters count 0).
// hex must hold at least 2 * n characters.
void hex_to_bytes(std::string_view hex, size_t n, uint8_t* out);

// True when text contains needle.
inline bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

// The C string in a fixed buffer, up to its first NUL (or the whole buffer).
std::string_view c_text(const char* buf, size_t cap);

// Copies text into a fixed char buffer with a NUL; false (and nothing copied)
// when it does not fit.
bool copy_text(char* dst, size_t cap, std::string_view text);

// The text as the inside of a JSON string (RFC 8259): '"' and '\' escaped,
// control characters as \n, \r, \t or \u00XX (DEL too), valid UTF-8 kept as
// it is, and every byte that is not part of a valid UTF-8 sequence (a stray
// continuation byte, an overlong form, a surrogate, a code past U+10FFFF, a
// cut sequence) replaced by \ufffd. The result is plain ASCII whenever the
// text is.
std::string json_escaped(std::string_view text);
