// The message record and the two polymorphic bases that messages are made of:
// the payload base `MessageData` and the receiver base `MessageHandler`.
//
// Threading: a Message is a plain value that may be copied and handed between
// threads; its data pointer travels with it.  Whoever consumes a message (the
// handler in OnMessage, or whoever drops it unhandled) deletes its data,
// exactly once.  OnMessage runs on the thread that dispatches the message.
#ifndef BASE_MESSAGEQUEUE_H_
#define BASE_MESSAGEQUEUE_H_

#include <stdint.h>

namespace lumen_base {

class MessageHandler;

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

// A receiver of messages.
class MessageHandler {
 public:
  virtual ~MessageHandler() = default;

  // Handles one message.  The handler becomes the owner of msg->data and
  // must delete it (or hand it on) before returning.
  virtual void OnMessage(Message* msg) = 0;
};

}  // namespace lumen_base

#endif  // BASE_MESSAGEQUEUE_H_
