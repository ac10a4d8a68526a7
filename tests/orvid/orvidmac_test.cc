// The camera component as a host sees it: the built bundle, loaded by the
// platform's component manager into orvid_test_host, which the tests copy
// under the names of real (and of refused) host processes and drive line by
// line. The tests read what the component leaves behind: its answers, its
// log file, the named semaphore, the key file and the shared segment.
//
// The component names its mutex and segment after its device name, which no
// test can change, so every test here holds an exclusive lock for its whole
// run (also against the same tests of another build of this tree), and
// removes what it created.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/preferences.h"

namespace {

namespace fs = std::filesystem;

const char kAgentDomain[] = "com.quorvex.LumenPlug";
const char kDeviceName[] = "Quorvex Camera Adapter 0";
const char kBundleLibrary[] = ORVID_BUNDLE_DIR "/QuorvexCameraAdapter0.so";
const char kHostProgram[] = QUORVEX_BINARY_DIR "/bin/orvid_test_host";

constexpr long kBadComponentSelector = static_cast<int32_t>(0x80008002u);
constexpr size_t kSharedAreaBytes = 461056;

std::string Uid() { return std::to_string(getuid()); }
std::string SemaphoreName() { return std::string(kDeviceName) + "_" + Uid(); }
std::string KeyFile() { return "/tmp/" + std::string(kDeviceName) + "_" + Uid(); }

bool PathExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

bool SemaphoreExists() {
  sem_t* sem = sem_open(SemaphoreName().c_str(), 0);
  if (sem == SEM_FAILED) return false;
  sem_close(sem);
  return true;
}

int SemaphoreCount() {
  sem_t* sem = sem_open(SemaphoreName().c_str(), 0);
  if (sem == SEM_FAILED) return -1;
  int value = -1;
  sem_getvalue(sem, &value);
  sem_close(sem);
  return value;
}

// The key the producer makes from the key file; -1 while there is none.
key_t SharedAreaKey() { return ftok(KeyFile().c_str(), static_cast<int>(getuid())); }

// The shared area's segment behind `key`, or -1. A segment of another size
// is not the camera's: ftok keys come from inode numbers, which tests of the
// transport running at the same time may share with the device's key file.
int AreaSegment(key_t key) {
  if (key == -1) return -1;
  const int id = shmget(key, 0, 0);
  struct shmid_ds status;
  if (id < 0 || shmctl(id, IPC_STAT, &status) != 0) return -1;
  return status.shm_segsz == kSharedAreaBytes ? id : -1;
}

// The status of the segment `id`; false once it is gone.
bool SegmentStatus(int id, struct shmid_ds* status) {
  return id >= 0 && shmctl(id, IPC_STAT, status) == 0;
}

// The last blank-separated word of a host's answer as a number.
long Result(const std::string& answer) {
  const size_t blank = answer.rfind(' ');
  return strtol(answer.c_str() + (blank == std::string::npos ? 0 : blank + 1), nullptr, 0);
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
std::vector<std::string> LogLines(const std::string& text) {
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
    lock_fd_ = open(QUORVEX_SOURCE_DIR "/orvid/orvidmac.cc", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lock_fd_, 0);
    ASSERT_EQ(0, flock(lock_fd_, LOCK_EX));

    char folder[] = "/tmp/orvid-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    folder_ = folder;
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
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    if (lock_fd_ >= 0) close(lock_fd_);  // releases the lock
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
        "Mutex name = 'Quorvex Camera Adapter 0_" + Uid() + "'",
        "Shared Memory name = '/tmp/Quorvex Camera Adapter 0_" + Uid() + "'",
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
  int lock_fd_ = -1;
  bool semaphore_existed_ = false;
  bool key_file_existed_ = false;
};

template <class T>
std::vector<T> Concat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------------------
// The bundle.

// The names of the symbols a shared object exports (defined, global or weak).
std::set<std::string> ExportedSymbols(const std::string& path) {
  const std::string image = ReadFile(path);
  std::set<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr)) return names;
  const char* base = image.data();
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
  if (memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64 ||
      header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) > image.size()) {
    return names;
  }
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM || sections[i].sh_link >= header->e_shnum) continue;
    const Elf64_Shdr& strings = sections[sections[i].sh_link];
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(base + sections[i].sh_offset);
    const size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
    for (size_t j = 0; j < count; ++j) {
      const unsigned char binding = ELF64_ST_BIND(symbols[j].st_info);
      if (symbols[j].st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) {
        continue;
      }
      names.insert(base + strings.sh_offset + symbols[j].st_name);
    }
  }
  return names;
}

TEST(OrvidBundle, ExportsOnlyTheEntryPointsAndTheVersionStamp) {
  const std::set<std::string> expected = {
      "OrvidComponentDispatch",
      "OrvidOpen",
      "OrvidClose",
      "OrvidCanDo",
      "OrvidVersion",
      "Quorvex_Camera_Adapter_0VersionNumber",
      "Quorvex_Camera_Adapter_0VersionString",
  };
  EXPECT_EQ(expected, ExportedSymbols(kBundleLibrary));

  void* library = dlopen(kBundleLibrary, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  const auto* number =
      static_cast<const double*>(dlsym(library, "Quorvex_Camera_Adapter_0VersionNumber"));
  const auto* text =
      static_cast<const char*>(dlsym(library, "Quorvex_Camera_Adapter_0VersionString"));
  ASSERT_NE(nullptr, number);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(99.99, *number);
  EXPECT_STREQ("@(#)PROGRAM:Quorvex Camera Adapter 0  PROJECT:mossreed-99.99.99.455\n", text);
}

TEST_F(OrvidHostTest, RegistersAsAVideoDigitizerWithItsNames) {
  Host& host = StartHost("Safari");
  const std::string info = host.Do("info");
  EXPECT_NE(std::string::npos, info.find("\ttype=vdig\t")) << info;
  EXPECT_NE(std::string::npos, info.find("\tname=Quorvex Camera Adapter 0\t")) << info;
  EXPECT_NE(std::string::npos, info.find("\titem1=Quorvex Camera Adapter 0\t")) << info;
  const size_t item2 = info.find("\titem2=");
  ASSERT_NE(std::string::npos, item2) << info;
  const std::string format_name = info.substr(item2 + 7);
  EXPECT_FALSE(format_name.empty());
  EXPECT_LE(format_name.size(), 31u);  // it must fit the image description
  ExpectCleanExit(host);
}

// ---------------------------------------------------------------------------
// The gates.

TEST_F(OrvidHostTest, OpensInEveryAllowedHost) {
  LogEverything();
  for (const char* name : {"QuorvexLumenPlug", "firefox-bin", "Safari", "Camino", "Opera", "prism",
                           "FluidInstance", "seamonkey-bin"}) {
    SCOPED_TRACE(name);
    Host& host = StartHost(name);
    EXPECT_EQ(0, host.Open(0));
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ("Orvid 0: Process name: " + std::string(name) + ", allowed=1", log[2]);
    EXPECT_EQ(0, host.Close(0));
    ExpectCleanExit(host);
  }
}

TEST_F(OrvidHostTest, RefusesHostsNotOnTheList) {
  LogEverything();
  // "QuorvexLumenPlu" is the agent's name as the kernel would cut it.
  for (const char* name : {"safari", "Safari2", "QuorvexLumenPlu", "orvid_test_host"}) {
    SCOPED_TRACE(name);
    Host& host = StartHost(name);
    const long handles = host.LiveHandles();
    EXPECT_EQ(-2090, host.Open(0));
    EXPECT_EQ(RefusalLines(name, false, "Not an allowed process!"), Log());
    EXPECT_EQ(handles, host.LiveHandles());
    EXPECT_FALSE(PathExists(KeyFile()));
    ExpectCleanExit(host);
  }
}

TEST_F(OrvidHostTest, RefusesSystemsBefore10_4_8) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ("ok", host.Do("sysversion 10 4 7"));
  EXPECT_EQ(-1, host.Open(0));
  EXPECT_EQ(RefusalLines("Safari", true, "Unsupported OS version!"), Log());
  EXPECT_FALSE(PathExists(KeyFile()));

  ASSERT_EQ("ok", host.Do("sysversion 10 4 8"));
  EXPECT_EQ(0, host.Open(0));
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, RefusesToOpenWhenTheSystemVersionCannotBeRead) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ("ok", host.Do("gestalterror -5551"));
  EXPECT_EQ(-1, host.Open(0));
  EXPECT_EQ(RefusalLines("Safari", true, "Unsupported OS version!"), Log());
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, RefusesASecondInstanceInTheSameProcess) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  EXPECT_EQ(-2090, host.Open(1));
  // The refused Open reopened (and emptied) the log file; its Close then
  // removed the file sink for the whole process.
  EXPECT_EQ(RefusalLines("Safari", true, "More than one Orvid is running!"), Log());

  // The first instance goes on working and logs to standard error only.
  EXPECT_EQ(0x00020001, host.Call(0, -4));
  EXPECT_EQ(RefusalLines("Safari", true, "More than one Orvid is running!"), Log());
  const std::vector<std::string> errors = LogLines(host.Stderr());
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ("Orvid 0: OrvidVersion: ", errors.back());

  EXPECT_TRUE(PathExists(KeyFile()));
  EXPECT_EQ(0, host.Close(0));
  EXPECT_FALSE(PathExists(KeyFile()));
  ExpectCleanExit(host);
}

// ---------------------------------------------------------------------------
// Logging.

TEST_F(OrvidHostTest, LogFileHoldsEveryLineOfOpenAndClose) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  const key_t key = SharedAreaKey();
  ASSERT_NE(-1, key);
  EXPECT_EQ(Concat(OpenLines("Safari"),
                   {"key_ = " + std::to_string(key), "Orvid 0: OrvidOpen: Returned 0"}),
            Log());
  ASSERT_EQ(0, host.Close(0));
  EXPECT_EQ(Concat(Concat(OpenLines("Safari"),
                          {"key_ = " + std::to_string(key), "Orvid 0: OrvidOpen: Returned 0"}),
                   LastCloseLines()),
            Log());

  // Every line starts with the elapsed time, which never goes back.
  const std::string text = LogText();
  static const std::regex kTimestamp(R"(\[(\d{3,}):(\d{3})\] [^\n]*\n)");
  long previous_ms = 0;
  size_t lines = 0;
  long next_line = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kTimestamp);
       it != std::sregex_iterator(); ++it, ++lines) {
    EXPECT_EQ(next_line, it->position()) << "text between lines";
    next_line = it->position() + it->length();
    const long ms = std::stol((*it)[1]) * 1000 + std::stol((*it)[2]);
    EXPECT_GE(ms, previous_ms);
    previous_ms = ms;
  }
  EXPECT_EQ(static_cast<long>(text.size()), next_line);
  EXPECT_EQ(Log().size(), lines);
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, LogFileIsEmptiedAtEachOpen) {
  LogEverything();
  WriteFile(log_path_ + "0", "stale line\n");
  {
    Host& host = StartHost("Safari");
    ASSERT_EQ(0, host.Open(0));
    ASSERT_EQ(0, host.Close(0));
    ExpectCleanExit(host);
  }
  const std::vector<std::string> first = Log();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ("Orvid 0: OrvidOpen: ", first.front());

  Host& again = StartHost("Safari");
  ASSERT_EQ(0, again.Open(0));
  ASSERT_EQ(0, again.Close(0));
  ExpectCleanExit(again);
  EXPECT_EQ(first.size(), Log().size());
}

TEST_F(OrvidHostTest, LogLevelComesFromTheAgentsPreferences) {
  SetPreference("orvid_log_path", log_path_);
  const std::vector<std::string> info_lines = {
      "Orvid 0: Quorvex Camera Adapter 0",
      "Mutex name = 'Quorvex Camera Adapter 0_" + Uid() + "'",
      "Shared Memory name = '/tmp/Quorvex Camera Adapter 0_" + Uid() + "'",
  };
  const std::vector<std::string> refusal = {
      "Error(orvidmac.cc:N): Orvid 0: OrvidOpen: Not an allowed process!"};
  const std::vector<std::string> nothing;
  struct Case {
    const char* level;  // null: not set
    std::vector<std::string> open_and_close;
    std::vector<std::string> refused;
  } cases[] = {
      {nullptr, info_lines, refusal},   {"", info_lines, refusal},
      {"LS_INFO", info_lines, refusal}, {"2", info_lines, refusal},
      {"LS_WARNING", nothing, refusal}, {"3", nothing, refusal},
      {"LS_ERROR", nothing, refusal},   {"verbose", nothing, nothing},
      {"5", nothing, nothing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level == nullptr ? "<unset>" : c.level);
    if (c.level != nullptr) SetPreference("orvid_log_level", c.level);

    Host& allowed = StartHost("Safari");
    ASSERT_EQ(0, allowed.Open(0));
    ASSERT_EQ(0, allowed.Close(0));
    ExpectCleanExit(allowed);
    EXPECT_EQ(c.open_and_close, Log());

    Host& refused = StartHost("safari");
    ASSERT_EQ(-2090, refused.Open(0));
    ExpectCleanExit(refused);
    EXPECT_EQ(c.refused, Log());
  }
}

TEST_F(OrvidHostTest, LogFileThatCannotBeOpenedIsLeftOut) {
  SetPreference("orvid_log_level", "LS_VERBOSE");
  SetPreference("orvid_log_path", folder_ + "/no/such/folder/cam.log");
  Host& host = StartHost("Safari");
  EXPECT_EQ(0, host.Open(0));
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
  // Standard error still had everything.
  const std::vector<std::string> errors = LogLines(host.Stderr());
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ("Orvid 0: OrvidOpen: ", errors.front());
  EXPECT_EQ("SharedMemory::Close()", errors.back());
}

// ---------------------------------------------------------------------------
// Dispatch.

TEST_F(OrvidHostTest, SelectorsOutsideTheTablesAreRefused) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  const size_t lines = Log().size();
  for (int selector : {0, 1, 6, 68, 97, 98, 255, 256, 4096, 32767, -5, -6, -32768}) {
    SCOPED_TRACE(selector);
    EXPECT_EQ(kBadComponentSelector, host.Call(0, selector));
    EXPECT_EQ(0, host.CanDo(0, selector));
  }
  EXPECT_EQ(lines, Log().size());  // neither writes a line
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, CanDoAnswersOneForExactlyTheImplementedSelectors) {
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  EXPECT_EQ("candoall 0 -4,-3,-2,-1", host.Do("candoall 0"));
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, VersionIsTwoPointOne) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  EXPECT_EQ(0x00020001, host.Call(0, -4));
  EXPECT_EQ("Orvid 0: OrvidVersion: ", Log().back());
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
}

// ---------------------------------------------------------------------------
// The frame transport.

TEST_F(OrvidHostTest, OpenMakesTheMutexAndTheSegmentAndCloseRemovesThem) {
  Host& host = StartHost("QuorvexLumenPlug");
  ASSERT_EQ(0, host.Open(0));

  // What the producer looks for: the semaphore (free), the key file, and a
  // segment of the shared area's size that only this user may use.
  EXPECT_EQ(1, SemaphoreCount());
  struct stat key_file;
  ASSERT_EQ(0, lstat(KeyFile().c_str(), &key_file));
  EXPECT_TRUE(S_ISREG(key_file.st_mode));
  EXPECT_EQ(0, key_file.st_size);
  const int id = AreaSegment(SharedAreaKey());
  struct shmid_ds segment;
  ASSERT_TRUE(SegmentStatus(id, &segment));
  EXPECT_EQ(kSharedAreaBytes, segment.shm_segsz);
  EXPECT_EQ(0660u, segment.shm_perm.mode & 0777u);
  EXPECT_EQ(1u, segment.shm_nattch);

  EXPECT_EQ(0, host.Close(0));
  EXPECT_FALSE(PathExists(KeyFile()));
  EXPECT_FALSE(SegmentStatus(id, &segment));
  EXPECT_EQ(1, SemaphoreCount());  // never removed, and left free
  ExpectCleanExit(host);
}

TEST_F(OrvidHostTest, TwoHostsShareTheAreaAndTheLastCloseRemovesIt) {
  Host& browser = StartHost("Safari");
  Host& agent = StartHost("QuorvexLumenPlug");
  ASSERT_EQ(0, browser.Open(0));
  ASSERT_EQ(0, agent.Open(0));
  const int id = AreaSegment(SharedAreaKey());
  struct shmid_ds segment;
  ASSERT_TRUE(SegmentStatus(id, &segment));
  EXPECT_EQ(2u, segment.shm_nattch);

  EXPECT_EQ(0, browser.Close(0));
  ASSERT_TRUE(SegmentStatus(id, &segment));
  EXPECT_EQ(1u, segment.shm_nattch);
  EXPECT_TRUE(PathExists(KeyFile()));

  EXPECT_EQ(0, agent.Close(0));
  EXPECT_FALSE(SegmentStatus(id, &segment));
  EXPECT_FALSE(PathExists(KeyFile()));
  ExpectCleanExit(browser);
  ExpectCleanExit(agent);
}

// True when this C library keeps named semaphores as /dev/shm/sem.NAME.
bool SemaphoresLiveInDevShm() {
  const std::string probe = "orvid-test-probe-" + std::to_string(getpid());
  sem_t* sem = sem_open(probe.c_str(), O_CREAT | O_EXCL, 0600, 1u);
  if (sem == SEM_FAILED) return false;
  const bool found = PathExists("/dev/shm/sem." + probe);
  sem_close(sem);
  sem_unlink(probe.c_str());
  return found;
}

TEST_F(OrvidHostTest, OpenWithoutAMutexFailsAndCloseFreesTheSegment) {
  if (SemaphoreExists()) GTEST_SKIP() << "a semaphore of the device's name is in use";
  if (!SemaphoresLiveInDevShm()) GTEST_SKIP() << "cannot plant an unopenable semaphore";
  // A directory where the semaphore would be: it exists, but cannot be opened.
  const std::string planted = "/dev/shm/sem." + SemaphoreName();
  ASSERT_EQ(0, mkdir(planted.c_str(), 0700));
  LogEverything();
  Host& host = StartHost("Safari");
  const long handles = host.LiveHandles();
  EXPECT_EQ(-23, host.Open(0));
  EXPECT_EQ(handles, host.LiveHandles());  // the refused instance was closed
  rmdir(planted.c_str());

  // The segment was still made: its key is in the log.
  std::vector<std::string> log = Log();
  ASSERT_GT(log.size(), 10u);
  ASSERT_EQ(0u, log[10].rfind("key_ = ", 0)) << log[10];
  const key_t key = static_cast<key_t>(std::stol(log[10].substr(7)));
  EXPECT_NE(-1, key);

  const std::vector<std::string> expected = {
      "Orvid 0: OrvidOpen: ",
      "Orvid 0: MayWeRun: ",
      "Orvid 0: Process name: Safari, allowed=1",
      "Orvid 0: Quorvex Camera Adapter 0",
      "Mutex name = 'Quorvex Camera Adapter 0_" + Uid() + "'",
      "Error(sharedmem.cc:N): sem_open failed with " + std::to_string(EISDIR),
      "Error(sharedmem.cc:N): Couldn't open mutex!",
      "Error(orvidmac.cc:N): Orvid 0: OrvidOpen: No mutex!",
      "Shared Memory name = '/tmp/Quorvex Camera Adapter 0_" + Uid() + "'",
      "SharedMemory::Open size=461056",
      "key_ = " + std::to_string(key),
      "Orvid 0: OrvidOpen: Returned -23",
  };
  EXPECT_EQ(Concat(expected, LastCloseLines()), log);
  EXPECT_FALSE(PathExists(KeyFile()));
  EXPECT_EQ(-1, AreaSegment(key));
  ExpectCleanExit(host);  // under the address sanitizer: nothing leaked
}

TEST_F(OrvidHostTest, OpenWithoutASegmentFailsAndCloseFreesTheMutex) {
  if (PathExists(KeyFile())) GTEST_SKIP() << "the device's key file is in use";
  // A symbolic link planted at the key file's path must not be followed.
  const std::string target = folder_ + "/target";
  WriteFile(target, "not a key file");
  ASSERT_EQ(0, symlink(target.c_str(), KeyFile().c_str()));
  LogEverything();
  Host& host = StartHost("Safari");
  const long handles = host.LiveHandles();
  EXPECT_EQ(-23, host.Open(0));
  EXPECT_EQ(handles, host.LiveHandles());
  unlink(KeyFile().c_str());

  const std::vector<std::string> expected = {
      "Orvid 0: OrvidOpen: ",
      "Orvid 0: MayWeRun: ",
      "Orvid 0: Process name: Safari, allowed=1",
      "Orvid 0: Quorvex Camera Adapter 0",
      "Mutex name = 'Quorvex Camera Adapter 0_" + Uid() + "'",
      "Shared Memory name = '/tmp/Quorvex Camera Adapter 0_" + Uid() + "'",
      "SharedMemory::Open size=461056",
      "Error(sharedmem.cc:N): fopen failed with errno: " + std::to_string(ELOOP),
      "Error(sharedmem.cc:N): Couldn't open shared memory!",
      "SharedMemory::Close()",  // the refused object is destroyed
      "Error(orvidmac.cc:N): Orvid 0: OrvidOpen: No shared memory!",
      "Orvid 0: OrvidOpen: Returned -23",
      "Orvid 0: OrvidClose: ",
  };
  EXPECT_EQ(expected, Log());
  EXPECT_EQ("not a key file", ReadFile(target));
  EXPECT_EQ(1, SemaphoreCount());  // closed, and left free
  ExpectCleanExit(host);
}

}  // namespace
