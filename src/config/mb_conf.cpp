#include "config/mb_conf.h"

#include <cstddef>

#include "common/console.h"
#include "common/text.h"
#include "config/conf_text.h"
#include "config/io_type.h"

namespace {

// Console texts of the device file reader.
constexpr const char* kCountLine = "Modbus number = %d\n";
constexpr const char* kHeaderLine = "Read Modbus %02d info %s";
constexpr const char* kNoCount = "Configure file %s: line %d has no \"=\", no device count!!";
constexpr const char* kBadCount = "Configure file %s: line %d: device count %d, 0 to %d fit!!";
constexpr const char* kEndsEarly =
    "Configure file %s: line %d: the file ends before device %d's block is complete!!";
constexpr const char* kBadValues =
    "Configure file %s: line %d: device %d has %d %s values, 0 to %d fit!!";
constexpr const char* kTooLong =
    "Configure file %s: line %d (%s) has %zu characters, at most %zu fit!!";

constexpr size_t kLineBuffer = 50;
constexpr int kValueLines = 19;

template <typename... Args>
std::string refusal(const char* fmt, Args... args) {
  char line[256];
  bformat(line, sizeof line, fmt, configFile_mb, args...);
  return line;
}

// The refusal for a count of values of one type that the records cannot hold.
std::optional<std::string> check_count(const MbDevice& dev, IoType t, int line, int device) {
  int32_t n = io_count(dev, t);
  if (n >= 0 && n <= kMaxSlots) return std::nullopt;
  return refusal(kBadValues, line, device, n, io_type_name(t), kMaxSlots);
}

// Stores value line `index` (1 to 19) of a block into dev, with its side
// effects; a refusal when the value does not fit.
std::optional<std::string> store_value(MbConf& conf, MbDevice& dev, int index,
                                       std::string_view value, int line, int device) {
  auto text_field = [&](char* dst, size_t cap, const char* name) -> std::optional<std::string> {
    if (copy_text(dst, cap, value)) return std::nullopt;
    return refusal(kTooLong, line, name, value.size(), cap - 1);
  };
  auto count_field = [&](IoType t) {
    io_count(dev, t) = read_int(value);
    conf.remain[io_index(t)] = 1;
    return check_count(dev, t, line, device);
  };
  // do_as_di / ao_as_ai: the device's values of `from` are also reported as
  // values of `to`, after its own.
  auto also_as = [&](int32_t& flag, IoType from, IoType to) -> std::optional<std::string> {
    flag = read_int(value);
    if (flag == 0) return std::nullopt;
    io_count(dev, to) += io_count(dev, from);
    conf.remain[io_index(to)] = 1;
    return check_count(dev, to, line, device);
  };
  // clang-format off
  switch (index) {
    case 1: dev.slave_id = read_int(value); break;
    case 2: return count_field(IoType::DO);
    case 3: return count_field(IoType::DI);
    case 4: return count_field(IoType::AO);
    case 5: return count_field(IoType::AI);
    case 6: dev.do_start = read_int(value); break;
    case 7: dev.di_start = read_int(value); break;
    case 8: dev.ao_start = read_int(value); break;
    case 9: dev.ai_start = read_int(value); break;
    case 10: dev.is_tcp = read_int(value); break;
    case 11: return text_field(dev.ip_addr, sizeof dev.ip_addr, "ip_addr");
    case 12: dev.tcp_port = read_int(value); break;
    case 13: return text_field(dev.serial_dev, sizeof dev.serial_dev, "serial_dev");
    case 14: dev.baud = read_int(value); break;
    case 15: dev.parity = value.empty() ? '\0' : value.front(); break;
    case 16: dev.data_bits = read_int(value); break;
    case 17: dev.stop_bits = read_int(value); break;
    case 18: return also_as(dev.do_as_di, IoType::DO, IoType::DI);
    case 19: return also_as(dev.ao_as_ai, IoType::AO, IoType::AI);
    default: break;
  }
  // clang-format on
  return std::nullopt;
}

}  // namespace

MbConf parse_mb_conf(std::string_view text) {
  MbConf conf;
  ConfLineReader reader(text, kLineBuffer);
  auto first = reader.next();
  auto count_value = first ? conf_value(*first) : std::nullopt;
  if (!count_value) {
    conf.error = refusal(kNoCount, first ? reader.line_number() : 1);
    return conf;
  }
  conf.count = read_int(*count_value);
  append_console(conf.console, kCountLine, conf.count);
  if (conf.count < 0 || conf.count > kMaxDevices) {
    conf.error = refusal(kBadCount, reader.line_number(), conf.count, kMaxDevices);
    return conf;
  }

  for (int i = 0; i < conf.count; ++i) {
    auto header = reader.next();
    if (!header) {
      conf.error = refusal(kEndsEarly, reader.line_number() + 1, i + 1);
      return conf;
    }
    append_console(conf.console, kHeaderLine, i + 1, std::string(*header).c_str());
    MbDevice& dev = conf.devices[static_cast<size_t>(i)];
    int stored = 0;
    while (stored < kValueLines) {
      auto line = reader.next();
      if (!line) {
        conf.error = refusal(kEndsEarly, reader.line_number() + 1, i + 1);
        return conf;
      }
      auto value = conf_value(*line);
      if (!value) continue;  // blank lines, comments and section lines inside a block
      ++stored;
      conf.error = store_value(conf, dev, stored, *value, reader.line_number(), i + 1);
      if (conf.error) return conf;
    }
  }
  return conf;
}

int32_t read_mb_conf() {
  std::string text = read_conf_file(configFile_mb);
  MbConf conf = parse_mb_conf(text);
  finish_conf_read(conf.console, conf.error);
  for (size_t i = 0; i < static_cast<size_t>(conf.count); ++i) *modbus_dev[i] = conf.devices[i];
  for (IoType t : kIoTypes) {
    if (conf.remain[io_index(t)] != 0) remain_flag(t) = 1;
  }
  return conf.count;
}
