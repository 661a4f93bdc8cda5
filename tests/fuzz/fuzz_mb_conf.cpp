// The device file reader on arbitrary text, then what start-up does with an
// accepted file when the mapping is regenerated: build the default mapping,
// write it out, read it back strictly. Accepted records must be safe to index
// with, and the mapping must read back as built.
#include <memory>

#include "config/io_type.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MbConf conf = parse_mb_conf(fuzz_text(data, size));
  if (conf.error) return 0;
  FUZZ_CHECK(conf.count >= 0 && conf.count <= kMaxDevices);
  DeviceTable devices{};
  for (int d = 0; d < kMaxDevices; ++d) {
    MbDevice& dev = conf.devices[static_cast<size_t>(d)];
    devices[static_cast<size_t>(d)] = &dev;
    if (d >= conf.count) continue;
    for (IoType t : kIoTypes) FUZZ_CHECK(io_count(dev, t) >= 0 && io_count(dev, t) <= kMaxSlots);
    FUZZ_CHECK(std::memchr(dev.ip_addr, '\0', sizeof dev.ip_addr) != nullptr);
    FUZZ_CHECK(std::memchr(dev.serial_dev, '\0', sizeof dev.serial_dev) != nullptr);
  }
  DefaultMappingState state;
  std::memcpy(state.remain, conf.remain, sizeof state.remain);
  auto built = std::make_unique<MbIoTable>(), read = std::make_unique<MbIoTable>();
  std::string console;
  if (build_default_sessions(*built, devices, conf.count, state, console)) return 0;
  FUZZ_CHECK(built->session_count >= 0 && built->session_count <= kMaxSessions);
  if (built->session_count == 0) return 0;
  std::string file = format_mb_mapping_conf(*built);
  auto error = parse_mb_mapping_conf(file, MappingRead::kReadBack, devices, conf.count, *read, console);
  FUZZ_CHECK(!error && read->session_count == built->session_count);
  count_session_slots(*read);
  for (int s = 0; s < read->session_count; ++s) {
    FUZZ_CHECK(read->session_id[s] == built->session_id[s]);
    for (IoType t : kIoTypes) FUZZ_CHECK(map_num(*read, t, s) == map_num(*built, t, s));
  }
  return 0;
}
