// The device file reader on arbitrary text, then what start-up does with an
// accepted file when the mapping is regenerated: build the default mapping,
// write it out, read it back strictly. Accepted records must be safe to index
// with, and the mapping must read back as built.
#include <cstring>

#include "config/io_type.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto conf = parse_mb_conf(fuzz_text(data, size), "quorvane.ini");
  if (!conf.ok()) return 0;
  const DeviceList& devices = conf.value();
  FUZZ_CHECK(devices.size() <= kMaxDevices);
  for (const MbDevice& dev : devices) {
    for (IoType t : kIoTypes) FUZZ_CHECK(io_count(dev, t) >= 0 && io_count(dev, t) <= kMaxSlots);
    FUZZ_CHECK(std::memchr(dev.ip_addr, '\0', sizeof dev.ip_addr) != nullptr);
    FUZZ_CHECK(std::memchr(dev.serial_dev, '\0', sizeof dev.serial_dev) != nullptr);
  }
  auto built = build_default_mapping(devices, 1, "quorvane.ini");
  if (!built.ok()) return 0;
  const Mapping& b = built.value();
  if (b.session_count == 0) return 0;
  auto read = parse_mb_mapping_conf(format_mb_mapping_conf(b), MappingRead::kReadBack, devices,
                                    "quorvane_mapping.ini");
  FUZZ_CHECK(read.ok() && read.value().session_count == b.session_count);
  const Mapping& r = read.value();
  for (int s = 0; s < r.session_count; ++s) {
    FUZZ_CHECK(r.session_id[s] == b.session_id[s]);
    for (IoType t : kIoTypes) FUZZ_CHECK(map_num(r, t, s) == map_num(b, t, s));
  }
  return 0;
}
