#include "modem/answers.h"

#include "common/text.h"
#include "config/configuration.h"

namespace {

// Field k of the answer split at `split`, cut at the first of `cut`.
std::optional<std::string_view> answer_field(std::string_view answer, const char* split, int k,
                                             const char* cut) {
  auto field = nth_field(answer, split, k);
  if (!field) return std::nullopt;
  return cut_at(*field, cut);
}

}  // namespace

int32_t parse_cereg(std::string_view answer) {
  auto v = answer_field(answer, ",", 2, "\r");
  return v ? read_int(*v) : 0;
}

int32_t parse_csq(std::string_view answer) {
  auto v = answer_field(answer, ":", 2, ",");
  return v ? read_int(*v) : 0;
}

std::optional<std::string_view> parse_edns(std::string_view answer) {
  auto v = answer_field(answer, ":", 2, "\r");
  if (!v || v->empty()) return std::nullopt;
  return v;
}

std::optional<int32_t> parse_emqnew(std::string_view answer) {
  auto v = answer_field(answer, ":", 2, "\r");
  if (!v) return std::nullopt;
  return read_int(*v);
}

std::optional<int32_t> parse_esoc(std::string_view answer) {
  constexpr std::string_view kSocketLine = "+ESOC=";
  TokenView lines(answer);
  while (auto line = lines.next("\r\n")) {
    if (line->starts_with(kSocketLine)) return read_int(line->substr(kSocketLine.size()));
  }
  return std::nullopt;
}
