// The library's socket interfaces: Socket, a POSIX-like IPv4 socket whose
// operations return the system call's result (-1 on failure with the error
// kept in LastError), and AsyncSocket, which adds readiness signals.
//
// Threading: a socket is used on one thread at a time; an AsyncSocket's
// signals are raised on the thread whose socket server dispatches it.
#ifndef BASE_SOCKET_H_
#define BASE_SOCKET_H_

#include <stddef.h>
#include <stdint.h>

#include "base/sigslot.h"
#include "base/socketaddress.h"

namespace lumen_base {

enum ConnectionState {
  STATE_CLOSED,
  STATE_CONNECTING,  // a connect in progress, or listening
  STATE_CONNECTED,
};

class Socket {
 public:
  enum Option {
    OPT_DONTFRAGMENT,  // not supported: Get/SetOption log a warning and fail
    OPT_RECVBUF,       // SO_RCVBUF
    OPT_SENDBUF,       // SO_SNDBUF
    OPT_NODELAY,       // TCP_NODELAY
  };

  virtual ~Socket() {}

  // The bound address; empty (nil) when it cannot be read.
  virtual SocketAddress GetLocalAddress() const = 0;
  // The connected peer; empty (nil) when there is none.
  virtual SocketAddress GetPeerAddress() const = 0;
  virtual int Bind(const SocketAddress& addr) = 0;
  virtual int Connect(const SocketAddress& addr) = 0;
  virtual int Send(const void* pv, size_t cb) = 0;
  virtual int SendTo(const void* pv, size_t cb, const SocketAddress& addr) = 0;
  virtual int Recv(void* pv, size_t cb) = 0;
  // Fills *paddr (when not null) with the sender.
  virtual int RecvFrom(void* pv, size_t cb, SocketAddress* paddr) = 0;
  virtual int Listen(int backlog) = 0;
  // A new connected socket owned by the caller, or null.  Fills *paddr
  // (when not null) with the peer.
  virtual Socket* Accept(SocketAddress* paddr) = 0;
  // 0 when there is nothing to close.
  virtual int Close() = 0;
  // The errno of the last operation, or a value the socket set itself.
  virtual int LastError() const = 0;
  virtual void SetLastError(int error) = 0;
  virtual lumen_base::ConnectionState ConnectionState() const = 0;
  // The path MTU towards the peer in *mtu; -1 with ENOTCONN without a peer.
  virtual int QueryMtu(uint16_t* mtu) = 0;
  virtual int GetOption(Option opt, int* value) = 0;
  virtual int SetOption(Option opt, int value) = 0;
};

// A socket whose readiness is reported by signals.  Each kind of readiness
// is reported once, then again only after an operation that would block
// (or, for reading, succeeded) re-arms it.
class AsyncSocket : public Socket {
 public:
  // Data (or a datagram, or a connection to accept) is there.
  sigslot::signal1<AsyncSocket*> SignalReadable;
  // Sending can go on after a send that would have blocked.
  sigslot::signal1<AsyncSocket*> SignalWritable;
  // A connect in progress completed.
  sigslot::signal1<AsyncSocket*> SignalConnected;
  // The peer closed, or a connect failed; the error is the connect's (0 for
  // a peer that closed).
  sigslot::signal2<AsyncSocket*, int> SignalClosed;
};

}  // namespace lumen_base

#endif  // BASE_SOCKET_H_
