// PhysicalSocketServer: the SocketServer in which a message queue blocks.
// While it waits it serves the readiness of file descriptors with one select
// call per pass.  Every watched descriptor belongs to a Dispatcher: the
// IPv4 sockets made by the server (SocketDispatcher), descriptors wrapped by
// FileDispatcher, and the server's own wake-up event, a Signaler on a pipe.
//
// Readiness is one-shot for sockets: each kind of event must be armed in a
// socket's requested events to be watched; delivering it disarms it, and the
// socket operations that would block (or succeed) arm it again.  File
// dispatchers keep requesting their events until their owner clears them.
//
// select holds descriptors 0 to FD_SETSIZE - 1 (1023) only.  Add refuses
// any other descriptor with an error line, so such a socket or file cannot
// be made, and Wait skips one that a dispatcher reports later.
//
// Threading: Wait runs on the owning thread only.  WakeUp, Add and Remove
// may be called from any thread.  The server's lock is held while the
// select sets are built and while events are dispatched, and released
// during select; it is recursive, so an event handler may close sockets
// (which calls Remove) or make new ones.  Sockets, files and their signals
// belong to the owning thread: signals are raised inside Wait, with the
// server's lock held.
#ifndef BASE_PHYSICALSOCKETSERVER_H_
#define BASE_PHYSICALSOCKETSERVER_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <vector>

#include "base/recursivelock.h"
#include "base/sigslot.h"
#include "base/socket.h"
#include "base/socketaddress.h"
#include "base/socketserver.h"

namespace lumen_base {

// Event bits: what a dispatcher requests, and what is delivered to it.
enum DispatcherEvent : uint32_t {
  EVENT_READ = 1,     // readable: data or a datagram can be read
  EVENT_WRITE = 2,    // writable: sending can go on
  EVENT_CONNECT = 4,  // requested while a connect is pending; delivered when it succeeded
  EVENT_CLOSE = 8,    // never requested; the peer closed, or the pending connect failed
  EVENT_ACCEPT = 16,  // a listening socket: a connection can be accepted
};

class PhysicalSocketServer;

// A descriptor watched by a PhysicalSocketServer.  All calls come from the
// server's Wait, on its thread, with the server's lock held.
class Dispatcher {
 public:
  virtual ~Dispatcher() {}
  // The event bits to watch in the next pass.
  virtual uint32_t RequestedEvents() = 0;
  // Called with the delivered events just before HandleEvent.
  virtual void BeforeEvent(uint32_t ff) = 0;
  // `err` is the failed connect's error with EVENT_CLOSE, else 0.
  virtual void HandleEvent(uint32_t ff, int err) = 0;
  virtual int Descriptor() = 0;
  // Asked when the descriptor is readable and no accept is requested: true
  // turns the readiness into EVENT_CLOSE.
  virtual bool IsPeerClosed() = 0;
};

// An event on a pipe: Raise makes the read end readable, and the server's
// next pass drains it before the event is handled.  The pipe holds at most
// one byte however often Raise is called.
//
// Construction makes the pipe and registers with the server; when the pipe
// cannot be made ("pipe failed" is logged) or select could not watch it, the
// dispatcher stays unregistered and IsUsable is false: nothing would ever
// make it readable, so a server must not wait on it.
//
// Raise may be called from any thread, concurrently with other Raise calls
// and with the draining in BeforeEvent.  `signaled_` is set by the one Raise
// that writes the byte and cleared after the byte is read; a Raise that
// lands between the read and the clear is merged into the wake-up being
// handled, which is harmless: the woken loop looks at its work after the
// event, and the raiser published that work before raising.  No lock is
// held across the system calls, so a woken loop never waits for its waker.
class EventDispatcher : public Dispatcher {
 public:
  explicit EventDispatcher(PhysicalSocketServer* ss);
  // Unregisters and closes the pipe.
  ~EventDispatcher() override;

  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

  uint32_t RequestedEvents() override;  // always EVENT_READ
  void BeforeEvent(uint32_t ff) override;
  void HandleEvent(uint32_t ff, int err) override;  // nothing
  int Descriptor() override;                        // the read end, -1 without a pipe
  bool IsPeerClosed() override;                     // false
  virtual void Raise();

  // The pipe exists and the server watches it.
  bool IsUsable() const { return registered_; }

 private:
  // Set in the constructor, never changed.
  PhysicalSocketServer* const server_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  bool registered_ = false;
  // A byte is in the pipe, or is being written by the Raise that set it.
  std::atomic<bool> signaled_{false};
};

// The server's wake-up event: handling it clears the flag that keeps the
// server's Wait going.
class Signaler : public EventDispatcher {
 public:
  // `waiting_flag` may be null.
  Signaler(PhysicalSocketServer* ss, bool* waiting_flag);
  void HandleEvent(uint32_t ff, int err) override;

 private:
  bool* const waiting_flag_;
};

// A descriptor whose readiness is reported by signals, on the server's
// thread.
class AsyncFile {
 public:
  virtual ~AsyncFile() {}
  virtual bool IsReadable() = 0;
  virtual void SetReadable(bool value) = 0;
  virtual bool IsWritable() = 0;
  virtual void SetWritable(bool value) = 0;

  sigslot::signal1<AsyncFile*> SignalReadable;
  sigslot::signal1<AsyncFile*> SignalWritable;
  sigslot::signal2<AsyncFile*, int> SignalClosed;
};

// Wraps a descriptor it does not own.  Construction registers it with the
// server (unless select cannot watch the descriptor: see IsRegistered), asks
// for readability only, and makes the descriptor non-blocking.  The flags
// are level-triggered: while readability is asked for, every pass in which
// the descriptor is readable raises SignalReadable.  A slot may delete the
// file; no signal of that event follows.
class FileDispatcher : public Dispatcher, public AsyncFile {
 public:
  FileDispatcher(int fd, PhysicalSocketServer* ss);
  // Unregisters; the descriptor stays open.
  ~FileDispatcher() override;

  FileDispatcher(const FileDispatcher&) = delete;
  FileDispatcher& operator=(const FileDispatcher&) = delete;

  uint32_t RequestedEvents() override;  // EVENT_READ and/or EVENT_WRITE, as set
  void BeforeEvent(uint32_t ff) override;
  void HandleEvent(uint32_t ff, int err) override;
  int Descriptor() override;
  bool IsPeerClosed() override;  // false

  bool IsReadable() override;
  void SetReadable(bool value) override;
  bool IsWritable() override;
  void SetWritable(bool value) override;

  // False when the server refused the descriptor; the file then never
  // signals.
  bool IsRegistered() const { return registered_; }

 private:
  enum { kFileReadable = 1, kFileWritable = 2 };

  // Set in the constructor, never changed.  The keep holds a shared server
  // alive as long as the file.
  PhysicalSocketServer* const server_;
  const std::shared_ptr<SocketServer> server_keep_;
  const int fd_;
  bool registered_ = false;
  // Owner's thread only.
  uint32_t file_flags_;
  // Points at a HandleEvent's flag while one runs; the destructor sets it.
  bool* destroyed_ = nullptr;
};

class PhysicalSocketServer : public SocketServer {
 public:
  PhysicalSocketServer();
  // Deletes the wake-up signaler.  Other dispatchers must be gone already;
  // they are not touched.  (A shared server is not destroyed before its
  // sockets and files: they keep it alive.)
  ~PhysicalSocketServer() override;

  PhysicalSocketServer(const PhysicalSocketServer&) = delete;
  PhysicalSocketServer& operator=(const PhysicalSocketServer&) = delete;

  // A blocking socket of `type`, not registered; null when socket() fails.
  Socket* CreateSocket(int type) override;
  // A registered, non-blocking SocketDispatcher; null when socket() fails or
  // select could not watch the new descriptor.
  AsyncSocket* CreateAsyncSocket(int type) override;
  // Takes ownership of the connected descriptor `s` and returns a registered,
  // non-blocking socket for it.  Null, with `s` closed, when select could
  // not watch it.
  AsyncSocket* WrapSocket(int s);
  // A FileDispatcher for `fd` (not owned), owned by the caller; null when
  // select could not watch `fd`.
  AsyncFile* CreateFile(int fd);

  // Serves events until `wait_ms` has passed (kWaitForever: no limit; other
  // negative values count as 0) or the wake-up event arrives; true then.
  // With process_io false only the wake-up is watched.  A wait of 0 polls
  // once and serves what is ready.  A finite wait ends at its time even
  // while descriptors stay ready.  A signal that interrupts select does not
  // end the wait.  False when select fails ("select" is logged with errno)
  // or the server has no usable wake-up pipe (nothing could end an endless
  // wait).
  //
  // Within one pass dispatchers are served in registration order.  One
  // that a handler removes shifts the list: the dispatcher that moves into
  // its place is served in the next pass.
  bool Wait(int wait_ms, bool process_io) override;
  void WakeUp() override;

  // Registers `dispatcher` (once, however often it is added) and returns
  // true.  Refuses, with an error line, a dispatcher whose descriptor select
  // cannot hold (negative, or FD_SETSIZE and up); returns false then.
  bool Add(Dispatcher* dispatcher);
  // Unregisters `dispatcher`; one that is not registered is ignored.
  void Remove(Dispatcher* dispatcher);

 private:
  // Guarded by crit_.  Not owned, except wake_signaler_.  Registration order.
  std::vector<Dispatcher*> dispatchers_;
  // Set in the constructor, never changed.
  Signaler* wake_signaler_ = nullptr;
  RecursiveLock crit_;
  // Owning thread only: true while Wait should keep going; the signaler
  // clears it.
  bool waiting_ = false;
};

// A socket on a POSIX IPv4 descriptor.  On its own (from CreateSocket) it is
// blocking and not watched; its SocketDispatcher subclass is what the server
// dispatches.  Errors are errno values; would-block results (EWOULDBLOCK,
// EAGAIN, EINPROGRESS) arm the matching event.
class PhysicalSocket : public AsyncSocket {
 public:
  // `s` (owned) may be -1.  A given descriptor counts as connected, with
  // reading and writing armed, and as a datagram socket when its type says
  // so.
  PhysicalSocket(PhysicalSocketServer* ss, int s = -1);
  // Closes the descriptor.
  ~PhysicalSocket() override;

  PhysicalSocket(const PhysicalSocket&) = delete;
  PhysicalSocket& operator=(const PhysicalSocket&) = delete;

  // Closes any present descriptor (through the virtual Close) and makes a
  // new one of `type`; datagram sockets start with reading and writing
  // armed.  False when socket() fails.
  virtual bool CreateDescriptor(int type);

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetPeerAddress() const override;
  int Bind(const SocketAddress& addr) override;
  // Makes a stream descriptor first when there is none and resolves an
  // unresolved address (failure: -1, the resolver's code in LastError, or
  // EADDRNOTAVAIL for a name such as "0.0.0.0" that fails without one).
  // Arms reading and writing, and, when in progress, EVENT_CONNECT.
  int Connect(const SocketAddress& addr) override;
  // Never raises SIGPIPE: a send to a closed peer fails with EPIPE.
  int Send(const void* pv, size_t cb) override;
  int SendTo(const void* pv, size_t cb, const SocketAddress& addr) override;
  // A stream whose peer closed gives -1 with EWOULDBLOCK and does not
  // re-arm reading.  A datagram of length 0 gives 0.
  int Recv(void* pv, size_t cb) override;
  int RecvFrom(void* pv, size_t cb, SocketAddress* paddr) override;
  // Arms EVENT_ACCEPT and counts as connecting.
  int Listen(int backlog) override;
  // Re-arms EVENT_ACCEPT (also when accept fails, so that later connections
  // are announced) and returns the connection as a registered, non-blocking
  // socket.  Null with LastError set when accept fails, or with EMFILE when
  // select could not watch the new descriptor (the connection is then
  // closed).
  AsyncSocket* Accept(SocketAddress* paddr) override;
  int Close() override;
  int LastError() const override;
  void SetLastError(int error) override;
  lumen_base::ConnectionState ConnectionState() const override;
  // IP_MTU of the connected socket, kept below 65536 (the loopback reports
  // 65536, which a 16-bit value cannot hold): 65535 then.
  int QueryMtu(uint16_t* mtu) override;
  int GetOption(Option opt, int* value) override;
  int SetOption(Option opt, int value) override;

 protected:
  // Set in the constructor, never changed.  The keep holds a shared server
  // (a queue's own) alive as long as the socket, which may outlive the
  // queue and the thread that made it.
  PhysicalSocketServer* const server_;
  const std::shared_ptr<SocketServer> server_keep_;
  // The owner's thread only.
  int fd_;
  uint8_t enabled_events_;
  bool is_udp_;
  int last_error_;
  lumen_base::ConnectionState conn_state_;
};

// A PhysicalSocket that its server dispatches: registered from creation
// until Close, non-blocking.  A slot may close or delete the socket; no
// further signal of that event follows.  A failed connect is reported once,
// by SignalClosed with its error; the socket then watches nothing and counts
// as closed.  A stream whose peer closed raises SignalClosed once, with 0,
// or with the error when the peer reset the connection (ECONNRESET); it then
// stops watching for reading.
class SocketDispatcher : public Dispatcher, public PhysicalSocket {
 public:
  explicit SocketDispatcher(PhysicalSocketServer* ss);
  // Takes ownership of `s`.
  SocketDispatcher(int s, PhysicalSocketServer* ss);
  ~SocketDispatcher() override;

  // Registers with the server and makes the descriptor non-blocking.  False
  // (LastError EMFILE, or EBADF without a descriptor) when the server
  // refused the descriptor.
  bool Initialize();

  bool CreateDescriptor(int type) override;
  // Unregisters, then closes.
  int Close() override;

  uint32_t RequestedEvents() override;
  void BeforeEvent(uint32_t ff) override;
  void HandleEvent(uint32_t ff, int err) override;
  int Descriptor() override;
  // A stream whose peer closed, or reset the connection (its error then goes
  // with SignalClosed); never for datagram sockets, where an empty datagram
  // is data.
  bool IsPeerClosed() override;

 private:
  // The error a peek found in place of data (ECONNRESET), for SignalClosed.
  int peer_error_ = 0;
  // Points at a HandleEvent's flag while one runs; the destructor sets it.
  bool* destroyed_ = nullptr;
};

}  // namespace lumen_base

#endif  // BASE_PHYSICALSOCKETSERVER_H_
