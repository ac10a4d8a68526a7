#include "base/messagequeue.h"

#include <algorithm>

#include "base/logging.h"
#include "base/physicalsocketserver.h"
#include "base/timeutils.h"

namespace lumen_base {

bool MessageMatches(const Message& msg, const MessageHandler* handler, uint32_t id) {
  return (handler == nullptr || msg.handler == handler) &&
         (id == kAnyMessageId || msg.message_id == id);
}

namespace {

// Deletes the payloads of messages that were dropped.  Called with no queue
// lock held: a payload's destructor may destroy handlers or queues, which
// takes the manager's lock and then queue locks.
void DeleteData(std::vector<Message>* dropped) {
  for (Message& msg : *dropped) {
    delete msg.data;
    msg.data = nullptr;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// MessageHandler

MessageHandler::~MessageHandler() { MessageQueueManager::Clear(this); }

// ---------------------------------------------------------------------------
// MessageQueueManager

std::atomic<MessageQueueManager*> MessageQueueManager::instance_{nullptr};

MessageQueueManager* MessageQueueManager::Instance() {
  MessageQueueManager* manager = instance_.load(std::memory_order_acquire);
  if (manager != nullptr) return manager;
  // A function-local static is initialised exactly once, also when several
  // threads post their first messages at the same moment.  The manager is
  // never deleted: queues and handlers destroyed during process exit, after
  // any static destructor of ours could have run, still find it intact.
  static MessageQueueManager* const created = [] {
    MessageQueueManager* fresh = new MessageQueueManager();
    instance_.store(fresh, std::memory_order_release);
    return fresh;
  }();
  return created;
}

void MessageQueueManager::Add(MessageQueue* queue) { Instance()->AddInternal(queue); }

void MessageQueueManager::Remove(MessageQueue* queue) {
  MessageQueueManager* manager = instance_.load(std::memory_order_acquire);
  if (manager != nullptr) manager->RemoveInternal(queue);
}

void MessageQueueManager::Clear(MessageHandler* handler) {
  // Without a manager no queue was ever used, so no message can be pending;
  // most handlers (every stream) are destroyed without ever being posted to.
  MessageQueueManager* manager = instance_.load(std::memory_order_acquire);
  if (manager != nullptr) manager->ClearInternal(handler);
}

void MessageQueueManager::AddInternal(MessageQueue* queue) {
  RecursiveLockScope lock(&crit_);
  queues_.push_back(queue);
}

void MessageQueueManager::RemoveInternal(MessageQueue* queue) {
  RecursiveLockScope lock(&crit_);
  auto it = std::find(queues_.begin(), queues_.end(), queue);
  if (it != queues_.end()) queues_.erase(it);
}

void MessageQueueManager::ClearInternal(MessageHandler* handler) {
  std::vector<Message> removed;
  {
    // Manager first, then each queue: the one lock order of this library.
    // An index, not an iterator: an overriding Clear may change the list.
    RecursiveLockScope lock(&crit_);
    for (size_t i = 0; i < queues_.size(); ++i) {
      queues_[i]->Clear(handler, kAnyMessageId, &removed);
    }
  }
  DeleteData(&removed);
}

// ---------------------------------------------------------------------------
// MessageQueue

MessageQueue::MessageQueue(SocketServer* ss) : socket_server_(nullptr) { set_socketserver(ss); }

MessageQueue::~MessageQueue() {
  SignalQueueClosing();
  if (active_.load(std::memory_order_acquire)) {
    // Unlisted first, so that no handler's destruction reaches into a queue
    // that is going away; then every pending message's data is deleted.
    MessageQueueManager::Remove(this);
    MessageQueue::Clear(nullptr, kAnyMessageId, nullptr);
  }
}

void MessageQueue::set_socketserver(SocketServer* ss) {
  if (ss == nullptr) {
    // Left without any server, the next Get or Post would crash.
    if (owned_server_ == nullptr) owned_server_ = std::make_shared<PhysicalSocketServer>();
    socket_server_ = owned_server_.get();
    server_keep_.reset();
    return;
  }
  socket_server_ = ss;
  server_keep_ = SocketServer::KeepAlive(ss);
}

void MessageQueue::Quit() {
  stopping_.store(true, std::memory_order_release);
  socket_server_->WakeUp();
}

bool MessageQueue::IsQuitting() { return stopping_.load(std::memory_order_acquire); }

void MessageQueue::Restart() { stopping_.store(false, std::memory_order_release); }

bool MessageQueue::TakePeeked(Message* msg) {
  // Only the owner sets the flag, so seeing it clear here means it is clear.
  if (!peek_kept_.load(std::memory_order_acquire)) return false;
  RecursiveLockScope lock(&crit_);
  if (!peek_kept_.load(std::memory_order_relaxed)) return false;  // cleared meanwhile
  *msg = peeked_;
  peek_kept_.store(false, std::memory_order_relaxed);
  return true;
}

bool MessageQueue::Get(Message* msg, int wait_ms) {
  if (TakePeeked(msg)) return true;

  // The clock is read at most once per pass, and only when a delayed
  // message, a latency deadline or a finite wait needs it: a busy loop that
  // only serves plain posts never reads it.  `start` is the first reading.
  uint32_t current = 0;
  bool have_current = false;
  uint32_t start = 0;
  bool have_start = false;
  auto now = [&]() {
    if (!have_current) {
      current = Time();
      have_current = true;
      if (!have_start) {
        start = current;
        have_start = true;
      }
    }
    return current;
  };
  int32_t elapsed = 0;

  for (;;) {
    ReceiveSends();

    int next_delay = kWaitForever;
    crit_.Enter();
    while (!delayed_.empty()) {
      const DelayedMessage& top = delayed_.front();
      const uint32_t time_now = now();
      if (TimeIsLater(time_now, top.trigger_time)) {
        next_delay = TimeDiff(top.trigger_time, time_now);
        break;
      }
      posted_.push_back(top.message);
      std::pop_heap(delayed_.begin(), delayed_.end());
      delayed_.pop_back();
    }

    while (!posted_.empty()) {
      *msg = posted_.front();
      posted_.pop_front();
      int32_t lateness = 0;
      if (msg->latency_deadline != 0) lateness = TimeDiff(now(), msg->latency_deadline);
      // Logging and deleting happen outside the lock: a log sink or a
      // payload's destructor may post or clear.
      crit_.Leave();
      if (lateness > 0) {
        LOG_F(LS_WARNING) << "id: " << msg->message_id
                          << "  delay: " << lateness + kMessageLatencyMs << "ms";
      }
      if (msg->message_id != kDisposeMessageId) return true;
      delete msg->data;
      msg->data = nullptr;
      crit_.Enter();
    }
    crit_.Leave();

    if (stopping_.load(std::memory_order_acquire)) {
      // A Send accepted before Quit but after this pass's ReceiveSends would
      // otherwise block its caller until this thread is destroyed.  Taking
      // the lock once orders us after any Send that already checked the
      // flag; every later Send sees the flag and is refused.
      { RecursiveLockScope barrier(&crit_); }
      ReceiveSends();
      return false;
    }

    int this_wait = next_delay;
    if (wait_ms != kWaitForever) {
      now();  // fixes `start` before the first wait
      this_wait = std::max<int32_t>(0, wait_ms - elapsed);
      if (next_delay != kWaitForever && next_delay < this_wait) this_wait = next_delay;
    }

    if (!socket_server_->Wait(this_wait, true)) return false;

    have_current = false;
    if (wait_ms != kWaitForever) {
      elapsed = TimeDiff(now(), start);
      if (elapsed >= wait_ms) return false;
    }
  }
}

bool MessageQueue::Peek(Message* msg, int wait_ms) {
  if (peek_kept_.load(std::memory_order_acquire)) {
    RecursiveLockScope lock(&crit_);
    if (peek_kept_.load(std::memory_order_relaxed)) {
      *msg = peeked_;
      return true;
    }
  }
  if (!Get(msg, wait_ms)) return false;
  RecursiveLockScope lock(&crit_);
  peeked_ = *msg;
  peek_kept_.store(true, std::memory_order_release);
  return true;
}

void MessageQueue::Post(MessageHandler* handler, uint32_t id, MessageData* data,
                        bool time_sensitive) {
  if (stopping_.load(std::memory_order_acquire)) {
    // Dropped: nobody else will ever see the payload.
    delete data;
    return;
  }
  // Registration takes the manager's lock; do it before the queue's lock so
  // that it never waits for the manager while holding the queue.
  EnsureActive();

  Message msg;
  msg.handler = handler;
  msg.message_id = id;
  msg.data = data;
  if (time_sensitive) msg.latency_deadline = Time() + kMessageLatencyMs;
  {
    RecursiveLockScope lock(&crit_);
    posted_.push_back(msg);
  }
  // Waking after the lock is released keeps the hold short.  No wake-up is
  // lost: the owner either saw the message or waits after this point.
  socket_server_->WakeUp();
}

void MessageQueue::PostAfter(int delay_ms, MessageHandler* handler, uint32_t id,
                             MessageData* data) {
  DoDelayPost(delay_ms, TimeAfter(delay_ms), handler, id, data);
}

void MessageQueue::PostAtTime(uint32_t trigger, MessageHandler* handler, uint32_t id,
                              MessageData* data) {
  DoDelayPost(TimeUntil(trigger), trigger, handler, id, data);
}

void MessageQueue::DoDelayPost(int delay_ms, uint32_t trigger, MessageHandler* handler, uint32_t id,
                               MessageData* data) {
  if (stopping_.load(std::memory_order_acquire)) {
    delete data;
    return;
  }
  EnsureActive();

  Message msg;
  msg.handler = handler;
  msg.message_id = id;
  msg.data = data;
  {
    RecursiveLockScope lock(&crit_);
    delayed_.emplace_back(delay_ms, trigger, next_sequence_, msg);
    std::push_heap(delayed_.begin(), delayed_.end());
    ++next_sequence_;
  }
  socket_server_->WakeUp();
}

void MessageQueue::Clear(MessageHandler* handler, uint32_t id, std::vector<Message>* removed) {
  std::vector<Message> dropped;
  std::vector<Message>* out = removed != nullptr ? removed : &dropped;
  {
    RecursiveLockScope lock(&crit_);

    if (peek_kept_.load(std::memory_order_relaxed) && MessageMatches(peeked_, handler, id)) {
      out->push_back(peeked_);
      peek_kept_.store(false, std::memory_order_relaxed);
    }

    // Compact in place, keeping the order of what stays.
    auto kept = posted_.begin();
    for (auto it = posted_.begin(); it != posted_.end(); ++it) {
      if (MessageMatches(*it, handler, id)) {
        out->push_back(*it);
      } else {
        if (kept != it) *kept = *it;
        ++kept;
      }
    }
    posted_.erase(kept, posted_.end());

    // The heap's vector in storage order; the heap is rebuilt afterwards.
    auto kept_delayed = delayed_.begin();
    for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
      if (MessageMatches(it->message, handler, id)) {
        out->push_back(it->message);
      } else {
        if (kept_delayed != it) *kept_delayed = *it;
        ++kept_delayed;
      }
    }
    if (kept_delayed != delayed_.end()) {
      delayed_.erase(kept_delayed, delayed_.end());
      std::make_heap(delayed_.begin(), delayed_.end());
    }
  }
  DeleteData(&dropped);
}

void MessageQueue::Dispatch(Message* msg) { msg->handler->OnMessage(msg); }

void MessageQueue::ReceiveSends() {}

int MessageQueue::GetDelay() {
  RecursiveLockScope lock(&crit_);
  if (!posted_.empty()) return 0;
  if (delayed_.empty()) return kWaitForever;
  const int32_t delay = TimeUntil(delayed_.front().trigger_time);
  return delay < 0 ? 0 : delay;
}

void MessageQueue::EnsureActive() {
  if (active_.load(std::memory_order_acquire)) return;
  // Whoever comes second waits until the queue is listed, so no message
  // can sit in a queue that a handler's destruction would not search.
  std::call_once(activation_, [this] {
    MessageQueueManager::Add(this);
    active_.store(true, std::memory_order_release);
  });
}

}  // namespace lumen_base
