#include "config/mb_conf.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "common/text.h"
#include "config/conf_text.h"
#include "config/io_type.h"

namespace {

// Console texts of the device file reader.
constexpr const char* kCountLine = "Modbus number = %d\n";
constexpr const char* kHeaderLine = "Read Modbus %02d info %s";
// Refusals: what follows "Configure file <file>: line <n>".
constexpr const char* kNoCount = " has no \"=\", no device count!!";
constexpr const char* kBadCount = ": device count %d, 0 to %d fit!!";
constexpr const char* kEndsEarly = ": the file ends before device %d's block is complete!!";
constexpr const char* kBadValues = ": device %d has %d %s values, 0 to %d fit!!";
constexpr const char* kTooLong = " (%s) has %zu characters, at most %zu fit!!";

constexpr size_t kLineBuffer = kMbLineBuffer;
constexpr int kValueLines = 19;

// Where a value line is: the file, its line, and the device it belongs to.
struct Place {
  const char* file;
  int line;
  int device;
};

// The refusal for a count of values of one type that the records cannot hold.
std::optional<Refusal> check_count(const MbDevice& dev, IoType t, const Place& at) {
  int32_t n = io_count(dev, t);
  if (n >= 0 && n <= kMaxSlots) return std::nullopt;
  return refusal_at(at.file, at.line, kBadValues, at.device, n, io_type_name(t), kMaxSlots);
}

// Stores value line `index` (1 to 19) of a block into dev, with its side
// effects; a refusal when the value does not fit.
std::optional<Refusal> store_value(MbDevice& dev, int index, std::string_view value,
                                   const Place& at) {
  auto text_field = [&](char* dst, size_t cap, const char* name) -> std::optional<Refusal> {
    if (copy_text(dst, cap, value)) return std::nullopt;
    return refusal_at(at.file, at.line, kTooLong, name, value.size(), cap - 1);
  };
  auto count_field = [&](IoType t) {
    io_count(dev, t) = read_int(value);
    return check_count(dev, t, at);
  };
  // do_as_di / ao_as_ai: the device's values of `from` are also reported as
  // values of `to`, after its own.
  auto also_as = [&](int32_t& flag, IoType from, IoType to) -> std::optional<Refusal> {
    flag = read_int(value);
    if (flag == 0) return std::nullopt;
    io_count(dev, to) += io_count(dev, from);
    return check_count(dev, to, at);
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

ConfResult<DeviceList> parse_mb_conf(std::string_view text, const char* file) {
  std::string console;
  ConfLineReader reader(text, kLineBuffer);
  auto first = reader.next();
  auto count_value = first ? conf_value(*first) : std::nullopt;
  if (!count_value) return refusal_at(file, first ? reader.line_number() : 1, kNoCount);
  const int32_t count = read_int(*count_value);
  append_console(console, kCountLine, count);
  if (count < 0 || count > kMaxDevices) {
    return {refusal_at(file, reader.line_number(), kBadCount, count, kMaxDevices), console};
  }

  DeviceList devices(static_cast<size_t>(count), MbDevice{});
  for (int i = 0; i < count; ++i) {
    auto header = reader.next();
    if (!header) return {refusal_at(file, reader.line_number() + 1, kEndsEarly, i + 1), console};
    append_console(console, kHeaderLine, i + 1, std::string(*header).c_str());
    MbDevice& dev = devices[static_cast<size_t>(i)];
    int stored = 0;
    while (stored < kValueLines) {
      auto line = reader.next();
      if (!line) return {refusal_at(file, reader.line_number() + 1, kEndsEarly, i + 1), console};
      auto value = conf_value(*line);
      if (!value) continue;  // blank lines, comments and section lines inside a block
      ++stored;
      if (auto refused = store_value(dev, stored, *value, {file, reader.line_number(), i + 1})) {
        return {std::move(*refused), console};
      }
    }
  }
  return {std::move(devices), console};
}

ConfResult<DeviceList> read_mb_conf(const char* path) {
  auto text = read_conf_file(path);
  if (!text) return open_refusal(path);
  return parse_mb_conf(*text, path);
}
