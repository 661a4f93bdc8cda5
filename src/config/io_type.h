// The four I/O types, always in the order DO, DI, AO, AI, and the per-type
// fields of the device records, of the I/O table and of the default-mapping
// bookkeeping, so that code that treats the four types alike is written once.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <type_traits>

#include "config/records.h"

enum class IoType { DO = 0, DI = 1, AO = 2, AI = 3 };

constexpr std::array<IoType, 4> kIoTypes = {IoType::DO, IoType::DI, IoType::AO, IoType::AI};

constexpr int io_index(IoType t) { return static_cast<int>(t); }

constexpr const char* io_type_name(IoType t) {
  constexpr const char* names[] = {"DO", "DI", "AO", "AI"};
  return names[io_index(t)];
}

template <typename T, typename Record>
concept RecordOf = std::same_as<std::remove_const_t<T>, Record>;

// The device's count of values of the type (after the do_as_di / ao_as_ai
// additions).
template <RecordOf<MbDevice> Dev>
constexpr auto& io_count(Dev& dev, IoType t) {
  switch (t) {
    case IoType::DO: return dev.do_count;
    case IoType::DI: return dev.di_count;
    case IoType::AO: return dev.ao_count;
    case IoType::AI: break;
  }
  return dev.ai_count;
}

// One session's mapping text of the type (char[200]).
template <RecordOf<MbIoTable> Table>
constexpr auto& map_text(Table& io, IoType t, int session) {
  switch (t) {
    case IoType::DO: return io.do_map_text[session];
    case IoType::DI: return io.di_map_text[session];
    case IoType::AO: return io.ao_map_text[session];
    case IoType::AI: break;
  }
  return io.ai_map_text[session];
}

// One session's slots of the type (MbMapEntry[32]).
template <RecordOf<MbIoTable> Table>
constexpr auto& map_slots(Table& io, IoType t, int session) {
  switch (t) {
    case IoType::DO: return io.do_map[session];
    case IoType::DI: return io.di_map[session];
    case IoType::AO: return io.ao_map[session];
    case IoType::AI: break;
  }
  return io.ai_map[session];
}

// One session's count of used slots of the type (do_num ... ai_num).
template <RecordOf<MbIoTable> Table>
constexpr auto& map_num(Table& io, IoType t, int session) {
  switch (t) {
    case IoType::DO: return io.do_num[session];
    case IoType::DI: return io.di_num[session];
    case IoType::AO: return io.ao_num[session];
    case IoType::AI: break;
  }
  return io.ai_num[session];
}

// The default-mapping bookkeeping of the type: mb_do_remain ... mb_ai_remain
// and the resume points mb_do_tmp ... mb_ai_tmp.
inline int32_t& remain_flag(IoType t) {
  switch (t) {
    case IoType::DO: return mb_do_remain;
    case IoType::DI: return mb_di_remain;
    case IoType::AO: return mb_ao_remain;
    case IoType::AI: break;
  }
  return mb_ai_remain;
}
inline int32_t (&resume_point(IoType t))[2] {
  switch (t) {
    case IoType::DO: return mb_do_tmp;
    case IoType::DI: return mb_di_tmp;
    case IoType::AO: return mb_ao_tmp;
    case IoType::AI: break;
  }
  return mb_ai_tmp;
}
