// The GPS reader: the line filter on literal lines, and the reader's passes on
// a port in memory with the virtual clock, where the pauses it takes are the
// virtual time that passes.
#include "app/gps_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "config/fixed_settings.h"
#include "memory_stream.h"
#include "test_support.h"

namespace {

TEST(GpsFilter, FiltersInTheirOrder) {
  struct Case {
    const char* line;
    GpsVerdict verdict;
  };
  const Case cases[] = {
      {"$GPRMC:1:A:2:N:3:E:0.5:87.0:4::*24\r\n", GpsVerdict::kAccept},
      {"$GPRMC:1:V::::::::::N*53\r\n", GpsVerdict::kAccept},  // no fix: kept all the same
      {"xx$GPRMC:1:A\r\n", GpsVerdict::kAccept},
      // The skipped types are looked for first, anywhere in the line.
      {"$GPRMC:1:A:GPGGA\r\n", GpsVerdict::kOtherSentence},
      {"$GPVTG:87.0:T\r\n", GpsVerdict::kOtherSentence},
      {"$GPGSA:A:3\r\n", GpsVerdict::kOtherSentence},
      {"$GPGLL:4807.038:N\r\n", GpsVerdict::kOtherSentence},
      {"$GPGSV:3:1:11\r\n", GpsVerdict::kNoRmc},
      {"$GNRMC:1:A\r\n", GpsVerdict::kNoRmc},  // only the GP talker
      {"GPRMC:1:A\r\n", GpsVerdict::kNoRmc},
      {"", GpsVerdict::kNoRmc},
      // A second RMC, searched from the "C" that ends the first "$GPRMC".
      {"$GPRMC:1:A*00$GPRMC:2:A*00\r\n", GpsVerdict::kSeveralRmc},
      {"$GPRMCGPRMC\r\n", GpsVerdict::kSeveralRmc},
      {"GPRMC$GPRMC:1\r\n", GpsVerdict::kAccept},
  };
  for (const Case& c : cases) EXPECT_EQ(filter_gps_line(c.line), c.verdict) << c.line;
  // gps_talkers=GP,GN: either talker's RMC is kept as sent, one of each is two.
  const std::vector<std::string> gp_gn = {"GP", "GN"};
  const Case listed[] = {
      {"$GNRMC:1:A\r\n", GpsVerdict::kAccept},
      {"$GPRMC:1:A\r\n", GpsVerdict::kAccept},
      {"$GLRMC:1:A\r\n", GpsVerdict::kNoRmc},
      {"$GNGGA:1\r\n", GpsVerdict::kNoRmc},
      {"$GNRMC:1:A*00$GPRMC:2\r\n", GpsVerdict::kSeveralRmc},
      {"$GPRMC:1:A*00$GNRMC:2\r\n", GpsVerdict::kSeveralRmc},
  };
  for (const Case& c : listed) EXPECT_EQ(filter_gps_line(c.line, gp_gn), c.verdict) << c.line;

  // 129 characters keep a 127-character sentence; one more does not fit.
  std::string longest = "$GPRMC:" + std::string(kGpsMaxLine - 9, '1') + "\r\n";
  ASSERT_EQ(longest.size(), kGpsMaxLine);
  EXPECT_EQ(filter_gps_line(longest), GpsVerdict::kAccept);
  EXPECT_EQ(filter_gps_line("1" + longest), GpsVerdict::kTooLong);

  // The last two characters always go, the first ones stay.
  EXPECT_EQ(gps_sentence("$GPRMC:1\r\n"), "$GPRMC:1");
  EXPECT_EQ(gps_sentence("$GPRMC:1\n"), "$GPRMC:");
  EXPECT_EQ(gps_sentence("\n"), "");
}

class GpsReader : public ::testing::Test {
 protected:
  void send(const std::string& bytes) { gps.deliver(bytes); }
  std::string stored_gps() {
    char out[GpsFix::kSize];
    fix.copy(out);
    return out;
  }

  // One pass; the verdict, with the virtual time it paused.
  GpsVerdict pass() {
    uint64_t before = clock.total_slept_us();
    GpsVerdict v = gps_read_pass(reader, fix);
    paused_us = clock.total_slept_us() - before;
    return v;
  }

  support::ScopedConsoleCapture capture;
  MemoryStream gps{gps_port};
  GpsLines reader{gps};
  VirtualClock clock;
  ScopedClock clock_guard{clock};
  GpsFix fix;
  uint64_t paused_us = 0;
};

// Each pass: its verdict, the pause it took, the sentence kept and the console.
TEST_F(GpsReader, KeepsTheLastRmcSentenceAndPausesOnlyWhenNoCompleteLineWaits) {
  using enum GpsVerdict;
  const std::string first = "$GPRMC:1:A:2:N:3:E:0.5:87.0:4::*24";
  struct Case {
    std::string sent;
    GpsVerdict verdict;
    uint64_t paused_us;
    std::string stored, console;
  };
  const Case cases[] = {
      {"", kNoRmc, 1000000, "", ""},  // nothing waiting: one pause
      {"$GPRMC,1,A,2,N,3,E,0.5,87.0,4,,*24\r\n", kAccept, 1000000, first, ""},
      // Dropped lines keep the old sentence; skipped ones take no pause.
      {"$GPRMC,9,A,GPGGA\r\n", kOtherSentence, 0, first, ""},
      {"$GPRMC,7,A*11$GPRMC,8,A*12\r\n", kSeveralRmc, 0, first, ""},
      {"$GPRMC," + std::string(140, '5') + "\r\n", kTooLong, 1000000, first,
       "[ERROR] GPS line of 149 characters too long, dropped!!\n"},
      // Ended by LF alone: the last data character goes; text before "$GPRMC" stays.
      {"@@$GPRMC,2,A*3F\n", kAccept, 1000000, "@@$GPRMC:2:A*3", ""},
      // A sentence cut by NULs (a receiver's cold boot) keeps all it has.
      {std::string("$GPRMC,000346.03,A,4808\0\0\0\r\n", 28), kAccept, 1000000,
       "$GPRMC:000346.03:A:4808", ""},
      // Whole lines waiting: no pause; only a part of one: the reader sleeps.
      {"$GPRMC,1,A*00\r\n$GPGSV,3,1\r\n$GPGSV,3,2\r\n$GPRMC,2,A", kAccept, 0, "$GPRMC:1:A*00", ""},
      {"", kNoRmc, 0, "$GPRMC:1:A*00", ""},
      {"", kNoRmc, 1000000, "$GPRMC:1:A*00", ""},
      {",B*00\r\n", kAccept, 1000000, "$GPRMC:2:A:B*00", ""},
  };
  for (const Case& c : cases) {
    send(c.sent);
    EXPECT_EQ(pass(), c.verdict) << c.sent;
    EXPECT_EQ(paused_us, c.paused_us) << c.sent;
    EXPECT_EQ(stored_gps(), c.stored) << c.sent;
    EXPECT_EQ(capture.take(), c.console) << c.sent;
  }

  // A line begun and never ended: the pass ends at the port's 60 seconds.
  send("$GPRMC,12");
  const uint32_t t0 = clock.ticks();
  EXPECT_EQ(pass(), GpsVerdict::kNoRmc);
  EXPECT_EQ(clock.ticks() - t0, 60010u + 1000u);
  EXPECT_EQ(capture.take(), "Receiving message timeout!!\nRecv:\r\n-----\r\n\r\n");
}

}  // namespace
