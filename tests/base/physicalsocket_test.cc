#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/logging.h"
#include "base/physicalsocketserver.h"
#include "base/stream.h"
#include "tests/support/descriptors.h"
#include "tests/support/log_capture.h"

namespace lumen_base {
namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = 0x7F000001;

bool IsWouldBlock(int error) { return error == EWOULDBLOCK || error == EAGAIN; }
// Counts a socket's signals and ends the server's Wait on each, so that the
// test looks at its conditions right after every event.
class SocketRecorder : public sigslot::has_slots<> {
 public:
  SocketRecorder(PhysicalSocketServer* server, AsyncSocket* socket) : server_(server) {
    socket->SignalReadable.connect(this, &SocketRecorder::OnReadable);
    socket->SignalWritable.connect(this, &SocketRecorder::OnWritable);
    socket->SignalConnected.connect(this, &SocketRecorder::OnConnected);
    socket->SignalClosed.connect(this, &SocketRecorder::OnClosed);
  }
  void OnReadable(AsyncSocket* s) {
    ++readable;
    server_->WakeUp();
    if (on_readable) on_readable(s);
  }
  void OnWritable(AsyncSocket*) {
    ++writable;
    server_->WakeUp();
  }
  void OnConnected(AsyncSocket* s) {
    ++connected;
    state_when_connected = s->ConnectionState();
    server_->WakeUp();
  }
  void OnClosed(AsyncSocket*, int error) {
    ++closed;
    close_error = error;
    server_->WakeUp();
  }
  int total() const { return readable + writable + connected + closed; }

  int readable = 0;
  int writable = 0;
  int connected = 0;
  int closed = 0;
  int close_error = -1;
  ConnectionState state_when_connected = STATE_CLOSED;
  std::function<void(AsyncSocket*)> on_readable;

 private:
  PhysicalSocketServer* server_;
};

class PhysicalSocketTest : public testing::Test {
 protected:
  // Serves events until `done` holds; false after five seconds.
  bool ServeUntil(const std::function<bool()>& done) {
    const auto start = Clock::now();
    while (!done()) {
      if (Clock::now() - start > std::chrono::seconds(5)) return false;
      if (!server_.Wait(1000, true)) return false;
    }
    return true;
  }

  std::unique_ptr<AsyncSocket> MakeListener() {
    std::unique_ptr<AsyncSocket> listener(server_.CreateAsyncSocket(SOCK_STREAM));
    EXPECT_TRUE(listener);
    EXPECT_EQ(0, listener->Bind(SocketAddress(kLoopback, 0)));
    EXPECT_EQ(0, listener->Listen(5));
    return listener;
  }

  // A port on 127.0.0.1 that nobody listens on.
  int UnusedPort() {
    std::unique_ptr<Socket> probe(server_.CreateSocket(SOCK_STREAM));
    EXPECT_EQ(0, probe->Bind(SocketAddress(kLoopback, 0)));
    return probe->GetLocalAddress().port();
  }

  // A connected pair over TCP: client_ and accepted_, with recorders.
  void Connect() {
    listener_ = MakeListener();
    listener_recorder_ = std::make_unique<SocketRecorder>(&server_, listener_.get());
    client_.reset(server_.CreateAsyncSocket(SOCK_STREAM));
    client_recorder_ = std::make_unique<SocketRecorder>(&server_, client_.get());
    client_->Connect(listener_->GetLocalAddress());
    ASSERT_TRUE(
        ServeUntil([&] { return client_recorder_->connected && listener_recorder_->readable; }));
    accepted_.reset(static_cast<AsyncSocket*>(listener_->Accept(nullptr)));
    ASSERT_TRUE(accepted_);
    accepted_recorder_ = std::make_unique<SocketRecorder>(&server_, accepted_.get());
  }

  static SocketDispatcher* AsDispatcher(AsyncSocket* socket) {
    return dynamic_cast<SocketDispatcher*>(socket);
  }

  PhysicalSocketServer server_;
  std::unique_ptr<AsyncSocket> listener_, client_, accepted_;
  std::unique_ptr<SocketRecorder> listener_recorder_, client_recorder_, accepted_recorder_;
};

// --- Connecting ----------------------------------------------------------------

TEST_F(PhysicalSocketTest, ListenConnectAccept) {
  std::unique_ptr<AsyncSocket> listener = MakeListener();
  SocketRecorder listening(&server_, listener.get());
  EXPECT_EQ(STATE_CONNECTING, listener->ConnectionState());
  const SocketAddress address = listener->GetLocalAddress();
  EXPECT_EQ(kLoopback, address.ip());
  EXPECT_NE(0, address.port());

  // Connect on a socket without a descriptor makes a stream socket first.
  SocketDispatcher client(&server_);
  SocketRecorder connecting(&server_, &client);
  EXPECT_EQ(-1, client.Descriptor());
  EXPECT_EQ(STATE_CLOSED, client.ConnectionState());
  EXPECT_EQ(-1, client.Connect(address));
  EXPECT_EQ(EINPROGRESS, client.LastError());
  EXPECT_EQ(STATE_CONNECTING, client.ConnectionState());
  EXPECT_NE(0, fcntl(client.Descriptor(), F_GETFL) & O_NONBLOCK);

  ASSERT_TRUE(ServeUntil([&] { return connecting.connected && listening.readable; }));
  EXPECT_EQ(1, connecting.connected);
  EXPECT_EQ(STATE_CONNECTED, connecting.state_when_connected);  // set before the signal
  EXPECT_EQ(0, connecting.closed);

  SocketAddress peer;
  std::unique_ptr<Socket> accepted(listener->Accept(&peer));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(STATE_CONNECTED, accepted->ConnectionState());
  EXPECT_EQ(client.GetLocalAddress(), peer);
  EXPECT_EQ(client.GetLocalAddress(), accepted->GetPeerAddress());
  EXPECT_EQ(address, client.GetPeerAddress());
  EXPECT_NE(nullptr, dynamic_cast<SocketDispatcher*>(accepted.get()));  // registered, async

  // Nothing more pending: accept would block.
  EXPECT_EQ(nullptr, listener->Accept(nullptr));
  EXPECT_TRUE(IsWouldBlock(listener->LastError()));

  // Accept re-armed the listener for the next connection.
  std::unique_ptr<AsyncSocket> second(server_.CreateAsyncSocket(SOCK_STREAM));
  second->Connect(address);
  ASSERT_TRUE(ServeUntil([&] { return listening.readable == 2; }));
  std::unique_ptr<Socket> accepted2(listener->Accept(nullptr));
  EXPECT_TRUE(accepted2);
}

TEST_F(PhysicalSocketTest, RefusedConnectIsReportedOnceAsClosed) {
  std::unique_ptr<AsyncSocket> client(server_.CreateAsyncSocket(SOCK_STREAM));
  SocketRecorder recorder(&server_, client.get());
  const int port = UnusedPort();
  EXPECT_EQ(-1, client->Connect(SocketAddress(kLoopback, port)));
  ASSERT_EQ(EINPROGRESS, client->LastError());
  ASSERT_TRUE(ServeUntil([&] { return recorder.closed > 0; }));
  EXPECT_EQ(ECONNREFUSED, recorder.close_error);
  EXPECT_EQ(0, recorder.connected);
  EXPECT_EQ(STATE_CLOSED, client->ConnectionState());
  // The consumed error must not turn into a late "connected" or anything else.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(server_.Wait(0, true));
  EXPECT_EQ(1, recorder.closed);
  EXPECT_EQ(1, recorder.total());
  EXPECT_EQ(0, client->Close());
}

TEST_F(PhysicalSocketTest, ConnectResolvesAnUnresolvedName) {
  std::unique_ptr<AsyncSocket> listener = MakeListener();
  const int port = listener->GetLocalAddress().port();
  std::unique_ptr<AsyncSocket> client(server_.CreateAsyncSocket(SOCK_STREAM));
  SocketRecorder recorder(&server_, client.get());
  SocketAddress by_name("localhost", port, false);
  ASSERT_TRUE(by_name.IsUnresolvedIP());
  {
    ScopedLogCapture log(LS_VERBOSE, ScopedLogCapture::kWithPosition);
    client->Connect(by_name);
    EXPECT_NE(std::string::npos, log.text().find("Resolving addr in PhysicalSocket::Connect\n"));
  }
  ASSERT_TRUE(ServeUntil([&] { return recorder.connected > 0; }));
  EXPECT_EQ(kLoopback, client->GetPeerAddress().ip());
}

TEST_F(PhysicalSocketTest, UnresolvableAddressFailsWithAnError) {
  std::unique_ptr<AsyncSocket> client(server_.CreateAsyncSocket(SOCK_STREAM));
  client->SetLastError(0);
  SocketAddress zero("0.0.0.0", 80);
  ASSERT_TRUE(zero.IsUnresolvedIP());
  EXPECT_EQ(-1, client->Connect(zero));
  EXPECT_EQ(EADDRNOTAVAIL, client->LastError());
  EXPECT_EQ(STATE_CLOSED, client->ConnectionState());
}

// --- Data ----------------------------------------------------------------------

TEST_F(PhysicalSocketTest, SendAndReceiveThroughSignals) {
  Connect();
  ASSERT_EQ(5, accepted_->Send("hello", 5));
  ASSERT_TRUE(ServeUntil([&] { return client_recorder_->readable > 0; }));
  char buffer[64];
  ASSERT_EQ(5, client_->Recv(buffer, sizeof(buffer)));
  EXPECT_EQ("hello", std::string(buffer, 5));
  // Drained: would block, which re-arms reading.
  EXPECT_EQ(-1, client_->Recv(buffer, sizeof(buffer)));
  EXPECT_TRUE(IsWouldBlock(client_->LastError()));
  const int before = client_recorder_->readable;
  ASSERT_EQ(5, accepted_->Send("world", 5));
  ASSERT_TRUE(ServeUntil([&] { return client_recorder_->readable > before; }));
  // A read of length 0 succeeds and arms reading too.
  EXPECT_EQ(0, client_->Recv(buffer, 0));
  EXPECT_NE(0u, AsDispatcher(client_.get())->RequestedEvents() & EVENT_READ);
  ASSERT_EQ(5, client_->Recv(buffer, sizeof(buffer)));
  EXPECT_EQ("world", std::string(buffer, 5));
}

TEST_F(PhysicalSocketTest, SendThatWouldBlockSignalsWritableLater) {
  Connect();
  ASSERT_EQ(0, client_->SetOption(Socket::OPT_SENDBUF, 4096));
  ASSERT_TRUE(server_.Wait(0, true));  // let the first writable pass go by
  const int before = client_recorder_->writable;
  const std::string chunk(65536, 'q');
  size_t sent = 0;
  for (int i = 0; i < 1000; ++i) {
    const int n = client_->Send(chunk.data(), chunk.size());
    if (n < 0) break;
    sent += static_cast<size_t>(n);
  }
  ASSERT_TRUE(IsWouldBlock(client_->LastError()));
  EXPECT_NE(0u, AsDispatcher(client_.get())->RequestedEvents() & EVENT_WRITE);
  size_t received = 0;
  char buffer[65536];
  ASSERT_TRUE(ServeUntil([&] {
    int n;
    while ((n = accepted_->Recv(buffer, sizeof(buffer))) > 0) received += static_cast<size_t>(n);
    return client_recorder_->writable > before;
  }));
  EXPECT_GT(received, 0u);
  EXPECT_LE(received, sent);
}

TEST_F(PhysicalSocketTest, PeerCloseIsReportedAsClosed) {
  Connect();
  EXPECT_EQ(0, accepted_->Close());
  EXPECT_EQ(STATE_CLOSED, accepted_->ConnectionState());
  EXPECT_EQ(0, accepted_->Close());  // nothing left to close
  ASSERT_TRUE(ServeUntil([&] { return client_recorder_->closed > 0; }));
  EXPECT_EQ(0, client_recorder_->close_error);
  EXPECT_TRUE(AsDispatcher(client_.get())->IsPeerClosed());
  char buffer[8];
  EXPECT_EQ(-1, client_->Recv(buffer, sizeof(buffer)));
  EXPECT_EQ(EWOULDBLOCK, client_->LastError());
}

TEST_F(PhysicalSocketTest, RecvAtEndOfStreamDoesNotRearmReading) {
  Connect();
  ASSERT_EQ(1, accepted_->Send("x", 1));
  EXPECT_EQ(0, accepted_->Close());
  ASSERT_TRUE(ServeUntil([&] { return client_recorder_->readable > 0; }));
  SocketDispatcher* client = AsDispatcher(client_.get());
  ASSERT_EQ(0u, client->RequestedEvents() & EVENT_READ);  // delivered, so disarmed
  // Take the byte behind the socket's back, which arms nothing.
  char buffer[8];
  ASSERT_EQ(1, recv(client->Descriptor(), buffer, sizeof(buffer), 0));
  EXPECT_EQ(-1, client_->Recv(buffer, sizeof(buffer)));
  EXPECT_EQ(EWOULDBLOCK, client_->LastError());
  EXPECT_EQ(0u, client->RequestedEvents() & EVENT_READ);
  const int readable = client_recorder_->readable;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(server_.Wait(0, true));
  EXPECT_EQ(readable, client_recorder_->readable);
  EXPECT_EQ(0, client_recorder_->closed);
}

TEST_F(PhysicalSocketTest, PeerThatResetsBeforeSendingIsReportedClosedEveryTime) {
  // The peek that tells a closed peer from data used to take the reset's
  // error, leaving the socket with nothing to report: it leaked.
  std::unique_ptr<AsyncSocket> listener = MakeListener();
  SocketRecorder listening(&server_, listener.get());
  const SocketAddress address = listener->GetLocalAddress();
  const int before = quorvex_test::OpenDescriptorCount();
  for (int i = 0; i < 200; ++i) {
    const int peer = quorvex_test::ConnectToLoopback(address.port());
    ASSERT_GE(peer, 0);
    const int accepted_before = listening.readable;
    ASSERT_TRUE(ServeUntil([&] { return listening.readable > accepted_before; }));
    std::unique_ptr<Socket> accepted(listener->Accept(nullptr));
    ASSERT_TRUE(accepted) << i;
    SocketRecorder recorder(&server_, static_cast<AsyncSocket*>(accepted.get()));
    const linger abort_on_close = {1, 0};  // close sends a reset, no data
    ASSERT_EQ(0, setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close)));
    close(peer);
    ASSERT_TRUE(ServeUntil([&] { return recorder.closed > 0; })) << "connection " << i;
    EXPECT_EQ(ECONNRESET, recorder.close_error);
    EXPECT_EQ(0, recorder.readable);
  }
  EXPECT_EQ(before, quorvex_test::OpenDescriptorCount());
}

TEST_F(PhysicalSocketTest, DeferredCloseIsSignalledOnceAndTheLoopRests) {
  Connect();
  accepted_recorder_.reset();  // this test's owner keeps the socket open
  SocketRecorder deferring(&server_, accepted_.get());
  ASSERT_EQ(0, client_->Close());
  ASSERT_TRUE(ServeUntil([&] { return deferring.closed > 0; }));
  // The owner has not closed the socket yet; passes go on without a signal.
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(server_.Wait(0, true));
  const auto start = Clock::now();
  ASSERT_TRUE(server_.Wait(100, true));  // rests its time: nothing is ready
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  EXPECT_EQ(1, deferring.closed);
  EXPECT_EQ(0, deferring.close_error);
  EXPECT_EQ(0, deferring.readable);
}

TEST_F(PhysicalSocketTest, ListenerKeepsAcceptingAfterRunningOutOfDescriptors) {
  std::unique_ptr<AsyncSocket> listener = MakeListener();
  SocketRecorder listening(&server_, listener.get());
  std::unique_ptr<AsyncSocket> first(server_.CreateAsyncSocket(SOCK_STREAM));
  first->Connect(listener->GetLocalAddress());
  ASSERT_TRUE(ServeUntil([&] { return listening.readable == 1; }));
  {
    // Leave the sanitizers their descriptor: they take it on the first
    // report, which may come while none is free.
    quorvex_test::DescriptorLimit limit;
    const int lowest_free = quorvex_test::LowestFreeDescriptor();
    ASSERT_GE(lowest_free, 0);
    ASSERT_TRUE(limit.SetSoft(static_cast<rlim_t>(lowest_free)));
    EXPECT_EQ(nullptr, listener->Accept(nullptr));
    EXPECT_EQ(EMFILE, listener->LastError());
  }
  // Descriptors are back: the connection waiting in the backlog is
  // announced again and taken.
  ASSERT_TRUE(ServeUntil([&] { return listening.readable == 2; }));
  std::unique_ptr<Socket> accepted(listener->Accept(nullptr));
  EXPECT_TRUE(accepted);
}

TEST_F(PhysicalSocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
  Connect();
  accepted_.reset();
  ASSERT_TRUE(ServeUntil([&] { return client_recorder_->closed > 0; }));
  int result = 0;
  for (int i = 0; i < 100 && result >= 0; ++i) result = client_->Send("data", 4);
  EXPECT_EQ(-1, result);  // and the process is still here
  EXPECT_TRUE(client_->LastError() == EPIPE || client_->LastError() == ECONNRESET)
      << client_->LastError();
}

TEST_F(PhysicalSocketTest, DatagramsGoBothWays) {
  std::unique_ptr<AsyncSocket> a(server_.CreateAsyncSocket(SOCK_DGRAM));
  std::unique_ptr<AsyncSocket> b(server_.CreateAsyncSocket(SOCK_DGRAM));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(uint32_t{EVENT_READ | EVENT_WRITE}, AsDispatcher(b.get())->RequestedEvents());
  ASSERT_EQ(0, a->Bind(SocketAddress(kLoopback, 0)));
  ASSERT_EQ(0, b->Bind(SocketAddress(kLoopback, 0)));
  SocketRecorder recorder(&server_, b.get());
  ASSERT_EQ(4, a->SendTo("ping", 4, b->GetLocalAddress()));
  ASSERT_TRUE(ServeUntil([&] { return recorder.readable > 0; }));
  char buffer[16];
  SocketAddress from;
  ASSERT_EQ(4, b->RecvFrom(buffer, sizeof(buffer), &from));
  EXPECT_EQ("ping", std::string(buffer, 4));
  EXPECT_EQ(a->GetLocalAddress(), from);
  EXPECT_EQ(-1, b->RecvFrom(buffer, sizeof(buffer), nullptr));
  EXPECT_TRUE(IsWouldBlock(b->LastError()));
  EXPECT_NE(0u, AsDispatcher(b.get())->RequestedEvents() & EVENT_READ);
}

TEST_F(PhysicalSocketTest, EmptyDatagramIsDataNotAClose) {
  std::unique_ptr<AsyncSocket> a(server_.CreateAsyncSocket(SOCK_DGRAM));
  std::unique_ptr<AsyncSocket> b(server_.CreateAsyncSocket(SOCK_DGRAM));
  ASSERT_EQ(0, b->Bind(SocketAddress(kLoopback, 0)));
  SocketRecorder recorder(&server_, b.get());
  const SocketAddress target = b->GetLocalAddress();
  ASSERT_EQ(0, a->SendTo("", 0, target));
  ASSERT_TRUE(ServeUntil([&] { return recorder.readable > 0; }));
  EXPECT_EQ(0, recorder.closed);
  char buffer[8];
  SocketAddress from;
  EXPECT_EQ(0, b->RecvFrom(buffer, sizeof(buffer), &from));
  EXPECT_NE(0, from.port());
  // Recv too gives 0 for it, and keeps reading armed.
  ASSERT_EQ(0, a->SendTo("", 0, target));
  ASSERT_TRUE(ServeUntil([&] { return recorder.readable > 1; }));
  EXPECT_EQ(0, b->Recv(buffer, sizeof(buffer)));
  EXPECT_NE(0u, AsDispatcher(b.get())->RequestedEvents() & EVENT_READ);
  EXPECT_EQ(0, recorder.closed);
}

// --- Options, MTU, blocking sockets ------------------------------------------

TEST_F(PhysicalSocketTest, OptionsMapToSocketOptions) {
  std::unique_ptr<AsyncSocket> s(server_.CreateAsyncSocket(SOCK_STREAM));
  const int fd = AsDispatcher(s.get())->Descriptor();
  int value = -1;
  socklen_t length = sizeof(value);

  ASSERT_EQ(0, s->SetOption(Socket::OPT_NODELAY, 1));
  ASSERT_EQ(0, getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length));
  EXPECT_NE(0, value);
  ASSERT_EQ(0, s->GetOption(Socket::OPT_NODELAY, &value));
  EXPECT_NE(0, value);

  ASSERT_EQ(0, s->SetOption(Socket::OPT_RECVBUF, 8192));
  int raw = 0;
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &raw, &length));
  ASSERT_EQ(0, s->GetOption(Socket::OPT_RECVBUF, &value));
  EXPECT_EQ(raw, value);
  ASSERT_EQ(0, s->SetOption(Socket::OPT_SENDBUF, 16384));
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &raw, &length));
  ASSERT_EQ(0, s->GetOption(Socket::OPT_SENDBUF, &value));
  EXPECT_EQ(raw, value);
  EXPECT_GE(value, 16384);
}

TEST_F(PhysicalSocketTest, UnsupportedOptionsFail) {
  std::unique_ptr<AsyncSocket> s(server_.CreateAsyncSocket(SOCK_STREAM));
  ScopedLogCapture log(LS_INFO, ScopedLogCapture::kWithPosition);
  int value = 0;
  EXPECT_EQ(-1, s->SetOption(Socket::OPT_DONTFRAGMENT, 1));
  EXPECT_EQ(0u, log.text().find("Warning(physicalsocketserver.cc:")) << log.text();
  const std::string tail = "): Socket::OPT_DONTFRAGMENT not supported.\n";
  EXPECT_EQ(tail, log.text().substr(log.text().size() - tail.size()));
  EXPECT_EQ(-1, s->GetOption(Socket::OPT_DONTFRAGMENT, &value));
  const std::string so_far = log.text();
  EXPECT_EQ(-1, s->SetOption(static_cast<Socket::Option>(7), 1));
  EXPECT_EQ(-1, s->GetOption(static_cast<Socket::Option>(-1), &value));
  EXPECT_EQ(so_far, log.text());  // nothing logged for those
}

TEST_F(PhysicalSocketTest, QueryMtuNeedsAPeer) {
  std::unique_ptr<AsyncSocket> lone(server_.CreateAsyncSocket(SOCK_STREAM));
  uint16_t mtu = 0;
  EXPECT_EQ(-1, lone->QueryMtu(&mtu));
  EXPECT_EQ(ENOTCONN, lone->LastError());
  Connect();
  ASSERT_EQ(0, client_->QueryMtu(&mtu)) << client_->LastError();
  EXPECT_GE(mtu, 68);  // the smallest MTU IPv4 allows
}

TEST_F(PhysicalSocketTest, BlockingSocketsConnectAtOnce) {
  std::unique_ptr<Socket> listener(server_.CreateSocket(SOCK_STREAM));
  ASSERT_TRUE(listener);
  ASSERT_EQ(0, listener->Bind(SocketAddress(kLoopback, 0)));
  ASSERT_EQ(0, listener->Listen(1));
  std::unique_ptr<Socket> client(server_.CreateSocket(SOCK_STREAM));
  EXPECT_EQ(0, client->Connect(listener->GetLocalAddress()));
  EXPECT_EQ(STATE_CONNECTED, client->ConnectionState());
  // Accept blocks until the connection is there, and gives a watched socket.
  std::unique_ptr<Socket> accepted(listener->Accept(nullptr));
  ASSERT_TRUE(accepted);
  auto* async = dynamic_cast<AsyncSocket*>(accepted.get());
  ASSERT_NE(nullptr, async);
  SocketRecorder recorder(&server_, async);
  ASSERT_EQ(3, client->Send("abc", 3));
  ASSERT_TRUE(ServeUntil([&] { return recorder.readable > 0; }));
  char buffer[4];
  EXPECT_EQ(3, accepted->Recv(buffer, sizeof(buffer)));
}

TEST_F(PhysicalSocketTest, SocketsThatCannotBeMadeAreNull) {
  EXPECT_EQ(nullptr, server_.CreateSocket(12345));
  EXPECT_EQ(nullptr, server_.CreateAsyncSocket(12345));
}

TEST_F(PhysicalSocketTest, WrappedDescriptorStartsConnectedWithBothEventsArmed) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  std::unique_ptr<AsyncSocket> wrapped(server_.WrapSocket(pair[0]));
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(STATE_CONNECTED, wrapped->ConnectionState());
  EXPECT_EQ(uint32_t{EVENT_READ | EVENT_WRITE}, AsDispatcher(wrapped.get())->RequestedEvents());
  EXPECT_NE(0, fcntl(pair[0], F_GETFL) & O_NONBLOCK);
  wrapped.reset();  // owns and closes pair[0]
  EXPECT_EQ(-1, fcntl(pair[0], F_GETFD));
  close(pair[1]);
}

// --- Slots that end the socket -------------------------------------------------

TEST_F(PhysicalSocketTest, SlotMayDeleteTheSocket) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  ASSERT_EQ(1, write(pair[1], "x", 1));
  AsyncSocket* socket = server_.WrapSocket(pair[0]);  // readable and writable now
  ASSERT_NE(nullptr, socket);
  SocketRecorder recorder(&server_, socket);
  recorder.on_readable = [](AsyncSocket* s) { delete s; };
  EXPECT_TRUE(server_.Wait(0, true));
  EXPECT_EQ(1, recorder.readable);
  EXPECT_EQ(0, recorder.writable);  // the rest of that event is dropped
  EXPECT_EQ(-1, fcntl(pair[0], F_GETFD));
  EXPECT_TRUE(server_.Wait(0, true));  // and the server no longer knows it
  close(pair[1]);
}

TEST_F(PhysicalSocketTest, SlotMayCloseTheSocket) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  ASSERT_EQ(1, write(pair[1], "x", 1));
  std::unique_ptr<AsyncSocket> socket(server_.WrapSocket(pair[0]));
  SocketRecorder recorder(&server_, socket.get());
  recorder.on_readable = [](AsyncSocket* s) { s->Close(); };
  EXPECT_TRUE(server_.Wait(0, true));
  EXPECT_EQ(1, recorder.readable);
  EXPECT_EQ(0, recorder.writable);
  EXPECT_EQ(STATE_CLOSED, socket->ConnectionState());
  EXPECT_EQ(-1, AsDispatcher(socket.get())->Descriptor());
  close(pair[1]);
}

// --- Failures and their log lines --------------------------------------------

TEST_F(PhysicalSocketTest, FailuresKeepTheirErrorsAndLog) {
  std::unique_ptr<AsyncSocket> s(server_.CreateAsyncSocket(SOCK_STREAM));
  ScopedLogCapture log(LS_VERBOSE, ScopedLogCapture::kWithPosition);
  LogMessage::LogContext(LS_NONE);
  char buffer[4];
  EXPECT_EQ(-1, s->Recv(buffer, sizeof(buffer)));
  EXPECT_EQ(ENOTCONN, s->LastError());
  EXPECT_EQ(0u, AsDispatcher(s.get())->RequestedEvents() & EVENT_READ);  // not re-armed
  EXPECT_EQ(-1, s->RecvFrom(buffer, sizeof(buffer), nullptr));
  EXPECT_EQ(ENOTCONN, s->LastError());
  EXPECT_EQ(0, s->Close());
  EXPECT_TRUE(s->GetLocalAddress().IsNil());
  EXPECT_TRUE(s->GetPeerAddress().IsNil());
  LogMessage::LogContext(LS_WARNING);
  const std::string expected =
      "Recv: Error = " + std::to_string(ENOTCONN) +
      "\nRecvFrom: Error = " + std::to_string(ENOTCONN) +
      "\nGetLocalAddress: unable to retrieve local address for socket -1\n";
  EXPECT_EQ(expected, log.text());
}

TEST_F(PhysicalSocketTest, ClosedSocketLeavesTheServer) {
  Connect();
  ASSERT_EQ(1, accepted_->Send("x", 1));
  EXPECT_EQ(0, client_->Close());
  EXPECT_EQ(STATE_CLOSED, client_->ConnectionState());
  const int before = client_recorder_->total();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(server_.Wait(0, true));
  EXPECT_EQ(before, client_recorder_->total());
}

}  // namespace
}  // namespace lumen_base
