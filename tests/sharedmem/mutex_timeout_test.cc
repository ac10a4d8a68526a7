// tessel::Mutex::LockWithTimeout between real processes: a lock held by
// another process (alive, or killed while holding it) is waited for at most
// the time given, and taken as soon as it is released.
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"
#include "gtest/gtest.h"
#include "sharedmem/sharedmem.h"
#include "tests/support/clock.h"

namespace {

using lumen_base::LogMessage;

long long Now() { return quorvex_test::NowMs(); }
long long ElapsedMs(long long since) { return quorvex_test::NowMs() - since; }

// A process that takes the mutex `name` and holds it until it is told to
// release it (one byte), or is killed.
class Holder {
 public:
  explicit Holder(const std::string& name) {
    if (pipe(to_holder_) != 0 || pipe(from_holder_) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
      if (!mutex || !mutex->Lock(true)) _exit(1);
      char byte = 1;
      if (write(from_holder_[1], &byte, 1) != 1) _exit(1);
      if (read(to_holder_[0], &byte, 1) != 1) _exit(1);
      _exit(mutex->Unlock() ? 0 : 1);
    }
    char byte = 0;
    holding_ = read(from_holder_[0], &byte, 1) == 1;
  }
  ~Holder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {to_holder_[0], to_holder_[1], from_holder_[0], from_holder_[1]}) close(fd);
  }

  bool IsHolding() const { return holding_; }

  // Lets the holder release the mutex and end; true when it did.
  bool Release() {
    const char byte = 1;
    if (write(to_holder_[1], &byte, 1) != 1) return false;
    int status = 0;
    const bool ended = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Kills the holder while it holds the mutex.
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
  int to_holder_[2] = {-1, -1};
  int from_holder_[2] = {-1, -1};
};

class MutexTimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    name_ = "tessel-timeout-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    LogMessage::LogTimestamps(false);
    LogMessage::LogContext(lumen_base::LS_WARNING);
    LogMessage::LogToDebug(lumen_base::LS_NONE);
    LogMessage::LogToStream(new lumen_base::StringStream(log_), lumen_base::LS_VERBOSE);
  }

  void TearDown() override {
    LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
    sem_unlink(tessel::SemaphoreName(name_).c_str());
  }

  // The captured lines, source line numbers replaced by N.
  std::vector<std::string> Lines() const {
    static const std::regex kPosition(R"(\((\w+\.cc):\d+\))");
    std::vector<std::string> lines;
    std::istringstream in(log_);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(std::regex_replace(line, kPosition, "($1:N)"));
    }
    return lines;
  }

  std::string TimeOutLine(int ms) const {
    return "Warning(sharedmem.cc:N): Timed out after " + std::to_string(ms) +
           " ms waiting for the semaphore '" + tessel::SemaphoreName(name_) + "'";
  }

  std::string name_;
  std::string log_;
};

// The operations a producer needs to keep the lock sound when another
// process dies holding it or releases it twice, each without a log line of
// its own: the producer reports in its own words.
TEST_F(MutexTimeoutTest, TakeWithinAnswersWithoutLogging) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  log_.clear();
  EXPECT_EQ(tessel::Mutex::kTaken, mutex->TakeWithin(1000));
  EXPECT_EQ(tessel::Mutex::kTimedOut, mutex->TakeWithin(20));
  EXPECT_EQ(tessel::Mutex::kTimedOut, mutex->TakeWithin(-5));  // only tries
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ("", log_);
  ASSERT_TRUE(mutex->Close());
  int error = 0;
  EXPECT_EQ(tessel::Mutex::kFailed, mutex->TakeWithin(10, &error));
  EXPECT_EQ(EBADF, error);
}

TEST_F(MutexTimeoutTest, AbandonedLockIsReleasedOnceAndNeverAboveOne) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  EXPECT_FALSE(mutex->ReleaseAbandoned());  // free: nothing to recover
  {
    Holder holder(name_);
    ASSERT_TRUE(holder.IsHolding());
    holder.Kill();  // dies holding it
  }
  EXPECT_EQ(tessel::Mutex::kTimedOut, mutex->TakeWithin(20));
  EXPECT_TRUE(mutex->ReleaseAbandoned());
  EXPECT_FALSE(mutex->ReleaseAbandoned());  // a second recovery would let two in
  EXPECT_EQ(tessel::Mutex::kTaken, mutex->TakeWithin(0));
  EXPECT_EQ(tessel::Mutex::kTimedOut, mutex->TakeWithin(0));
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTimeoutTest, ExtraCountsAreTakenBackWhileHeld) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  EXPECT_EQ(tessel::Mutex::kTaken, mutex->TakeWithin(0));
  EXPECT_EQ(0, mutex->DropExtraCounts());
  // Someone released it twice while we hold it: two more could get in.
  ASSERT_TRUE(mutex->Unlock());
  ASSERT_TRUE(mutex->Unlock());
  EXPECT_EQ(2, mutex->DropExtraCounts());
  EXPECT_EQ(tessel::Mutex::kTimedOut, mutex->TakeWithin(0));  // held by us alone again
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(tessel::Mutex::kTaken, mutex->TakeWithin(0));
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTimeoutTest, TakesAFreeMutexAtOnce) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  const long long start = Now();
  EXPECT_TRUE(mutex->LockWithTimeout(1000));
  EXPECT_LT(ElapsedMs(start), 500);
  // Taken: a second attempt of this very object waits out its bound.
  EXPECT_FALSE(mutex->LockWithTimeout(10));
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_TRUE(mutex->LockWithTimeout(0));  // 0 only tries, and finds it free
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTimeoutTest, GivesUpOnAMutexHeldByAnotherProcess) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  Holder holder(name_);
  ASSERT_TRUE(holder.IsHolding());
  log_.clear();
  const long long start = Now();
  EXPECT_FALSE(mutex->LockWithTimeout(100));
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 100);
  EXPECT_LT(elapsed, 2000);
  EXPECT_EQ(std::vector<std::string>{TimeOutLine(100)}, Lines());

  // Without waiting at all, and with a negative bound (taken as 0).
  for (int timeout_ms : {0, -5}) {
    log_.clear();
    const long long again = Now();
    EXPECT_FALSE(mutex->LockWithTimeout(timeout_ms));
    EXPECT_LT(ElapsedMs(again), 100);
    EXPECT_EQ(std::vector<std::string>{TimeOutLine(0)}, Lines());
  }

  // Released, it is taken again.
  ASSERT_TRUE(holder.Release());
  EXPECT_TRUE(mutex->LockWithTimeout(100));
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTimeoutTest, DoesNotHangOnAMutexLeftTakenByAKilledProcess) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  {
    Holder holder(name_);
    ASSERT_TRUE(holder.IsHolding());
    holder.Kill();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const long long start = Now();
    EXPECT_FALSE(mutex->LockWithTimeout(50));
    EXPECT_GE(ElapsedMs(start), 50);
  }
  // Nobody else is left to release it; a post frees it for good.
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_TRUE(mutex->LockWithTimeout(50));
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTimeoutTest, TakesTheMutexAsSoonAsItIsReleased) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  Holder holder(name_);
  ASSERT_TRUE(holder.IsHolding());
  bool taken = false;
  long elapsed = 0;
  std::thread waiter([&] {
    const long long start = Now();
    taken = mutex->LockWithTimeout(20000);
    elapsed = ElapsedMs(start);
  });
  ASSERT_TRUE(holder.Release());
  waiter.join();
  EXPECT_TRUE(taken);
  EXPECT_LT(elapsed, 10000);
  EXPECT_TRUE(mutex->Unlock());
}

void IgnoreAlarm(int) {}

TEST_F(MutexTimeoutTest, SignalsDoNotCutTheWaitShort) {
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name_));
  ASSERT_TRUE(mutex);
  Holder holder(name_);
  ASSERT_TRUE(holder.IsHolding());
  log_.clear();
  // An alarm every 10 ms, with no restart of interrupted calls.
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = IgnoreAlarm;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  struct itimerval every_10_ms = {{0, 10000}, {0, 10000}};
  struct itimerval off = {};
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &every_10_ms, nullptr));
  const long long start = Now();
  const bool taken = mutex->LockWithTimeout(150);
  const long elapsed = ElapsedMs(start);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_FALSE(taken);
  EXPECT_GE(elapsed, 150);
  EXPECT_EQ(std::vector<std::string>{TimeOutLine(150)}, Lines());
}

TEST_F(MutexTimeoutTest, RefusesAClosedMutex) {
  tessel::Mutex mutex(name_);
  log_.clear();
  EXPECT_FALSE(mutex.LockWithTimeout(100));
  EXPECT_EQ(std::vector<std::string>{"Error(sharedmem.cc:N): Invalid semaphore!"}, Lines());
}

}  // namespace
