// The watchdog's decision: ping only while every watched loop's beat moves.
#include "app/watchdog.h"

#include <gtest/gtest.h>

namespace {

TEST(StallWatch, AliveOnlyWhileEveryBeatMovesWithinTheWindow) {
  Beat main_beat, polling_beat;
  StallWatch watch(100);
  watch.watch(main_beat, 1000);  // counts as moved when first watched
  EXPECT_TRUE(watch.alive(1100));
  EXPECT_FALSE(watch.alive(1101));
  main_beat.mark();
  EXPECT_TRUE(watch.alive(1150));  // moving again is alive at once
  // A second loop joins: both must move.
  watch.watch(polling_beat, 1200);
  for (uint64_t t = 1250; t <= 1350; t += 50) {
    main_beat.mark();
    EXPECT_EQ(watch.alive(t), t <= 1300) << t;
  }
  polling_beat.mark();
  EXPECT_TRUE(watch.alive(1350));
}

}  // namespace
