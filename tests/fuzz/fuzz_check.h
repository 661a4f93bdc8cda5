// What the fuzz targets share: the input as text, a check that stops the run
// (libFuzzer then keeps the input as a crash) and the sessions the command
// handlers run against: IDs 0, 1, 2 with 0/0, 4/4 and 3/32 DO/AO slots and no
// Modbus device, so that a write-back updates the image and talks to nothing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "config/configuration.h"
#include "messaging/report_book.h"
#include "modbus/io_image.h"

inline std::string_view fuzz_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
// Up to the first NUL, as a C-string buffer holds it.
inline std::string_view fuzz_c_text(const uint8_t* data, size_t size) {
  return fuzz_text(data, strnlen(reinterpret_cast<const char*>(data), size));
}

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

inline bool inside(std::string_view piece, std::string_view text) {
  return piece.empty() ||
         (piece.data() >= text.data() && piece.data() + piece.size() <= text.data() + text.size());
}

inline const DeviceList fuzz_devices;
inline Mapping fuzz_mapping{};
inline IoImage fuzz_image;
inline ReportBook fuzz_book;  // the report cycle's, for the command handlers
inline void configure_fuzz_sessions() {
  fuzz_mapping.session_count = 3;
  const SlotCount do_slots[] = {0, 4, 3}, ao_slots[] = {0, 4, 32};
  for (int s = 0; s < 3; ++s) {
    fuzz_mapping.session_id[s] = s;
    fuzz_mapping.do_num[s] = do_slots[s];
    fuzz_mapping.ao_num[s] = ao_slots[s];
  }
  fuzz_book.set_packet_id_for_test(17);
}
