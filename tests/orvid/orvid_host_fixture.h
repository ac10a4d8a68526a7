// What the camera component's tests share: the scriptable host program
// (orvid_test_host) run as a child process and driven line by line, the
// fixture that gives every test a private preferences folder and the lock
// that keeps the tests of the component apart, and small readers of what
// the component leaves behind (its log, the semaphore, the key file and the
// shared segment).
//
// The component names its mutex and segment after its device name, which no
// test can change, so every test of the fixture holds an exclusive lock for
// its whole run (also against the same tests of another build of this tree),
// and removes what it created.
#ifndef TESTS_ORVID_ORVID_HOST_FIXTURE_H_
#define TESTS_ORVID_ORVID_HOST_FIXTURE_H_

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/preferences.h"
#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"
#include "tests/support/camera_lock.h"
#include "tests/support/files.h"

namespace orvid_test {

namespace fs = std::filesystem;

inline constexpr char kAgentDomain[] = "com.quorvex.LumenPlug";
using tessel::kDeviceName;
inline constexpr char kBundleLibrary[] = ORVID_BUNDLE_DIR "/QuorvexCameraAdapter0.so";
inline constexpr char kHostProgram[] = QUORVEX_BINARY_DIR "/bin/orvid_test_host";

inline constexpr long kBadComponentSelector = static_cast<int32_t>(0x80008002u);
inline constexpr size_t kSharedAreaBytes = tessel::kSharedFrameAreaBytes;

inline std::string SemaphoreName() { return tessel::SemaphoreName(kDeviceName); }
inline std::string KeyFile() { return tessel::KeyFilePath(kDeviceName); }

using quorvex_test::PathExists;
using quorvex_test::ReadFile;
using quorvex_test::WriteFile;

inline bool SemaphoreExists() {
  sem_t* sem = sem_open(SemaphoreName().c_str(), 0);
  if (sem == SEM_FAILED) return false;
  sem_close(sem);
  return true;
}

inline int SemaphoreCount() {
  sem_t* sem = sem_open(SemaphoreName().c_str(), 0);
  if (sem == SEM_FAILED) return -1;
  int value = -1;
  sem_getvalue(sem, &value);
  sem_close(sem);
  return value;
}

// The key the producer makes from the key file; -1 while there is none.
inline key_t SharedAreaKey() { return tessel::SegmentKey(kDeviceName); }

// The shared area's segment behind `key`, or -1. A segment of another size
// is not the camera's: ftok keys come from inode numbers, which tests of the
// transport running at the same time may share with the device's key file.
inline int AreaSegment(key_t key) {
  if (key == -1) return -1;
  const int id = shmget(key, 0, 0);
  struct shmid_ds status;
  if (id < 0 || shmctl(id, IPC_STAT, &status) != 0) return -1;
  return status.shm_segsz == kSharedAreaBytes ? id : -1;
}

// The status of the segment `id`; false once it is gone.
inline bool SegmentStatus(int id, struct shmid_ds* status) {
  return id >= 0 && shmctl(id, IPC_STAT, status) == 0;
}

// The last blank-separated word of a host's answer as a number.
inline long Result(const std::string& answer) {
  const size_t blank = answer.rfind(' ');
  return strtol(answer.c_str() + (blank == std::string::npos ? 0 : blank + 1), nullptr, 0);
}

// Bytes as pairs of lower-case hexadecimal digits, and back ("" for text
// that is not such pairs).
inline std::string Hex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

inline std::vector<uint8_t> Unhex(const std::string& text) {
  std::vector<uint8_t> bytes;
  if (text.size() % 2 != 0) return bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A host argument that passes the address of a buffer holding `value`; the
// answer reports the buffer after the call.
template <class T>
std::string BytesArgument(const T& value) {
  return "bytes:" + Hex(&value, sizeof(value));
}

// A host argument for an out-parameter of `size` bytes, preset to 0xAA so
// that what the component writes (zeros included) shows.
inline std::string PresetArgument(size_t size) { return "bytes:" + std::string(2 * size, 'a'); }

// A value of type T read from `bytes` at `offset` (zero when out of range).
template <class T>
T ReadAs(const std::vector<uint8_t>& bytes, size_t offset = 0) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

// The answer of a "call" command: the result and the contents of every
// buffer and handle argument after the call, in argument order.
struct CallAnswer {
  long result = 0;
  std::vector<std::vector<uint8_t>> outputs;
};

inline CallAnswer ParseCallAnswer(const std::string& answer) {
  CallAnswer parsed;
  std::istringstream in(answer);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.size() < 4 || words[0] != "call") {
    ADD_FAILURE() << "not a call answer: " << answer;
    parsed.result = 0x7FFFFFFF;
    return parsed;
  }
  parsed.result = strtol(words[3].c_str(), nullptr, 0);
  for (size_t i = 4; i < words.size(); ++i) {
    const size_t equals = words[i].find('=');
    parsed.outputs.push_back(Unhex(equals == std::string::npos ? "" : words[i].substr(equals + 1)));
  }
  return parsed;
}

// The answer of a "poll" command, one OrvidCompressDone.
struct PollAnswer {
  long result = 0x7FFFFFFF;
  long ready = -1;
  long size = 0;
  long similarity = -1;
  long long value = 0;  // the time record; -1 and -1 when left unwritten
  long scale = 0;
  std::string base;  // "host", "null" or "other"
  long microseconds = 0;
};

inline PollAnswer ParsePollAnswer(const std::string& answer) {
  PollAnswer parsed;
  std::istringstream in(answer);
  std::string word;
  std::vector<std::string> words;
  for (; in >> word;) words.push_back(word);
  if (words.size() != 10 || words[0] != "poll") {
    ADD_FAILURE() << "not a poll answer: " << answer;
    return parsed;
  }
  parsed.result = strtol(words[2].c_str(), nullptr, 0);
  for (size_t i = 3; i < words.size(); ++i) {
    const size_t equals = words[i].find('=');
    const std::string key = words[i].substr(0, equals);
    const std::string value = words[i].substr(equals + 1);
    if (key == "ready") parsed.ready = std::stol(value);
    if (key == "size") parsed.size = std::stol(value);
    if (key == "similarity") parsed.similarity = std::stol(value);
    if (key == "value") parsed.value = std::stoll(value);
    if (key == "scale") parsed.scale = std::stol(value);
    if (key == "base") parsed.base = value;
    if (key == "us") parsed.microseconds = std::stol(value);
  }
  return parsed;
}

// One running host program. Commands go to its standard input; each answer
// is one line on its standard output. Its standard error (the component's
// debug sink) goes to a file.
class Host {
 public:
  Host(const std::string& program, const std::string& stderr_path) : stderr_path_(stderr_path) {
    int to_host[2], from_host[2];
    if (pipe(to_host) != 0 || pipe(from_host) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      const int error_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(to_host[0], 0);
      dup2(from_host[1], 1);
      dup2(error_fd, 2);
      for (int fd : {to_host[0], to_host[1], from_host[0], from_host[1], error_fd}) close(fd);
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to_host[0]);
    close(from_host[1]);
    to_host_ = to_host[1];
    from_host_ = from_host[0];
  }

  ~Host() {
    if (to_host_ >= 0) close(to_host_);
    if (from_host_ >= 0) close(from_host_);
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Sends one command and returns the answer; "" when the host ended or did
  // not answer within a minute.
  std::string Do(const std::string& command) {
    const std::string line = command + "\n";
    if (write(to_host_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    for (;;) {
      struct pollfd ready = {from_host_, POLLIN, 0};
      if (poll(&ready, 1, 60000) != 1) return "";
      char byte = 0;
      if (read(from_host_, &byte, 1) != 1) return "";
      if (byte == '\n') return answer;
      answer += byte;
    }
  }

  long Open(int slot) { return Result(Do("open " + std::to_string(slot))); }
  long Close(int slot) { return Result(Do("close " + std::to_string(slot))); }
  long Call(int slot, int selector) {
    return Result(Do("call " + std::to_string(slot) + " " + std::to_string(selector)));
  }
  long CanDo(int slot, int selector) {
    return Result(Do("cando " + std::to_string(slot) + " " + std::to_string(selector)));
  }
  long LiveHandles() { return Result(Do("handles")); }

  // Calls `selector` with the typed arguments of the host's "call" command.
  CallAnswer CallWith(int slot, int selector, const std::string& arguments) {
    return ParseCallAnswer(
        Do("call " + std::to_string(slot) + " " + std::to_string(selector) + " " + arguments));
  }

  // One poll; a frame handed out has its first `bytes` bytes written to
  // `path` when a path is given.
  PollAnswer Poll(int slot, const std::string& path = "", size_t bytes = 0) {
    std::string command = "poll " + std::to_string(slot);
    if (!path.empty()) command += " " + path + " " + std::to_string(bytes);
    return ParsePollAnswer(Do(command));
  }
  long Release(int slot) { return Result(Do("release " + std::to_string(slot))); }
  long SetTimeBase(int slot) { return Result(Do("settimebase " + std::to_string(slot))); }
  long long Time() { return Result(Do("time")); }

  // Ends the host; its exit status, or -1 when it did not exit normally.
  int Quit() {
    const std::string answer = Do("quit");
    close(to_host_);
    to_host_ = -1;
    int status = 0;
    exited_ = true;
    if (waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status) || answer != "bye") return -1;
    return WEXITSTATUS(status);
  }

  std::string Stderr() const { return ReadFile(stderr_path_); }

 private:
  std::string stderr_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int to_host_ = -1;
  int from_host_ = -1;
};

// Everything after the timestamp of each line of a log, with source line
// numbers replaced by N; a line without a well-formed timestamp is kept
// whole behind "NO TIMESTAMP: ", so that comparisons show it.
inline std::vector<std::string> LogLines(const std::string& text) {
  static const std::regex kTimestamp(R"(^\[\d{3,}:\d{3}\] )");
  static const std::regex kPosition(R"(\((\w+\.cc):\d+\))");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, kTimestamp)) {
      lines.push_back("NO TIMESTAMP: " + line);
      continue;
    }
    lines.push_back(std::regex_replace(line.substr(match.length()), kPosition, "($1:N)"));
  }
  return lines;
}

class OrvidHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lock_ = std::make_unique<quorvex_test::CameraTestLock>();
    ASSERT_TRUE(lock_->held());

    temp_ = std::make_unique<quorvex_test::TempFolder>("orvid-test");
    ASSERT_FALSE(temp_->path().empty());
    folder_ = temp_->path();
    setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
    // No components but the build's own.
    setenv("XDG_DATA_HOME", (folder_ + "/data").c_str(), 1);
    unsetenv("QUORVEX_COMPONENT_PATH");
    log_path_ = folder_ + "/cam.log";

    semaphore_existed_ = SemaphoreExists();
    key_file_existed_ = PathExists(KeyFile());
  }

  void TearDown() override {
    hosts_.clear();
    if (!key_file_existed_ && PathExists(KeyFile())) {
      const int id = AreaSegment(SharedAreaKey());
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
      unlink(KeyFile().c_str());
    }
    if (!semaphore_existed_) sem_unlink(SemaphoreName().c_str());
    temp_.reset();
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    lock_.reset();
  }

  void SetPreference(const std::string& key, const std::string& value) {
    std::string error;
    ASSERT_TRUE(platform::SetPreferenceString(kAgentDomain, key, value, &error)) << error;
  }

  // The usual settings: everything logged, to cam.log (so cam.log0).
  void LogEverything() {
    SetPreference("orvid_log_level", "LS_VERBOSE");
    SetPreference("orvid_log_path", log_path_);
  }

  // Starts the host program under `name` and points it at the build's
  // components.
  Host& StartHost(const std::string& name) {
    const std::string program = folder_ + "/bin/" + name;
    if (!PathExists(program)) {
      fs::create_directories(folder_ + "/bin");
      fs::copy_file(kHostProgram, program);
    }
    hosts_.push_back(std::make_unique<Host>(
        program, folder_ + "/" + name + "-" + std::to_string(hosts_.size()) + ".stderr"));
    Host& host = *hosts_.back();
    const std::string components = fs::path(ORVID_BUNDLE_DIR).parent_path().string();
    EXPECT_EQ("ok", host.Do("folder " + components));
    return host;
  }

  std::string LogText() const { return ReadFile(log_path_ + "0"); }
  std::vector<std::string> Log() const { return LogLines(LogText()); }

  // The lines of a successful Open in a host called `name`, from the first.
  std::vector<std::string> OpenLines(const std::string& name) const {
    return {
        "Orvid 0: OrvidOpen: ",
        "Orvid 0: MayWeRun: ",
        "Orvid 0: Process name: " + name + ", allowed=1",
        "Orvid 0: Quorvex Camera Adapter 0",
        "Mutex name = '" + SemaphoreName() + "'",
        "Shared Memory name = '" + KeyFile() + "'",
        "SharedMemory::Open size=461056",
    };
  }

  // The lines of a refused Open and the Close that follows it.
  std::vector<std::string> RefusalLines(const std::string& name, bool allowed,
                                        const std::string& error) const {
    return {
        "Orvid 0: OrvidOpen: ",
        "Orvid 0: MayWeRun: ",
        "Orvid 0: Process name: " + name + ", allowed=" + (allowed ? "1" : "0"),
        "Error(orvidmac.cc:N): Orvid 0: OrvidOpen: " + error,
        "Orvid 0: OrvidClose: ",
    };
  }

  // The lines of the Close of the last user of the segment.
  static std::vector<std::string> LastCloseLines() {
    return {
        "Orvid 0: OrvidClose: ", "SharedMemory::Close()",
        "1 user attached.",      "Last user of the shared memory, cleaning up!",
        "SharedMemory::Close()",
    };
  }

  // Quits the host and checks that it ended cleanly: exit status 0 and no
  // sanitizer report (a leak found at exit makes the status non-zero).
  static void ExpectCleanExit(Host& host) {
    EXPECT_EQ(0, host.Quit());
    const std::string errors = host.Stderr();
    EXPECT_EQ(std::string::npos, errors.find("Sanitizer")) << errors;
  }

  std::string folder_;
  std::string log_path_;
  std::vector<std::unique_ptr<Host>> hosts_;

 private:
  std::unique_ptr<quorvex_test::CameraTestLock> lock_;
  std::unique_ptr<quorvex_test::TempFolder> temp_;
  bool semaphore_existed_ = false;
  bool key_file_existed_ = false;
};

template <class T>
std::vector<T> Concat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace orvid_test

#endif  // TESTS_ORVID_ORVID_HOST_FIXTURE_H_
