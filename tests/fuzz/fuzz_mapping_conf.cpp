// The mapping file reader on arbitrary text. Byte 0 gives the read (bit 0:
// read-back) and the device count ((byte >> 1) % 11), bytes 1 to 4 the DO, DI,
// AO and AI channel counts (varied per device); the rest is the file. A mapping
// accepted for use names only configured devices and channels.
#include "config/io_type.h"
#include "config/mapping_conf.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  MappingRead when = (data[0] & 1) != 0 ? MappingRead::kReadBack : MappingRead::kStartup;
  DeviceList devices(static_cast<size_t>((data[0] >> 1) % (kMaxDevices + 1)), MbDevice{});
  for (size_t d = 0; d < devices.size(); ++d) {
    for (IoType t : kIoTypes)
      io_count(devices[d], t) = *SlotCount::of((data[1 + io_index(t)] + d * 7) % (kMaxSlots + 1));
  }
  auto read =
      parse_mb_mapping_conf(fuzz_text(data + 5, size - 5), when, devices, "quorvane_mapping.ini");
  if (!read.ok()) return 0;
  const Mapping& io = read.value();
  (void)format_mb_mapping_conf(io);
  if (when == MappingRead::kStartup && io.default_mapping != 0) return 0;
  for (int s = 0; s < io.session_count; ++s) {
    for (IoType t : kIoTypes) {
      for (const MbMapEntry& e : map_slots(io, t, s))
        FUZZ_CHECK(e.dev_no == 0 || (e.dev_no <= static_cast<int>(devices.size()) &&
                                     e.ch_no <= io_count(devices[e.dev_no - 1u], t)));
    }
  }
  return 0;
}
