// The last position sentence the GPS reader kept, shared between the GPS
// thread (which stores) and the report loop (which copies). Built once by
// app/ and handed to both by reference.
#pragma once

#include <cstddef>

#include "common/thread_annotations.h"

class GpsFix {
 public:
  // Room for a sentence and its NUL.
  static constexpr size_t kSize = 128;

  // A copy of the kept sentence, always NUL-terminated ("" before the first).
  void copy(char (&out)[kSize]) const;
  // Keeps a sentence in place of the last one; text longer than kSize - 1
  // characters is refused (false) and the last one stays.
  bool store(const char* text);

 private:
  mutable Mutex lock_;
  char text_[kSize] GUARDED_BY(lock_) = {};
};
