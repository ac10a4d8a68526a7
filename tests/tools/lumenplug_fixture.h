// What the suites of QuorvexLumenPlug share: child processes with their
// output in files, temporary folders, the camera's shared objects seen as a
// reader sees them, and the fixtures that clean them up.
//
// The test process plays a reader of the shared frame area; it finds the
// segment and the semaphore by the names the camera uses, computed here on
// their own, and reads under the lock.
//
// feed takes a testing device name (--device), so that its tests never
// touch a real camera; each test uses a name of its own and removes the
// semaphore, segment and key file it leads to. The camera component always
// uses its fixed name, so the tests that go through it hold the lock the
// camera's own tests hold, and remove only what they created.
#ifndef TESTS_TOOLS_LUMENPLUG_FIXTURE_H_
#define TESTS_TOOLS_LUMENPLUG_FIXTURE_H_

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"
#include "tests/support/camera_lock.h"
#include "tests/support/clock.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/QuorvexLumenPlug/testpattern.h"
#include "tools/QuorvexLumenPlug/y4m.h"

extern char** environ;

namespace lumenplug_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using quorvex_test::Strings;
using quorvex_test::kWaitMs;

inline const std::string kTool = QUORVEX_BINARY_DIR "/bin/QuorvexLumenPlug";
// What the agent keeps in the area's reserved words while it feeds.
inline constexpr uint32_t kProducerMark = 0x4C756D50;

using quorvex_test::Child;
using quorvex_test::Contains;
using quorvex_test::EnvironmentWith;
using quorvex_test::HaveProgram;
using quorvex_test::NowMs;
using quorvex_test::PathExists;
using quorvex_test::ReadFile;
using quorvex_test::TerminalChild;
using quorvex_test::WaitFor;

// A temporary folder per test.
class Folder : public quorvex_test::TempFolder {
 public:
  Folder() : TempFolder("lumenplug_test") {}
};

// One camera device as a reader sees it: its semaphore, key file and
// segment, named as the camera names them.
class Device {
 public:
  explicit Device(std::string name)
      : name_(std::move(name)),
        semaphore_(tessel::SemaphoreName(name_)),
        key_file_(tessel::KeyFilePath(name_)) {}
  ~Device() { Detach(); }

  const std::string& name() const { return name_; }
  const std::string& semaphore() const { return semaphore_; }
  const std::string& key_file() const { return key_file_; }

  bool SemaphoreExists() const {
    sem_t* sem = sem_open(semaphore_.c_str(), 0);
    if (sem == SEM_FAILED) return false;
    sem_close(sem);
    return true;
  }

  int SemaphoreCount() const {
    sem_t* sem = sem_open(semaphore_.c_str(), 0);
    int value = -1;
    if (sem == SEM_FAILED) return -1;
    sem_getvalue(sem, &value);
    sem_close(sem);
    return value;
  }

  // The segment's id; -1 when there is none.
  int SegmentId() const {
    if (!PathExists(key_file_)) return -1;
    const key_t key = tessel::SegmentKey(name_);
    return key == -1 ? -1 : shmget(key, 0, 0);
  }

  // Attaches to the segment and opens the semaphore; false while either is
  // missing.
  bool Attach() {
    if (area_ != nullptr) return true;
    const int id = SegmentId();
    if (id < 0) return false;
    sem_ = sem_open(semaphore_.c_str(), 0);
    if (sem_ == SEM_FAILED) return false;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) return false;
    id_ = id;
    area_ = static_cast<tessel::SharedFrameArea*>(address);
    return true;
  }

  void Detach() {
    if (area_ != nullptr) shmdt(area_);
    area_ = nullptr;
    if (sem_ != SEM_FAILED) sem_close(sem_);
    sem_ = SEM_FAILED;
  }

  int id() const { return id_; }
  tessel::SharedFrameArea* area() const { return area_; }

  struct Frame {
    uint32_t size, width, height, counter, mark, pid;
    Bytes data;
  };

  // The header and the frame, read while holding the lock.
  Frame Read() {
    Frame frame;
    while (sem_wait(sem_) != 0 && errno == EINTR) {
    }
    frame.size = area_->frameSize;
    frame.width = area_->width;
    frame.height = area_->height;
    frame.counter = area_->frameCounter;
    frame.mark = area_->reserved[0];
    frame.pid = area_->reserved[1];
    if (tessel::FrameFits(*area_))
      frame.data.assign(area_->frameData, area_->frameData + frame.size);
    sem_post(sem_);
    return frame;
  }

  // Removes what the name leads to: the segment, the key file, the semaphore.
  void Remove() {
    Detach();
    const int id = SegmentId();
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
    unlink(key_file_.c_str());
    sem_unlink(semaphore_.c_str());
  }

 private:
  std::string name_;
  std::string semaphore_;
  std::string key_file_;
  sem_t* sem_ = SEM_FAILED;
  int id_ = -1;
  tessel::SharedFrameArea* area_ = nullptr;
};

inline std::string UniqueDeviceName() {
  static int serial = 0;
  return "LumenPlug test " + std::to_string(getpid()) + "." + std::to_string(serial++);
}

class FeedTest : public ::testing::Test {
 protected:
  FeedTest() : device_(UniqueDeviceName()) {}
  ~FeedTest() override {
    children_.clear();
    device_.Remove();
  }

  // Any program, e.g. a shell running a pipeline.
  Child& StartProgram(const Strings& argv, const std::string& input = "/dev/null") {
    children_.push_back(std::make_unique<Child>(argv, folder_.path(), input));
    return *children_.back();
  }

  Child& Start(Strings args, const std::string& input = "/dev/null") {
    args.insert(args.begin(), kTool);
    return StartProgram(args, input);
  }

  // feed with the test's device name and `args`.
  Child& StartFeed(Strings args, const std::string& input = "/dev/null") {
    args.insert(args.begin(), {"feed", "--device", device_.name()});
    return Start(args, input);
  }

  // Waits until feed has published a frame and attaches to it.
  bool AttachToFeed(Child& feed) {
    int status = 0;
    return WaitFor([&] {
             if (feed.Ended(&status)) return true;
             return device_.Attach() && device_.Read().size != 0;
           }) &&
           !feed.Ended(&status);
  }

  Folder folder_;
  Device device_;
  std::vector<std::unique_ptr<Child>> children_;
};

// Tests that open the camera: it always uses its own device name, so they
// take the lock that the camera's own tests take, keep the preferences and
// the component search to a folder of their own, and remove only the
// camera's objects that they created.
class CameraTest : public FeedTest {
 protected:
  void SetUp() override {
    lock_ = std::make_unique<quorvex_test::CameraTestLock>();
    ASSERT_TRUE(lock_->held());
    semaphore_existed_ = camera_.SemaphoreExists();
    key_file_existed_ = PathExists(camera_.key_file());
    environment_ = {"XDG_CONFIG_HOME=" + folder_.File("config"),
                    "XDG_DATA_HOME=" + folder_.File("data"), "QUORVEX_COMPONENT_PATH"};
  }

  void TearDown() override {
    children_.clear();
    camera_.Detach();
    if (!key_file_existed_ && PathExists(camera_.key_file())) {
      const int id = camera_.SegmentId();
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
      unlink(camera_.key_file().c_str());
    }
    if (!semaphore_existed_) sem_unlink(camera_.semaphore().c_str());
    lock_.reset();
  }

  Child& Run(const std::string& program, const Strings& args) {
    Strings argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    children_.push_back(std::make_unique<Child>(argv, folder_.path(), "/dev/null", environment_));
    return *children_.back();
  }

  // Starts feed on the camera's own name with `args` and waits until its
  // first frame is in the shared area.
  Child& StartCameraFeed(const Strings& args) {
    Strings argv = {"feed"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child& feed = Run(kTool, argv);
    int status = 0;
    const bool fed = WaitFor(
        [&] { return feed.Ended(&status) || (camera_.Attach() && camera_.Read().size != 0); });
    camera_.Detach();
    EXPECT_TRUE(fed && !feed.Ended(&status)) << "feed did not start: " << feed.Err();
    return feed;
  }

  Device camera_{tessel::kDeviceName};
  Strings environment_;
  std::unique_ptr<quorvex_test::CameraTestLock> lock_;
  bool semaphore_existed_ = false;
  bool key_file_existed_ = false;
};

// A YUV4MPEG2 file as an independent reader of the format sees it: its
// header and its frames in the shared area's layout.
struct Movie {
  lumenplug::Y4mStreamInfo info;
  std::vector<Bytes> frames;
  std::string error;  // empty when the whole file parsed
};

inline Movie ReadMovie(const std::string& path) {
  Movie movie;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    movie.error = "cannot open " + path + ": " + strerror(errno);
    return movie;
  }
  lumenplug::Y4mReader reader(fd);
  if (reader.ReadHeader(&movie.info, tessel::kFrameDataBytes) != lumenplug::Y4mReader::kOk) {
    movie.error = reader.error();
  } else {
    Bytes frame;
    lumenplug::Y4mReader::Status status;
    while ((status = reader.ReadFrame(&frame)) == lumenplug::Y4mReader::kOk) {
      movie.frames.push_back(frame);
    }
    if (status != lumenplug::Y4mReader::kEnd) movie.error = reader.error();
  }
  close(fd);
  return movie;
}

// The number of the test pattern's frame that `frame` shows, looking at the
// numbers from `first` on; -1 when it is none of them. feed draws frame i of
// its run as pattern frame i, and the pattern never repeats a frame.
inline int64_t PatternFrameNumber(const Bytes& frame, uint32_t width, uint32_t height,
                                  uint64_t first) {
  // feed runs at 30 frames per second; a test reads its frames within a
  // minute of starting it.
  constexpr uint64_t kFramesToSearch = 30 * 60;
  const lumenplug::TestPattern pattern(width, height);
  Bytes drawn(tessel::PlanarFrameBytes(width, height));
  if (frame.size() != drawn.size()) return -1;
  for (uint64_t number = first; number < first + kFramesToSearch; ++number) {
    pattern.Render(number, drawn.data());
    if (drawn == frame) return static_cast<int64_t>(number);
  }
  return -1;
}

// Tests in a private PipeWire session of their own (pipewire, wireplumber
// and a private bus, with the desktop portal when `portal_` is set by the
// derived fixture's constructor), started by scripts/pipewire-session.sh;
// the children they run join it.
class PipeWireSessionTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    if (HasFatalFailure()) return;
    session_dir_ = folder_.File("pipewire");
    Strings args = {"start", "--dir", session_dir_};
    if (portal_) args.push_back("--portal");
    Child& start = Run(kSessionScript, args);
    ASSERT_EQ(0, start.Wait(60000)) << "no private PipeWire session: " << start.Err();
    session_started_ = true;
    // The session's variables, as the script wrote them for shells.
    std::istringstream lines(ReadFile(session_dir_ + "/session.env"));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("export ", 0) != 0) continue;
      std::string unquoted;
      for (size_t i = 7; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        if (line[i] != '\'') unquoted += line[i];
      }
      environment_.push_back(unquoted);
    }
    ASSERT_TRUE(Contains(ReadFile(session_dir_ + "/session.env"), "XDG_RUNTIME_DIR"));
  }

  void TearDown() override {
    children_.clear();
    if (session_started_) {
      Child& stop = Run(kSessionScript, {"stop", session_dir_});
      EXPECT_EQ(0, stop.Wait()) << stop.Err();
    }
    CameraTest::TearDown();
  }

  // True while PipeWire lists a node of that name.
  bool NodeListed(const std::string& name) {
    Child& list = Run("/usr/bin/env", {"pw-cli", "ls", "Node"});
    list.Wait();
    return Contains(list.Out(), "node.name = \"" + name + "\"");
  }

  inline static const std::string kSessionScript =
      QUORVEX_SOURCE_DIR "/scripts/pipewire-session.sh";
  bool portal_ = false;
  std::string session_dir_;
  bool session_started_ = false;
};

}  // namespace lumenplug_test

#endif  // TESTS_TOOLS_LUMENPLUG_FIXTURE_H_
