// One row per field of a positional configuration file: where the field is,
// its name, the member it fills and how its text becomes the value. The
// readers store through the rows, quorvane-check shows and names positions
// through the same rows, so adding a setting is adding its row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/text.h"
#include "config/configuration.h"

enum class FieldKind {
  Int,     // decimal, as read_int reads it
  Count,   // decimal, 0 to kMaxSlots; beyond refuses the file
  Flag,    // decimal: 0 is off, anything else on
  Choice,  // decimal, as a flag: 0 is an enum's first value, anything else its second
  Text,    // the value as it is; longer than its field refuses the file
  Char,    // the first character (none: NUL)
};

template <typename Record>
struct Field {
  int position;  // counted as the file's reader counts its lines
  const char* name;
  FieldKind kind;
  int32_t Record::*int_member = nullptr;
  bool Record::*flag_member = nullptr;
  char Record::*char_member = nullptr;
  char* (*text)(Record&) = nullptr;
  size_t capacity = 0;  // of a text, its NUL included
  SlotCount Record::*count_member = nullptr;
  void (*choose)(Record&, bool second) = nullptr;
  bool (*chosen)(const Record&) = nullptr;  // the second value is set
};

namespace field_detail {
template <typename M>
struct MemberOf;
template <typename R, typename T>
struct MemberOf<T R::*> {
  using Record = R;
  using Type = T;
};
}  // namespace field_detail

template <typename R>
constexpr Field<R> int_field(int position, const char* name, int32_t R::*member) {
  return {position, name, FieldKind::Int, member};
}

template <typename R>
constexpr Field<R> flag_field(int position, const char* name, bool R::*member) {
  return {position, name, FieldKind::Flag, nullptr, member};
}

template <typename R>
constexpr Field<R> char_field(int position, const char* name, char R::*member) {
  return {position, name, FieldKind::Char, nullptr, nullptr, member};
}

template <typename R>
constexpr Field<R> count_field(int position, const char* name, SlotCount R::*member) {
  Field<R> f{position, name, FieldKind::Count};
  f.count_member = member;
  return f;
}

// A setting of two meanings written as 0 or 1: an enum of two values.
template <auto Member>
constexpr auto choice_field(int position, const char* name) {
  using R = typename field_detail::MemberOf<decltype(Member)>::Record;
  using E = typename field_detail::MemberOf<decltype(Member)>::Type;
  static_assert(std::is_enum_v<E>);
  Field<R> f{position, name, FieldKind::Choice};
  f.choose = [](R& r, bool second) { r.*Member = second ? E{1} : E{0}; };
  f.chosen = [](const R& r) { return r.*Member == E{1}; };
  return f;
}

template <auto Member>
constexpr auto text_field(int position, const char* name) {
  using R = typename field_detail::MemberOf<decltype(Member)>::Record;
  using T = typename field_detail::MemberOf<decltype(Member)>::Type;
  return Field<R>{position,
                  name,
                  FieldKind::Text,
                  nullptr,
                  nullptr,
                  nullptr,
                  [](R& r) -> char* { return r.*Member; },
                  std::extent_v<T>};
}

// The row at `position`, or null (an unused position).
template <typename R, size_t N>
constexpr const Field<R>* field_at(const Field<R> (&rows)[N], int position) {
  for (const Field<R>& f : rows) {
    if (f.position == position) return &f;
  }
  return nullptr;
}

// The row named `name`, or null.
template <typename R, size_t N>
constexpr const Field<R>* field_named(const Field<R> (&rows)[N], std::string_view name) {
  for (const Field<R>& f : rows) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Stores the line's value into the row's member; false when it does not fit:
// a text longer than its field (which then holds the part that fits), or a
// count beyond its bounds (the member is left as it was).
template <typename R>
bool store_field(const Field<R>& f, R& r, std::string_view value) {
  switch (f.kind) {
    case FieldKind::Int:
      r.*f.int_member = read_int(value);
      return true;
    case FieldKind::Count:
      if (auto n = SlotCount::of(read_int(value))) {
        r.*f.count_member = *n;
        return true;
      }
      return false;
    case FieldKind::Flag:
      r.*f.flag_member = read_int(value) != 0;
      return true;
    case FieldKind::Choice:
      f.choose(r, read_int(value) != 0);
      return true;
    case FieldKind::Char:
      r.*f.char_member = value.empty() ? '\0' : value.front();
      return true;
    case FieldKind::Text:
      break;
  }
  return copy_text(f.text(r), f.capacity, value);
}

// The text of a row's value (a flag as 0 or 1).
template <typename R>
std::string field_text(const Field<R>& f, const R& r) {
  R& record = const_cast<R&>(r);  // the getter only reads here
  switch (f.kind) {
    case FieldKind::Int:
      return std::to_string(r.*f.int_member);
    case FieldKind::Count:
      return std::to_string(int{r.*f.count_member});
    case FieldKind::Flag:
      return r.*f.flag_member ? "1" : "0";
    case FieldKind::Choice:
      return f.chosen(r) ? "1" : "0";
    case FieldKind::Char:
      return std::string(1, r.*f.char_member);
    case FieldKind::Text:
      break;
  }
  return f.text(record);
}
