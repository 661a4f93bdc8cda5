#include "common/text.h"

#include <climits>
#include <cstring>

std::optional<std::string_view> TokenView::next(std::string_view delims) {
  size_t start = rest_.find_first_not_of(delims);
  if (start == std::string_view::npos) {
    rest_ = {};
    return std::nullopt;
  }
  size_t end = rest_.find_first_of(delims, start);
  std::string_view field;
  if (end == std::string_view::npos) {
    field = rest_.substr(start);
    rest_ = {};
  } else {
    field = rest_.substr(start, end - start);
    rest_ = rest_.substr(end + 1);
  }
  return field;
}

std::optional<std::string_view> nth_field(std::string_view text, std::string_view delims, int k) {
  TokenView tv(text);
  std::optional<std::string_view> f;
  for (int i = 0; i < k; ++i) {
    f = tv.next(delims);
    if (!f) return std::nullopt;
  }
  return f;
}

std::string_view cut_at(std::string_view text, std::string_view cut_chars) {
  size_t p = text.find_first_of(cut_chars);
  return p == std::string_view::npos ? text : text.substr(0, p);
}

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_in_base(char c, int base) {
  int v;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'a' && c <= 'z') {
    v = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'Z') {
    v = c - 'A' + 10;
  } else {
    return -1;
  }
  return v < base ? v : -1;
}

}  // namespace

int64_t read_long(std::string_view text, int base) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') && digit_in_base(text[i + 2], 16) >= 0) {
    i += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    int d = digit_in_base(text[i], base);
    if (d < 0) break;
    if (value > (static_cast<uint64_t>(INT64_MAX) + 1U - static_cast<uint64_t>(d)) /
                    static_cast<uint64_t>(base)) {
      overflow = true;
    } else {
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
  }
  if (negative) {
    if (overflow || value > static_cast<uint64_t>(INT64_MAX) + 1U) return INT64_MIN;
    return value == static_cast<uint64_t>(INT64_MAX) + 1U ? INT64_MIN
                                                          : -static_cast<int64_t>(value);
  }
  if (overflow || value > static_cast<uint64_t>(INT64_MAX)) return INT64_MAX;
  return static_cast<int64_t>(value);
}

int32_t read_int(std::string_view text) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(read_long(text, 10))));
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

size_t bytes_to_hex(const uint8_t* bytes, size_t n, char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * n] = '\0';
  return 2 * n;
}

void hex_to_bytes(std::string_view hex, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n && 2 * i + 1 < hex.size(); ++i) {
    out[i] =
        static_cast<uint8_t>(hex_digit_value(hex[2 * i]) * 16 + hex_digit_value(hex[2 * i + 1]));
  }
}

std::string_view c_text(const char* buf, size_t cap) {
  const void* nul = std::memchr(buf, '\0', cap);
  return {buf, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - buf) : cap};
}

bool copy_text(char* dst, size_t cap, std::string_view text) {
  if (cap == 0 || text.size() >= cap) return false;
  if (!text.empty()) std::memcpy(dst, text.data(), text.size());
  dst[text.size()] = '\0';
  return true;
}

namespace {

// Length of the valid UTF-8 sequence that starts text, or 0 when its first
// byte starts none.
size_t utf8_sequence(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t len = 0;
  unsigned char lo = 0x80;  // bounds of the second byte (overlongs, surrogates, > U+10FFFF)
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < len || byte(1) < lo || byte(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return len;
}

}  // namespace

std::string json_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  while (!text.empty()) {
    const auto u = static_cast<unsigned char>(text[0]);
    size_t take = 1;
    if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u == '\n') {
      out += "\\n";
    } else if (u == '\r') {
      out += "\\r";
    } else if (u == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 0xf];
    } else if (u < 0x80) {
      out += static_cast<char>(u);
    } else if ((take = utf8_sequence(text)) != 0) {
      out.append(text.substr(0, take));
    } else {
      take = 1;
      out += "\\ufffd";
    }
    text.remove_prefix(take);
  }
  return out;
}
