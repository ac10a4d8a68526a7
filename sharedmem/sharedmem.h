// The frame transport between the camera component and the producer process
// of the same user: a lock shared between processes (tessel::Mutex, a POSIX
// named semaphore used as a two-state lock) and one System V shared-memory
// segment found by name (tessel::SharedMemory).
//
// Names. Both objects turn the name they are given into a system-wide name
// by the naming rule below (UserScopedName and friends), so processes of
// different users never meet: the semaphore "<name>_<uid>" (no leading
// slash, no folder) and the key file "/tmp/<name>_<uid>", from which ftok
// makes the segment's key with the real user id as project id. The bytes of
// the segment are laid out as sharedmem/sharedframearea.h says. The producer
// process relies on these names, the key and the semaphore's initial count
// (1), so they must not change.
//
// Trust. Only this user may read or write the frames. The semaphore and the
// segment are made owner-only (0600) whatever the umask. The key file lives
// in the world-writable /tmp: Open never follows a symbolic link there and
// refuses a key file that is not a regular file with one link owned by this
// user. An existing semaphore or segment that another user owns or created,
// or that others may write, is refused, and error() names the object and its
// owner, so nobody else can feed frames to this user's camera or read them.
//
// Removal. Either object can be removed behind our back (ipcrm, rm of the
// semaphore's or the key file's name, a /tmp cleaner); processes that open
// the names afterwards meet new objects and no longer share ours.
// StillShared tells whether ours are still the ones the names lead to.
//
// Results. Operations return bool; the static Create factories return a new
// object that the caller owns and deletes, or null. Every failure is logged
// under the source name "sharedmem".
//
// Threading: neither class takes a lock of its own. One object belongs to one
// user (a camera instance) and is called one call at a time. Between
// processes, the Mutex is what guards the segment's bytes: readers and the
// producer hold it while they touch them.
#ifndef SHAREDMEM_SHAREDMEM_H_
#define SHAREDMEM_SHAREDMEM_H_

#include <string>

namespace tessel {

// The naming rule, in one place: every system object of the transport is
// named after the device name, "_" and the real user id in decimal. Tools,
// tests and scripts take the names from here (the agent prints them with
// `QuorvexLumenPlug names`) instead of writing them again.

// Each takes the calling process's real user id, or the one given (to name
// another user's objects).

// "<name>_<uid>".
std::string UserScopedName(const std::string& name);
std::string UserScopedName(const std::string& name, unsigned uid);
// The semaphore's name as sem_open takes it: UserScopedName(name).
std::string SemaphoreName(const std::string& name);
std::string SemaphoreName(const std::string& name, unsigned uid);
// Where Linux keeps that semaphore: "/dev/shm/sem.<name>_<uid>".
std::string SemaphorePath(const std::string& name);
// The segment's key file: "/tmp/<name>_<uid>".
std::string KeyFilePath(const std::string& name);
std::string KeyFilePath(const std::string& name, unsigned uid);
// The segment's System V key: ftok of the key file with the user id as
// project id. -1 when the key file does not exist.
int SegmentKey(const std::string& name);
int SegmentKey(const std::string& name, unsigned uid);

// A named lock between processes of the same user. It has two states: open
// (it holds a handle to the system-wide semaphore) and closed. The semaphore
// itself is never removed: it outlives every process that used it, keeping
// its count, and the next Create opens it again.
class Mutex {
 public:
  // Forms the system-wide name and logs it ("Mutex name = '...'") at
  // LS_INFO. Opens nothing.
  explicit Mutex(std::string name);
  // Closes this process's handle if it is open; logs nothing.
  ~Mutex();

  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // A new open mutex: the semaphore is created (count 1) when none of that
  // name exists, else opened. *created (when given) tells which. Null, after
  // logging "Couldn't open mutex!", when neither works.
  // *error (when given) receives error() of the failed Open.
  static Mutex* Create(std::string name, bool* created = nullptr, std::string* error = nullptr);

  // Opens the semaphore: with `create`, tries exclusive creation first and
  // falls back to opening the existing one; without, only opens. *created
  // (when given) is set to false first and to true only when this call
  // created it. False, changing nothing, when already open; false with a
  // "sem_open failed with <errno>" line when the system refuses, or when the
  // semaphore belongs to another user or others may write it (error() says
  // why in a sentence for the user).
  bool Open(bool create, bool* created = nullptr);

  // Why the last Open failed, naming the object and, for a foreign one, its
  // owner; empty after a successful Open.
  const std::string& error() const { return error_; }

  // Takes the lock. With `block` waits for it without a time limit; without,
  // only tries. False, with a logged line, when closed ("Invalid semaphore!")
  // or when the wait fails, an interrupted wait and a try on a taken lock
  // (errno EAGAIN) included: there is no retry.
  bool Lock(bool block);

  // Takes the lock, waiting at most `timeout_ms` milliseconds for it on the
  // monotonic clock (0 or below: only tries). A holder that died without
  // releasing leaves the semaphore taken for good; this wait is how a reader
  // keeps going then. True when taken. False when closed ("Invalid
  // semaphore!"), when the time ran out (a warning "Timed out after <ms> ms
  // waiting for the semaphore '<name>'"), or when the wait fails
  // ("sem_clockwait returned -1! errno=<errno>"). A signal that interrupts
  // the wait does not end it early.
  bool LockWithTimeout(int timeout_ms);

  // What TakeWithin found.
  enum TakeResult { kTaken, kTimedOut, kFailed };
  // LockWithTimeout without a log line, for a caller that reports in its
  // own words: kTaken, kTimedOut, or kFailed with errno in *error (when
  // given; EBADF when closed).
  TakeResult TakeWithin(int timeout_ms, int* error = nullptr);

  // Recovers a lock whose holder died while holding it: releases it on the
  // holder's behalf, but only while it is still taken (count 0), so that
  // the count never goes above one. True when it released it.
  bool ReleaseAbandoned();

  // True when the lock is taken (count 0) at the moment of asking.
  bool IsTaken() const;

  // With the lock held by the caller: takes back every count above it, left
  // by someone who released the lock twice, so that nobody else can take it
  // while we hold it. Returns how many counts were taken back; at most 64 a
  // call, so that a process posting in a loop cannot keep the caller busy
  // (the rest is taken back at the next take).
  int DropExtraCounts();

  // The holder mark: a reader that holds the lock marks it for as long as
  // it holds it, so that a producer kept waiting can tell a holder that is
  // alive (perhaps stopped in a debugger) from one that died with the lock.
  // The mark is a read lock on the semaphore's own file (an open file
  // description lock), which the system drops when the holder dies.
  void MarkHeld();
  void ClearHeld();
  // True when some other open of this semaphore carries the mark.
  bool HeldByLiveReader() const;

  // True when the semaphore's name still leads to the semaphore we hold
  // open; otherwise *why (when given) says what became of it.
  bool StillShared(std::string* why = nullptr) const;

  // The system-wide name, "<name>_<uid>".
  const std::string& name() const { return name_; }
  // Where the system keeps it: "/dev/shm/sem.<name>_<uid>".
  std::string path() const;

  // Releases the lock. The owner is not recorded: pair every Unlock with a
  // successful Lock, or the count goes above one and lets two holders in.
  // False when closed ("Invalid semaphore!") or when the post fails.
  bool Unlock();

  // Closes this process's handle. False, changing nothing, when it is not
  // open or the system refuses.
  bool Close();

  bool IsOpen() const;

 private:
  // Set by the constructor, never changed.
  std::string name_;
  // The handle from sem_open, or SEM_FAILED while closed. Kept untyped so
  // that users of this header need not see the system's semaphore header.
  void* sem_;
  // The semaphore's file, opened read-only beside the handle: its identity
  // for StillShared and the carrier of the holder mark. -1 while closed.
  int file_ = -1;
  std::string error_;
};

// One System V segment shared by processes of the same user. The first Open
// with a non-zero size creates it; the last process to Close removes it and
// its key file. A process that ends without Close is detached by the system
// and removes nothing: the segment waits for a later last user.
//
// States: initial (after construction), open (attached), closed (after
// Close; as initial but with an empty name). Only an object in its initial
// state can be opened, so each object is opened at most once: an Open that
// failed after making its key, and any Open after Close, return false.
class SharedMemory {
 public:
  // Forms the key file's path and logs it ("Shared Memory name = '...'") at
  // LS_INFO. Touches no file and no segment.
  explicit SharedMemory(std::string name);
  // Calls Close.
  ~SharedMemory();

  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // A new attached segment (see Open); null, after logging "Couldn't open
  // shared memory!", when Open fails.
  // *error (when given) receives error() of the failed Open.
  static SharedMemory* Create(std::string name, unsigned long size, bool* created = nullptr,
                              std::string* error = nullptr);

  // Creates or truncates the key file, makes the key, gets the segment
  // (creating it with `size` bytes and permissions 0600 when size is not 0
  // and it does not exist yet; size 0 only attaches to an existing one) and
  // attaches it read-write. On success *created (when given) tells whether
  // this call created the segment; size 0 never reports created. On failure
  // *created is untouched, a line says why and so does error().
  bool Open(unsigned long size, bool* created = nullptr);

  // Why the last Open failed, in a sentence for the user; empty after a
  // successful Open.
  const std::string& error() const { return error_; }

  // True while the segment is attached, not marked for removal, and the key
  // file is still the one its key was made from; otherwise *why (when
  // given) says what became of them.
  bool StillShared(std::string* why = nullptr) const;

  // Detaches. When this process was the last one attached, removes the
  // segment and the key file. Always returns the object to the closed state.
  // False only when detaching failed.
  bool Close();

  // Where the segment is attached in this process; null when not open.
  void* GetAddress();
  bool IsOpen() const;

  // The segment's last change time (its creation time unless someone changed
  // it through shmctl), in seconds since the epoch. False, leaving *time
  // untouched, when not open or the status cannot be read.
  bool GetCreationTime(long* time);

 private:
  // Leaves a regular file of this user at name_, empty, as fopen with "w+"
  // would, but never through a symbolic link and never someone else's file.
  bool PrepareKeyFile();

  // Records a refusal: the log line and error().
  bool Refuse(const std::string& why);

  std::string name_;  // the key file's path; empty once closed
  int key_;           // from ftok; 0 before, -1 after a failed ftok
  int id_;            // from shmget; -1 while not attached
  void* address_;     // null while not attached
  // The key file the key was made from (device and inode), for StillShared.
  unsigned long long key_file_device_ = 0;
  unsigned long long key_file_inode_ = 0;
  std::string error_;
};

// What stands in the way of sharing frames under `name` for this user, in
// a sentence, without creating or changing anything: a semaphore or segment
// of another user or writable by others, a key file that is not ours. Empty
// when nothing is wrong that can be seen from outside (including when the
// objects do not exist yet).
std::string DescribeSharingProblem(const std::string& name);

// "user NAME (uid N)", or "uid N" when the user has no name.
std::string DescribeOwner(unsigned uid);

}  // namespace tessel

#endif  // SHAREDMEM_SHAREDMEM_H_
