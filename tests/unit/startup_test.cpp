// Start-up's thread creation: both threads in their order, and the fatal path
// of each with its text (no line end) and status 1.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

void* polling_body(void*) {
  return nullptr;
}
void* gps_body(void*) {
  return nullptr;
}

std::vector<ThreadBody> started;
int failing_call = 0;  // 1-based call that fails; 0: none

bool fake_start(ThreadBody body) {
  started.push_back(body);
  return static_cast<int>(started.size()) != failing_call;
}

// The death statement's standard output, seen on standard error where the
// death test looks.
void start_with_stdout_on_stderr() {
  dup2(STDERR_FILENO, STDOUT_FILENO);
  start_worker_threads(polling_body, gps_body, fake_start);
}

TEST(StartupThreads, PollingThreadFirstThenGps) {
  started.clear();
  failing_call = 0;
  start_worker_threads(polling_body, gps_body, fake_start);
  EXPECT_EQ(started, (std::vector<ThreadBody>{polling_body, gps_body}));

  // The real starter runs a body (which, like the gateway's, never ends: the
  // thread is neither joined nor detached).
  static std::atomic<bool> ran{false};
  ASSERT_TRUE(start_thread([](void*) -> void* {
    ran = true;
    for (;;) pause();
  }));
  for (int i = 0; i < 1000 && !ran; ++i) usleep(1000);
  EXPECT_TRUE(ran);
}

TEST(StartupThreadsDeathTest, AThreadThatCannotBeCreatedEndsStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  failing_call = 1;
  started.clear();
  EXPECT_EXIT(start_with_stdout_on_stderr(), testing::ExitedWithCode(1),
              "(^|\n)Create polling thread error!!$");
  failing_call = 2;
  EXPECT_EXIT(start_with_stdout_on_stderr(), testing::ExitedWithCode(1),
              "(^|\n)Create gps thread error!!$");
}

}  // namespace
