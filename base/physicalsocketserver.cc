#include "base/physicalsocketserver.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/logging.h"
#include "base/timeutils.h"

namespace lumen_base {

namespace {

// Whether select's fixed-size sets can hold `fd`.  FD_SET on any other value
// writes outside the set.
bool IsSelectable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

bool IsBlockingError(int error) {
  return error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS;
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The time from `now` until `stop`, which has not passed yet.
timeval Remaining(const timespec& stop, const timespec& now) {
  timeval left = {0, 0};
  time_t sec = stop.tv_sec - now.tv_sec;
  long nsec = stop.tv_nsec - now.tv_nsec;
  if (nsec < 0) {
    sec -= 1;
    nsec += 1000000000L;
  }
  left.tv_sec = sec;
  // Round up so that a remainder below one microsecond is not a busy poll.
  left.tv_usec = static_cast<suseconds_t>((nsec + 999) / 1000);
  if (left.tv_usec >= 1000000) {
    left.tv_sec += 1;
    left.tv_usec -= 1000000;
  }
  return left;
}

// The outcome of a pending connect whose socket became writable:
// EVENT_CONNECT, or EVENT_CLOSE with the connect's error in *error (0 when
// the error cannot be read).
uint32_t ConnectOutcome(int fd, int* error) {
  int pending = 0;
  socklen_t length = sizeof(pending);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) return EVENT_CLOSE;
  if (pending != 0) {
    *error = pending;
    return EVENT_CLOSE;
  }
  return EVENT_CONNECT;
}

// The setsockopt level and name of `opt`; false for options this system
// does not map.
bool TranslateOption(Socket::Option opt, int* level, int* name) {
  switch (opt) {
    case Socket::OPT_DONTFRAGMENT:
      LOG(LS_WARNING) << "Socket::OPT_DONTFRAGMENT not supported.";
      return false;
    case Socket::OPT_RECVBUF:
      *level = SOL_SOCKET;
      *name = SO_RCVBUF;
      return true;
    case Socket::OPT_SENDBUF:
      *level = SOL_SOCKET;
      *name = SO_SNDBUF;
      return true;
    case Socket::OPT_NODELAY:
      *level = IPPROTO_TCP;
      *name = TCP_NODELAY;
      return true;
  }
  return false;
}

// A process started with standard input (or output) closed hands out 0 to
// 2 first; a wake-up pipe there would be read as the program's input. Moves
// `fd` to 3 or above; keeps it where it is when that fails.
int AboveStandardDescriptors(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return fd;
  close(fd);
  return moved;
}

}  // namespace

// ---------------------------------------------------------------------------
// EventDispatcher, Signaler

EventDispatcher::EventDispatcher(PhysicalSocketServer* ss) : server_(ss) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    LOG(LS_ERROR) << "pipe failed";
    // Registering descriptors that do not exist would make every select
    // fail; stay out instead and let the server see IsUsable() false.
    return;
  }
  read_fd_ = AboveStandardDescriptors(fds[0]);
  write_fd_ = AboveStandardDescriptors(fds[1]);
  registered_ = server_->Add(this);
}

EventDispatcher::~EventDispatcher() {
  server_->Remove(this);
  if (read_fd_ != -1) close(read_fd_);
  if (write_fd_ != -1) close(write_fd_);
}

uint32_t EventDispatcher::RequestedEvents() { return EVENT_READ; }

void EventDispatcher::BeforeEvent(uint32_t /*ff*/) {
  if (!signaled_.load()) return;
  // Reset before handling, so that a Raise from now on reaches the next
  // select.
  char buffer[4];
  ssize_t ignored = read(read_fd_, buffer, sizeof(buffer));
  (void)ignored;
  signaled_.store(false);
}

void EventDispatcher::HandleEvent(uint32_t /*ff*/, int /*err*/) {}

int EventDispatcher::Descriptor() { return read_fd_; }

bool EventDispatcher::IsPeerClosed() { return false; }

void EventDispatcher::Raise() {
  if (signaled_.exchange(true)) return;  // a byte is there or on its way
  const unsigned char byte = 0;
  if (write(write_fd_, &byte, 1) != 1) signaled_.store(false);
}

Signaler::Signaler(PhysicalSocketServer* ss, bool* waiting_flag)
    : EventDispatcher(ss), waiting_flag_(waiting_flag) {}

void Signaler::HandleEvent(uint32_t /*ff*/, int /*err*/) {
  if (waiting_flag_ != nullptr) *waiting_flag_ = false;
}

// ---------------------------------------------------------------------------
// FileDispatcher

FileDispatcher::FileDispatcher(int fd, PhysicalSocketServer* ss)
    : server_(ss), server_keep_(SocketServer::KeepAlive(ss)), fd_(fd), file_flags_(kFileReadable) {
  registered_ = server_->Add(this);
  if (registered_) SetNonBlocking(fd_);
}

FileDispatcher::~FileDispatcher() {
  if (destroyed_ != nullptr) *destroyed_ = true;
  server_->Remove(this);
}

uint32_t FileDispatcher::RequestedEvents() { return file_flags_; }

void FileDispatcher::BeforeEvent(uint32_t /*ff*/) {}

void FileDispatcher::HandleEvent(uint32_t ff, int err) {
  // A slot may delete this file; after that nothing of it may be touched.
  bool destroyed = false;
  bool* outer = destroyed_;
  destroyed_ = &destroyed;
  const auto deleted = [&] {
    if (!destroyed) return false;
    if (outer != nullptr) *outer = true;
    return true;
  };
  if (ff & EVENT_READ) {
    SignalReadable(this);
    if (deleted()) return;
  }
  if (ff & EVENT_WRITE) {
    SignalWritable(this);
    if (deleted()) return;
  }
  if (ff & EVENT_CLOSE) {
    SignalClosed(this, err);
    if (deleted()) return;
  }
  destroyed_ = outer;
}

int FileDispatcher::Descriptor() { return fd_; }

bool FileDispatcher::IsPeerClosed() { return false; }

bool FileDispatcher::IsReadable() { return (file_flags_ & kFileReadable) != 0; }

void FileDispatcher::SetReadable(bool value) {
  file_flags_ = value ? (file_flags_ | kFileReadable) : (file_flags_ & ~kFileReadable);
}

bool FileDispatcher::IsWritable() { return (file_flags_ & kFileWritable) != 0; }

void FileDispatcher::SetWritable(bool value) {
  file_flags_ = value ? (file_flags_ | kFileWritable) : (file_flags_ & ~kFileWritable);
}

// ---------------------------------------------------------------------------
// PhysicalSocketServer

PhysicalSocketServer::PhysicalSocketServer() { wake_signaler_ = new Signaler(this, &waiting_); }

PhysicalSocketServer::~PhysicalSocketServer() { delete wake_signaler_; }

Socket* PhysicalSocketServer::CreateSocket(int type) {
  PhysicalSocket* socket = new PhysicalSocket(this);
  if (!socket->CreateDescriptor(type)) {
    delete socket;
    return nullptr;
  }
  return socket;
}

AsyncSocket* PhysicalSocketServer::CreateAsyncSocket(int type) {
  SocketDispatcher* dispatcher = new SocketDispatcher(this);
  if (!dispatcher->CreateDescriptor(type)) {
    delete dispatcher;
    return nullptr;
  }
  return dispatcher;
}

AsyncSocket* PhysicalSocketServer::WrapSocket(int s) {
  SocketDispatcher* dispatcher = new SocketDispatcher(s, this);
  if (!dispatcher->Initialize()) {
    delete dispatcher;
    return nullptr;
  }
  return dispatcher;
}

AsyncFile* PhysicalSocketServer::CreateFile(int fd) {
  FileDispatcher* file = new FileDispatcher(fd, this);
  if (!file->IsRegistered()) {
    delete file;
    return nullptr;
  }
  return file;
}

bool PhysicalSocketServer::Add(Dispatcher* dispatcher) {
  const int fd = dispatcher->Descriptor();
  if (!IsSelectable(fd)) {
    LOG_F(LS_ERROR) << "descriptor " << fd << " is outside 0.." << FD_SETSIZE - 1
                    << ", which select can watch; refused";
    return false;
  }
  RecursiveLockScope lock(&crit_);
  if (std::find(dispatchers_.begin(), dispatchers_.end(), dispatcher) == dispatchers_.end()) {
    dispatchers_.push_back(dispatcher);
  }
  return true;
}

void PhysicalSocketServer::Remove(Dispatcher* dispatcher) {
  RecursiveLockScope lock(&crit_);
  auto found = std::find(dispatchers_.begin(), dispatchers_.end(), dispatcher);
  if (found != dispatchers_.end()) dispatchers_.erase(found);
}

void PhysicalSocketServer::WakeUp() { wake_signaler_->Raise(); }

bool PhysicalSocketServer::Wait(int wait_ms, bool process_io) {
  if (!wake_signaler_->IsUsable()) {
    LOG_F(LS_ERROR) << "no usable wake-up pipe; cannot wait";
    return false;
  }
  const bool forever = wait_ms == kWaitForever;
  if (wait_ms < 0) wait_ms = 0;
  timeval timeout = {wait_ms / 1000, static_cast<suseconds_t>((wait_ms % 1000) * 1000)};
  timeval* timeout_ptr = forever ? nullptr : &timeout;
  const timespec stop = MonotonicDeadline(wait_ms);

  fd_set read_fds;
  fd_set write_fds;
  waiting_ = true;
  while (waiting_) {
    // Cleared every pass: a dispatcher removed during the last dispatch left
    // its bits behind, and its descriptor may be closed by now.
    FD_ZERO(&read_fds);
    FD_ZERO(&write_fds);
    int max_fd = -1;
    {
      RecursiveLockScope lock(&crit_);
      for (Dispatcher* dispatcher : dispatchers_) {
        if (!process_io && dispatcher != wake_signaler_) continue;
        const int fd = dispatcher->Descriptor();
        if (!IsSelectable(fd)) {
          LOG_F(LS_ERROR) << "skipping descriptor " << fd << ", which select cannot watch";
          continue;
        }
        max_fd = std::max(max_fd, fd);
        const uint32_t requested = dispatcher->RequestedEvents();
        if (requested & (EVENT_READ | EVENT_ACCEPT)) FD_SET(fd, &read_fds);
        if (requested & (EVENT_WRITE | EVENT_CONNECT)) FD_SET(fd, &write_fds);
      }
    }

    const int n = select(max_fd + 1, &read_fds, &write_fds, nullptr, timeout_ptr);
    if (n < 0) {
      // A signal handler that ran is no reason to stop serving; any other
      // failure is.
      if (errno != EINTR) {
        LOG_ERRNO(LS_ERROR) << "select";
        return false;
      }
    } else if (n == 0) {
      return true;
    } else {
      RecursiveLockScope lock(&crit_);
      // By index, re-reading the size: a handler may remove dispatchers.
      for (size_t i = 0; i < dispatchers_.size(); ++i) {
        Dispatcher* dispatcher = dispatchers_[i];
        const int fd = dispatcher->Descriptor();
        if (!IsSelectable(fd)) continue;
        const bool readable = FD_ISSET(fd, &read_fds);
        const bool writable = FD_ISSET(fd, &write_fds);
        if (!readable && !writable) continue;
        FD_CLR(fd, &read_fds);
        FD_CLR(fd, &write_fds);
        const uint32_t requested = dispatcher->RequestedEvents();
        uint32_t ff = 0;
        int error = 0;
        // The connect's outcome is read before anything reads the socket:
        // a read, even a peek, consumes the pending error here, and the
        // failed connect would then pass for a success.
        if (writable) {
          ff |= (requested & EVENT_CONNECT) ? ConnectOutcome(fd, &error) : EVENT_WRITE;
        }
        if (readable) {
          if (requested & EVENT_ACCEPT) {
            ff |= EVENT_ACCEPT;
          } else if ((ff & EVENT_CLOSE) == 0) {  // a failed connect has nothing to read
            ff |= dispatcher->IsPeerClosed() ? EVENT_CLOSE : EVENT_READ;
          }
        }
        dispatcher->BeforeEvent(ff);
        dispatcher->HandleEvent(ff, error);
      }
    }

    if (!forever) {
      // At the deadline the wait is over, even while descriptors stay ready
      // (a file dispatcher reports readiness in every pass): what is left
      // is served by the next Wait.
      const timespec now = MonotonicNow();
      if (MonotonicHasPassed(stop, now)) return true;
      timeout = Remaining(stop, now);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// PhysicalSocket

PhysicalSocket::PhysicalSocket(PhysicalSocketServer* ss, int s)
    : server_(ss),
      server_keep_(SocketServer::KeepAlive(ss)),
      fd_(s),
      enabled_events_(0),
      is_udp_(false),
      last_error_(0),
      conn_state_(s == -1 ? STATE_CLOSED : STATE_CONNECTED) {
  if (fd_ == -1) return;
  enabled_events_ = EVENT_READ | EVENT_WRITE;
  int type = SOCK_STREAM;
  socklen_t length = sizeof(type);
  if (getsockopt(fd_, SOL_SOCKET, SO_TYPE, &type, &length) == 0) is_udp_ = type == SOCK_DGRAM;
}

PhysicalSocket::~PhysicalSocket() { Close(); }

bool PhysicalSocket::CreateDescriptor(int type) {
  Close();
  fd_ = socket(AF_INET, type, 0);
  is_udp_ = type == SOCK_DGRAM;
  last_error_ = errno;
  if (is_udp_) enabled_events_ = EVENT_READ | EVENT_WRITE;
  return fd_ != -1;
}

SocketAddress PhysicalSocket::GetLocalAddress() const {
  sockaddr_in saddr;
  socklen_t length = sizeof(saddr);
  SocketAddress address;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&saddr), &length) < 0) {
    LOG_F(LS_ERROR) << "unable to retrieve local address for socket " << fd_;
    return address;
  }
  address.FromSockAddr(saddr);
  return address;
}

SocketAddress PhysicalSocket::GetPeerAddress() const {
  sockaddr_in saddr;
  socklen_t length = sizeof(saddr);
  SocketAddress address;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&saddr), &length) < 0) return address;
  address.FromSockAddr(saddr);
  return address;
}

int PhysicalSocket::Bind(const SocketAddress& addr) {
  sockaddr_in saddr;
  addr.ToSockAddr(&saddr);
  const int result = bind(fd_, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr));
  last_error_ = errno;
  return result;
}

int PhysicalSocket::Connect(const SocketAddress& addr) {
  if (fd_ == -1 && !CreateDescriptor(SOCK_STREAM)) return -1;
  SocketAddress target(addr);
  if (target.IsUnresolvedIP()) {
    LOG(LS_VERBOSE) << "Resolving addr in PhysicalSocket::Connect";
    int error = 0;
    if (!target.ResolveIP(false, true, &error)) {
      // A name such as "0.0.0.0" fails without a resolver code; -1 must
      // still come with an error.
      last_error_ = error != 0 ? error : EADDRNOTAVAIL;
      return -1;
    }
  }
  sockaddr_in saddr;
  target.ToSockAddr(&saddr);
  const int result = connect(fd_, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr));
  last_error_ = errno;
  if (result == 0) {
    conn_state_ = STATE_CONNECTED;
  } else if (IsBlockingError(last_error_)) {
    conn_state_ = STATE_CONNECTING;
    enabled_events_ |= EVENT_CONNECT;
  }
  enabled_events_ |= EVENT_READ | EVENT_WRITE;
  return result;
}

int PhysicalSocket::Send(const void* pv, size_t cb) {
  const int sent = static_cast<int>(send(fd_, pv, cb, MSG_NOSIGNAL));
  last_error_ = errno;
  if (sent < 0 && IsBlockingError(last_error_)) enabled_events_ |= EVENT_WRITE;
  return sent;
}

int PhysicalSocket::SendTo(const void* pv, size_t cb, const SocketAddress& addr) {
  sockaddr_in saddr;
  addr.ToSockAddr(&saddr);
  const int sent = static_cast<int>(
      sendto(fd_, pv, cb, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr)));
  last_error_ = errno;
  if (sent < 0 && IsBlockingError(last_error_)) enabled_events_ |= EVENT_WRITE;
  return sent;
}

int PhysicalSocket::Recv(void* pv, size_t cb) {
  const int received = static_cast<int>(recv(fd_, pv, cb, 0));
  if (received == 0 && cb != 0 && !is_udp_) {
    // The peer closed the stream.  Reading is not re-armed: the close is
    // what the next pass reports.
    last_error_ = EWOULDBLOCK;
    return -1;
  }
  last_error_ = errno;
  const bool success = received >= 0 || IsBlockingError(last_error_);
  if (is_udp_ || success) enabled_events_ |= EVENT_READ;
  if (!success) LOG_F(LS_VERBOSE) << "Error = " << last_error_;
  return received;
}

int PhysicalSocket::RecvFrom(void* pv, size_t cb, SocketAddress* paddr) {
  sockaddr_in saddr;
  socklen_t length = sizeof(saddr);
  const int received =
      static_cast<int>(recvfrom(fd_, pv, cb, 0, reinterpret_cast<sockaddr*>(&saddr), &length));
  last_error_ = errno;
  if (received >= 0 && paddr != nullptr) paddr->FromSockAddr(saddr);
  const bool success = received >= 0 || IsBlockingError(last_error_);
  if (is_udp_ || success) enabled_events_ |= EVENT_READ;
  if (!success) LOG_F(LS_VERBOSE) << "Error = " << last_error_;
  return received;
}

int PhysicalSocket::Listen(int backlog) {
  const int result = listen(fd_, backlog);
  last_error_ = errno;
  if (result == 0) {
    enabled_events_ |= EVENT_ACCEPT;
    conn_state_ = STATE_CONNECTING;
  }
  return result;
}

AsyncSocket* PhysicalSocket::Accept(SocketAddress* paddr) {
  sockaddr_in saddr;
  socklen_t length = sizeof(saddr);
  const int s = accept(fd_, reinterpret_cast<sockaddr*>(&saddr), &length);
  last_error_ = errno;
  // Armed again whatever happened: after a failure (no descriptor left, a
  // connection aborted in the backlog) later connections must still be
  // announced, or they would wait in the backlog for good.
  enabled_events_ |= EVENT_ACCEPT;
  if (s == -1) return nullptr;
  if (paddr != nullptr) paddr->FromSockAddr(saddr);
  AsyncSocket* socket = server_->WrapSocket(s);
  if (socket == nullptr) last_error_ = EMFILE;
  return socket;
}

int PhysicalSocket::Close() {
  if (fd_ == -1) return 0;
  const int result = close(fd_);
  last_error_ = errno;
  fd_ = -1;
  conn_state_ = STATE_CLOSED;
  enabled_events_ = 0;
  return result;
}

int PhysicalSocket::LastError() const { return last_error_; }

void PhysicalSocket::SetLastError(int error) { last_error_ = error; }

ConnectionState PhysicalSocket::ConnectionState() const { return conn_state_; }

int PhysicalSocket::QueryMtu(uint16_t* mtu) {
  if (GetPeerAddress().IsAnyIP()) {
    last_error_ = ENOTCONN;
    return -1;
  }
  int value = 0;
  socklen_t length = sizeof(value);
  if (getsockopt(fd_, IPPROTO_IP, IP_MTU, &value, &length) < 0) {
    last_error_ = errno;
    return -1;
  }
  if (mtu != nullptr) *mtu = static_cast<uint16_t>(std::min(value, 0xFFFF));
  return 0;
}

int PhysicalSocket::GetOption(Option opt, int* value) {
  int level = 0;
  int name = 0;
  if (!TranslateOption(opt, &level, &name)) return -1;
  socklen_t length = sizeof(*value);
  return getsockopt(fd_, level, name, value, &length);
}

int PhysicalSocket::SetOption(Option opt, int value) {
  int level = 0;
  int name = 0;
  if (!TranslateOption(opt, &level, &name)) return -1;
  return setsockopt(fd_, level, name, &value, sizeof(value));
}

// ---------------------------------------------------------------------------
// SocketDispatcher

SocketDispatcher::SocketDispatcher(PhysicalSocketServer* ss) : PhysicalSocket(ss) {}

SocketDispatcher::SocketDispatcher(int s, PhysicalSocketServer* ss) : PhysicalSocket(ss, s) {}

SocketDispatcher::~SocketDispatcher() {
  if (destroyed_ != nullptr) *destroyed_ = true;
  Close();
}

bool SocketDispatcher::Initialize() {
  if (!server_->Add(this)) {
    last_error_ = fd_ < 0 ? EBADF : EMFILE;
    return false;
  }
  SetNonBlocking(fd_);
  return true;
}

bool SocketDispatcher::CreateDescriptor(int type) {
  return PhysicalSocket::CreateDescriptor(type) && Initialize();
}

int SocketDispatcher::Close() {
  if (fd_ == -1) return 0;
  // Out of the server before the descriptor goes, so that no select ever
  // sees a closed descriptor of this socket.
  server_->Remove(this);
  return PhysicalSocket::Close();
}

uint32_t SocketDispatcher::RequestedEvents() { return enabled_events_; }

void SocketDispatcher::BeforeEvent(uint32_t ff) {
  if (ff & EVENT_CONNECT) conn_state_ = STATE_CONNECTED;
}

void SocketDispatcher::HandleEvent(uint32_t ff, int err) {
  // A slot may delete this socket (then nothing of it may be touched, not
  // even through a member call) or close it (then the rest of the event is
  // stale).  Either ends the delivery.
  bool destroyed = false;
  bool* outer = destroyed_;
  destroyed_ = &destroyed;
  const auto ended = [&] {
    if (destroyed) {
      if (outer != nullptr) *outer = true;  // an enclosing HandleEvent stops too
      return true;
    }
    if (fd_ != -1) return false;
    destroyed_ = outer;
    return true;
  };
  if (ff & EVENT_READ) {
    enabled_events_ &= ~EVENT_READ;
    SignalReadable(this);
    if (ended()) return;
  }
  if (ff & EVENT_WRITE) {
    enabled_events_ &= ~EVENT_WRITE;
    SignalWritable(this);
    if (ended()) return;
  }
  if (ff & EVENT_CONNECT) {
    enabled_events_ &= ~EVENT_CONNECT;
    SignalConnected(this);
    if (ended()) return;
  }
  if (ff & EVENT_ACCEPT) {
    enabled_events_ &= ~EVENT_ACCEPT;
    SignalReadable(this);
    if (ended()) return;
  }
  if (ff & EVENT_CLOSE) {
    if (enabled_events_ & EVENT_CONNECT) {
      // The pending connect failed.  Its error has been consumed, so another
      // pass would report the dead socket as connected, or as writable:
      // watch nothing more.
      enabled_events_ = 0;
      conn_state_ = STATE_CLOSED;
    }
    // Delivered once: a closed stream stays readable, and reading armed
    // would raise the close again in every pass until the owner closes the
    // socket, spinning the loop when it defers that.
    enabled_events_ &= ~EVENT_READ;
    if (err == 0) err = peer_error_;
    SignalClosed(this, err);
    if (ended()) return;
  }
  destroyed_ = outer;
}

int SocketDispatcher::Descriptor() { return fd_; }

bool SocketDispatcher::IsPeerClosed() {
  if (is_udp_) return false;
  char ch;
  const ssize_t peeked = recv(fd_, &ch, 1, MSG_PEEK);
  if (peeked == 0) return true;
  if (peeked > 0) return false;
  // A peer that reset the connection: the peek took the pending error, so
  // no later receive would see it; report the close with that error.
  const int error = errno;
  if (IsBlockingError(error) || error == EINTR) return false;
  peer_error_ = error;
  return true;
}

}  // namespace lumen_base
