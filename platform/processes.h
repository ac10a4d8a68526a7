// The Process Manager: the running processes of the current user, walked one
// by one, and what can be told about each (its name above all).  The list is
// read afresh from the kernel (/proc) on every call, so a walk sees processes
// start and end while it runs; nothing is cached and there is no shared
// state, so every function here may be called from any thread.
//
// "The current user" is the caller's real user id: a process belongs to the
// walk when its real user id is the same.  Zombies (processes that have ended
// but whose parent has not collected them yet) are not running and are left
// out, as are the kernel's own threads.
//
// A process serial number names one process.  Its low word is the process
// id; its high word tags the process's start time, so a number kept after its
// process ended does not silently name a newer process that reuses the id.
// A number whose high word is 0 names whichever process has that id now.
// The all-zero number names no process and starts a walk.
#ifndef PLATFORM_PROCESSES_H_
#define PLATFORM_PROCESSES_H_

#include <sys/types.h>

#include <string>

#include "platform/status.h"
#include "platform/types.h"

// The Process Manager's own status: no (more) process that fits.
enum : OSErr { procNotFound = -600 };

struct ProcessSerialNumber {
  UInt32 highLongOfPSN;
  UInt32 lowLongOfPSN;
};

// What GetProcessInformation tells about a process.  The caller sets
// processInfoLength to sizeof(ProcessInfoRec) and processName to a 256-byte
// buffer (or NULL when the name is not wanted); every other field is output.
struct ProcessInfoRec {
  UInt32 processInfoLength;
  // Caller's 256-byte buffer for the name as a Pascal string (length byte
  // first), or NULL.
  StringPtr processName;
  // The process itself.
  ProcessSerialNumber processNumber;
  // The parent, when it belongs to the walk too; all zero otherwise.
  ProcessSerialNumber processLauncher;
  // When the process started, in ticks (1/60 s) since the system booted.
  UInt32 processLaunchDate;
  // Processor time used so far (user and system), in ticks (1/60 s).
  UInt32 processActiveTime;
};

// Advances *psn to the next running process of the current user, in
// ascending order of process id, and returns noErr.  Start with the all-zero
// number; only the low word (the process id) of *psn is used as the position,
// so the walk goes on even when that process has ended meanwhile.  Returns
// procNotFound at the end of the list and sets *psn to all zero; paramErr for
// a NULL psn.
OSErr GetNextProcess(ProcessSerialNumber* psn);

// Fills *info for the process that *psn names and returns noErr.  The name
// is the one PlatformGetProcessName gives, written as a Pascal string into
// info->processName when that is not NULL.
// Returns paramErr for a NULL psn or info and for a processInfoLength below
// sizeof(ProcessInfoRec); procNotFound when the process does not exist (or
// no longer), is a zombie, belongs to another user, or its start-time tag
// does not match.  On failure nothing in *info is changed.
OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info);

// The serial number of the calling process.  Returns noErr; paramErr for a
// NULL psn.
OSErr GetCurrentProcess(ProcessSerialNumber* psn);

// The serial number of the process with id `pid`, when it belongs to the
// walk (running, current user).  Returns noErr, or procNotFound leaving *psn
// all zero; paramErr for a NULL psn.
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);

// The process id that *psn names.  Returns noErr; procNotFound when the
// number names no running process of the current user (*pid is then left
// unchanged); paramErr for NULL arguments.
OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid);

// The name of process `pid` by the rule that both the process list and the
// camera's host-process check use: the file name of the process's executable
// (without the " (deleted)" mark that the kernel adds to an executable that
// was removed), cut to at most 16 bytes, and never inside a UTF-8 character.
// When the executable cannot be read (another user's process, a zombie, a
// kernel thread), the kernel's command name is used instead; the kernel cuts
// that to 15 bytes, so the executable is preferred: a 16-character name such
// as "QuorvexLumenPlug" survives whole only that way.
// Returns true and sets *name; false (leaving *name unchanged) when neither
// source can be read, e.g. the process does not exist.  Does not look at who
// owns the process.
bool PlatformGetProcessName(pid_t pid, std::string* name);

// PlatformGetProcessName for the calling process.
bool PlatformGetCurrentProcessName(std::string* name);

#endif  // PLATFORM_PROCESSES_H_
