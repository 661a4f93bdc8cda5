// Clang's thread-safety annotations, and a mutex and lock guard that carry
// them (libstdc++'s std::mutex does not). With -Wthread-safety, clang checks
// that every GUARDED_BY member is touched only with its mutex held; other
// compilers see empty macros.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QV_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};
