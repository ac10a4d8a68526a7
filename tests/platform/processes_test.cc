#include "platform/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A folder of its own for each test, removed with everything in it.
// Others may pass through it: a stranger runs a program copied into it.
struct TempFolder {
  TempFolder() : folder("processes_test"), path(folder.path()) {
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  quorvex_test::TempFolder folder;
  std::string path;
};

// A copy of sleep(1) under `name`, running until the object goes or Stop().
// posix_spawn returns once the new program runs, so /proc already shows it.
struct Sleeper {
  Sleeper(const TempFolder& folder, const std::string& name) : path(folder.path + "/" + name) {
    fs::copy_file("/bin/sleep", path);
    char* argv[] = {const_cast<char*>(name.c_str()), const_cast<char*>("600"), nullptr};
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid = -1;
  }
  ~Sleeper() { Stop(); }
  void Stop() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
  std::string path;
  pid_t pid = -1;
};

// A child that has ended but is not collected yet, under a kernel name.
struct Zombie {
  explicit Zombie(const char* kernel_name) {
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_NAME, kernel_name);
      _exit(0);
    }
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);  // Ended, not collected.
  }
  ~Zombie() { waitpid(pid, nullptr, 0); }
  pid_t pid;
};

std::vector<pid_t> WalkAll() {
  std::vector<pid_t> pids;
  ProcessSerialNumber psn = {0, 0};
  while (GetNextProcess(&psn) == noErr) pids.push_back(static_cast<pid_t>(psn.lowLongOfPSN));
  return pids;
}

bool Listed(pid_t pid) {
  std::vector<pid_t> pids = WalkAll();
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

uid_t RealUidOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") == 0) return static_cast<uid_t>(std::stoul(line.substr(4)));
  }
  return static_cast<uid_t>(-1);  // Ended meanwhile.
}

// The real user of every process in /proc that runs a program: kernel
// threads and zombies have an empty command line.
std::map<pid_t, uid_t> Owners() {
  std::map<pid_t, uid_t> owners;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream command_line(entry.path() / "cmdline");
    if (command_line.peek() == std::ifstream::traits_type::eof()) continue;
    owners[std::stoi(name)] = RealUidOf(std::stoi(name));
  }
  return owners;
}

ProcessInfoRec EmptyRecord(unsigned char* name) {
  ProcessInfoRec info;
  memset(&info, 0, sizeof(info));
  info.processInfoLength = sizeof(info);
  info.processName = name;
  return info;
}

TEST(ProcessName, IsTheExecutableFileNameCutToSixteenBytes) {
  const struct {
    const char* file;
    const char* name;
  } cases[] = {
      {"QuorvexLumenPlug", "QuorvexLumenPlug"},  // The kernel's own name keeps only 15.
      {"firefox-bin-nightly-build", "firefox-bin-nigh"},
      {"abcdefghijklmno\xC3\xA9z", "abcdefghijklmno"},  // Never half a character.
  };
  TempFolder folder;
  for (const auto& c : cases) {
    Sleeper process(folder, c.file);
    std::string name;
    ASSERT_TRUE(PlatformGetProcessName(process.pid, &name)) << c.file;
    EXPECT_EQ(c.name, name);
  }
  // A removed (or replaced) executable: the kernel's " (deleted)" mark goes.
  Sleeper safari(folder, "Safari");
  fs::remove(safari.path);
  std::string name;
  ASSERT_TRUE(PlatformGetProcessName(safari.pid, &name));
  EXPECT_EQ("Safari", name);
  ASSERT_TRUE(PlatformGetCurrentProcessName(&name));
  EXPECT_EQ("platform_tests", name);
}

TEST(ProcessName, FallsBackToTheKernelNameAndFailsForNoProcess) {
  Zombie zombie("kernel-name");  // Its executable is gone, its kernel name not.
  std::string name;
  ASSERT_TRUE(PlatformGetProcessName(zombie.pid, &name));
  EXPECT_EQ("kernel-name", name);

  TempFolder folder;
  Sleeper ended(folder, "ended");
  pid_t pid = ended.pid;
  ended.Stop();
  name = "untouched";
  EXPECT_FALSE(PlatformGetProcessName(pid, &name));
  EXPECT_FALSE(PlatformGetProcessName(0, &name));
  EXPECT_EQ("untouched", name);
}

TEST(ProcessWalk, ListsRunningProcessesOfTheCurrentUserInOrder) {
  TempFolder folder;
  Sleeper first(folder, "walk-first");
  Sleeper second(folder, "walk-second");
  Zombie zombie("ended");
  std::vector<pid_t> pids = WalkAll();
  for (pid_t pid : {first.pid, second.pid, getpid()}) {
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), pid)) << pid;
  }
  EXPECT_EQ(pids.end(), std::find(pids.begin(), pids.end(), zombie.pid));
  for (size_t i = 1; i < pids.size(); ++i) EXPECT_LT(pids[i - 1], pids[i]);
  // Owners are compared only where they were the same before and after the
  // walk: a child of a parallel test may change its user meanwhile.
  std::map<pid_t, uid_t> before = Owners();
  pids = WalkAll();
  std::map<pid_t, uid_t> after = Owners();
  for (const auto& [pid, owner] : before) {
    if (after.count(pid) == 0 || after[pid] != owner || owner == static_cast<uid_t>(-1)) continue;
    bool listed = std::find(pids.begin(), pids.end(), pid) != pids.end();
    EXPECT_EQ(owner == getuid(), listed) << pid << " of user " << owner;
  }
  ProcessSerialNumber psn = {0x80000001u, 0x7FFFFFFFu};  // Past every process id.
  EXPECT_EQ(procNotFound, GetNextProcess(&psn));
  EXPECT_EQ(0u, psn.highLongOfPSN | psn.lowLongOfPSN);
}

TEST(ProcessWalk, LeavesOutAnotherUsersProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "starting another user's process needs root";
  TempFolder folder;
  std::string path = folder.path + "/other-user";
  fs::copy_file("/bin/sleep", path);
  uid_t stranger = 0x5A000000u + static_cast<uid_t>(getpid());  // No account, no other test.
  int ready[2];
  ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(stranger) == 0 && setuid(stranger) == 0) {
      execl(path.c_str(), "other-user", "600", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  close(ready[1]);
  char byte;
  EXPECT_EQ(0, read(ready[0], &byte, 1));  // End of file: exec has happened.
  close(ready[0]);
  EXPECT_EQ(stranger, RealUidOf(pid));
  EXPECT_FALSE(Listed(pid));
  ProcessSerialNumber psn;
  EXPECT_EQ(procNotFound, GetProcessForPID(pid, &psn));
  std::string name;  // The naming rule itself does not look at owners.
  EXPECT_TRUE(PlatformGetProcessName(pid, &name));
  EXPECT_EQ("other-user", name);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST(ProcessInformation, FillsNameNumberAndLauncher) {
  TempFolder folder;
  Sleeper browser(folder, "Safari");
  ProcessSerialNumber psn, self;
  ASSERT_EQ(noErr, GetProcessForPID(browser.pid, &psn));
  ASSERT_EQ(noErr, GetCurrentProcess(&self));
  Str255 name;
  ProcessInfoRec info = EmptyRecord(name);
  ASSERT_EQ(noErr, GetProcessInformation(&psn, &info));
  EXPECT_EQ("Safari", std::string(reinterpret_cast<char*>(name + 1), name[0]));
  EXPECT_EQ(0, memcmp(&psn, &info.processNumber, sizeof(psn)));
  EXPECT_EQ(0, memcmp(&self, &info.processLauncher, sizeof(self)));
  pid_t pid = 0;
  EXPECT_EQ(noErr, GetProcessPID(&psn, &pid));
  EXPECT_EQ(browser.pid, pid);
  info.processName = nullptr;  // The name is optional.
  EXPECT_EQ(noErr, GetProcessInformation(&psn, &info));
}

TEST(ProcessInformation, FailsWithoutTouchingTheRecord) {
  TempFolder folder;
  Sleeper browser(folder, "Camino");
  ProcessSerialNumber psn;
  ASSERT_EQ(noErr, GetProcessForPID(browser.pid, &psn));
  Str255 name = {0};
  ProcessInfoRec info = EmptyRecord(name);
  info.processInfoLength = sizeof(info) - 1;
  EXPECT_EQ(paramErr, GetProcessInformation(&psn, &info));
  info.processInfoLength = sizeof(info);
  EXPECT_EQ(paramErr, GetProcessInformation(nullptr, &info));
  // A number whose start tag differs names an earlier process with this id.
  ProcessSerialNumber earlier = {psn.highLongOfPSN ^ 1u, psn.lowLongOfPSN};
  EXPECT_EQ(procNotFound, GetProcessInformation(&earlier, &info));
  browser.Stop();
  EXPECT_EQ(procNotFound, GetProcessInformation(&psn, &info));
  ProcessSerialNumber any = {0, psn.lowLongOfPSN};  // High word 0: whoever has the id.
  EXPECT_EQ(procNotFound, GetProcessInformation(&any, &info));
  EXPECT_EQ(0, name[0]);
  EXPECT_EQ(0u, info.processNumber.lowLongOfPSN);
}

}  // namespace
