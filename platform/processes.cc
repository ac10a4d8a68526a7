#include "platform/processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// The longest name the rule gives, in bytes; the original platform's kernel
// kept command names of up to this length.
constexpr size_t kMaxNameBytes = 16;

// The kernel's mark for an executable that was removed (or replaced, as a
// package upgrade does) while the process ran.
constexpr char kDeletedMark[] = " (deleted)";

// PF_KTHREAD in the flags field of /proc/<pid>/stat.
constexpr unsigned long kKernelThreadFlag = 0x00200000;

// The high word of every serial number we hand out has this bit set, so a
// tag is never 0 (which callers use for "any process with this id").
constexpr UInt32 kTagBit = 0x80000000u;

// What the walk needs from /proc/<pid>/stat and /proc/<pid>/status.
struct ProcessFacts {
  char state = '?';
  pid_t parent = 0;
  unsigned long flags = 0;
  unsigned long long cpu_ticks = 0;    // User plus system time, clock ticks.
  unsigned long long start_ticks = 0;  // Clock ticks after boot.
  uid_t real_uid = static_cast<uid_t>(-1);
};

std::string ProcFolder(pid_t pid) { return "/proc/" + std::to_string(pid); }

// Reads a /proc file whole.  These files are small, but their size is not
// known in advance (stat() reports 0), so read until the end.
bool ReadProcFile(const std::string& path, std::string* contents) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  contents->clear();
  char buffer[1024];
  bool ok = true;
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    contents->append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return ok;
}

bool ParseStat(const std::string& text, ProcessFacts* facts) {
  // Field 2, the command name, is in parentheses and may itself hold blanks
  // and ')', so the fields after it are counted from the last ')'.
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) return false;
  std::vector<std::string> fields;  // fields[0] is field 3 (the state).
  size_t pos = paren + 1;
  while (fields.size() < 20) {
    pos = text.find_first_not_of(' ', pos);
    if (pos == std::string::npos) return false;
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  if (fields[0].size() != 1) return false;
  facts->state = fields[0][0];
  facts->parent = static_cast<pid_t>(strtol(fields[1].c_str(), nullptr, 10));
  facts->flags = strtoul(fields[6].c_str(), nullptr, 10);
  facts->cpu_ticks =
      strtoull(fields[11].c_str(), nullptr, 10) + strtoull(fields[12].c_str(), nullptr, 10);
  facts->start_ticks = strtoull(fields[19].c_str(), nullptr, 10);
  return true;
}

bool ParseRealUid(const std::string& text, uid_t* uid) {
  // "Uid:" is followed by the real, effective, saved and file-system ids.
  size_t line = text.find("\nUid:");
  if (line == std::string::npos) return false;
  const char* start = text.c_str() + line + 5;
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(start, &end, 10);
  if (end == start || errno != 0) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

// Only /proc/<pid>/stat, without the owner (status is the slower read).
bool ReadStat(pid_t pid, ProcessFacts* facts) {
  std::string text;
  return ReadProcFile(ProcFolder(pid) + "/stat", &text) && ParseStat(text, facts);
}

bool ReadFacts(pid_t pid, ProcessFacts* facts) {
  std::string text;
  if (!ReadStat(pid, facts)) return false;
  return ReadProcFile(ProcFolder(pid) + "/status", &text) && ParseRealUid(text, &facts->real_uid);
}

// Running, not a kernel thread, and owned (by real id) by our real user.
bool BelongsToWalk(const ProcessFacts& facts) {
  if (facts.state == 'Z' || facts.state == 'X' || facts.state == 'x') return false;
  if ((facts.flags & kKernelThreadFlag) != 0) return false;
  return facts.real_uid == getuid();
}

UInt32 StartTag(const ProcessFacts& facts) {
  return static_cast<UInt32>(facts.start_ticks & 0x7FFFFFFFu) | kTagBit;
}

// Ticks of 1/60 s, the unit of the original platform's tick count.
UInt32 ToSixtieths(unsigned long long clock_ticks) {
  long per_second = sysconf(_SC_CLK_TCK);
  if (per_second <= 0) per_second = 100;
  return static_cast<UInt32>(clock_ticks * 60 / static_cast<unsigned long long>(per_second));
}

bool IsValidPid(UInt32 value) { return value > 0 && value <= 0x7FFFFFFFu; }

// The process that *psn names, when it belongs to the walk.
bool Resolve(const ProcessSerialNumber& psn, pid_t* pid, ProcessFacts* facts) {
  if (!IsValidPid(psn.lowLongOfPSN)) return false;
  pid_t candidate = static_cast<pid_t>(psn.lowLongOfPSN);
  if (!ReadFacts(candidate, facts) || !BelongsToWalk(*facts)) return false;
  if (psn.highLongOfPSN != 0 && psn.highLongOfPSN != StartTag(*facts)) return false;
  *pid = candidate;
  return true;
}

void MakeSerialNumber(pid_t pid, const ProcessFacts& facts, ProcessSerialNumber* psn) {
  psn->highLongOfPSN = StartTag(facts);
  psn->lowLongOfPSN = static_cast<UInt32>(pid);
}

// The process ids in /proc above `after`, in ascending order.
std::vector<pid_t> ListPidsAbove(pid_t after) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (struct dirent* entry = readdir(proc)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    char* end = nullptr;
    long value = strtol(name, &end, 10);
    if (*end != '\0' || value <= after || value > 0x7FFFFFFF) continue;
    pids.push_back(static_cast<pid_t>(value));
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

// Reads a symbolic link whole, however long its target.
bool ReadLink(const std::string& path, std::string* target) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      target->assign(buffer.data(), static_cast<size_t>(length));
      return true;
    }
    if (buffer.size() >= (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

bool EndsWith(const std::string& text, const char* tail) {
  size_t length = strlen(tail);
  return text.size() >= length && text.compare(text.size() - length, length, tail) == 0;
}

// Cuts `name` to kMaxNameBytes, backing off so no UTF-8 character is split.
std::string CutName(const std::string& name) {
  if (name.size() <= kMaxNameBytes) return name;
  size_t cut = kMaxNameBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

bool ExecutableName(const std::string& folder, std::string* name) {
  std::string target;
  if (!ReadLink(folder + "/exe", &target)) return false;
  // A removed executable is usually one that a newer file replaced at the
  // same path, so the mark is dropped even when the path exists again.
  if (EndsWith(target, kDeletedMark)) target.resize(target.size() - strlen(kDeletedMark));
  size_t slash = target.rfind('/');
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty()) return false;
  *name = CutName(base);
  return true;
}

bool KernelCommandName(const std::string& folder, std::string* name) {
  std::string comm;
  if (!ReadProcFile(folder + "/comm", &comm)) return false;
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  *name = CutName(comm);
  return true;
}

bool NameFromFolder(const std::string& folder, std::string* name) {
  if (name == nullptr) return false;
  return ExecutableName(folder, name) || KernelCommandName(folder, name);
}

}  // namespace

OSErr GetNextProcess(ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  pid_t position = IsValidPid(psn->lowLongOfPSN) ? static_cast<pid_t>(psn->lowLongOfPSN) : 0;
  for (pid_t pid : ListPidsAbove(position)) {
    ProcessFacts facts;
    // A process that ends between the listing and this read is skipped.
    if (!ReadFacts(pid, &facts) || !BelongsToWalk(facts)) continue;
    MakeSerialNumber(pid, facts, psn);
    return noErr;
  }
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = 0;
  return procNotFound;
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) {
  if (psn == nullptr || info == nullptr) return paramErr;
  if (info->processInfoLength < sizeof(ProcessInfoRec)) return paramErr;
  pid_t pid = 0;
  ProcessFacts facts;
  if (!Resolve(*psn, &pid, &facts)) return procNotFound;
  std::string name;
  if (!PlatformGetProcessName(pid, &name)) return procNotFound;
  // The name was read after the facts; if the id now belongs to a newer
  // process, the name may be that process's, so the answer is refused.
  ProcessFacts again;
  if (!ReadStat(pid, &again) || again.start_ticks != facts.start_ticks) return procNotFound;

  ProcessSerialNumber launcher = {0, 0};
  ProcessFacts parent_facts;
  if (facts.parent > 0 && ReadFacts(facts.parent, &parent_facts) && BelongsToWalk(parent_facts)) {
    MakeSerialNumber(facts.parent, parent_facts, &launcher);
  }
  MakeSerialNumber(pid, facts, &info->processNumber);
  info->processLauncher = launcher;
  info->processLaunchDate = ToSixtieths(facts.start_ticks);
  info->processActiveTime = ToSixtieths(facts.cpu_ticks);
  if (info->processName != nullptr) {
    // The rule keeps names far below the 255 bytes a Pascal string holds.
    size_t length = std::min<size_t>(name.size(), 255);
    info->processName[0] = static_cast<unsigned char>(length);
    memcpy(info->processName + 1, name.data(), length);
  }
  return noErr;
}

OSErr GetCurrentProcess(ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  ProcessFacts facts;
  // Our own entry in /proc always exists; should it not, the tag is left 0,
  // which still names this process by its id.
  pid_t self = getpid();
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = static_cast<UInt32>(self);
  if (ReadFacts(self, &facts)) MakeSerialNumber(self, facts, psn);
  return noErr;
}

OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = 0;
  ProcessFacts facts;
  if (pid <= 0 || !ReadFacts(pid, &facts) || !BelongsToWalk(facts)) return procNotFound;
  MakeSerialNumber(pid, facts, psn);
  return noErr;
}

OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid) {
  if (psn == nullptr || pid == nullptr) return paramErr;
  ProcessFacts facts;
  if (!Resolve(*psn, pid, &facts)) return procNotFound;
  return noErr;
}

bool PlatformGetProcessName(pid_t pid, std::string* name) {
  if (pid <= 0) return false;
  return NameFromFolder(ProcFolder(pid), name);
}

bool PlatformGetCurrentProcessName(std::string* name) { return NameFromFolder("/proc/self", name); }
