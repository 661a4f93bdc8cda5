// What the fuzz targets share: the input as text, and a check that stops the
// run with a message when a parser's result breaks what its callers rely on
// (libFuzzer then saves the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

inline std::string_view fuzz_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);       \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
