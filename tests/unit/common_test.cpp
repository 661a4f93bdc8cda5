#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"
#include "common/text.h"
#include "test_support.h"

namespace {

TEST(Text, FieldsNumbersAndHex) {
  // Runs of separators count as one, no field is empty, each view keeps its place.
  TokenView a("x=1,,y=2,"), b("p:q");
  EXPECT_EQ(a.next("="), "x");
  EXPECT_EQ(b.next(":"), "p");
  EXPECT_EQ(a.next(","), "1");
  EXPECT_EQ(a.next(","), "y=2");
  EXPECT_FALSE(a.next(","));
  EXPECT_EQ(nth_field(",,a,,b", ",", 2), "b");
  EXPECT_EQ(nth_field("+CSQ: 23,99\r\n", ":,\r\n", 2), " 23");
  EXPECT_FALSE(nth_field("a,b,c", ",", 4));
  EXPECT_EQ(cut_at("1\r\nOK", "\r"), "1");

  // atoi and strtol semantics, cut to 32 bits / saturated.
  const std::pair<const char*, int> ints[] = {{"  42abc", 42}, {"-7", -7}, {"+8", 8},
                                              {"abc", 0},      {"- 1", 0}, {"4294967297", 1}};
  for (auto [text, value] : ints) EXPECT_EQ(read_int(text), value) << text;
  const std::tuple<const char*, int, int64_t> longs[] = {
      {"0x1A", 16, 26},
      {"0x5", 16, 5},  // the shortest prefixed number
      {"0x", 16, 0},
      {" -1", 16, -1},
      {"3g", 16, 3},
      {"0100", 2, 4},
      {"99999999999999999999999", 10, INT64_MAX}};
  for (auto [text, base, value] : longs) EXPECT_EQ(read_long(text, base), value) << text;

  const uint8_t bytes[] = {0x0A, 0xFF, 0x00, 0x5c};
  char text[16];
  EXPECT_EQ(bytes_to_hex(bytes, 4, text), 8u);
  EXPECT_STREQ(text, "0AFF005C");
  uint8_t out[3] = {9, 9, 9};
  hex_to_bytes("0aFFG7", 3, out);  // a character that is no hex digit counts zero
  EXPECT_EQ(out[0] << 16 | out[1] << 8 | out[2], 0x0AFF07);
  hex_to_bytes(std::string_view("12345", 3), 3, out);  // a byte needs both its digits
  EXPECT_EQ(out[0] << 16 | out[1] << 8 | out[2], 0x12FF07);
}

TEST(Clock, ElapsedTimeAcrossTheThirtyTwoBitWrap) {
  EXPECT_EQ(ticks_elapsed(5u, 0xFFFFFFF0u), 21u);
  VirtualClock clock(0xFFFFFF00u);
  ScopedClock use(clock);
  uint32_t start = GetTimeTicks();
  clock_sleep_us(10000);
  clock_sleep_seconds(1);
  clock_sleep_us(500);
  clock_sleep_us(500);  // sub-millisecond sleeps add up
  EXPECT_EQ(ticks_elapsed(GetTimeTicks(), start), 1011u);
}

TEST(Paths, ResolvedUnderTheRootOnlyWhenItIsADirectory) {
  unsetenv("QUORVANE_ROOT");
  EXPECT_EQ(resolve_path("/tmp/modemInfo.txt"), "/tmp/modemInfo.txt");
  setenv("QUORVANE_ROOT", "/tmp/", 1);
  EXPECT_EQ(resolve_path("//dev//ttyUSB0"), "/tmp//dev//ttyUSB0");
  setenv("QUORVANE_ROOT", "/nonexistent-quorvane-root", 1);
  EXPECT_EQ(resolve_path("/korvel/x"), "/korvel/x");
  unsetenv("QUORVANE_ROOT");
}

TEST(Console, BoundedFormattingAndTheStreams) {
  char buf[8] = "";
  EXPECT_TRUE(bformat(buf, sizeof buf, "%d", 1234567));
  EXPECT_FALSE(bformat(buf, sizeof buf, "%d", 12345678));
  EXPECT_TRUE(bformat(buf, sizeof buf, "ab"));
  EXPECT_TRUE(bappend(buf, sizeof buf, "%s", "cde"));
  EXPECT_FALSE(bappend(buf, sizeof buf, "%s", "fgh"));
  EXPECT_STREQ(buf, "abcde");

  // A console text is cut at its bound; errors go to their own stream.
  support::ScopedConsoleCapture capture;
  console().print("%d-%s", 7, std::string(Console::kMaxText, 'y').c_str());
  console().line("l");
  console().error("e");
  EXPECT_EQ(capture.take(), "7-" + std::string(Console::kMaxText - 2, 'y') + "l\n");
  EXPECT_EQ(capture.take(ConsoleStream::kErr), "e");
}

TEST(Text, JsonStringsAreValidWhateverTheBytes) {
  const std::pair<std::string, std::string> rows[] = {
      {"a\"b\\c/\n\r\t\x01\x1f\x7f", "a\\\"b\\\\c/\\n\\r\\t\\u0001\\u001f\\u007f"},
      // Valid UTF-8 of two, three and four bytes stays as it is.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      // Latin-1, a stray continuation, overlongs, a surrogate, past U+10FFFF,
      // a cut sequence: one replacement per byte.
      {"caf\xe9 \x80 \xc0\xaf \xe0\x80\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82x \xe2\x82",
       "caf\\ufffd \\ufffd \\ufffd\\ufffd \\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\\ufffd "
       "\\ufffd\\ufffd\\ufffd\\ufffd \\ufffd\\ufffdx \\ufffd\\ufffd"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(json_escaped(in), out) << in;
}

}  // namespace
