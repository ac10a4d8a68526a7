#include "base/physicalsocketserver.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"
#include "tests/support/descriptors.h"
#include "tests/support/log_capture.h"

namespace lumen_base {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Pipe {
 public:
  Pipe() { EXPECT_EQ(0, pipe(fds_)); }
  ~Pipe() {
    CloseReadEnd();
    if (fds_[1] != -1) close(fds_[1]);
  }
  int read_fd() const { return fds_[0]; }
  int write_fd() const { return fds_[1]; }
  void Put(const char* text = "x") { ASSERT_GT(write(fds_[1], text, strlen(text)), 0); }
  void CloseReadEnd() {
    if (fds_[0] != -1) close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

int BytesQueued(int fd) {
  int count = -1;
  EXPECT_EQ(0, ioctl(fd, FIONREAD, &count));
  return count;
}

// A dispatcher whose requests and answers the test sets; not registered by
// itself.
class TestDispatcher : public Dispatcher {
 public:
  TestDispatcher(int descriptor, uint32_t requested) : fd(descriptor), events(requested) {}
  uint32_t RequestedEvents() override { return events; }
  void BeforeEvent(uint32_t ff) override { before.push_back(ff); }
  void HandleEvent(uint32_t ff, int err) override {
    handled.push_back(ff);
    errors.push_back(err);
    if (on_event) on_event();
  }
  int Descriptor() override { return fd; }
  bool IsPeerClosed() override { return peer_closed; }

  int fd;
  uint32_t events;
  bool peer_closed = false;
  std::vector<uint32_t> before;
  std::vector<uint32_t> handled;
  std::vector<int> errors;
  std::function<void()> on_event;
};

// Counts a file's signals.
class FileRecorder : public sigslot::has_slots<> {
 public:
  void Watch(AsyncFile* file) {
    file->SignalReadable.connect(this, &FileRecorder::OnReadable);
    file->SignalWritable.connect(this, &FileRecorder::OnWritable);
    file->SignalClosed.connect(this, &FileRecorder::OnClosed);
  }
  void OnReadable(AsyncFile* file) {
    ++readable;
    if (on_readable) on_readable(file);
  }
  void OnWritable(AsyncFile*) { ++writable; }
  void OnClosed(AsyncFile*, int) { ++closed; }

  int readable = 0;
  int writable = 0;
  int closed = 0;
  std::function<void(AsyncFile*)> on_readable;
};

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The scheduler state letter of thread `tid` of this process ('R', 'S', ...).
char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : '?';
}

// Waits (without sleeping on a guess) until thread `tid` blocks; in these
// tests the only place it can block is select.
bool WaitUntilAsleep(pid_t tid) {
  const auto start = Clock::now();
  while (MsSince(start) < 5000) {
    if (ThreadState(tid) == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

// Runs server->Wait(wait_ms, process_io) on a thread of its own.
class Waiter {
 public:
  Waiter(PhysicalSocketServer* server, int wait_ms, bool process_io)
      : thread_([this, server, wait_ms, process_io] {
          tid_ = CurrentThreadId();
          result_ = server->Wait(wait_ms, process_io);
          done_ = true;
        }) {}
  ~Waiter() {
    if (thread_.joinable()) thread_.join();
  }
  bool WaitUntilAsleep() {
    while (tid_ == 0) std::this_thread::yield();
    return lumen_base::WaitUntilAsleep(tid_);
  }
  pthread_t handle() { return thread_.native_handle(); }
  bool done() const { return done_; }
  bool Join() {
    thread_.join();
    return result_;
  }

 private:
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> done_{false};
  bool result_ = false;
  std::thread thread_;
};

// --- Waking ------------------------------------------------------------------

TEST(PhysicalSocketServer, WakeUpBeforeWaitReturnsAtOnce) {
  PhysicalSocketServer server;
  server.WakeUp();
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(10000, true));
  EXPECT_LT(MsSince(start), 5000);
}

TEST(PhysicalSocketServer, ManyWakeUpsAreConsumedByOneWait) {
  PhysicalSocketServer server;
  for (int i = 0; i < 100; ++i) server.WakeUp();
  EXPECT_TRUE(server.Wait(10000, true));
  // Nothing is left to end the next wait early.
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(40, true));
  EXPECT_GE(MsSince(start), 35);
}

TEST(PhysicalSocketServer, RaiseLeavesOneByteHoweverOftenCalled) {
  PhysicalSocketServer server;
  EventDispatcher event(&server);
  ASSERT_TRUE(event.IsUsable());
  EXPECT_EQ(0, BytesQueued(event.Descriptor()));
  for (int i = 0; i < 100; ++i) event.Raise();
  EXPECT_EQ(1, BytesQueued(event.Descriptor()));
  event.BeforeEvent(EVENT_READ);
  EXPECT_EQ(0, BytesQueued(event.Descriptor()));
  event.Raise();
  EXPECT_EQ(1, BytesQueued(event.Descriptor()));
}

TEST(PhysicalSocketServer, ConcurrentRaiseAndDrainKeepFlagAndPipeTogether) {
  PhysicalSocketServer server;
  EventDispatcher event(&server);
  std::atomic<bool> stop{false};
  std::vector<std::thread> raisers;
  for (int t = 0; t < 4; ++t) {
    raisers.emplace_back([&event] {
      for (int i = 0; i < 3000; ++i) event.Raise();
    });
  }
  std::thread drainer([&] {
    while (!stop) event.BeforeEvent(EVENT_READ);
  });
  for (auto& raiser : raisers) raiser.join();
  stop = true;
  drainer.join();
  // A flag that disagreed with the pipe would leave 0 or 2 bytes now.
  event.Raise();
  EXPECT_EQ(1, BytesQueued(event.Descriptor()));
}

// --- Timing --------------------------------------------------------------------

TEST(PhysicalSocketServer, WaitZeroPollsOnce) {
  PhysicalSocketServer server;
  Pipe idle, ready;
  ready.Put();
  TestDispatcher quiet(idle.read_fd(), EVENT_READ);
  TestDispatcher busy(ready.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&quiet));
  ASSERT_TRUE(server.Add(&busy));
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(quiet.handled.empty());
  // The ready one stays ready (nobody reads the pipe): served in one pass only.
  ASSERT_EQ(1u, busy.handled.size());
  EXPECT_EQ(uint32_t{EVENT_READ}, busy.handled[0]);
  EXPECT_EQ(busy.handled, busy.before);
  server.Remove(&quiet);
  server.Remove(&busy);
}

TEST(PhysicalSocketServer, FiniteWaitEndsWhileDescriptorsStayReady) {
  PhysicalSocketServer server;
  Pipe ready;
  ready.Put();
  TestDispatcher busy(ready.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&busy));
  const auto start = Clock::now();
  EXPECT_TRUE(server.Wait(30, true));
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 25);
  EXPECT_LT(elapsed, 5000);
  EXPECT_GT(busy.handled.size(), 1u);  // served again and again meanwhile
  server.Remove(&busy);
}

TEST(PhysicalSocketServer, WaitWithoutIoServesOnlyTheWakeUp) {
  PhysicalSocketServer server;
  Pipe ready;
  ready.Put();
  TestDispatcher busy(ready.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&busy));
  Waiter waiter(&server, kWaitForever, false);
  ASSERT_TRUE(waiter.WaitUntilAsleep());
  EXPECT_FALSE(waiter.done());  // asleep although the pipe is readable
  server.WakeUp();
  EXPECT_TRUE(waiter.Join());
  EXPECT_TRUE(busy.handled.empty());
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, busy.handled.size());
  server.Remove(&busy);
}

std::atomic<int> g_signals_seen{0};
void CountSignal(int) { g_signals_seen.fetch_add(1); }

TEST(PhysicalSocketServer, InterruptedSelectDoesNotEndTheWait) {
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART (select is never restarted anyway)
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
  ScopedLogCapture log(LS_ERROR, ScopedLogCapture::kWithPosition);
  {
    PhysicalSocketServer server;
    Waiter waiter(&server, kWaitForever, true);
    ASSERT_TRUE(waiter.WaitUntilAsleep());
    const int seen = g_signals_seen;
    ASSERT_EQ(0, pthread_kill(waiter.handle(), SIGUSR1));
    while (g_signals_seen == seen) std::this_thread::yield();
    // Back asleep in select rather than returned with a failure.
    ASSERT_TRUE(waiter.WaitUntilAsleep());
    EXPECT_FALSE(waiter.done());
    server.WakeUp();
    EXPECT_TRUE(waiter.Join());
  }
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ("", log.text());
}

// --- Failures ------------------------------------------------------------------

TEST(PhysicalSocketServer, SelectFailureIsLoggedAndEndsTheWait) {
  ScopedLogCapture log(LS_ERROR, ScopedLogCapture::kWithPosition);
  PhysicalSocketServer server;
  int closed_fd;
  {
    Pipe pipe;
    closed_fd = pipe.read_fd();
  }
  TestDispatcher stale(closed_fd, EVENT_READ);
  ASSERT_TRUE(server.Add(&stale));
  EXPECT_FALSE(server.Wait(0, true));
  server.Remove(&stale);
  EXPECT_EQ(0u, log.text().find("Error(physicalsocketserver.cc:")) << log.text();
  EXPECT_NE(std::string::npos, log.text().find("): select : [0x00000009] Bad file descriptor\n"))
      << log.text();
}

using quorvex_test::DescriptorLimit;
using quorvex_test::OpenDescriptorCount;

TEST(PhysicalSocketServer, DestructionClosesTheWakeUpPipe) {
  const int before = OpenDescriptorCount();
  { PhysicalSocketServer server; }
  EXPECT_EQ(before, OpenDescriptorCount());
}

TEST(PhysicalSocketServer, FailedPipeLeavesAServerThatRefusesToWait) {
  ScopedLogCapture log(LS_ERROR, ScopedLogCapture::kWithPosition);
  // The sanitizers' runtime needs a descriptor of its own the first time it
  // checks the logging's objects; let it do that while descriptors are free.
  LOG(LS_ERROR) << "before";
  std::unique_ptr<PhysicalSocketServer> server;
  {
    DescriptorLimit limit;
    const int lowest_free = quorvex_test::LowestFreeDescriptor();
    ASSERT_GE(lowest_free, 0);
    // Every descriptor below is in use; the pipe cannot get one.
    ASSERT_TRUE(limit.SetSoft(static_cast<rlim_t>(lowest_free)));
    server.reset(new PhysicalSocketServer);
  }
  EXPECT_NE(std::string::npos, log.text().find("): pipe failed\n")) << log.text();
  // Nothing could ever end an endless wait: refuse it at once.
  const auto start = Clock::now();
  EXPECT_FALSE(server->Wait(kWaitForever, false));
  EXPECT_FALSE(server->Wait(0, true));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_NE(std::string::npos, log.text().find("Wait: no usable wake-up pipe; cannot wait\n"))
      << log.text();
  server->WakeUp();  // harmless
  server.reset();
}

TEST(PhysicalSocketServer, DescriptorsSelectCannotHoldAreRefused) {
  DescriptorLimit limit;
  constexpr int kHigh = FD_SETSIZE + 476;  // 1500
  if (limit.hard() != RLIM_INFINITY && limit.hard() <= static_cast<rlim_t>(kHigh + 1)) {
    GTEST_SKIP() << "the descriptor limit cannot reach " << kHigh + 1;
  }
  if (limit.soft() < static_cast<rlim_t>(kHigh + 2)) {
    ASSERT_TRUE(limit.SetSoft(kHigh + 2));
  }
  ScopedLogCapture log(LS_ERROR, ScopedLogCapture::kWithPosition);
  PhysicalSocketServer server;
  Pipe pipe;
  pipe.Put();
  ASSERT_EQ(kHigh, dup2(pipe.read_fd(), kHigh));

  // A file: refused when it is made; the descriptor is not touched.
  EXPECT_EQ(nullptr, server.CreateFile(kHigh));
  EXPECT_EQ(0, fcntl(kHigh, F_GETFL) & O_NONBLOCK);
  EXPECT_NE(std::string::npos,
            log.text().find("): Add: descriptor 1500 is outside 0..1023, which select can watch;"
                            " refused\n"))
      << log.text();

  // A socket: refused, and the descriptor handed over is closed.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(kHigh + 1, dup2(s, kHigh + 1));
  close(s);
  EXPECT_EQ(nullptr, server.WrapSocket(kHigh + 1));
  EXPECT_EQ(-1, fcntl(kHigh + 1, F_GETFD));

  // Plain dispatchers, negative descriptors too.
  TestDispatcher high(kHigh, EVENT_READ);
  TestDispatcher negative(-1, EVENT_READ);
  EXPECT_FALSE(server.Add(&high));
  EXPECT_FALSE(server.Add(&negative));

  // One whose descriptor grows out of range after it was added is skipped
  // by Wait (an FD_SET there would write past the set).
  TestDispatcher changing(pipe.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&changing));
  changing.fd = kHigh;
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_TRUE(changing.handled.empty());
  EXPECT_NE(std::string::npos,
            log.text().find("): Wait: skipping descriptor 1500, which select cannot watch\n"))
      << log.text();
  server.Remove(&changing);
  close(kHigh);
}

// --- Registration --------------------------------------------------------------

TEST(PhysicalSocketServer, AddIsIdempotentAndRemoveIgnoresStrangers) {
  PhysicalSocketServer server;
  Pipe ready;
  ready.Put();
  TestDispatcher busy(ready.read_fd(), EVENT_READ);
  TestDispatcher stranger(ready.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&busy));
  ASSERT_TRUE(server.Add(&busy));
  server.Remove(&stranger);  // never added: the list stays as it is
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, busy.handled.size());  // once, though added twice
  server.Remove(&busy);
  server.Remove(&busy);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, busy.handled.size());
  EXPECT_TRUE(stranger.handled.empty());
}

TEST(PhysicalSocketServer, SelfRemovalDefersTheNextDispatcherToTheNextPass) {
  PhysicalSocketServer server;
  Pipe first_pipe, second_pipe;
  first_pipe.Put();
  second_pipe.Put();
  TestDispatcher first(first_pipe.read_fd(), EVENT_READ);
  TestDispatcher second(second_pipe.read_fd(), EVENT_READ);
  first.on_event = [&] { server.Remove(&first); };
  ASSERT_TRUE(server.Add(&first));
  ASSERT_TRUE(server.Add(&second));
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, first.handled.size());
  EXPECT_TRUE(second.handled.empty());  // moved into first's place
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1u, first.handled.size());
  EXPECT_EQ(1u, second.handled.size());
  server.Remove(&second);
}

TEST(PhysicalSocketServer, DispatcherRemovedAndClosedDuringAPassDoesNotFailTheNext) {
  PhysicalSocketServer server;
  // Second gets the lower descriptor, so that a bit it left behind would
  // lie below the next select's limit.
  Pipe second_pipe, first_pipe;
  ASSERT_LT(second_pipe.read_fd(), first_pipe.read_fd());
  first_pipe.Put();
  second_pipe.Put();
  TestDispatcher first(first_pipe.read_fd(), EVENT_READ);
  TestDispatcher second(second_pipe.read_fd(), EVENT_READ);
  first.on_event = [&] {
    if (first.handled.size() != 1) return;
    // Second is ready in this pass too, but goes away before its turn.
    server.Remove(&second);
    second_pipe.CloseReadEnd();
    server.WakeUp();
  };
  ASSERT_TRUE(server.Add(&first));
  ASSERT_TRUE(server.Add(&second));
  EXPECT_TRUE(server.Wait(5000, true));  // ended by the wake-up, not by EBADF
  EXPECT_TRUE(second.handled.empty());
  server.Remove(&first);
}

TEST(PhysicalSocketServer, ReadableAcceptRequestIsDeliveredAsAccept) {
  PhysicalSocketServer server;
  Pipe ready;
  ready.Put();
  TestDispatcher listener(ready.read_fd(), EVENT_ACCEPT);
  listener.peer_closed = true;  // not asked when accepting
  TestDispatcher reader(ready.read_fd(), EVENT_READ);
  ASSERT_TRUE(server.Add(&listener));
  EXPECT_TRUE(server.Wait(0, true));
  ASSERT_EQ(1u, listener.handled.size());
  EXPECT_EQ(uint32_t{EVENT_ACCEPT}, listener.handled[0]);
  server.Remove(&listener);
  reader.peer_closed = true;
  ASSERT_TRUE(server.Add(&reader));
  EXPECT_TRUE(server.Wait(0, true));
  ASSERT_EQ(1u, reader.handled.size());
  EXPECT_EQ(uint32_t{EVENT_CLOSE}, reader.handled[0]);
  EXPECT_EQ(0, reader.errors[0]);
  server.Remove(&reader);
}

TEST(PhysicalSocketServer, WritableDescriptorIsDeliveredAsWrite) {
  PhysicalSocketServer server;
  Pipe pipe;
  TestDispatcher writer(pipe.write_fd(), EVENT_WRITE);
  ASSERT_TRUE(server.Add(&writer));
  EXPECT_TRUE(server.Wait(0, true));
  ASSERT_EQ(1u, writer.handled.size());
  EXPECT_EQ(uint32_t{EVENT_WRITE}, writer.handled[0]);
  server.Remove(&writer);
}

// --- Files ---------------------------------------------------------------------

TEST(PhysicalSocketServer, FileOnAPipeSignalsWhileItsFlagsAskForIt) {
  PhysicalSocketServer server;
  Pipe pipe;
  std::unique_ptr<AsyncFile> reader(server.CreateFile(pipe.read_fd()));
  std::unique_ptr<AsyncFile> writer(server.CreateFile(pipe.write_fd()));
  ASSERT_TRUE(reader && writer);
  EXPECT_NE(0, fcntl(pipe.read_fd(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(reader->IsReadable());
  EXPECT_FALSE(reader->IsWritable());
  FileRecorder reads, writes;
  reads.Watch(reader.get());
  writes.Watch(writer.get());
  writer->SetReadable(false);
  writer->SetWritable(true);
  EXPECT_FALSE(writer->IsReadable());
  EXPECT_TRUE(writer->IsWritable());

  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(0, reads.readable);  // nothing written yet
  EXPECT_EQ(1, writes.writable);
  pipe.Put();
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1, reads.readable);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(2, reads.readable);  // flags stay: reported again until read
  reader->SetReadable(false);
  writer->SetWritable(false);
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(2, reads.readable);
  EXPECT_EQ(3, writes.writable);
  EXPECT_EQ(0, reads.closed + writes.closed);

  // Deleting a file leaves its descriptor open.
  reader.reset();
  EXPECT_NE(-1, fcntl(pipe.read_fd(), F_GETFD));
}

TEST(PhysicalSocketServer, FileDeletedByItsSlotGetsNoFurtherSignal) {
  PhysicalSocketServer server;
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  ASSERT_EQ(1, write(pair[1], "x", 1));
  AsyncFile* file = server.CreateFile(pair[0]);
  ASSERT_NE(nullptr, file);
  file->SetWritable(true);  // readable and writable in the same pass
  FileRecorder recorder;
  recorder.Watch(file);
  recorder.on_readable = [](AsyncFile* f) { delete f; };
  EXPECT_TRUE(server.Wait(0, true));
  EXPECT_EQ(1, recorder.readable);
  EXPECT_EQ(0, recorder.writable);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
}  // namespace lumen_base
