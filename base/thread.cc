#include "base/thread.h"

#include <sched.h>

#include <algorithm>
#include <optional>

#include "base/logging.h"
#include "base/socketserver.h"
#include "base/timeutils.h"

namespace lumen_base {

namespace {

// Where g_thmgr is in its life.  Constant-initialised, so it is right even
// for static initialisers of other files that run before g_thmgr is built,
// and for destructors that run after it is gone.
enum ManagerPhase { kNotBuilt, kAlive, kGone };
std::atomic<int> g_manager_phase{kNotBuilt};

bool ManagerAlive() { return g_manager_phase.load(std::memory_order_acquire) == kAlive; }

std::atomic<const Thread::PosixCalls*> g_posix_calls{nullptr};

int SetSchedParam(pthread_attr_t* attr, const sched_param* param) {
  const Thread::PosixCalls* calls = g_posix_calls.load(std::memory_order_acquire);
  if (calls != nullptr && calls->attr_setschedparam != nullptr) {
    return calls->attr_setschedparam(attr, param);
  }
  return pthread_attr_setschedparam(attr, param);
}

int CreateThread(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
  const Thread::PosixCalls* calls = g_posix_calls.load(std::memory_order_acquire);
  if (calls != nullptr && calls->create != nullptr) return calls->create(thread, attr, entry, arg);
  return pthread_create(thread, attr, entry, arg);
}

// The scheduling priority requested for a priority code; other codes keep
// the value already in the attributes.
int SchedulingPriority(int code, int current) {
  switch (code) {
    case Thread::kPriorityIdle:
      return -6;
    case Thread::kPriorityLow:
      return -4;
    case Thread::kPriorityHigh:
      return 15;
    default:
      return current;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Thread

Thread::Thread(SocketServer* ss) : MessageQueue(ss), life_(std::make_shared<ThreadLife>(this)) {
  g_thmgr.Add(this);
}

Thread::~Thread() {
  // No reference reaches this object from here on, and a post through one
  // that is under way has finished.
  {
    std::unique_lock<std::mutex> lock(life_->mutex);
    life_->thread = nullptr;
    life_->idle.wait(lock, [this] { return life_->in_flight == 0; });
  }
  // Unlisted first: StopAllThreads_ on another thread can then no longer
  // reach this object, and one already inside it has finished its Stop.
  g_thmgr.Remove(this);
  Stop();
  if (active_.load(std::memory_order_acquire)) {
    // Off the queue manager's list before this object stops being a
    // Thread: a handler destroyed on another thread would otherwise clear
    // its messages through a queue half taken apart.  The loop has ended,
    // so what stays behind is never dispatched, only deleted here.
    MessageQueueManager::Remove(this);
    Thread::Clear(nullptr, kAnyMessageId, nullptr);
  }
  // Never leave the destroying OS thread with a dangling current Thread.
  if (ThreadManager::CurrentThread() == this) ThreadManager::SetCurrent(nullptr);
}

bool Thread::IsCurrent() const { return ThreadManager::CurrentThread() == this; }

// ---------------------------------------------------------------------------
// ThreadRef

ThreadRef::ThreadRef(Thread* thread) {
  if (thread != nullptr) life_ = thread->life_;
}

bool ThreadRef::Post(MessageHandler* handler, uint32_t id, MessageData* data,
                     bool time_sensitive) const {
  Thread* target = nullptr;
  if (life_ != nullptr) {
    std::lock_guard<std::mutex> lock(life_->mutex);
    target = life_->thread;
    if (target != nullptr) ++life_->in_flight;
  }
  if (target == nullptr) {
    delete data;
    return false;
  }
  // Without the reference's lock: the post may delete the data (a quitting
  // queue), whose destructor may post through references again.
  target->Post(handler, id, data, time_sensitive);
  std::lock_guard<std::mutex> lock(life_->mutex);
  if (--life_->in_flight == 0 && life_->thread == nullptr) life_->idle.notify_all();
  return true;
}

bool ThreadRef::IsAlive() const {
  if (life_ == nullptr) return false;
  std::lock_guard<std::mutex> lock(life_->mutex);
  return life_->thread != nullptr;
}

bool ThreadRef::Is(const Thread* thread) const {
  if (life_ == nullptr || thread == nullptr) return false;
  std::lock_guard<std::mutex> lock(life_->mutex);
  return life_->thread == thread;
}

bool Thread::Start(Runnable* runnable) {
  if (!owned_ || started_) return false;

  ThreadStartRecord* record = new ThreadStartRecord{this, runnable};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (priority_ != kPriorityNormal) {
    sched_param param;
    pthread_attr_getschedparam(&attr, &param);
    param.sched_priority = SchedulingPriority(priority_, param.sched_priority);
    const int error = SetSchedParam(&attr, &param);
    if (error != 0) {
      // Linux's default policy takes no priority at all; say so rather than
      // pretend, and run the thread with the default scheduling.
      LOG(LS_WARNING) << "Unable to set thread priority " << param.sched_priority << ", error "
                      << error;
    }
  }

  const int error = CreateThread(&thread_handle_, &attr, PreRun, record);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    LOG(LS_ERROR) << "Unable to create pthread, error " << error;
    delete record;
    return false;
  }
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  // A wrapped thread was never ours to join, and joining oneself would fail.
  if (!owned_ || pthread_equal(thread_handle_, pthread_self())) return;
  pthread_join(thread_handle_, nullptr);
  started_ = false;
}

void Thread::Stop() {
  MessageQueue::Quit();
  Join();
}

void Thread::Run() { ProcessMessages(kWaitForever); }

bool Thread::ProcessMessages(int loop_ms) {
  const uint32_t end = loop_ms != kWaitForever ? TimeAfter(loop_ms) : 0;
  int next_wait = loop_ms;
  for (;;) {
    Message msg;
    if (!Get(&msg, next_wait)) return !IsQuitting();
    Dispatch(&msg);
    if (loop_ms != kWaitForever) {
      next_wait = TimeUntil(end);
      if (next_wait < 0) return true;
    }
  }
}

void Thread::Send(MessageHandler* handler, uint32_t id, MessageData* data) {
  Message msg;
  msg.handler = handler;
  msg.message_id = id;
  msg.data = data;

  // On the target thread itself nothing needs to wait: call at once.  This
  // holds while quitting too; the thread is running and the caller expects
  // the call to have happened when Send returns.
  if (IsCurrent()) {
    handler->OnMessage(&msg);
    return;
  }
  if (stopping_.load(std::memory_order_acquire)) {
    delete data;
    return;
  }

  // Only a caller without a Thread needs a temporary one to wait in.
  std::optional<AutoThread> temporary;
  Thread* sender = ThreadManager::CurrentThread();
  if (sender == nullptr) {
    temporary.emplace();
    sender = &*temporary;
  }

  SendCompletion completion;
  EnsureActive();  // before crit_: it takes the manager's lock
  bool accepted = false;
  {
    RecursiveLockScope lock(&crit_);
    // Checked again under the lock: Get's final drain on quitting orders
    // itself against this, so an accepted call is always served.
    if (!stopping_.load(std::memory_order_acquire)) {
      send_list_.push_back(_SendMessage{sender, msg, &completion});
      has_sends_.store(true, std::memory_order_release);
      accepted = true;
    }
  }
  if (!accepted) {
    delete data;
    return;
  }
  socket_server_->WakeUp();

  bool waited = false;
  while (completion.state.load(std::memory_order_acquire) == SendCompletion::kPending) {
    // Serve calls sent to this thread meanwhile: two threads sending to
    // each other would otherwise wait for each other forever.
    sender->ReceiveSends();
    sender->socketserver()->Wait(kWaitForever, false);
    waited = true;
  }
  // The target may still be waking us; wait until it has let go.
  while (completion.state.load(std::memory_order_acquire) != SendCompletion::kReleased) {
    sched_yield();
  }
  // Our waiting may have eaten a wake-up meant for the sender's own loop.
  // Pass it on when that loop has anything a wake-up could be for; a post,
  // a call or a Quit that has not happened yet brings its own wake-up.
  if (waited && sender->NeedsWakeUp()) sender->socketserver()->WakeUp();
}

bool Thread::NeedsWakeUp() {
  if (stopping_.load(std::memory_order_acquire) || has_sends_.load(std::memory_order_acquire)) {
    return true;
  }
  RecursiveLockScope lock(&crit_);
  return !posted_.empty() || !delayed_.empty();
}

void Thread::CompleteSend(const _SendMessage& send) {
  SendCompletion* completion = send.ready;
  completion->state.store(SendCompletion::kDone, std::memory_order_release);
  send.sender->socketserver()->WakeUp();
  // Last touch: from here on the sender may return and take both away.
  completion->state.store(SendCompletion::kReleased, std::memory_order_release);
}

void Thread::ReceiveSends() {
  if (!has_sends_.load(std::memory_order_acquire)) return;
  crit_.Enter();
  while (!send_list_.empty()) {
    _SendMessage send = send_list_.front();
    send_list_.pop_front();
    crit_.Leave();
    // Without the lock: the handler may post or send again.
    send.msg.handler->OnMessage(&send.msg);
    CompleteSend(send);
    crit_.Enter();
  }
  has_sends_.store(false, std::memory_order_release);
  crit_.Leave();
}

void Thread::Clear(MessageHandler* handler, uint32_t id, std::vector<Message>* removed) {
  std::vector<Message> dropped;
  std::vector<Message>* out = removed != nullptr ? removed : &dropped;
  {
    RecursiveLockScope lock(&crit_);
    for (auto it = send_list_.begin(); it != send_list_.end();) {
      if (!MessageMatches(it->msg, handler, id)) {
        ++it;
        continue;
      }
      out->push_back(it->msg);
      CompleteSend(*it);
      it = send_list_.erase(it);
    }
    MessageQueue::Clear(handler, id, out);
  }
  // Outside the lock, as in MessageQueue::Clear.
  for (Message& msg : dropped) delete msg.data;
}

void* Thread::PreRun(void* pv) {
  ThreadStartRecord* record = static_cast<ThreadStartRecord*>(pv);
  Thread* thread = record->thread;
  Runnable* runnable = record->runnable;
  delete record;
  ThreadManager::SetCurrent(thread);
  if (runnable != nullptr) {
    runnable->Run(thread);
  } else {
    thread->Run();
  }
  return nullptr;
}

void Thread::SetPosixCallsForTesting(const PosixCalls* calls) {
  g_posix_calls.store(calls, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// AutoThread

AutoThread::AutoThread(SocketServer* ss) : Thread(ss) {
  if (ThreadManager::CurrentThread() == nullptr) ThreadManager::SetCurrent(this);
}

AutoThread::~AutoThread() {
  if (ThreadManager::CurrentThread() == this) ThreadManager::SetCurrent(nullptr);
}

// ---------------------------------------------------------------------------
// ThreadManager

pthread_key_t ThreadManager::key_;

ThreadManager::ThreadManager() {
  pthread_key_create(&key_, &ThreadManager::ReleaseOnThreadExit);
  g_manager_phase.store(kAlive, std::memory_order_release);
  main_thread_ = WrapCurrentThread();
}

ThreadManager::~ThreadManager() {
  UnwrapCurrentThread();
  {
    // Lets an Add or Remove in progress finish before the list goes away.
    RecursiveLockScope lock(&crit_);
    g_manager_phase.store(kGone, std::memory_order_release);
  }
  pthread_key_delete(key_);
}

Thread* ThreadManager::CurrentThread() {
  if (!ManagerAlive()) return nullptr;
  return static_cast<Thread*>(pthread_getspecific(key_));
}

void ThreadManager::SetCurrent(Thread* thread) {
  if (!ManagerAlive()) return;
  pthread_setspecific(key_, thread);
}

Thread* ThreadManager::WrapCurrentThread() {
  Thread* result = CurrentThread();
  if (result != nullptr || !ManagerAlive()) return result;
  result = new Thread(nullptr);
  result->owned_ = false;
  result->started_ = true;
  result->thread_handle_ = pthread_self();
  SetCurrent(result);
  return result;
}

void ThreadManager::UnwrapCurrentThread() {
  Thread* current = CurrentThread();
  if (current == nullptr || current->IsOwned()) return;
  SetCurrent(nullptr);
  // Its destruction must not try to join the calling thread.
  current->started_ = false;
  if (g_thmgr.main_thread_ == current) g_thmgr.main_thread_ = nullptr;
  delete current;
}

void ThreadManager::ReleaseOnThreadExit(void* value) {
  // Called by the system as an OS thread ends, with its current Thread
  // (already no longer current).  A wrapper stands for that OS thread and
  // has no other owner; an owned Thread belongs to whoever made it.
  Thread* thread = static_cast<Thread*>(value);
  if (thread == nullptr || thread->IsOwned()) return;
  thread->started_ = false;
  if (g_thmgr.main_thread_ == thread) g_thmgr.main_thread_ = nullptr;
  delete thread;
}

void ThreadManager::Add(Thread* thread) {
  if (!ManagerAlive()) return;
  RecursiveLockScope lock(&crit_);
  threads_.push_back(thread);
}

void ThreadManager::Remove(Thread* thread) {
  if (!ManagerAlive()) return;
  RecursiveLockScope lock(&crit_);
  threads_.erase(std::remove(threads_.begin(), threads_.end(), thread), threads_.end());
}

void ThreadManager::StopAllThreads_() {
  if (!ManagerAlive()) return;
  RecursiveLockScope lock(&crit_);
  for (size_t i = 0; i < threads_.size(); ++i) threads_[i]->Stop();
}

// Defined here, beside CurrentThread, which every user of threads, of
// stream events (PostEvent, FifoBuffer) and of the logging (through the
// file stream) references: whenever the static library contributes anything
// that can ask for a current Thread, the linker also takes this object file,
// and with it the manager's static initialisation.  Defined after every
// other static of this file, which is thus ready before it.
ThreadManager g_thmgr;

}  // namespace lumen_base
