// The watchdog's decision: ping only while every watched loop's beat moves.
#include "app/watchdog.h"

#include <gtest/gtest.h>

namespace {

TEST(StallWatch, AliveOnlyWhileEveryBeatMovesWithinTheWindow) {
  Beat main_beat;
  Beat polling_beat;
  StallWatch watch(100);
  watch.watch(main_beat, 1000);
  // {time, mark main, mark polling, alive}
  struct Step {
    uint64_t now;
    bool main, polling;
    bool alive;
  };
  const Step steps[] = {
      {1100, false, false, true},  // a new beat counts as moved when watched
      {1101, false, false, false}, {1150, true, false, true},  // moves again: alive at once
      {1250, false, false, true},  {1251, false, false, false},
  };
  for (const Step& s : steps) {
    if (s.main) main_beat.mark();
    EXPECT_EQ(watch.alive(s.now), s.alive) << s.now;
  }
  // A second loop joins: both must move.
  main_beat.mark();
  watch.watch(polling_beat, 1300);
  EXPECT_TRUE(watch.alive(1300));
  for (uint64_t t = 1350; t <= 1500; t += 50) {
    main_beat.mark();
    EXPECT_EQ(watch.alive(t), t <= 1400) << t;  // the polling beat stands still
  }
  polling_beat.mark();
  EXPECT_TRUE(watch.alive(1550));
}

}  // namespace
