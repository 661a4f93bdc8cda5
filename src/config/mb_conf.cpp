#include "config/mb_conf.h"

#include <algorithm>
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

// Where a value line is: the file, its line, and the device it belongs to.
struct Place {
  const char* file;
  int line;
  int device;
};

std::optional<Refusal> bad_count(const Place& at, int64_t n, IoType t) {
  return refusal_at(at.file, at.line, kBadValues, at.device, static_cast<int>(n), io_type_name(t),
                    kMaxSlots);
}

// Stores value line `index` (1 to 19) of a block into dev, with its side
// effects; a refusal when the value does not fit, naming the count that a
// line makes out of bounds.
std::optional<Refusal> store_value(MbDevice& dev, int index, std::string_view value,
                                   const Place& at) {
  const Field<MbDevice>& field = kDeviceFields[index - 1];
  if (!store_field(field, dev, value)) {
    if (field.kind != FieldKind::Count) {
      return refusal_at(at.file, at.line, kTooLong, field.name, value.size(), field.capacity - 1);
    }
    const auto t = *std::find_if(kIoTypes.begin(), kIoTypes.end(), [&](IoType u) {
      return &io_count(dev, u) == &(dev.*field.count_member);
    });
    return bad_count(at, read_int(value), t);
  }
  for (const ReportedAs& also : kReportedAs) {
    if (field.flag_member == also.flag && dev.*also.flag) {
      const int64_t sum = int64_t{io_count(dev, also.to)} + io_count(dev, also.from);
      auto n = SlotCount::of(sum);
      if (!n) return bad_count(at, sum, also.to);
      io_count(dev, also.to) = *n;
    }
  }
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
    while (stored < kDeviceValueLines) {
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
