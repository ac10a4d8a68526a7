// Threads: starting, stopping, priorities, synchronous sends, the thread
// manager, and stream events delivered across threads.
#include "base/thread.h"

#include <arpa/inet.h>
#include <errno.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "base/physicalsocketserver.h"
#include "base/stream.h"
#include "base/timeutils.h"
#include "gtest/gtest.h"
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LUMEN_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LUMEN_SANITIZED_HEAP 1
#endif
#endif
#if defined(LUMEN_SANITIZED_HEAP)
// The sanitizer runtime's count of live heap bytes (g++ ships no header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#include "tests/support/descriptors.h"
#include "tests/support/log_capture.h"

namespace lumen_base {
namespace {

// A one-shot event to wait on, with a generous deadline that only catches
// hangs.
class Event {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool Wait(int seconds = 20) { return WaitFor(std::chrono::seconds(seconds)); }
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Counts its destruction.
class CountedData : public MessageData {
 public:
  explicit CountedData(std::atomic<int>* deleted) : deleted_(deleted) {}
  ~CountedData() override { ++*deleted_; }

 private:
  std::atomic<int>* deleted_;
};

// Runs a function for every message, then deletes the data.
class FunctionHandler : public MessageHandler {
 public:
  explicit FunctionHandler(std::function<void(Message*)> body) : body_(std::move(body)) {}
  void OnMessage(Message* msg) override {
    body_(msg);
    delete msg->data;
    msg->data = nullptr;
  }

 private:
  std::function<void(Message*)> body_;
};

// Records the OS thread and the current Thread of each message.
class WhereHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    std::lock_guard<std::mutex> lock(mutex);
    os_thread = pthread_self();
    current = ThreadManager::CurrentThread();
    ids.push_back(msg->message_id);
    delete msg->data;
    msg->data = nullptr;
    done.Set();
  }
  std::mutex mutex;
  pthread_t os_thread = pthread_t();
  Thread* current = nullptr;
  std::vector<uint32_t> ids;
  Event done;
};

class NopLike : public MessageHandler {
 public:
  void OnMessage(Message*) override {}
};

// A server that tells when something wakes it: Send wakes its target once
// the call is queued.
class WakeWatchingServer : public SocketServer {
 public:
  Socket* CreateSocket(int) override { return nullptr; }
  AsyncSocket* CreateAsyncSocket(int) override { return nullptr; }
  bool Wait(int wait_ms, bool process_io) override { return real_.Wait(wait_ms, process_io); }
  void WakeUp() override {
    real_.WakeUp();
    woken.Set();
  }
  Event woken;

 private:
  PhysicalSocketServer real_;
};

class FunctionRunnable : public Runnable {
 public:
  explicit FunctionRunnable(std::function<void(Thread*)> body) : body_(std::move(body)) {}
  void Run(Thread* thread) override { body_(thread); }

 private:
  std::function<void(Thread*)> body_;
};

TEST(Thread, StartRunsTheLoopOnItsOwnThreadAndStopJoins) {
  Thread thread;
  WhereHandler handler;
  ASSERT_TRUE(thread.Start());
  thread.Post(&handler, 5);
  ASSERT_TRUE(handler.done.Wait());
  thread.Stop();
  std::lock_guard<std::mutex> lock(handler.mutex);
  EXPECT_FALSE(pthread_equal(pthread_self(), handler.os_thread));
  EXPECT_EQ(&thread, handler.current);
  EXPECT_TRUE(thread.IsQuitting());
}

TEST(Thread, StartFailsWhenStartedOrNotOwned) {
  Thread thread;
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());
  thread.Stop();
  // After Stop it may start again, once told to stop quitting.
  thread.Restart();
  WhereHandler handler;
  ASSERT_TRUE(thread.Start());
  thread.Post(&handler, 1);
  ASSERT_TRUE(handler.done.Wait());
  thread.Stop();

  Thread* main = ThreadManager::CurrentThread();
  ASSERT_NE(nullptr, main);
  EXPECT_FALSE(main->IsOwned());
  EXPECT_FALSE(main->Start());
}

TEST(Thread, RunnableRunsInsteadOfTheLoop) {
  Thread thread;
  Thread* seen_argument = nullptr;
  Thread* seen_current = nullptr;
  FunctionRunnable runnable([&](Thread* t) {
    seen_argument = t;
    seen_current = ThreadManager::CurrentThread();
  });
  ASSERT_TRUE(thread.Start(&runnable));
  thread.Join();  // the writes above happen before Join returns
  EXPECT_EQ(&thread, seen_argument);
  EXPECT_EQ(&thread, seen_current);
  EXPECT_FALSE(thread.IsQuitting());  // Join alone does not quit
}

TEST(Thread, DestroyingARunningThreadStopsItAndDeletesPendingData) {
  std::atomic<int> deleted{0};
  Event blocked;
  Event release;
  FunctionHandler blocker([&](Message*) {
    blocked.Set();
    release.Wait();
  });
  FunctionHandler never([&](Message*) { ADD_FAILURE() << "delivered after destruction"; });
  std::thread releaser;
  {
    Thread thread;
    ASSERT_TRUE(thread.Start());
    thread.Post(&blocker, 1);
    ASSERT_TRUE(blocked.Wait());
    thread.PostAfter(60000, &never, 2, new CountedData(&deleted));
    // The loop is busy in a handler while the destructor runs: the handler
    // is let go only once the destructor has told the thread to quit, and
    // the destructor must wait for it.
    releaser = std::thread([&] {
      while (!thread.IsQuitting()) std::this_thread::yield();
      release.Set();
    });
  }
  releaser.join();
  EXPECT_EQ(1, deleted.load());
}

TEST(Thread, ProcessMessagesWithZeroNeverBlocks) {
  Thread thread;  // not started: this test's thread runs its loop by hand
  WhereHandler handler;
  EXPECT_TRUE(thread.ProcessMessages(0));
  thread.Post(&handler, 1);
  EXPECT_TRUE(thread.ProcessMessages(0));
  EXPECT_EQ(std::vector<uint32_t>{1}, handler.ids);
}

TEST(Thread, ProcessMessagesEndsAfterItsTime) {
  Thread thread;
  const uint32_t start = Time();
  EXPECT_TRUE(thread.ProcessMessages(30));
  EXPECT_GE(TimeSince(start), 29);
}

TEST(Thread, ProcessMessagesReturnsFalseOnceQuitAndDrained) {
  Thread thread;
  WhereHandler handler;
  thread.Post(&handler, 1);
  thread.Post(&handler, 2);
  thread.Quit();
  EXPECT_FALSE(thread.ProcessMessages(kWaitForever));
  EXPECT_EQ((std::vector<uint32_t>{1, 2}), handler.ids);
}

// Test seam state: what Start asked of the POSIX layer.
std::atomic<int> g_setschedparam_calls{0};
std::atomic<int> g_requested_priority{-1000};
std::atomic<int> g_create_result{0};

int RecordSchedParam(pthread_attr_t*, const sched_param* param) {
  ++g_setschedparam_calls;
  g_requested_priority = param->sched_priority;
  return 0;  // accepted; the attributes themselves stay as they were
}

int CreateOrFail(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
  if (g_create_result != 0) return g_create_result;
  return pthread_create(thread, attr, entry, arg);
}

class ThreadPriorityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_setschedparam_calls = 0;
    g_requested_priority = -1000;
    g_create_result = 0;
    Thread::SetPosixCallsForTesting(&calls_);
  }
  void TearDown() override { Thread::SetPosixCallsForTesting(nullptr); }

  // Starts and stops a thread with `priority`; true when it started.
  bool StartWithPriority(int priority) {
    Thread thread;
    thread.SetPriority(priority);
    if (!thread.Start()) return false;
    thread.Stop();
    return true;
  }

  Thread::PosixCalls calls_{RecordSchedParam, CreateOrFail};
};

TEST_F(ThreadPriorityTest, NormalPriorityLeavesTheAttributesAlone) {
  EXPECT_TRUE(StartWithPriority(Thread::kPriorityNormal));
  EXPECT_EQ(0, g_setschedparam_calls.load());
}

TEST_F(ThreadPriorityTest, OtherCodesRequestTheirSchedulingPriorities) {
  const int kCodes[] = {0, 1, 3};
  const int kExpected[] = {-6, -4, 15};
  for (int i = 0; i < 3; ++i) {
    g_setschedparam_calls = 0;
    EXPECT_TRUE(StartWithPriority(kCodes[i]));
    EXPECT_EQ(1, g_setschedparam_calls.load());
    EXPECT_EQ(kExpected[i], g_requested_priority.load()) << "code " << kCodes[i];
  }
  // An unknown code keeps the priority already in the attributes.
  sched_param defaults;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_getschedparam(&attr, &defaults);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(StartWithPriority(9));
  EXPECT_EQ(defaults.sched_priority, g_requested_priority.load());
}

TEST_F(ThreadPriorityTest, CreationFailureIsLoggedAndLeavesTheThreadUnstarted) {
  ScopedLogCapture capture(LS_ERROR);
  g_create_result = EAGAIN;
  Thread thread;
  EXPECT_FALSE(thread.Start());
  EXPECT_EQ("Unable to create pthread, error " + std::to_string(EAGAIN) + "\n", capture.text());
  thread.Join();  // nothing to join: returns at once
  g_create_result = 0;
  EXPECT_TRUE(thread.Start());
  thread.Stop();
}

TEST(Thread, RefusedPriorityIsReportedAndTheThreadRunsWithDefaults) {
  // Linux's default policy accepts no priority but 0: the request is
  // refused, said so, and the thread starts with the creator's scheduling.
  ScopedLogCapture capture(LS_WARNING);
  Thread thread;
  thread.SetPriority(Thread::kPriorityHigh);
  int policy = -1;
  sched_param param;
  param.sched_priority = -1;
  Event ran;
  FunctionRunnable runnable([&](Thread*) {
    pthread_getschedparam(pthread_self(), &policy, &param);
    ran.Set();
  });
  ASSERT_TRUE(thread.Start(&runnable));
  ASSERT_TRUE(ran.Wait());
  thread.Join();
  int creator_policy = -1;
  sched_param creator_param;
  pthread_getschedparam(pthread_self(), &creator_policy, &creator_param);
  EXPECT_EQ(creator_policy, policy);
  EXPECT_EQ(creator_param.sched_priority, param.sched_priority);
  if (creator_policy == SCHED_OTHER) {
    EXPECT_EQ("Unable to set thread priority 15, error " + std::to_string(EINVAL) + "\n",
              capture.text());
  }
}

TEST(ThreadSend, RunsOnTheTargetAndReturnsAfterTheHandler) {
  Thread target;
  ASSERT_TRUE(target.Start());
  WhereHandler handler;
  std::atomic<int> deleted{0};
  target.Send(&handler, 3, new CountedData(&deleted));
  // Returned: the handler has run, and its data is gone.
  EXPECT_TRUE(handler.done.IsSet());
  EXPECT_EQ(1, deleted.load());
  {
    std::lock_guard<std::mutex> lock(handler.mutex);
    EXPECT_FALSE(pthread_equal(pthread_self(), handler.os_thread));
    EXPECT_EQ(&target, handler.current);
  }
  target.Stop();
}

TEST(ThreadSend, FromTheTargetThreadItselfRunsAtOnce) {
  Thread target;
  ASSERT_TRUE(target.Start());
  std::vector<int> order;
  FunctionHandler inner([&](Message*) { order.push_back(2); });
  FunctionHandler outer([&](Message*) {
    order.push_back(1);
    target.Send(&inner);  // no queueing, no waiting
    order.push_back(3);
  });
  target.Send(&outer);
  EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
  target.Stop();
}

TEST(ThreadSend, ToItselfWhileQuittingStillRuns) {
  Thread target;
  ASSERT_TRUE(target.Start());
  std::atomic<int> deleted{0};
  bool inner_ran = false;
  FunctionHandler inner([&](Message*) { inner_ran = true; });
  FunctionHandler outer([&](Message*) {
    target.Quit();
    target.Send(&inner, 0, new CountedData(&deleted));
  });
  target.Send(&outer);
  target.Stop();
  EXPECT_TRUE(inner_ran);
  EXPECT_EQ(1, deleted.load());
}

TEST(ThreadSend, ToAQuittingThreadDeliversNothingAndDeletesTheData) {
  Thread target;
  target.Quit();
  std::atomic<int> deleted{0};
  FunctionHandler handler([&](Message*) { ADD_FAILURE() << "delivered to a quitting thread"; });
  target.Send(&handler, 0, new CountedData(&deleted));
  EXPECT_EQ(1, deleted.load());
}

TEST(ThreadSend, FromAThreadWithoutThreadObjectLeavesItWithout) {
  Thread target;
  ASSERT_TRUE(target.Start());
  WhereHandler handler;
  Thread* before = reinterpret_cast<Thread*>(1);
  Thread* after = reinterpret_cast<Thread*>(1);
  std::thread foreign([&] {
    before = ThreadManager::CurrentThread();
    target.Send(&handler, 8);
    after = ThreadManager::CurrentThread();
  });
  foreign.join();
  EXPECT_EQ(nullptr, before);
  EXPECT_EQ(nullptr, after);
  EXPECT_TRUE(handler.done.IsSet());
  target.Stop();
}

TEST(ThreadSend, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  Thread first;
  Thread second;
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  std::atomic<int> ran{0};
  FunctionHandler count([&](Message*) { ++ran; });
  for (int round = 0; round < 50; ++round) {
    // Both handlers reach their Send together, so each blocks in Send while
    // the other's call to it is pending.
    std::atomic<int> arrived{0};
    Event both_done;
    std::atomic<int> finished{0};
    auto cross = [&](Thread* other) {
      return [&, other](Message*) {
        ++arrived;
        while (arrived.load() < 2) std::this_thread::yield();
        other->Send(&count);
        if (++finished == 2) both_done.Set();
      };
    };
    FunctionHandler to_second(cross(&second));
    FunctionHandler to_first(cross(&first));
    first.Post(&to_second);
    second.Post(&to_first);
    ASSERT_TRUE(both_done.Wait()) << "round " << round;
  }
  EXPECT_EQ(100, ran.load());
  first.Stop();
  second.Stop();
}

// Tells whether its owner is inside Wait.
class WaitWatchingServer : public SocketServer {
 public:
  Socket* CreateSocket(int) override { return nullptr; }
  AsyncSocket* CreateAsyncSocket(int) override { return nullptr; }
  bool Wait(int wait_ms, bool process_io) override {
    waiting = true;
    const bool result = real_.Wait(wait_ms, process_io);
    waiting = false;
    return result;
  }
  void WakeUp() override { real_.WakeUp(); }
  std::atomic<bool> waiting{false};

 private:
  PhysicalSocketServer real_;
};

TEST(ThreadSend, WakeUpEatenWhileWaitingIsPassedOnWhenTheSenderHasWork) {
  Thread target;
  ASSERT_TRUE(target.Start());
  std::thread caller([&] {
    WaitWatchingServer server;
    AutoThread self(&server);
    // Each handler lets the call complete only once the caller waits for
    // it, so the caller's waiting consumes the wake-ups sent to it.
    auto until_caller_waits = [&] {
      while (!server.waiting) std::this_thread::yield();
    };
    WhereHandler posted;
    FunctionHandler post_back([&](Message*) {
      until_caller_waits();
      self.Post(&posted, 1);  // its wake-up is eaten by the waiting caller
    });
    target.Send(&post_back);
    uint32_t start = Time();
    EXPECT_TRUE(server.Wait(5000, false));
    EXPECT_LT(TimeSince(start), 2500) << "the wake-up for the posted message was lost";
    EXPECT_TRUE(self.ProcessMessages(0));
    EXPECT_EQ(std::vector<uint32_t>{1}, posted.ids);

    // With nothing for its loop, no stray wake-up is left behind.
    FunctionHandler nop([&](Message*) { until_caller_waits(); });
    target.Send(&nop);
    start = Time();
    EXPECT_TRUE(server.Wait(30, false));
    EXPECT_GE(TimeSince(start), 29);
  });
  caller.join();
  target.Stop();
}

// A caller's server that polls instead of sleeping, and whose wake-up from
// another thread stalls (like a preempted thread) until the server is gone
// or 50 ms have passed, then touches the server.
class StallingServer : public SocketServer {
 public:
  explicit StallingServer(std::shared_ptr<Event> gone) : gone_(std::move(gone)) {}
  Socket* CreateSocket(int) override { return nullptr; }
  AsyncSocket* CreateAsyncSocket(int) override { return nullptr; }
  bool Wait(int, bool) override { return true; }
  void WakeUp() override {
    if (!pthread_equal(pthread_self(), owner_)) gone_->WaitFor(std::chrono::milliseconds(50));
    ++wakeups_;  // freed memory if the caller has already left
  }

 private:
  const pthread_t owner_ = pthread_self();
  std::shared_ptr<Event> gone_;
  std::atomic<int> wakeups_{0};
};

TEST(ThreadSend, CallerReturnsOnlyAfterTheTargetHasFinishedWakingIt) {
  Thread target;
  ASSERT_TRUE(target.Start());
  auto gone = std::make_shared<Event>();
  std::thread caller([&] {
    auto server = std::make_unique<StallingServer>(gone);
    {
      AutoThread self(server.get());
      NopLike nop;
      target.Send(&nop);
    }
    server.reset();
    gone->Set();
  });
  caller.join();
  target.Stop();
}

TEST(ThreadSend, SenderIsReleasedWhenTheTargetClearsTheHandler) {
  WakeWatchingServer server;
  Thread target(&server);  // never runs its loop
  std::atomic<int> deleted{0};
  FunctionHandler handler([&](Message*) { ADD_FAILURE() << "the handler ran"; });
  std::thread sender([&] { target.Send(&handler, 4, new CountedData(&deleted)); });
  ASSERT_TRUE(server.woken.Wait());  // the call is queued
  std::vector<Message> removed;
  target.Clear(&handler, kAnyMessageId, &removed);
  sender.join();  // released
  ASSERT_EQ(1u, removed.size());
  EXPECT_EQ(4u, removed[0].message_id);
  EXPECT_EQ(0, deleted.load());  // the list's owner deletes it
  delete removed[0].data;
  EXPECT_EQ(1, deleted.load());
}

TEST(ThreadSend, SenderIsReleasedWhenTheHandlerIsDestroyed) {
  WakeWatchingServer server;
  Thread target(&server);
  std::atomic<int> deleted{0};
  auto handler =
      std::make_unique<FunctionHandler>([&](Message*) { ADD_FAILURE() << "the handler ran"; });
  std::thread sender([&] { target.Send(handler.get(), 4, new CountedData(&deleted)); });
  ASSERT_TRUE(server.woken.Wait());
  handler.reset();
  sender.join();
  EXPECT_EQ(1, deleted.load());
}

TEST(ThreadSend, SenderIsReleasedWhenTheTargetIsDestroyed) {
  // The sender has no Thread of its own: its temporary one must survive
  // until the destroying thread has finished waking it.
  for (int round = 0; round < 20; ++round) {
    WakeWatchingServer server;
    auto target = std::make_unique<Thread>(&server);
    std::atomic<int> deleted{0};
    FunctionHandler handler([&](Message*) { ADD_FAILURE() << "the handler ran"; });
    std::thread sender([&] { target->Send(&handler, 4, new CountedData(&deleted)); });
    ASSERT_TRUE(server.woken.Wait());
    target.reset();
    sender.join();
    EXPECT_EQ(1, deleted.load());
  }
}

// Counts wake-ups, so a test can wait until a Send has queued its call.
class WakeCountingServer : public SocketServer {
 public:
  Socket* CreateSocket(int) override { return nullptr; }
  AsyncSocket* CreateAsyncSocket(int) override { return nullptr; }
  bool Wait(int wait_ms, bool process_io) override { return real_.Wait(wait_ms, process_io); }
  void WakeUp() override {
    real_.WakeUp();
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakeups_;
    changed_.notify_all();
  }
  int wakeups() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakeups_;
  }
  bool WaitForMoreThan(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return wakeups_ > count; });
  }

 private:
  PhysicalSocketServer real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int wakeups_ = 0;
};

// Stops its loop once, right after the first pass has served its sends,
// until the test lets it go on.
class PausingThread : public Thread {
 public:
  explicit PausingThread(SocketServer* ss) : Thread(ss) {}
  ~PausingThread() override { Stop(); }
  void ReceiveSends() override {
    Thread::ReceiveSends();
    if (pause_once_.exchange(false)) {
      paused.Set();
      resume.Wait();
    }
  }
  Event paused;
  Event resume;

 private:
  std::atomic<bool> pause_once_{true};
};

TEST(ThreadSend, CallAcceptedJustBeforeQuitIsServed) {
  // The target's pass has served its sends and not yet looked at the quit
  // flag when a call is queued and Quit follows.  The loop must serve that
  // call before it ends, or the caller would wait until the target died.
  WakeCountingServer server;
  PausingThread target(&server);
  ASSERT_TRUE(target.Start());
  ASSERT_TRUE(target.paused.Wait());

  std::atomic<int> ran{0};
  std::atomic<int> deleted{0};
  FunctionHandler handler([&](Message*) { ++ran; });
  Event returned;
  const int wakeups_before = server.wakeups();
  std::thread sender([&] {
    target.Send(&handler, 0, new CountedData(&deleted));
    returned.Set();
  });
  ASSERT_TRUE(server.WaitForMoreThan(wakeups_before));  // queued
  target.Quit();
  target.resume.Set();

  const bool served = returned.Wait(5);
  EXPECT_TRUE(served) << "the call was left waiting";
  if (!served) target.Clear(nullptr);  // release the caller so the test can end
  sender.join();
  EXPECT_EQ(1, ran.load());
  EXPECT_EQ(1, deleted.load());
}

TEST(AutoThread, BecomesCurrentOnlyForAThreadWithoutOne) {
  std::thread foreign([] {
    EXPECT_EQ(nullptr, ThreadManager::CurrentThread());
    {
      AutoThread scoped;
      EXPECT_EQ(&scoped, ThreadManager::CurrentThread());
      EXPECT_TRUE(scoped.IsOwned());
      {
        AutoThread nested;  // the thread has one already
        EXPECT_EQ(&scoped, ThreadManager::CurrentThread());
      }
      EXPECT_EQ(&scoped, ThreadManager::CurrentThread());
    }
    EXPECT_EQ(nullptr, ThreadManager::CurrentThread());
  });
  foreign.join();
}

TEST(AutoThread, GivesAForeignThreadALoop) {
  std::thread foreign([] {
    AutoThread loop;
    WhereHandler handler;
    loop.Post(&handler, 2);
    EXPECT_TRUE(loop.ProcessMessages(0));
    EXPECT_EQ(std::vector<uint32_t>{2}, handler.ids);
  });
  foreign.join();
}

TEST(ThreadManager, WrapsTheThreadThatLoadedTheLibrary) {
  // The test program's static initialisation ran on its main thread,
  // which runs the tests.
  Thread* current = ThreadManager::CurrentThread();
  ASSERT_NE(nullptr, current);
  EXPECT_EQ(g_thmgr.main_thread(), current);
  EXPECT_FALSE(current->IsOwned());
  EXPECT_TRUE(current->IsCurrent());
}

TEST(ThreadManager, WrapAndUnwrapAForeignThread) {
  std::thread foreign([] {
    EXPECT_EQ(nullptr, ThreadManager::CurrentThread());
    Thread* wrapped = ThreadManager::WrapCurrentThread();
    ASSERT_NE(nullptr, wrapped);
    EXPECT_FALSE(wrapped->IsOwned());
    EXPECT_EQ(wrapped, ThreadManager::CurrentThread());
    EXPECT_EQ(wrapped, ThreadManager::WrapCurrentThread());  // no second wrapper
    // The wrapped thread has a working loop of its own.
    WhereHandler handler;
    wrapped->Post(&handler, 6);
    EXPECT_TRUE(wrapped->ProcessMessages(0));
    EXPECT_EQ(std::vector<uint32_t>{6}, handler.ids);
    ThreadManager::UnwrapCurrentThread();  // deletes it (ASan checks the rest)
    EXPECT_EQ(nullptr, ThreadManager::CurrentThread());
  });
  foreign.join();
}

TEST(ThreadManager, WrapperOfAnEndedThreadIsReleased) {
  struct Listener : public sigslot::has_slots<> {
    void OnClosing() { ++closings; }
    std::atomic<int> closings{0};
  } listener;
  std::thread foreign([&] {
    Thread* wrapped = ThreadManager::WrapCurrentThread();
    wrapped->SignalQueueClosing.connect(&listener, &Listener::OnClosing);
  });  // ends without unwrapping
  foreign.join();
  EXPECT_EQ(1, listener.closings.load());  // the wrapper was destroyed (LSan: not leaked)
}

TEST(ThreadManager, UnwrapLeavesAnOwnedThreadAlone) {
  Thread thread;
  Event checked;
  FunctionRunnable runnable([&](Thread* self) {
    ThreadManager::UnwrapCurrentThread();
    EXPECT_EQ(self, ThreadManager::CurrentThread());
    checked.Set();
  });
  ASSERT_TRUE(thread.Start(&runnable));
  ASSERT_TRUE(checked.Wait());
  thread.Join();
}

TEST(ThreadManager, StopAllThreadsStopsEveryStartedThread) {
  Thread first;
  Thread second;
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  g_thmgr.StopAllThreads_();  // returns only once both have been joined
  EXPECT_TRUE(first.IsQuitting());
  EXPECT_TRUE(second.IsQuitting());
  // Joined: they can be started again.
  EXPECT_TRUE(first.Start());
  first.Join();
  // The wrapped main thread was told to quit too, but not joined.
  Thread* main = ThreadManager::CurrentThread();
  EXPECT_TRUE(main->IsQuitting());
  main->Restart();
}

TEST(ThreadManager, ThreadDestroyedWhileAllAreStoppedIsJoinedOnce) {
  // The destructor unlists the thread before stopping it, so a concurrent
  // StopAllThreads_ either stops it first (and the destructor finds it
  // joined) or no longer sees it: never two joins of one OS thread.
  for (int round = 0; round < 20; ++round) {
    auto thread = std::make_unique<Thread>();
    ASSERT_TRUE(thread->Start());
    std::thread stopper([] { g_thmgr.StopAllThreads_(); });
    thread.reset();
    stopper.join();
  }
  ThreadManager::CurrentThread()->Restart();  // the main thread was told to quit
}

TEST(ThreadManager, DestroyedThreadIsNoLongerCurrent) {
  std::thread foreign([] {
    Thread* thread = new Thread;
    ThreadManager::SetCurrent(thread);
    delete thread;
    EXPECT_EQ(nullptr, ThreadManager::CurrentThread());
  });
  foreign.join();
}

// A stream whose events are counted, with the OS thread they ran on.
class EventCountingStream : public NullStream, public sigslot::has_slots<> {
 public:
  EventCountingStream() { SignalStreamEvent.connect(this, &EventCountingStream::OnEvent); }
  void OnEvent(StreamInterface* stream, int events, int error) {
    EXPECT_EQ(this, stream);
    std::lock_guard<std::mutex> lock(mutex);
    last_events = events;
    last_error = error;
    os_thread = pthread_self();
    ++count;
    delivered.Set();
  }
  std::mutex mutex;
  int last_events = 0;
  int last_error = 0;
  int count = 0;
  pthread_t os_thread = pthread_t();
  Event delivered;
};

TEST(StreamEvents, PostEventRunsTheSlotsOnTheTargetThread) {
  Thread target;
  ASSERT_TRUE(target.Start());
  pthread_t target_os_thread = pthread_t();
  FunctionHandler where([&](Message*) { target_os_thread = pthread_self(); });
  target.Send(&where);

  EventCountingStream stream;
  stream.PostEvent(&target, EVT_READ | EVT_WRITE, 17);
  ASSERT_TRUE(stream.delivered.Wait());
  target.Stop();
  EXPECT_EQ(EVT_READ | EVT_WRITE, stream.last_events);
  EXPECT_EQ(17, stream.last_error);
  EXPECT_TRUE(pthread_equal(target_os_thread, stream.os_thread));
  EXPECT_FALSE(pthread_equal(pthread_self(), stream.os_thread));
}

TEST(StreamEvents, PostEventWithoutThreadGoesToTheCurrentOne) {
  std::thread foreign([] {
    AutoThread loop;
    EventCountingStream stream;
    stream.PostEvent(EVT_OPEN, 0);
    EXPECT_EQ(0, stream.count);  // posted, not called
    EXPECT_TRUE(loop.ProcessMessages(0));
    EXPECT_EQ(1, stream.count);
    EXPECT_EQ(EVT_OPEN, stream.last_events);
  });
  foreign.join();
}

TEST(StreamEvents, PostEventOnAThreadWithoutLoopIsDropped) {
  std::thread foreign([] {
    EventCountingStream stream;
    stream.PostEvent(EVT_OPEN, 0);  // no Thread here: nothing to crash on
    EXPECT_EQ(0, stream.count);
  });
  foreign.join();
}

TEST(StreamEvents, DestroyingAStreamRemovesItsQueuedEvents) {
  Thread target;  // not running yet
  auto stream = std::make_unique<EventCountingStream>();
  stream->PostEvent(&target, EVT_READ, 0);
  stream->PostEvent(&target, EVT_WRITE, 0);
  EXPECT_EQ(0, target.GetDelay());
  stream.reset();  // the events go with it (ASan: nothing dispatched to it)
  EXPECT_EQ(kWaitForever, target.GetDelay());
  EXPECT_TRUE(target.ProcessMessages(0));
}

// Lifetime: what a foreign thread leaves behind once it has ended.  Each
// case makes something on a wrapped std::thread, lets the thread end (the
// manager releases its wrapper), then uses it from here.  Under ASan a use
// of the released wrapper is a heap-use-after-free; LSan sees the leaks.

// Runs `body` on a fresh std::thread that wraps itself and never unwraps,
// and returns once that thread has ended and its wrapper is released.
void OnEndedForeignThread(const std::function<void(Thread*)>& body) {
  std::thread foreign([&] { body(ThreadManager::WrapCurrentThread()); });
  foreign.join();
}

TEST(ThreadLifetime, ReferenceDropsPostsOnceTheThreadIsGone) {
  std::atomic<int> deleted{0};
  ThreadRef none;
  EXPECT_FALSE(none.IsAlive());
  EXPECT_FALSE(none.Post(nullptr, 1, new CountedData(&deleted)));
  EXPECT_EQ(1, deleted.load());

  WhereHandler handler;
  ThreadRef ref;
  {
    Thread thread;
    ref = thread.Ref();
    EXPECT_TRUE(ref.IsAlive());
    EXPECT_TRUE(ref.Is(&thread));
    EXPECT_TRUE(ref.Post(&handler, 2));
    EXPECT_TRUE(thread.ProcessMessages(0));
    EXPECT_EQ(std::vector<uint32_t>{2}, handler.ids);
    EXPECT_TRUE(ref.Post(&handler, 3, new CountedData(&deleted)));  // pending at destruction
  }
  EXPECT_EQ(2, deleted.load());  // the destroyed queue deleted it
  EXPECT_FALSE(ref.IsAlive());
  EXPECT_FALSE(ref.Post(&handler, 4, new CountedData(&deleted)));
  EXPECT_EQ(3, deleted.load());
  EXPECT_EQ(std::vector<uint32_t>{2}, handler.ids);

  OnEndedForeignThread([&](Thread* wrapped) { ref = wrapped->Ref(); });
  EXPECT_FALSE(ref.IsAlive());
  EXPECT_FALSE(ref.Post(&handler, 5, new CountedData(&deleted)));
  EXPECT_EQ(4, deleted.load());
}

TEST(ThreadLifetime, FifoBufferOfAnEndedThreadDropsItsEvents) {
  std::unique_ptr<FifoBuffer> fifo;
  std::atomic<int> events_there{0};
  struct Counter : public sigslot::has_slots<> {
    explicit Counter(std::atomic<int>* count) : count_(count) {}
    void OnEvent(StreamInterface*, int, int) { ++*count_; }
    std::atomic<int>* count_;
  } counter(&events_there);
  OnEndedForeignThread([&](Thread* wrapped) {
    fifo = std::make_unique<FifoBuffer>(4);
    fifo->SignalStreamEvent.connect(&counter, &Counter::OnEvent);
    size_t written = 0;
    ASSERT_EQ(OUTCOME_SUCCESS, fifo->Write("ab", 2, &written, nullptr));  // EVT_READ posted
    ASSERT_TRUE(wrapped->ProcessMessages(0));
    EXPECT_EQ(1, events_there.load());  // delivered while the owner lives
    char out[2];
    ASSERT_EQ(OUTCOME_SUCCESS, fifo->Read(out, 2, &written, nullptr));
    ASSERT_EQ(OUTCOME_SUCCESS, fifo->Write("cd", 2, &written, nullptr));  // left pending
  });
  // The owner has ended: the buffer still works, its events go nowhere.
  char out[4];
  size_t count = 0;
  ASSERT_EQ(OUTCOME_SUCCESS, fifo->Read(out, 4, &count, nullptr));
  EXPECT_EQ("cd", std::string(out, count));
  ASSERT_EQ(OUTCOME_SUCCESS, fifo->Write("wxyz", 4, &count, nullptr));  // EVT_READ
  ASSERT_EQ(OUTCOME_SUCCESS, fifo->Read(out, 1, &count, nullptr));      // EVT_WRITE
  EXPECT_EQ(1, events_there.load());
  fifo.reset();
}

TEST(ThreadLifetime, WritersRacingTheOwnersEndNeverTouchItsWrapper) {
  // Writers on other threads post while the owner ends; under ThreadSanitizer
  // and ASan this is where a post through a freed wrapper would show.
  for (int round = 0; round < 20; ++round) {
    std::unique_ptr<FifoBuffer> fifo;
    Event made;
    Event release;
    std::thread owner([&] {
      ThreadManager::WrapCurrentThread();
      fifo = std::make_unique<FifoBuffer>(1);
      made.Set();
      release.WaitFor(std::chrono::milliseconds(round % 3));
    });
    ASSERT_TRUE(made.Wait());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      char byte = 'x';
      size_t count = 0;
      while (!stop.load()) {
        fifo->Write(&byte, 1, &count, nullptr);
        fifo->Read(&byte, 1, &count, nullptr);
      }
    });
    owner.join();
    stop = true;
    writer.join();
    fifo.reset();
  }
}

TEST(ThreadLifetime, SocketOfAnEndedThreadStaysUsable) {
  std::unique_ptr<AsyncSocket> listener;
  SocketAddress address;
  OnEndedForeignThread([&](Thread* wrapped) {
    listener.reset(wrapped->socketserver()->CreateAsyncSocket(SOCK_STREAM));
    ASSERT_NE(nullptr, listener);
    ASSERT_EQ(0, listener->Bind(SocketAddress("127.0.0.1", 0)));
    ASSERT_EQ(0, listener->Listen(1));
    address = listener->GetLocalAddress();
  });
  ASSERT_NE(nullptr, listener);
  ASSERT_NE(0, address.port());

  // The server the listener was made on outlived its thread: accepting
  // makes a socket on it, and closing unregisters from it.
  const int client = quorvex_test::ConnectToLoopback(address.port());
  ASSERT_GE(client, 0);
  std::unique_ptr<Socket> accepted;
  for (int tries = 0; accepted == nullptr && tries < 2000; ++tries) {
    accepted.reset(listener->Accept(nullptr));
    if (accepted == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(nullptr, accepted);
  EXPECT_EQ(5, accepted->Send("hello", 5));
  char in[8] = {};
  EXPECT_EQ(5, recv(client, in, sizeof(in), 0));
  EXPECT_EQ(std::string("hello"), std::string(in, 5));
  EXPECT_EQ(0, listener->Close());
  accepted.reset();
  listener.reset();  // the last user: the server goes with it (LSan)
  close(client);
}

TEST(ThreadLifetime, QueueHandedAnEndedThreadsServerKeepsIt) {
  std::unique_ptr<Thread> queue;
  OnEndedForeignThread([&](Thread* wrapped) {
    queue = std::make_unique<Thread>(wrapped->socketserver());
  });
  WhereHandler handler;
  queue->Post(&handler, 7);  // wakes the server the foreign thread left behind
  EXPECT_TRUE(queue->ProcessMessages(0));
  EXPECT_EQ(std::vector<uint32_t>{7}, handler.ids);
  queue.reset();
}

TEST(ThreadLifetime, HandlersDestroyedWhileWrappedThreadsEndStayOutOfTheirQueues) {
  // The queue manager lists every used queue; a handler's destruction
  // clears its messages from each.  Wrapped threads end meanwhile, with
  // messages for such handlers still pending.
  std::atomic<bool> stop{false};
  std::thread destroyer([&] {
    while (!stop.load()) {
      NopLike handler;  // its destruction walks the manager's list
    }
  });
  std::atomic<int> deleted{0};
  for (int i = 0; i < 200; ++i) {
    NopLike handler;
    OnEndedForeignThread([&](Thread* wrapped) {
      wrapped->Post(&handler, 1, new CountedData(&deleted));
      wrapped->PostAfter(60000, &handler, 2, new CountedData(&deleted));
    });
  }
  stop = true;
  destroyer.join();
  EXPECT_EQ(400, deleted.load());  // every pending payload went with its wrapper
}

TEST(ThreadManager, StopAllThreadsAfterWrappedThreadsEnded) {
  for (int i = 0; i < 10; ++i) OnEndedForeignThread([](Thread*) {});
  Thread thread;
  ASSERT_TRUE(thread.Start());
  g_thmgr.StopAllThreads_();  // reaches no released wrapper
  thread.Restart();
}

// Heap bytes in use, as the allocator in this build counts them.
size_t HeapInUse() {
#if defined(LUMEN_SANITIZED_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

TEST(ThreadLifetime, TenThousandShortLivedWrappedThreadsLeaveMemoryBounded) {
  // Each thread wraps itself, makes a stream that posts to it, and ends;
  // the stream outlives it and is used and destroyed here.
  auto run = [](int threads) {
    for (int i = 0; i < threads; ++i) {
      std::unique_ptr<FifoBuffer> fifo;
      OnEndedForeignThread([&](Thread*) {
        fifo = std::make_unique<FifoBuffer>(16);
        size_t count = 0;
        fifo->Write("x", 1, &count, nullptr);  // an event left pending
      });
      char byte;
      size_t count = 0;
      fifo->Read(&byte, 1, &count, nullptr);
      fifo->Write("y", 1, &count, nullptr);  // dropped
    }
  };
  run(500);  // warms up the allocator's and the library's own lists
  const size_t before = HeapInUse();
  run(10000);
  const size_t after = HeapInUse();
  printf("heap in use: %zu bytes before, %zu after 10,000 threads\n", before, after);
  // A wrapper with its queue and socket server is several kilobytes; one
  // left per thread would be tens of megabytes.
  EXPECT_LT(after, before + 256 * 1024) << "before " << before << ", after " << after;
}

// Process exit.  A child run of this program keeps a running Thread alive
// until exit, and a static object of this file, built before the library's
// own statics and so destroyed after g_thmgr, uses the library once the
// manager is gone.
const char kExitChildVariable[] = "LUMEN_THREAD_EXIT_CHILD";

class CountingHandler : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    ++count;
    delete msg->data;
    msg->data = nullptr;
  }
  std::atomic<int> count{0};
};

Thread* g_left_running = nullptr;  // reachable, so not a leak

class LateUser {
 public:
  ~LateUser() {
    if (getenv(kExitChildVariable) == nullptr) return;
    // The main thread had a wrapped Thread; none once the manager is gone.
    const bool manager_gone = ThreadManager::CurrentThread() == nullptr;
    {
      Thread thread;
      CountingHandler handler;
      thread.PostAfter(60000, &handler, 1);
      if (!thread.Start()) _exit(3);
      thread.Send(&handler);  // from a thread without a Thread
      if (handler.count != 1) _exit(4);
      FifoBuffer fifo(4);  // no owner: its events go nowhere
      size_t written = 0;
      if (fifo.Write("ab", 2, &written, nullptr) != OUTCOME_SUCCESS) _exit(5);
      thread.Stop();
    }
    printf("late user done, manager %s\n", manager_gone ? "gone" : "alive");
    fflush(stdout);
  }
};
LateUser g_late_user;

TEST(ProcessExit, LibraryStaysUsableDuringStaticDestruction) {
  if (getenv(kExitChildVariable) != nullptr) {
    g_left_running = new Thread;
    ASSERT_TRUE(g_left_running->Start());
    CountingHandler* handler = new CountingHandler;  // with messages pending at exit
    g_left_running->PostAfter(60000, handler, 1);
    std::thread foreign([] { ThreadManager::WrapCurrentThread(); });  // never unwrapped
    foreign.join();
    return;
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  const std::string command =
      std::string(kExitChildVariable) + "=1 '" + self +
      "' --gtest_filter=ProcessExit.LibraryStaysUsableDuringStaticDestruction";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, child);
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), child) != nullptr) output += buffer;
  const int status = pclose(child);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(0, WEXITSTATUS(status)) << output;
  EXPECT_NE(std::string::npos, output.find("late user done, manager gone")) << output;
}

}  // namespace
}  // namespace lumen_base
