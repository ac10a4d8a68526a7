#include "base/recursivelock.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace lumen_base {
namespace {

TEST(RecursiveLock, SameThreadMayReenter) {
  RecursiveLock lock;
  RecursiveLockScope outer(&lock);
  RecursiveLockScope inner(&lock);
  EXPECT_TRUE(lock.TryEnter());
  lock.Leave();
}

TEST(RecursiveLock, OtherThreadWaitsUntilEveryLevelIsLeft) {
  RecursiveLock lock;
  lock.Enter();
  lock.Enter();
  std::atomic<bool> tried{false};
  std::atomic<bool> other_got_it{false};
  bool tried_while_held = true;
  std::thread t([&] {
    tried_while_held = lock.TryEnter();
    tried = true;
    lock.Enter();
    other_got_it = true;
    lock.Leave();
  });
  while (!tried) std::this_thread::yield();
  lock.Leave();  // still held once: the other thread keeps waiting
  EXPECT_FALSE(other_got_it);
  lock.Leave();
  t.join();
  EXPECT_FALSE(tried_while_held);
  EXPECT_TRUE(other_got_it);
}

TEST(RecursiveLock, ScopeSerialisesCounting) {
  RecursiveLock lock;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) {
      RecursiveLockScope scope(&lock);
      RecursiveLockScope again(&lock);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(200000, counter);
}

}  // namespace
}  // namespace lumen_base
