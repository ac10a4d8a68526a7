// Threads with message loops.  A Thread is a MessageQueue bound to one
// POSIX thread: it can start its own OS thread and run the loop there, and
// it takes synchronous calls (Send) that block the caller until the handler
// has run on the target thread.  ThreadManager keeps, per OS thread, the
// Thread that stands for it (CurrentThread), lists every Thread, and wraps
// foreign OS threads in Thread objects on demand.  The one manager, g_thmgr,
// is built by static initialisation and wraps the thread that runs it.
//
// Threading: Start, Stop and Join belong to the thread that controls the
// Thread object (not to its own OS thread).  Send, Post and Clear may come
// from any thread.  Lock order: the thread manager's lock, then the queue
// manager's lock, then a queue's lock, then the completion of one Send and
// a socket server's wake-up; handlers run with none of them held.
//
// A class that overrides Run (or anything the loop calls) must call Stop in
// its own destructor: by the time ~Thread stops the OS thread, the derived
// part is gone.  A started Thread must not be destroyed from its own OS
// thread, which could not be joined.
//
// Lifetime.  A Thread can end while others still know it: its owner
// destroys it, or, for a wrapper, its OS thread ends and the manager
// releases it.  The one rule: nothing keeps a Thread* beyond one call.
// What must reach a thread later keeps a ThreadRef, and a message posted
// through a ThreadRef whose Thread is gone is dropped with its data deleted,
// exactly like a post to a quitting queue.  A stream's events (FifoBuffer)
// follow this rule.  A queue's own socket server is shared by the queue and
// by every socket, file and queue that uses it, and ends with the last of
// them, so a socket made on a wrapped thread may outlive that thread: it
// then signals nothing more, but can still be used, closed and deleted.
#ifndef BASE_THREAD_H_
#define BASE_THREAD_H_

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "base/messagequeue.h"
#include "base/recursivelock.h"

namespace lumen_base {

class Thread;

// Shared by a Thread and every ThreadRef to it.  `thread` is null from the
// start of the Thread's destruction on; the destruction waits until no post
// through a reference is in flight.
struct ThreadLife {
  explicit ThreadLife(Thread* t) : thread(t) {}
  std::mutex mutex;
  std::condition_variable idle;
  Thread* thread;    // guarded by mutex
  int in_flight = 0;  // guarded by mutex
};

// A reference to a Thread that may end first (see "Lifetime" above).
// Copyable; any thread may use it.
class ThreadRef {
 public:
  // Refers to no thread: every post is dropped.
  ThreadRef() = default;
  // Null refers to no thread.
  explicit ThreadRef(Thread* thread);

  // MessageQueue::Post to the Thread while it exists, and true.  Once it
  // is gone (or for no thread), deletes `data` and returns false.  Never
  // blocks on the target's loop; a Thread being destroyed waits for a post
  // in flight to finish.
  bool Post(MessageHandler* handler, uint32_t id = 0, MessageData* data = nullptr,
            bool time_sensitive = false) const;
  // True while the Thread exists; it may end right after the answer.
  bool IsAlive() const;
  // True when this refers to `thread` and it still exists.
  bool Is(const Thread* thread) const;

 private:
  std::shared_ptr<ThreadLife> life_;
};

// Runs on a started thread instead of its message loop.
class Runnable {
 public:
  virtual ~Runnable() {}
  virtual void Run(Thread* thread) = 0;
};

// Handed to the new OS thread by Start.
struct ThreadStartRecord {
  Thread* thread;
  Runnable* runnable;  // null: the thread's own Run
};

// How a blocked sender learns that its call is over.  It lives on the
// sender's stack.  The target marks it kDone, wakes the sender, then marks
// it kReleased; the sender returns only once it is kReleased, so the target
// has finished with the sender (and its socket server) before either can
// go away.  Between the two marks the target only returns from the wake-up
// write, so the sender yields instead of sleeping on a lock there.
struct SendCompletion {
  enum State { kPending, kDone, kReleased };
  std::atomic<int> state{kPending};
};

// One pending synchronous call.
struct _SendMessage {
  Thread* sender;         // the Thread of the calling OS thread
  Message msg;            // latency_deadline 0
  SendCompletion* ready;  // on the sender's stack
};

class Thread : public MessageQueue {
 public:
  // Priority codes.  kPriorityNormal leaves the scheduling attributes as
  // they are; the others ask for the scheduling priorities -6, -4 and 15.
  enum {
    kPriorityIdle = 0,
    kPriorityLow = 1,
    kPriorityNormal = 2,
    kPriorityHigh = 3,
  };

  // See MessageQueue: with null the thread makes its own socket server.
  // Lists itself with g_thmgr.
  explicit Thread(SocketServer* ss = nullptr);
  // Unlists itself, stops and joins the OS thread when started, releases
  // blocked senders and deletes every pending message's data.
  ~Thread() override;

  // False for a Thread that wraps an OS thread it did not create.
  bool IsOwned() const { return owned_; }
  // True when this is the calling OS thread's current Thread.
  bool IsCurrent() const;
  // A reference that outlives this Thread safely (see ThreadRef).
  ThreadRef Ref() { return ThreadRef(this); }

  // The priority code that Start applies; takes effect at the next Start.
  void SetPriority(int priority) { priority_ = priority; }
  int priority() const { return priority_; }

  // Starts an OS thread that runs `runnable` (null: this thread's Run).
  // False, with nothing logged, for an unowned or already started Thread;
  // false with "Unable to create pthread, error N" when the OS refuses.
  // When the system refuses the priority, a warning is logged and the
  // thread starts with the default scheduling.  After Stop, call Restart
  // before starting again, or the new loop ends at once.
  bool Start(Runnable* runnable = nullptr);
  // Waits for the OS thread to end.  Does nothing when not started, for a
  // wrapped thread, and on the thread's own OS thread.
  void Join();
  // Quit, then Join.
  virtual void Stop();
  // The OS thread's body unless a Runnable was given: the message loop.
  virtual void Run();

  // Gets and dispatches messages for `loop_ms` (kWaitForever: until Quit).
  // 0 never blocks: it dispatches what is due while the clock stands still.
  // False when the loop ended because of Quit, else true.
  bool ProcessMessages(int loop_ms);

  // Runs handler->OnMessage on this thread and returns when it has run.
  // From this thread itself it runs at once (also while quitting).  To a
  // quitting thread it delivers nothing and deletes the data.  While it
  // waits, the caller serves calls sent to its own thread, so two threads
  // may send to each other.  A caller without a Thread gets a temporary one
  // for the call.  Returns early, without the handler having run, when the
  // target clears the message (a destroyed handler, a destroyed thread).
  virtual void Send(MessageHandler* handler, uint32_t id = 0, MessageData* data = nullptr);

  // Serves the pending Sends, one at a time, without the lock held.
  void ReceiveSends() override;
  // Also removes matching pending Sends and releases their senders.
  void Clear(MessageHandler* handler, uint32_t id = kAnyMessageId,
             std::vector<Message>* removed = nullptr) override;

  // Entry of every started OS thread.
  static void* PreRun(void* pv);

  // Test seam: the POSIX calls through which Start applies the priority and
  // creates the OS thread.  Null members mean the real calls; a null
  // argument restores both.  Not for use while threads are being started.
  struct PosixCalls {
    int (*attr_setschedparam)(pthread_attr_t* attr, const sched_param* param);
    int (*create)(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg);
  };
  static void SetPosixCallsForTesting(const PosixCalls* calls);

 private:
  friend class ThreadManager;
  friend class ThreadRef;

  // Sets the completion of `send` and wakes its sender.
  static void CompleteSend(const _SendMessage& send);
  // True when this thread's loop has work that a wake-up announces: posted
  // or delayed messages, calls to serve, or a Quit.
  bool NeedsWakeUp();

  // Guarded by crit_.
  std::list<_SendMessage> send_list_;
  // The controlling thread only.
  int priority_ = kPriorityNormal;
  bool started_ = false;
  // Written under crit_; read without it as a fast test.
  std::atomic<bool> has_sends_{false};
  pthread_t thread_handle_ = pthread_t();
  bool owned_ = true;
  // Made with the Thread; severed first thing in its destruction.
  const std::shared_ptr<ThreadLife> life_;
};

// A Thread that becomes the calling OS thread's current Thread for its
// lifetime when that thread has none.  On the stack it gives a foreign
// thread a message loop for a scope.
class AutoThread : public Thread {
 public:
  explicit AutoThread(SocketServer* ss = nullptr);
  ~AutoThread() override;
};

// Knows each OS thread's current Thread and lists every Thread.  There is
// exactly one, g_thmgr.  The static operations work on any thread and take
// no lock; before g_thmgr is built and after it is destroyed no thread has a
// current Thread and Add, Remove and the rest do nothing.
class ThreadManager {
 public:
  // Makes the thread-specific key and wraps the calling thread.
  ThreadManager();
  // Unwraps the calling thread (see UnwrapCurrentThread) and deletes the
  // key.  Other Threads are left alone.
  ~ThreadManager();

  ThreadManager(const ThreadManager&) = delete;
  ThreadManager& operator=(const ThreadManager&) = delete;

  // The calling OS thread's Thread, or null.
  static Thread* CurrentThread();
  static void SetCurrent(Thread* thread);

  // The calling thread's Thread; when it has none, a new unowned Thread
  // with its own socket server becomes current.
  static Thread* WrapCurrentThread();
  // Deletes the calling thread's current Thread when it is a wrapped
  // (unowned) one; an owned one is left alone.  An OS thread that ends
  // while wrapped is unwrapped the same way as it ends.
  static void UnwrapCurrentThread();

  void Add(Thread* thread);
  // Erases every occurrence.
  void Remove(Thread* thread);
  // Stops (quits and joins) every listed Thread, holding the lock: a thread
  // that makes or destroys a Thread while it ends would wait for this call,
  // which waits for it.  Wrapped threads are told to quit, not joined.
  void StopAllThreads_();

  // The Thread wrapping the thread that built the manager; null once that
  // thread unwrapped it.
  Thread* main_thread() const { return main_thread_; }

 private:
  Thread* main_thread_ = nullptr;
  // Guarded by crit_.  Not owned.
  std::vector<Thread*> threads_;
  RecursiveLock crit_;

  // The key's destructor: releases a wrapper whose OS thread has ended.
  static void ReleaseOnThreadExit(void* value);

  static pthread_key_t key_;
};

extern ThreadManager g_thmgr;

}  // namespace lumen_base

#endif  // BASE_THREAD_H_
