// The GPS reader: the line filter on literal lines, and the reader's passes on
// a real pseudo-terminal with the virtual clock, where the pauses it takes are
// the virtual time that passes.
#include "app/gps_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/clock.h"
#include "config/records.h"
#include "modem/at_link.h"
#include "modem/rx_queue.h"
#include "test_support.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string stored_gps() {
  char out[128];
  copy_gps_data(out);
  return out;
}

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

  // 129 characters keep a 127-character sentence; one more does not fit.
  std::string longest = "$GPRMC:" + std::string(kGpsMaxLine - 9, '1') + "\r\n";
  ASSERT_EQ(longest.size(), kGpsMaxLine);
  EXPECT_EQ(filter_gps_line(longest), GpsVerdict::kAccept);
  EXPECT_EQ(filter_gps_line("1" + longest), GpsVerdict::kTooLong);
  EXPECT_EQ(filter_gps_line(longest + "$GPRMC"), GpsVerdict::kSeveralRmc);

  // The last two characters always go, the first ones stay.
  EXPECT_EQ(gps_sentence("$GPRMC:1\r\n"), "$GPRMC:1");
  EXPECT_EQ(gps_sentence("$GPRMC:1\n"), "$GPRMC:");
  EXPECT_EQ(gps_sentence("\n"), "");
}

// What line_waiting relies on: a line end found wherever the ring has wrapped.
TEST(RxQueue, HoldsLooksAcrossTheWrap) {
  RxQueue q;
  std::vector<uint8_t> bytes(RxQueue::kCapacity - 4, 'x');
  q.push(bytes.data(), bytes.size());
  uint8_t b;
  for (int i = 0; i < 100; ++i) q.pop(b);
  EXPECT_FALSE(q.holds('\n'));
  const uint8_t tail[] = {'a', 'b', 'c', 'd', 'e', 'f', '\n'};
  q.push(tail, sizeof tail);  // the LF lands past the ring's end
  EXPECT_TRUE(q.holds('\n'));
  while (q.size() > 1) q.pop(b);
  EXPECT_TRUE(q.holds('\n'));
  q.pop(b);
  EXPECT_FALSE(q.holds('\n'));
}

class GpsReader : public ::testing::Test {
 protected:
  GpsReader() {
    allocate_records();
    recv_reset(gps_port);
  }
  ~GpsReader() override { recv_reset(gps_port); }
  void send(const std::string& bytes) { ASSERT_TRUE(gps.send(bytes)); }

  // One pass; the verdict, with the virtual time it paused and what it printed.
  GpsVerdict pass() {
    uint64_t before = clock.total_slept_us();
    CaptureStdout();
    GpsVerdict v = gps_read_pass();
    console = GetCapturedStdout();
    paused_us = clock.total_slept_us() - before;
    return v;
  }

  support::TempRoot root;
  support::PortPty gps{root, gps_port, "ttyUSB1"};
  VirtualClock clock;
  ScopedClock clock_guard{clock};
  std::string console;
  uint64_t paused_us = 0;
};

TEST_F(GpsReader, KeepsTheLastRmcSentenceWithColons) {
  EXPECT_EQ(pass(), GpsVerdict::kNoRmc);  // nothing waiting: empty value, one pause
  EXPECT_EQ(paused_us, 1000000U);
  EXPECT_EQ(stored_gps(), "");

  send("$GPRMC,1,A,2,N,3,E,0.5,87.0,4,,*24\r\n");
  EXPECT_EQ(pass(), GpsVerdict::kAccept);
  EXPECT_EQ(stored_gps(), "$GPRMC:1:A:2:N:3:E:0.5:87.0:4::*24");
  EXPECT_EQ(paused_us, 1000000U);
  EXPECT_EQ(console, "");

  // Dropped lines keep the old sentence; skipped ones take no pause.
  send("$GPRMC,9,A,GPGGA\r\n");
  EXPECT_EQ(pass(), GpsVerdict::kOtherSentence);
  EXPECT_EQ(paused_us, 0U);
  send("$GPRMC,7,A*11$GPRMC,8,A*12\r\n");
  EXPECT_EQ(pass(), GpsVerdict::kSeveralRmc);
  EXPECT_EQ(paused_us, 0U);
  send("$GPRMC," + std::string(140, '5') + "\r\n");
  EXPECT_EQ(pass(), GpsVerdict::kTooLong);
  EXPECT_EQ(console, "[ERROR] GPS line of 149 characters too long, dropped!!\n");
  EXPECT_EQ(stored_gps(), "$GPRMC:1:A:2:N:3:E:0.5:87.0:4::*24");

  // A line ended by LF alone loses its last data character; text before
  // "$GPRMC" is kept with it.
  send("@@$GPRMC,2,A*3F\n");
  EXPECT_EQ(pass(), GpsVerdict::kAccept);
  EXPECT_EQ(stored_gps(), "@@$GPRMC:2:A*3");
}

TEST_F(GpsReader, PausesOnlyWhenNoCompleteLineWaits) {
  send("$GPRMC,1,A*00\r\n$GPGSV,3,1\r\n$GPGSV,3,2\r\n$GPRMC,2,A");
  EXPECT_EQ(pass(), GpsVerdict::kAccept);
  EXPECT_EQ(paused_us, 0U);
  EXPECT_EQ(pass(), GpsVerdict::kNoRmc);
  EXPECT_EQ(paused_us, 0U);
  // Only a part of the next line waits: the port is quiet, the reader sleeps.
  EXPECT_EQ(pass(), GpsVerdict::kNoRmc);
  EXPECT_EQ(paused_us, 1000000U);
  send(",B*00\r\n");
  EXPECT_EQ(pass(), GpsVerdict::kAccept);
  EXPECT_EQ(stored_gps(), "$GPRMC:2:A:B*00");
  EXPECT_EQ(paused_us, 1000000U);
}

// NMEA sentence with its checksum and CR LF.
std::string nmea(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[16];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// What a usual receiver sends in one second: eight sentences, about 520 bytes.
std::string sentence_set(int second) {
  char t[32];
  std::snprintf(t, sizeof t, "%02d%02d%02d.00", second / 3600, second / 60 % 60, second % 60);
  std::string time = t;
  return nmea("GPRMC," + time + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
         nmea("GPVTG,084.4,T,081.3,M,022.4,N,041.5,K") +
         nmea("GPGGA," + time + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
         nmea("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1") +
         nmea("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00") +
         nmea("GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00") +
         nmea("GPGSV,3,3,11,22,42,067,42,24,14,311,43,27,05,244,00") +
         nmea("GPGLL,4807.038,N,01131.000,E," + time + ",A");
}

// A receiver on the GPS port's far end that sends one sentence set per
// virtual second: every sleep of the reader lets the receiver's time run.
class ReceiverClock : public VirtualClock {
 public:
  explicit ReceiverClock(support::PortPty& gps) : gps_(gps) {}
  void sleep_us(uint64_t micros) override {
    VirtualClock::sleep_us(micros);
    while (ticks() - ticks_at_start_ >= 1000U * static_cast<uint32_t>(second_ + 1)) {
      ++second_;
      send_set();
    }
  }
  int second() const { return second_; }
  // The RMC sentence of a second, as the reader keeps it.
  static std::string rmc(int second) {
    std::string set = sentence_set(second);
    set.resize(set.find("\r\n"));
    for (char& c : set) c = c == ',' ? ':' : c;
    return set;
  }

 private:
  // What the port cannot take is lost, as on a real line.
  void send_set() {
    std::string set = sentence_set(second_);
    int before = std::max(UART_DataSizeInCom(gps_port), 0);
    ssize_t n = write(gps_.master(), set.data(), set.size());
    if (n <= 0) return;
    for (int i = 0; i < 200 && UART_DataSizeInCom(gps_port) < before + n; ++i) poll(nullptr, 0, 5);
  }

  support::PortPty& gps_;
  uint32_t ticks_at_start_ = ticks();
  int second_ = 0;
};

TEST_F(GpsReader, KeepsUpWithAOneHertzReceiver) {
  ReceiverClock receiver(gps);
  ScopedClock in_force(receiver);
  int accepted = 0;
  std::string stale;  // what was reported while newer sentences had been sent
  CaptureStdout();
  while (receiver.second() < 300 && stale.empty()) {
    if (gps_read_pass() == GpsVerdict::kAccept) ++accepted;
    // After any pass the reported sentence is at most one second old (the
    // newest set may still wait behind the pause that let it arrive).
    std::string now = stored_gps();
    if (receiver.second() > 1 && now != receiver.rmc(receiver.second()) &&
        now != receiver.rmc(receiver.second() - 1)) {
      stale = now + " at second " + std::to_string(receiver.second());
    }
  }
  GetCapturedStdout();
  EXPECT_EQ(stale, "");
  // Every second's sentence was reached; none was lost behind a pause.
  EXPECT_GE(accepted, 299);
}

}  // namespace
