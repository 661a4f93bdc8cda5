// Start-up's thread creation: both threads in their order, and the fatal path
// of each with its text (no line end) and status 1.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "test_support.h"

namespace {

void* polling_body(void*) {
  return nullptr;
}
void* gps_body(void*) {
  return nullptr;
}

std::vector<ThreadBody> started;
size_t failing_call = 0;  // 1-based call that fails; 0: none

bool fake_start(ThreadBody body, void*) {
  started.push_back(body);
  return started.size() != failing_call;
}

TEST(StartupThreads, PollingThreadFirstThenGps) {
  started.clear(), failing_call = 0;
  start_worker_threads(polling_body, nullptr, gps_body, nullptr, fake_start);
  EXPECT_EQ(started, (std::vector<ThreadBody>{polling_body, gps_body}));
  // The real starter runs the body; this one detaches itself and ends, so that
  // the test leaves no thread behind.
  static std::atomic<bool> ran{false};
  ASSERT_TRUE(start_thread(
      [](void*) -> void* {
        pthread_detach(pthread_self());
        ran = true;
        return nullptr;
      },
      nullptr));
  for (int i = 0; i < 2000 && !ran; ++i) usleep(1000);
  EXPECT_TRUE(ran);
}

TEST(StartupThreadsDeathTest, AThreadThatCannotBeCreatedEndsStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (failing_call = 1; failing_call <= 2; ++failing_call) {
    started.clear();
    EXPECT_EXIT((support::console_to_stderr(),  // the text where the death test looks
                 start_worker_threads(polling_body, nullptr, gps_body, nullptr, fake_start)),
                testing::ExitedWithCode(1),
                failing_call == 1 ? "(^|\n)Create polling thread error!!$"
                                  : "(^|\n)Create gps thread error!!$");
  }
}

}  // namespace
