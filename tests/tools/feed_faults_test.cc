// feed against what a careless or hostile neighbour does to the camera's
// lock and frame transport, and against inputs that would make it hang:
// real processes, the real named semaphore and segment.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedmem.h"
#include "tests/tools/lumenplug_fixture.h"

namespace {

using namespace lumenplug_test;  // NOLINT: the suite's own helpers

// How often `text` occurs in `in`.
int Occurrences(const std::string& in, const std::string& text) {
  int count = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) ++count;
  return count;
}

// A forked process that runs `body` and is killed (and reaped) with the
// object; `ready` is written once when `body` says so.
class Neighbour {
 public:
  explicit Neighbour(const std::function<void(int ready_fd)>& body) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(pipe_fds[0]);
      body(pipe_fds[1]);
      _exit(0);
    }
    close(pipe_fds[1]);
    ready_fd_ = pipe_fds[0];
  }
  ~Neighbour() {
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(ready_fd_);
  }
  bool AwaitReady() {
    char byte;
    return read(ready_fd_, &byte, 1) == 1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int ready_fd_ = -1;
};

void SayReady(int fd) {
  if (write(fd, "x", 1) != 1) _exit(1);
}

TEST_F(FeedTest, NeverTakesTheLockFromACameraThatIsAliveEvenWhenItIsStopped) {
  // A camera stopped in a debugger in the middle of a copy.
  const std::string name = device_.name();
  Neighbour camera([&](int ready) {
    std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
    if (mutex == nullptr || !mutex->Lock(true)) _exit(1);
    mutex->MarkHeld();
    SayReady(ready);
    raise(SIGSTOP);
    pause();
  });
  ASSERT_TRUE(camera.AwaitReady());
  Child& feed = StartFeed({"--frames", "2", "--size", "64x48"});
  // Well past the time after which a lock without a live holder is taken.
  EXPECT_FALSE(WaitFor([&] { return Contains(feed.Err(), "takes it over"); },
                       3500));
  EXPECT_TRUE(Contains(feed.Err(), "feed: warning: a camera that is alive has held the lock \"" +
                                       device_.semaphore() + "\""))
      << feed.Err();
  int status = 0;
  EXPECT_FALSE(feed.Ended(&status)) << "feed went on while the camera held the lock";
  EXPECT_EQ(0, device_.SemaphoreCount());
  // Still stoppable while it waits.
  ASSERT_EQ(0, kill(feed.pid(), SIGINT));
  EXPECT_EQ(0, feed.Wait(5000)) << feed.Err();
  EXPECT_EQ(0, device_.SemaphoreCount()) << "the camera's lock was released behind its back";
}

TEST_F(FeedTest, KeepsFramesFlowingWhileSomethingKeepsTakingTheLock) {
  // Not a camera: takes every count it can get and never gives one back.
  const std::string semaphore = device_.semaphore();
  Neighbour taker([&](int ready) {
    sem_t* sem = sem_open(semaphore.c_str(), O_CREAT, 0600, 1);
    if (sem == SEM_FAILED) _exit(1);
    SayReady(ready);
    for (;;) sem_wait(sem);
  });
  ASSERT_TRUE(taker.AwaitReady());
  const long long start = NowMs();
  Child& feed = StartFeed({"--frames", "8", "--size", "64x48", "--rate", "100"});
  EXPECT_EQ(0, feed.Wait(30000)) << feed.Err();
  // One wait of 2 s, then a short one for each frame: not 2 s a frame.
  EXPECT_LT(NowMs() - start, 2000 + 8 * 1000);
  EXPECT_EQ(1, Occurrences(feed.Err(), "was taken for more than 2000 ms")) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 8 frames")) << feed.Err();
}

TEST_F(FeedTest, TakesBackCountsPostedInALoopWithoutSpinningOrRepeatingItself) {
  const std::string semaphore = device_.semaphore();
  Neighbour poster([&](int ready) {
    sem_t* sem = sem_open(semaphore.c_str(), O_CREAT, 0600, 1);
    if (sem == SEM_FAILED) _exit(1);
    SayReady(ready);
    for (;;) sem_post(sem);
  });
  ASSERT_TRUE(poster.AwaitReady());
  Child& feed = StartFeed({"--frames", "20", "--size", "64x48", "--rate", "200"});
  EXPECT_EQ(0, feed.Wait(30000)) << feed.Err();
  EXPECT_EQ(1, Occurrences(feed.Err(), "had been released twice")) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 20 frames")) << feed.Err();
}

TEST_F(FeedTest, MakesTheTransportAgainWhenSomeoneRemovesIt) {
  Child& feed = StartFeed({"--size", "64x48", "--rate", "20"});
  ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();

  // ipcrm -m: the segment lives on for those attached, but nobody new finds it.
  const int removed = device_.id();
  device_.Detach();
  ASSERT_EQ(0, shmctl(removed, IPC_RMID, nullptr));
  ASSERT_TRUE(WaitFor([&] {
    const int id = device_.SegmentId();
    return id >= 0 && id != removed && device_.Attach() && device_.Read().width == 64;
  })) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "feed: warning: the shared memory segment " +
                                       std::to_string(removed) +
                                       " was removed (ipcrm?); feed makes the camera's frame "
                                       "transport again"))
      << feed.Err();

  // rm of the semaphore's name: new readers would meet a fresh semaphore.
  device_.Detach();
  ASSERT_EQ(0, sem_unlink(device_.semaphore().c_str()));
  ASSERT_TRUE(WaitFor([&] { return device_.SemaphoreExists(); })) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "the semaphore " + tessel::SemaphorePath(device_.name()) +
                                       " was removed; feed makes"))
      << feed.Err();
  ASSERT_TRUE(device_.Attach());
  const uint32_t counter = device_.Read().counter;
  EXPECT_TRUE(WaitFor([&] { return device_.Read().counter != counter; }))
      << "frames flow through the new objects";
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_EQ(1, device_.SemaphoreCount());
}

TEST_F(FeedTest, StopsOnASignalWhileAFifoHasNoWriter) {
  const std::string fifo = folder_.File("frames.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (int signal_number : {SIGINT, SIGTERM}) {
    Child& feed = StartFeed({fifo});
    usleep(300 * 1000);  // into its wait for a writer
    int status = 0;
    ASSERT_FALSE(feed.Ended(&status)) << feed.Err();
    ASSERT_EQ(0, kill(feed.pid(), signal_number));
    EXPECT_EQ(0, feed.Wait(5000)) << feed.Err();
  }
  // And with a writer, the frames come through the FIFO.
  Child& feed = StartFeed({fifo, "--frames", "1"});
  {
    std::ofstream writer(fifo, std::ios::binary);
    writer << "YUV4MPEG2 W4 H2 F30:1\nFRAME\n" << std::string(4 * 2 + 2 * 2 * 1, 'y');
  }
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 1 frame;")) << feed.Err();
}

TEST_F(FeedTest, AClosedStandardInputIsAnErrorNotItsOwnSignals) {
  Child& feed = StartProgram({"/bin/sh", "-c", "exec \"$0\" feed --device \"$1\" - <&-", kTool,
                              device_.name()});
  EXPECT_EQ(1, feed.Wait(5000)) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "feed: cannot read standard input: it is closed"))
      << feed.Err();
  EXPECT_FALSE(device_.SemaphoreExists());
}

TEST_F(FeedTest, EveryFrameRateStaysWithinTheSameBounds) {
  const std::map<Strings, std::string> usage = {
      {{"--rate", "0.000001"}, "--rate must be at least one frame a minute"},
      {{"--rate", "1/61"}, "--rate must be at least one frame a minute"},
      {{"--rate", "1001"}, "--rate must be at most 1000 frames per second"},
  };
  for (const auto& [args, reason] : usage) {
    Child& feed = StartFeed(args);
    EXPECT_EQ(2, feed.Wait()) << args[1];
    EXPECT_TRUE(Contains(feed.Err(), "feed: " + reason)) << feed.Err();
  }
  const std::string frame = "FRAME\n" + std::string(12, 'y');
  const std::map<std::string, std::string> streams = {
      {"F1:4294967295", "its frame rate F1:4294967295 must be at least one frame a minute"},
      {"F5000:1", "its frame rate F5000:1 must be at most 1000 frames per second"},
  };
  for (const auto& [rate, reason] : streams) {
    const std::string path = folder_.File("rate.y4m");
    std::ofstream(path, std::ios::binary) << "YUV4MPEG2 W4 H2 " << rate << "\n" << frame;
    Child& feed = StartFeed({path});
    EXPECT_EQ(1, feed.Wait()) << rate;
    EXPECT_TRUE(Contains(feed.Err(), "feed: " + path + ": " + reason + "; give another with --rate"))
        << feed.Err();
    // A rate given on the command line is the one used, so the stream's
    // own does not matter then.
    Child& overridden = StartFeed({path, "--rate", "100"});
    EXPECT_EQ(0, overridden.Wait()) << overridden.Err();
  }
}

TEST_F(FeedTest, AnInputWithoutFramesIsTheSameErrorWithOrWithoutLoop) {
  const std::string path = folder_.File("empty.y4m");
  std::ofstream(path, std::ios::binary) << "YUV4MPEG2 W4 H2 F30:1\n";
  for (const Strings& args : {Strings{path}, Strings{path, "--loop"}}) {
    Child& feed = StartFeed(args);
    EXPECT_EQ(1, feed.Wait()) << args.size();
    EXPECT_TRUE(Contains(feed.Err(), "feed: " + path + " holds no frames\n")) << feed.Err();
  }
}

// A looped y4m file of w x h frames, frame i all of luma lumas[i] (chroma
// 128 + i).
std::string WriteConstantMovie(const Folder& folder, const std::string& file, uint32_t w,
                               uint32_t h, const std::vector<uint8_t>& lumas) {
  const std::string path = folder.File(file);
  std::ofstream out(path, std::ios::binary);
  out << "YUV4MPEG2 W" << w << " H" << h << " F30:1\n";
  const size_t chroma = 2 * size_t{(w + 1) / 2} * ((h + 1) / 2);
  for (size_t i = 0; i < lumas.size(); ++i) {
    out << "FRAME\n" << std::string(size_t{w} * h, static_cast<char>(lumas[i]))
        << std::string(chroma, static_cast<char>(128 + i));
  }
  return path;
}

TEST_F(CameraTest, AFrameTooCostlyToScaleIsRefusedWithoutStallingTheProducer) {
  // One column of 460,800 rows: scaling it to 320x240 would hold a poll for
  // a third of a second or more.
  Child& feed = StartCameraFeed(
      {WriteConstantMovie(folder_, "tall.y4m", 1, 460800, {90}), "--loop", "--rate", "30"});
  const std::string movie = folder_.File("out.y4m");
  Child& capture = Run(kTool, {"capture", "--frames", "1", "-o", movie});
  EXPECT_EQ(1, capture.Wait()) << capture.Err();
  EXPECT_TRUE(Contains(capture.Err(), "no frame came from the camera")) << capture.Err();
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_FALSE(Contains(feed.Err(), "warning")) << feed.Err();
  EXPECT_EQ(1, camera_.SemaphoreCount());
}

TEST_F(CameraTest, FramesOfAnExpensiveButAcceptedShapeComeWholeAndUntorn) {
  // At the bound of scaling work; two alternating frames, each of one
  // value, so that a frame read while feed wrote the next shows.
  Child& feed = StartCameraFeed({WriteConstantMovie(folder_, "wide.y4m", 2560, 120, {40, 200}),
                                 "--loop", "--rate", "200"});
  const std::string path = folder_.File("out.y4m");
  Child& capture = Run(kTool, {"capture", "--frames", "30", "-o", path});
  EXPECT_EQ(0, capture.Wait()) << capture.Err();
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_FALSE(Contains(feed.Err(), "warning")) << feed.Err();
  EXPECT_EQ(1, camera_.SemaphoreCount());

  const Movie movie = ReadMovie(path);
  ASSERT_EQ("", movie.error);
  ASSERT_EQ(30u, movie.frames.size());
  const size_t luma = size_t{movie.info.width} * movie.info.height;
  for (const Bytes& frame : movie.frames) {
    const uint8_t first = frame[0];
    ASSERT_TRUE(first == 40 || first == 200) << int{first};
    const uint8_t chroma = first == 40 ? 128 : 129;
    for (size_t i = 0; i < frame.size(); ++i) {
      ASSERT_EQ(i < luma ? first : chroma, frame[i]) << "torn at byte " << i;
    }
  }
}

TEST_F(CameraTest, CaptureSaysWhyTheCameraCannotShareFrames) {
  // The camera's own semaphore, made writable by others (a careless chmod):
  // the camera refuses it, and capture tells the user why, not only a code.
  const std::string path = tessel::SemaphorePath(tessel::kDeviceName);
  if (!camera_.SemaphoreExists()) {
    sem_t* sem = sem_open(camera_.semaphore().c_str(), O_CREAT | O_EXCL, 0600, 1);
    ASSERT_NE(SEM_FAILED, sem);
    sem_close(sem);
  }
  struct stat before;
  ASSERT_EQ(0, stat(path.c_str(), &before));
  ASSERT_EQ(0, chmod(path.c_str(), 0666));
  Child& capture = Run(kTool, {"capture", "--frames", "1", "-o", folder_.File("out.y4m")});
  const int status = capture.Wait();
  ASSERT_EQ(0, chmod(path.c_str(), before.st_mode & 07777));
  EXPECT_EQ(1, status) << capture.Err();
  EXPECT_TRUE(Contains(capture.Err(), "Refusing the semaphore " + path +
                                          ": others may write it (mode 0666); remove it with: rm '" +
                                          path + "'"))
      << capture.Err();
}

TEST_F(CameraTest, CapturesGoOnWhenSomeoneRemovesTheSegment) {
  Child& feed = StartCameraFeed({"--size", "320x240", "--rate", "30"});
  // A capture that is running when the segment goes, and one that starts
  // after: both must see frames from the transport made again.
  Child& running = Run(kTool, {"capture", "--frames", "75", "-o", folder_.File("running.y4m")});
  ASSERT_TRUE(WaitFor([&] { return PathExists(folder_.File("running.y4m")); }));
  usleep(300 * 1000);
  const int removed = camera_.SegmentId();
  ASSERT_GE(removed, 0);
  ASSERT_EQ(0, shmctl(removed, IPC_RMID, nullptr));
  ASSERT_TRUE(WaitFor([&] {
    const int id = camera_.SegmentId();
    return id >= 0 && id != removed;
  })) << feed.Err();
  Child& later = Run(kTool, {"capture", "--frames", "3", "-o", folder_.File("later.y4m")});
  EXPECT_EQ(0, later.Wait()) << later.Err();
  EXPECT_EQ(0, running.Wait(20000)) << running.Err();
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "was removed (ipcrm?)")) << feed.Err();
}

}  // namespace
