// thread_annotations.h: lock annotations and the annotated lock types the
// service uses. Clang checks them with -Wthread-safety (the lint preset
// makes a violation an error); on GCC they only document.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define ZUV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZUV_THREAD_ANNOTATION(x)
#endif

#define ZUV_CAPABILITY(x) ZUV_THREAD_ANNOTATION(capability(x))
#define ZUV_SCOPED_CAPABILITY ZUV_THREAD_ANNOTATION(scoped_lockable)
#define ZUV_GUARDED_BY(x) ZUV_THREAD_ANNOTATION(guarded_by(x))
#define ZUV_PT_GUARDED_BY(x) ZUV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZUV_REQUIRES(...) ZUV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZUV_REQUIRES_SHARED(...) ZUV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ZUV_LOCKS_EXCLUDED(...) ZUV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZUV_ACQUIRE(...) ZUV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZUV_ACQUIRE_SHARED(...) ZUV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define ZUV_RELEASE(...) ZUV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZUV_RELEASE_SHARED(...) ZUV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define ZUV_RELEASE_GENERIC(...) ZUV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define ZUV_TRY_ACQUIRE(...) ZUV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZUV_NO_THREAD_SAFETY_ANALYSIS ZUV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zuv {

// A plain mutex the analysis knows.
class ZUV_CAPABILITY("mutex") Mutex {
 public:
  void lock() ZUV_ACQUIRE() { mu_.lock(); }
  void unlock() ZUV_RELEASE() { mu_.unlock(); }
  bool try_lock() ZUV_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  std::mutex mu_;
};

// A reader-writer mutex the analysis knows.
class ZUV_CAPABILITY("shared_mutex") SharedMutex {
 public:
  void lock() ZUV_ACQUIRE() { mu_.lock(); }
  void unlock() ZUV_RELEASE() { mu_.unlock(); }
  void lock_shared() ZUV_ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() ZUV_RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a Mutex for its scope.
class ZUV_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ZUV_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() ZUV_RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Holds a SharedMutex exclusively for its scope.
class ZUV_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ZUV_ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() ZUV_RELEASE() { mu_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// Holds a SharedMutex shared for its scope.
class ZUV_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ZUV_ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderLock() ZUV_RELEASE_GENERIC() { mu_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
};

// A condition variable waited on with a held Mutex. The wait releases and
// retakes the mutex inside; to the analysis it stays held throughout.
class CondVar {
 public:
  void Wait(Mutex& mu) ZUV_REQUIRES(mu) { cv_.wait(mu); }
  // False when timeout passed first.
  template <class Rep, class Period>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> timeout) ZUV_REQUIRES(mu) {
    return cv_.wait_for(mu, timeout) == std::cv_status::no_timeout;
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable_any cv_;
};

}  // namespace zuv
