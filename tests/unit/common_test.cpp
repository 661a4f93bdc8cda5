#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"
#include "common/text.h"

namespace {

std::vector<std::string> all_fields(std::string_view text, std::string_view delims) {
  std::vector<std::string> out;
  TokenView tv(text);
  while (auto f = tv.next(delims)) out.emplace_back(*f);
  return out;
}

TEST(Tokenizer, RunsOfSeparatorsCountAsOneAndNoFieldIsEmpty) {
  EXPECT_EQ(all_fields(",,a,,b,c,,", ","), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(all_fields("", ","), std::vector<std::string>{});
  EXPECT_EQ(all_fields(",,,", ","), std::vector<std::string>{});
  EXPECT_EQ(all_fields("+CSQ: 23,99\r\n", ":,\r\n"),
            (std::vector<std::string>{"+CSQ", " 23", "99"}));
  EXPECT_EQ(nth_field("a,b,c", ",", 3), "c");
  EXPECT_FALSE(nth_field("a,b,c", ",", 4));
  EXPECT_EQ(cut_at("1\r\nOK", "\r"), "1");
}

TEST(Tokenizer, EachUseKeepsItsOwnPositionAndSeparatorsMayChange) {
  TokenView a("x=1,y=2");
  TokenView b("p:q");
  EXPECT_EQ(a.next("="), "x");
  EXPECT_EQ(b.next(":"), "p");
  EXPECT_EQ(a.next(","), "1");
  EXPECT_EQ(b.next(":"), "q");
  EXPECT_EQ(a.next(","), "y=2");

  char text[] = "AE,,QRX,0100";
  Tokenizer t(text);
  EXPECT_STREQ(t.next(","), "AE");
  EXPECT_STREQ(t.next(","), "QRX");
  EXPECT_STREQ(t.next(","), "0100");
  EXPECT_EQ(t.next(","), nullptr);
  EXPECT_EQ(t.next(","), nullptr);
}

TEST(Numbers, AtoiAndStrtolSemantics) {
  EXPECT_EQ(read_int("  42abc"), 42);
  EXPECT_EQ(read_int("-7"), -7);
  EXPECT_EQ(read_int("+8"), 8);
  EXPECT_EQ(read_int("abc"), 0);
  EXPECT_EQ(read_int(""), 0);
  EXPECT_EQ(read_int("- 1"), 0);
  EXPECT_EQ(read_int("4294967297"), 1);  // cut to 32 bits
  EXPECT_EQ(read_long("FF", 16), 255);
  EXPECT_EQ(read_long("0x1A", 16), 26);
  EXPECT_EQ(read_long("0x", 16), 0);
  EXPECT_EQ(read_long(" -1", 16), -1);
  EXPECT_EQ(read_long("3g", 16), 3);
  EXPECT_EQ(read_long("0100", 2), 4);
  EXPECT_EQ(read_long("99999999999999999999999", 10), INT64_MAX);
}

TEST(Hex, UpperCaseOutAndTolerantIn) {
  const uint8_t bytes[] = {0x0A, 0xFF, 0x00, 0x5c};
  char text[16];
  EXPECT_EQ(bytes_to_hex(bytes, 4, text), 8u);
  EXPECT_STREQ(text, "0AFF005C");
  uint8_t out[2] = {9, 9};
  hex_to_bytes("0aFF", 2, out);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);
  hex_to_bytes("G1", 1, out);
  EXPECT_EQ(out[0], 0x01);
}

TEST(Clock, ElapsedTimeAcrossTheThirtyTwoBitWrap) {
  EXPECT_EQ(ticks_elapsed(5u, 0xFFFFFFF0u), 21u);
  EXPECT_EQ(ticks_elapsed(1000u, 1000u), 0u);

  VirtualClock clock(0xFFFFFF00u);
  ScopedClock use(clock);
  uint32_t start = GetTimeTicks();
  clock_sleep_us(10000);
  clock_sleep_seconds(1);
  EXPECT_EQ(ticks_elapsed(GetTimeTicks(), start), 1010u);
  clock_sleep_us(500);
  clock_sleep_us(500);
  EXPECT_EQ(ticks_elapsed(GetTimeTicks(), start), 1011u);
}

TEST(Clock, RealTicksFollowTheWallClock) {
  uint32_t a = GetTimeTicks();
  clock_sleep_us(20000);
  uint32_t d = ticks_elapsed(GetTimeTicks(), a);
  EXPECT_GE(d, 19u);
  EXPECT_LT(d, 5000u);
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

TEST(Console, BoundedFormattingRefusesWhatDoesNotFit) {
  char buf[8] = "";
  EXPECT_TRUE(bformat(buf, sizeof buf, "%d", 1234567));
  EXPECT_FALSE(bformat(buf, sizeof buf, "%d", 12345678));
  EXPECT_TRUE(bformat(buf, sizeof buf, "ab"));
  EXPECT_TRUE(bappend(buf, sizeof buf, "%s", "cde"));
  EXPECT_FALSE(bappend(buf, sizeof buf, "%s", "fgh"));
  EXPECT_STREQ(buf, "abcde");
}

}  // namespace
