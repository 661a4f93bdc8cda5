// The four I/O types, always in the order DO, DI, AO, AI, and the per-type
// fields of the device records and of the mapping, so that code that treats the
// four types alike is written once.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <type_traits>

#include "config/configuration.h"

enum class IoType { DO = 0, DI = 1, AO = 2, AI = 3 };

constexpr std::array<IoType, 4> kIoTypes = {IoType::DO, IoType::DI, IoType::AO, IoType::AI};

constexpr int io_index(IoType t) {
  return static_cast<int>(t);
}

constexpr const char* io_type_name(IoType t) {
  constexpr const char* names[] = {"DO", "DI", "AO", "AI"};
  return names[io_index(t)];
}

// The record itself or its const view.
template <typename T, typename Record>
concept RecordOf = std::same_as<std::remove_const_t<T>, Record>;

// The one of four fields that belongs to the type.
template <typename T>
constexpr T& by_type(IoType t, T& do_field, T& di_field, T& ao_field, T& ai_field) {
  switch (t) {
    case IoType::DO:
      return do_field;
    case IoType::DI:
      return di_field;
    case IoType::AO:
      return ao_field;
    case IoType::AI:
      break;
  }
  return ai_field;
}

// The device's count of values of the type (after the do_as_di / ao_as_ai
// additions).
template <RecordOf<MbDevice> Dev>
constexpr auto& io_count(Dev& dev, IoType t) {
  return by_type(t, dev.do_count, dev.di_count, dev.ao_count, dev.ai_count);
}

// The device's first Modbus address of the type.
template <RecordOf<MbDevice> Dev>
constexpr auto& io_start(Dev& dev, IoType t) {
  return by_type(t, dev.do_start, dev.di_start, dev.ao_start, dev.ai_start);
}

// One session's mapping text of the type (char[200]).
template <RecordOf<Mapping> Table>
constexpr auto& map_text(Table& io, IoType t, int s) {
  return by_type(t, io.do_map_text[s], io.di_map_text[s], io.ao_map_text[s], io.ai_map_text[s]);
}

// One session's slots of the type (MbMapEntry[32]).
template <RecordOf<Mapping> Table>
constexpr auto& map_slots(Table& io, IoType t, int s) {
  return by_type(t, io.do_map[s], io.di_map[s], io.ao_map[s], io.ai_map[s]);
}

// One session's count of used slots of the type (do_num ... ai_num).
template <RecordOf<Mapping> Table>
constexpr auto& map_num(Table& io, IoType t, int s) {
  return by_type(t, io.do_num[s], io.di_num[s], io.ao_num[s], io.ai_num[s]);
}

// One session's used slots of the type: the first map_num of its kMaxSlots.
template <RecordOf<Mapping> Table>
constexpr auto used_slots(Table& io, IoType t, int s) {
  return std::span(map_slots(io, t, s)).first(map_num(io, t, s).size());
}

// do_as_di / ao_as_ai: a device that also reports its values of `from` as
// values of `to`, after its own.
struct ReportedAs {
  bool MbDevice::*flag;
  IoType from;
  IoType to;
};
inline constexpr ReportedAs kReportedAs[] = {
    {&MbDevice::do_as_di, IoType::DO, IoType::DI},
    {&MbDevice::ao_as_ai, IoType::AO, IoType::AI},
};
