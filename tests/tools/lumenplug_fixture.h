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
#include "tools/QuorvexLumenPlug/testpattern.h"
#include "tools/QuorvexLumenPlug/y4m.h"

extern char** environ;

namespace lumenplug_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

inline const std::string kTool = QUORVEX_BINARY_DIR "/bin/QuorvexLumenPlug";
inline constexpr int kWaitMs = 20000;
// What the agent keeps in the area's reserved words while it feeds.
inline constexpr uint32_t kProducerMark = 0x4C756D50;

inline long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls `condition` every millisecond until it holds or `timeout_ms` pass.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms = kWaitMs) {
  const long long deadline = NowMs() + timeout_ms;
  while (!condition()) {
    if (NowMs() > deadline) return false;
    const struct timespec tick = {0, 1000000};
    nanosleep(&tick, nullptr);
  }
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline bool HaveProgram(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool PathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// This process's environment with `changes` made: "NAME=value" entries set,
// bare "NAME" entries removed.
inline Strings EnvironmentWith(const Strings& changes) {
  Strings env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) {
                               return e.compare(0, name.size() + 1, name + "=") == 0;
                             }),
              env.end());
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  return env;
}

// A started program; killed at the end of scope if still running.
class Child {
 public:
  // Runs `argv` with standard input from `input`, its output into files of
  // `folder`, and the environment with `environment` entries set ("NAME=..")
  // or removed ("NAME").
  Child(const Strings& argv, const std::string& folder, const std::string& input = "/dev/null",
        const Strings& environment = {}) {
    static int serial = 0;
    const std::string tag = std::to_string(getpid()) + "." + std::to_string(serial++);
    out_path_ = folder + "/out." + tag;
    err_path_ = folder + "/err." + tag;
    const Strings env = EnvironmentWith(environment);
    pid_ = fork();
    if (pid_ != 0) return;
    const int in = open(input.c_str(), O_RDONLY);
    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(120);
    }
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    // The test blocks no signals, but be sure the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(121);
  }

  ~Child() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  // True once it has ended; *status is its exit status, -1 after a signal.
  bool Ended(int* status) {
    if (!done_) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
      done_ = true;
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    *status = status_;
    return true;
  }

  // The exit status; -1 when it died of a signal or had to be killed.
  int Wait(int timeout_ms = kWaitMs) {
    int status = -1;
    if (WaitFor([&] { return Ended(&status); }, timeout_ms)) return status;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    done_ = true;
    status_ = -1;
    return -1;
  }

  std::string Out() const { return ReadFile(out_path_); }
  std::string Err() const { return ReadFile(err_path_); }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// A started program whose controlling terminal is a pseudo-terminal driven
// from here, as a user at a shell runs it; killed at the end of scope if
// still running.
class TerminalChild {
 public:
  TerminalChild(const Strings& argv, const Strings& environment = {}) {
    const Strings env = EnvironmentWith(environment);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ != 0) return;
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(121);
  }
  ~TerminalChild() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  TerminalChild(const TerminalChild&) = delete;
  TerminalChild& operator=(const TerminalChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the terminal until `text` has appeared (anywhere in what it
  // showed so far).
  bool Shows(const std::string& text, int timeout_ms = kWaitMs) {
    return WaitFor(
        [&] {
          struct pollfd ready = {master_, POLLIN, 0};
          char chunk[512];
          if (poll(&ready, 1, 10) == 1) {
            const ssize_t count = read(master_, chunk, sizeof(chunk));
            if (count > 0) screen_.append(chunk, static_cast<size_t>(count));
          }
          return Contains(screen_, text);
        },
        timeout_ms);
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master_, keys.data(), keys.size()));
  }
  // The exit status; -1 when it died of a signal or had to be killed.
  int Wait(int timeout_ms = kWaitMs) {
    int raw = 0;
    if (!WaitFor([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout_ms)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      done_ = true;
      return -1;
    }
    done_ = true;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  const std::string& screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool done_ = false;
  std::string screen_;
};

// A temporary folder per test.
class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/lumenplug_test.XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
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
    // Per user, not per checkout: the camera's names are the user's.
    const std::string lock_path = "/tmp/quorvex-camera-tests-" + std::to_string(getuid()) + ".lock";
    lock_fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock_fd_, 0);
    ASSERT_EQ(0, flock(lock_fd_, LOCK_EX));
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
    if (lock_fd_ >= 0) close(lock_fd_);
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
  int lock_fd_ = -1;
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
