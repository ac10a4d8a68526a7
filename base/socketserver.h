// The waiting-and-waking interface of a message queue, and the factory of
// the sockets that its server dispatches.  A queue blocks in Wait while
// nothing is due; any thread ends that wait with WakeUp.
//
// Threading: Wait runs on the thread that owns the server; WakeUp may be
// called from any thread.  Sockets from the factory are used on the owning
// thread.
//
// Lifetime: a server made with std::make_shared (every queue's own server
// is) is kept alive by the queues and sockets that use it, so it ends with
// the last of them; see shared_from_this below.  Any other server must
// outlive everything made on it.
#ifndef BASE_SOCKETSERVER_H_
#define BASE_SOCKETSERVER_H_

#include <memory>

namespace lumen_base {

class AsyncSocket;
class Socket;

// A wait time meaning "no limit", for Wait and for the message queue.
const int kWaitForever = -1;

class SocketFactory {
 public:
  virtual ~SocketFactory() {}

  // A new blocking socket of `type` (SOCK_STREAM or SOCK_DGRAM), owned by
  // the caller; null when no socket can be made.
  virtual Socket* CreateSocket(int type) = 0;
  // A new non-blocking socket of `type` whose readiness the server reports
  // through its signals, owned by the caller; null when none can be made.
  virtual AsyncSocket* CreateAsyncSocket(int type) = 0;
};

class SocketServer : public SocketFactory, public std::enable_shared_from_this<SocketServer> {
 public:
  // Shared ownership of `server` when it is owned by a shared_ptr, else
  // empty (the caller then keeps it alive).  Null gives empty.
  static std::shared_ptr<SocketServer> KeepAlive(SocketServer* server) {
    return server != nullptr ? server->weak_from_this().lock() : nullptr;
  }

  // Blocks for up to `wait_ms` milliseconds (kWaitForever: no limit),
  // serving socket events meanwhile when `process_io` is true and only the
  // wake-up otherwise.  True when the time ran out or WakeUp was called,
  // false when the server cannot wait.
  virtual bool Wait(int wait_ms, bool process_io) = 0;
  // Makes the running Wait return, or the next one when none runs.  Any
  // thread.
  virtual void WakeUp() = 0;
};

}  // namespace lumen_base

#endif  // BASE_SOCKETSERVER_H_
