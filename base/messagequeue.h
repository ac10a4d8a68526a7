// Per-thread message queues.  Other code posts small records (Message)
// addressed to a MessageHandler, at once or after a delay; the owner of the
// queue takes them out one at a time with Get and hands them to their
// handler with Dispatch.  While nothing is due, Get blocks inside the
// queue's SocketServer, which also serves socket events meanwhile; every
// post wakes that server.  A process-wide MessageQueueManager lists every
// queue that has been used, so that a handler that is destroyed can have its
// pending messages removed from all of them.
//
// Ordering, per queue: a message held by Peek comes first; then posted
// messages in the order they were posted.  Delayed messages join the end of
// the posted ones when they fall due: the earliest trigger time first, equal
// trigger times in the order they were posted.
//
// Ownership: a message owns its data.  The handler deletes it in OnMessage;
// the queue deletes it when it drops the message (Clear without a list, a
// kDisposeMessageId message, a post to a quitting queue, destruction).
//
// Threading: any thread may Post, PostAfter, PostAtTime, Clear, GetDelay and
// Quit.  Get, Peek and Dispatch belong to the thread that runs the loop.
// Handlers run without any queue lock held, and the queue never deletes
// message data while it holds a lock of its own, so a payload's destructor
// may destroy handlers, post, or clear.  Lock order: the manager's lock
// before any queue's lock; nothing takes the manager's lock while holding a
// queue's lock.
//
// A handler must not be destroyed while one of its messages is being
// dispatched on another thread: destroy it on the thread that runs the loop
// its messages go to, or when no such dispatch can be in flight.
#ifndef BASE_MESSAGEQUEUE_H_
#define BASE_MESSAGEQUEUE_H_

#include <stdint.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/recursivelock.h"
#include "base/sigslot.h"
#include "base/socketserver.h"  // SocketServer, kWaitForever

namespace lumen_base {

class MessageHandler;
class MessageQueue;
class PhysicalSocketServer;

// In Clear: matches every message id.
const uint32_t kAnyMessageId = 0xFFFFFFFFu;
// A message with this id is never returned by Get: the queue deletes its
// data and goes on.
const uint32_t kDisposeMessageId = 0xFFFFFFFEu;
// Added to Time() for a time-sensitive post, and added to the lateness that
// Get reports in its warning.
const int kMessageLatencyMs = 150;

// Base of every message payload.  Payloads are deleted through this base, so
// derived payloads release what they hold in their own destructors.
class MessageData {
 public:
  MessageData() = default;
  virtual ~MessageData() = default;
};

// One message, copied by value.  The four fields keep this order.
struct Message {
  // Receives the message; not owned.
  MessageHandler* handler = nullptr;
  // Chosen by the poster; its meaning is private to poster and handler.
  uint32_t message_id = 0;
  // Owned by the message: deleted by whoever consumes it.  May be null.
  MessageData* data = nullptr;
  // 0 when the post was not time-sensitive, else the millisecond time
  // (wrapping, see base/timeutils.h) by which it should have been handled.
  uint32_t latency_deadline = 0;
};

// True when `msg` is addressed to `handler` (null: any handler) and carries
// `id` (kAnyMessageId: any id).
bool MessageMatches(const Message& msg, const MessageHandler* handler, uint32_t id);

// A receiver of messages.
class MessageHandler {
 public:
  // Removes every message still addressed to this handler from every queue
  // that has been used, and deletes their data; none of them is delivered.
  // Senders blocked in Thread::Send on such a message are released.
  virtual ~MessageHandler();

  // Handles one message.  The handler becomes the owner of msg->data and
  // must delete it (or hand it on) before returning.
  virtual void OnMessage(Message* msg) = 0;
};

// A message waiting for its trigger time.
struct DelayedMessage {
  DelayedMessage(int delay, uint32_t trigger, uint32_t seq, const Message& msg)
      : delay_ms(delay), trigger_time(trigger), sequence(seq), message(msg) {}

  // The heap is a max-heap under this relation, so its top is the entry with
  // the smallest trigger time, and among equal times the one posted first.
  // Plain unsigned comparisons: trigger times of one queue lie close
  // together, far from the 49-day wrap.
  bool operator<(const DelayedMessage& other) const {
    return other.trigger_time < trigger_time ||
           (other.trigger_time == trigger_time && other.sequence < sequence);
  }

  int delay_ms;           // as requested; kept for information only
  uint32_t trigger_time;  // when the message falls due
  uint32_t sequence;      // the queue's insertion number
  Message message;        // latency_deadline 0
};

class MessageQueue {
 public:
  // Waits and wakes through `ss`; with null the queue makes a
  // PhysicalSocketServer of its own.  A shared `ss` (see SocketServer) is
  // kept alive by the queue; any other must outlive it.
  explicit MessageQueue(SocketServer* ss = nullptr);
  // Raises SignalQueueClosing, unregisters from the manager and deletes the
  // data of every message still pending.
  virtual ~MessageQueue();

  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // The server to wait in.  With null the queue goes back to a server of
  // its own (made now when it never had one), so it always has one.  Call
  // before other threads use the queue.
  void set_socketserver(SocketServer* ss);
  SocketServer* socketserver() const { return socket_server_; }

  // Makes Get return false once everything posted is drained, and drops
  // every later post (deleting its data) until Restart.  Any thread.
  virtual void Quit();
  virtual bool IsQuitting();
  virtual void Restart();

  // Takes the next message into *msg, waiting up to `wait_ms` (kWaitForever:
  // no limit; 0 polls once).  False on time-out, when the server cannot
  // wait, or when the queue is quitting and nothing posted is left.
  // Owner's thread only.
  virtual bool Get(Message* msg, int wait_ms = kWaitForever);
  // Like Get, but the message stays as the next one Get returns.
  virtual bool Peek(Message* msg, int wait_ms = 0);

  // Appends a message.  time_sensitive: Get logs a warning when it serves
  // the message more than kMessageLatencyMs after posting.
  virtual void Post(MessageHandler* handler, uint32_t id = 0, MessageData* data = nullptr,
                    bool time_sensitive = false);
  // Due `delay_ms` from now.
  virtual void PostAfter(int delay_ms, MessageHandler* handler, uint32_t id = 0,
                         MessageData* data = nullptr);
  // Due at the millisecond time `trigger` (base/timeutils.h); a time in the
  // past is due at once, after what is already posted.
  virtual void PostAtTime(uint32_t trigger, MessageHandler* handler, uint32_t id = 0,
                          MessageData* data = nullptr);

  // Removes the messages matching (handler, id) (see MessageMatches): the
  // peeked one, the posted ones in order, then the delayed ones.  With a
  // list they are appended to it and their data is the caller's; without,
  // their data is deleted (after the queue's lock is released).
  virtual void Clear(MessageHandler* handler, uint32_t id = kAnyMessageId,
                     std::vector<Message>* removed = nullptr);

  // Calls the message's handler.  The data is the handler's from then on.
  virtual void Dispatch(Message* msg);

  // Serves synchronous calls; nothing here (see Thread).  Get calls it at
  // the start of every pass.
  virtual void ReceiveSends();

  // Milliseconds until something is due: 0 when a message is posted,
  // kWaitForever when nothing is pending; never negative.
  virtual int GetDelay();

  // Registers the queue with the manager, once.  Returns when the queue is
  // listed, whichever thread got there first.  Takes no lock of the queue.
  void EnsureActive();

  // Raised at the start of destruction, on the destroying thread.
  sigslot::signal0<> SignalQueueClosing;

 protected:
  // Inserts a delayed message; the common part of PostAfter and PostAtTime.
  void DoDelayPost(int delay_ms, uint32_t trigger, MessageHandler* handler, uint32_t id,
                   MessageData* data);

  // True when a message was held by Peek; takes it into *msg.
  bool TakePeeked(Message* msg);

  // Set before the queue is shared.  The queue's own server is shared, so
  // that sockets made on it may outlive the queue; `server_keep_` holds a
  // given server alive when it is shared too.
  SocketServer* socket_server_;
  std::shared_ptr<PhysicalSocketServer> owned_server_;
  std::shared_ptr<SocketServer> server_keep_;

  // Written by Quit/Restart from any thread; read without the lock.
  std::atomic<bool> stopping_{false};
  // Set only by the owner (Peek), cleared by Get or by Clear from any
  // thread; changed under crit_ together with peeked_.
  std::atomic<bool> peek_kept_{false};
  Message peeked_;  // guarded by crit_

  // Set once, after the manager lists the queue.
  std::atomic<bool> active_{false};
  std::once_flag activation_;

  // Guarded by crit_.
  std::deque<Message> posted_;
  // A heap (std::push_heap and friends) under DelayedMessage::operator<.
  std::vector<DelayedMessage> delayed_;
  uint32_t next_sequence_ = 0;
  RecursiveLock crit_;
};

// The process-wide list of queues that have been used.  Created on first use
// (safely, also when threads race for it) and never destroyed, so handlers
// and queues destroyed during process exit still find it.
class MessageQueueManager {
 public:
  static MessageQueueManager* Instance();

  // Appends the queue (no duplicate check; EnsureActive adds a queue once).
  static void Add(MessageQueue* queue);
  // Erases the queue when it is listed.
  static void Remove(MessageQueue* queue);
  // Removes every message addressed to `handler` from every listed queue
  // (each queue's virtual Clear), then deletes their data once no lock is
  // held.  Does nothing when no queue was ever used.
  static void Clear(MessageHandler* handler);

 private:
  MessageQueueManager() = default;
  ~MessageQueueManager() = default;

  void AddInternal(MessageQueue* queue);
  void RemoveInternal(MessageQueue* queue);
  void ClearInternal(MessageHandler* handler);

  static std::atomic<MessageQueueManager*> instance_;

  // Guarded by crit_.  Not owned.
  std::vector<MessageQueue*> queues_;
  RecursiveLock crit_;
};

}  // namespace lumen_base

#endif  // BASE_MESSAGEQUEUE_H_
