// A recursive mutex with scope-bound locking.  The same thread may enter it
// again while it holds it (the logging, the message queues and the socket
// server re-enter their locks from the same thread); every Enter must be
// matched by a Leave on the same thread.  Any thread may use it.
#ifndef BASE_RECURSIVELOCK_H_
#define BASE_RECURSIVELOCK_H_

#include <mutex>

namespace lumen_base {

class RecursiveLock {
 public:
  RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // True when the lock was taken without waiting.
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a RecursiveLock from construction to the end of the scope.
class RecursiveLockScope {
 public:
  explicit RecursiveLockScope(RecursiveLock* lock) : lock_(lock) { lock_->Enter(); }
  ~RecursiveLockScope() { lock_->Leave(); }
  RecursiveLockScope(const RecursiveLockScope&) = delete;
  RecursiveLockScope& operator=(const RecursiveLockScope&) = delete;

 private:
  RecursiveLock* const lock_;
};

}  // namespace lumen_base

#endif  // BASE_RECURSIVELOCK_H_
