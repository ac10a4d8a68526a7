#include "sharedmem/sharedmem.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <type_traits>

#include "base/logging.h"
#include "base/stringencode.h"
#include "base/timeutils.h"

namespace tessel {

namespace {

static_assert(std::is_same_v<key_t, int>, "key_ holds a System V key");

// Permissions of a new semaphore (before the umask) and of a new segment.
constexpr mode_t kSemaphoreMode = 0666;
constexpr int kSegmentMode = 0660;
// What fopen's "w+" gives a new key file, before the umask.
constexpr mode_t kKeyFileMode = 0666;

sem_t* Semaphore(void* handle) { return static_cast<sem_t*>(handle); }

// True when this user both owns and created the segment `id`; otherwise
// logs why it is refused.
bool IsOwnSegment(int id, const struct shmid_ds& status) {
  // The creator can hand the segment to another owner, so both must be us.
  const uid_t me = geteuid();
  if (status.shm_perm.uid == me && status.shm_perm.cuid == me) return true;
  LOG(LS_ERROR) << "Refusing shared memory segment " << id << ": it belongs to uid "
                << status.shm_perm.uid << " (created by uid " << status.shm_perm.cuid
                << "), not to this user";
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names

// The real user id keeps the objects of different users apart.
std::string UserScopedName(const std::string& name, unsigned uid) {
  char digits[33];
  lumen_base::sprintfn(digits, sizeof(digits), "%d", static_cast<int>(uid));
  return name + "_" + digits;
}

std::string UserScopedName(const std::string& name) { return UserScopedName(name, getuid()); }

std::string SemaphoreName(const std::string& name, unsigned uid) {
  return UserScopedName(name, uid);
}

std::string SemaphoreName(const std::string& name) { return SemaphoreName(name, getuid()); }

std::string SemaphorePath(const std::string& name) { return "/dev/shm/sem." + SemaphoreName(name); }

std::string KeyFilePath(const std::string& name, unsigned uid) {
  return "/tmp/" + UserScopedName(name, uid);
}

std::string KeyFilePath(const std::string& name) { return KeyFilePath(name, getuid()); }

namespace {

// ftok keeps only the low 8 bits of the project id; every user of the
// segment makes its key this way.
int KeyOfFile(const std::string& key_file, unsigned uid) {
  return ftok(key_file.c_str(), static_cast<int>(uid));
}

}  // namespace

int SegmentKey(const std::string& name, unsigned uid) {
  return KeyOfFile(KeyFilePath(name, uid), uid);
}

int SegmentKey(const std::string& name) { return SegmentKey(name, getuid()); }

// ---------------------------------------------------------------------------
// Mutex

Mutex::Mutex(std::string name) : name_(SemaphoreName(name)), sem_(SEM_FAILED) {
  LOG(LS_INFO) << "Mutex name = '" << name_ << "'";
}

Mutex::~Mutex() { Close(); }

Mutex* Mutex::Create(std::string name, bool* created) {
  Mutex* mutex = new Mutex(std::move(name));
  if (!mutex->Open(true, created)) {
    LOG(LS_ERROR) << "Couldn't open mutex!";
    delete mutex;
    return nullptr;
  }
  return mutex;
}

bool Mutex::Open(bool create, bool* created) {
  if (IsOpen()) return false;
  if (created != nullptr) *created = false;

  if (create) {
    sem_t* sem = sem_open(name_.c_str(), O_CREAT | O_EXCL, kSemaphoreMode, 1u);
    if (sem != SEM_FAILED) {
      if (created != nullptr) *created = true;
      sem_ = sem;
      return true;
    }
    const int error = errno;
    if (error != EEXIST) {
      LOG(LS_ERROR) << "sem_open failed with " << error;
      return false;
    }
    // Someone (this user's producer, or an earlier instance) made it first.
  }

  sem_t* sem = sem_open(name_.c_str(), 0);
  if (sem == SEM_FAILED) {
    const int error = errno;
    LOG(LS_ERROR) << "sem_open failed with " << error;
    return false;
  }
  sem_ = sem;
  return true;
}

bool Mutex::Lock(bool block) {
  if (!IsOpen()) {
    LOG(LS_ERROR) << "Invalid semaphore!";
    return false;
  }
  const int result = block ? sem_wait(Semaphore(sem_)) : sem_trywait(Semaphore(sem_));
  if (result == -1) {
    const int error = errno;
    LOG(LS_ERROR) << "sem_wait/sem_trywait returned -1! errno=" << error;
    return false;
  }
  return true;
}

bool Mutex::LockWithTimeout(int timeout_ms) {
  if (!IsOpen()) {
    LOG(LS_ERROR) << "Invalid semaphore!";
    return false;
  }
  int error = 0;
  switch (TakeWithin(timeout_ms, &error)) {
    case kTaken:
      return true;
    case kTimedOut:
      LOG(LS_WARNING) << "Timed out after " << (timeout_ms < 0 ? 0 : timeout_ms)
                      << " ms waiting for the semaphore '" << name_ << "'";
      return false;
    case kFailed:
      break;
  }
  LOG(LS_ERROR) << "sem_clockwait returned -1! errno=" << error;
  return false;
}

Mutex::TakeResult Mutex::TakeWithin(int timeout_ms, int* error) {
  if (!IsOpen()) {
    if (error != nullptr) *error = EBADF;
    return kFailed;
  }
  // The usual case: the lock is free, and no clock needs to be read.
  if (sem_trywait(Semaphore(sem_)) == 0) return kTaken;
  // The monotonic clock: a wall clock set back while we wait must not
  // stretch the wait.
  const timespec deadline = lumen_base::MonotonicDeadline(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (sem_clockwait(Semaphore(sem_), CLOCK_MONOTONIC, &deadline) == 0) return kTaken;
    const int failure = errno;
    if (failure == EINTR) continue;  // the deadline stays where it was
    if (failure == ETIMEDOUT) return kTimedOut;
    if (error != nullptr) *error = failure;
    return kFailed;
  }
}

bool Mutex::ReleaseAbandoned() {
  if (!IsOpen()) return false;
  // A check and a post, not atomic together: a reader that takes the lock
  // between them is let in beside whoever takes it next. That window is
  // only open after a holder has died, and DropExtraCounts closes it again
  // at the next take.
  int value = 0;
  if (sem_getvalue(Semaphore(sem_), &value) != 0 || value != 0) return false;
  return sem_post(Semaphore(sem_)) == 0;
}

int Mutex::DropExtraCounts() {
  if (!IsOpen()) return 0;
  int dropped = 0;
  int value = 0;
  while (sem_getvalue(Semaphore(sem_), &value) == 0 && value > 0 &&
         sem_trywait(Semaphore(sem_)) == 0) {
    ++dropped;
  }
  return dropped;
}

bool Mutex::Unlock() {
  if (!IsOpen()) {
    LOG(LS_ERROR) << "Invalid semaphore!";
    return false;
  }
  return sem_post(Semaphore(sem_)) == 0;
}

bool Mutex::Close() {
  // Never hand SEM_FAILED to sem_close: the answer would be the same
  // failure, but only by the grace of the C library's bookkeeping.
  if (!IsOpen()) return false;
  if (sem_close(Semaphore(sem_)) != 0) return false;
  sem_ = SEM_FAILED;
  return true;
}

bool Mutex::IsOpen() const { return sem_ != SEM_FAILED; }

// ---------------------------------------------------------------------------
// SharedMemory

SharedMemory::SharedMemory(std::string name)
    : name_(KeyFilePath(name)), key_(0), id_(-1), address_(nullptr) {
  LOG(LS_INFO) << "Shared Memory name = '" << name_ << "'";
}

SharedMemory::~SharedMemory() { Close(); }

SharedMemory* SharedMemory::Create(std::string name, unsigned long size, bool* created) {
  SharedMemory* memory = new SharedMemory(std::move(name));
  if (!memory->Open(size, created)) {
    LOG(LS_ERROR) << "Couldn't open shared memory!";
    delete memory;
    return nullptr;
  }
  return memory;
}

bool SharedMemory::PrepareKeyFile() {
  // /tmp is writable by everyone: a symbolic link planted at our name must
  // not make us create or truncate a file elsewhere, and a file planted by
  // another user must not become our key (its owner could then predict it
  // and make the segment before us). O_NONBLOCK keeps a planted FIFO from
  // stalling the open; nothing is truncated before the file is checked.
  const int fd =
      open(name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kKeyFileMode);
  if (fd < 0) {
    const int error = errno;
    LOG(LS_ERROR) << "fopen failed with errno: " << error;
    return false;
  }
  struct stat status;
  memset(&status, 0, sizeof(status));
  bool usable = false;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    LOG(LS_ERROR) << "fstat of the key file " << name_ << " failed with errno: " << error;
  } else if (!S_ISREG(status.st_mode)) {
    LOG(LS_ERROR) << "Refusing the key file " << name_ << ": it is not a regular file";
  } else if (status.st_uid != geteuid()) {
    LOG(LS_ERROR) << "Refusing the key file " << name_ << ": it belongs to uid " << status.st_uid
                  << ", not to this user";
  } else if (status.st_nlink != 1) {
    // Truncating it would empty the file behind its other name as well.
    LOG(LS_ERROR) << "Refusing the key file " << name_ << ": it has " << status.st_nlink
                  << " links";
  } else if (ftruncate(fd, 0) != 0) {
    const int error = errno;
    LOG(LS_ERROR) << "Truncating the key file " << name_ << " failed with errno: " << error;
  } else {
    usable = true;
  }
  close(fd);
  return usable;
}

bool SharedMemory::Open(unsigned long size, bool* created) {
  LOG(LS_VERBOSE) << "SharedMemory::Open size=" << size;
  if (id_ != -1 || address_ != nullptr || key_ != 0) return false;

  if (!PrepareKeyFile()) return false;

  key_ = KeyOfFile(name_, getuid());
  if (key_ == -1) {
    const int error = errno;
    LOG(LS_ERROR) << "ftok failed with errno: " << error;
    return false;
  }
  LOG(LS_VERBOSE) << "key_ = " << key_;

  const int flags = kSegmentMode | (size != 0 ? IPC_CREAT : 0);
  const int id = shmget(key_, size, flags);
  if (id < 0) {
    const int error = errno;
    LOG(LS_ERROR) << "shmget failed with errno: " << error << " size: " << size;
    return false;
  }

  // The status tells who owns the segment, so it is read for every size; a
  // segment whose owner cannot be told is not trusted.
  struct shmid_ds status;
  memset(&status, 0, sizeof(status));
  if (shmctl(id, IPC_STAT, &status) != 0) {
    const int error = errno;
    LOG(LS_WARNING) << "shmctl(IPC_STAT) failed with errno: " << error;
    LOG(LS_ERROR) << "Refusing shared memory segment " << id << ": its owner cannot be checked";
    return false;
  }
  if (!IsOwnSegment(id, status)) return false;
  // Attach-only opens never report created.
  const bool created_here = size != 0 && status.shm_cpid == getpid() && status.shm_nattch == 0;

  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    LOG(LS_ERROR) << "shmat failed with errno: " << error;
    return false;
  }
  address_ = address;
  id_ = id;
  if (created != nullptr) *created = created_here;
  return true;
}

bool SharedMemory::Close() {
  LOG(LS_VERBOSE) << "SharedMemory::Close()";
  bool result = true;
  if (address_ != nullptr) {
    // The count includes this process and is read before detaching; two
    // processes closing at once may both see 2 and leave the segment for a
    // later last user.
    bool last_user = false;
    struct shmid_ds status;
    memset(&status, 0, sizeof(status));
    if (shmctl(id_, IPC_STAT, &status) != 0) {
      const int error = errno;
      LOG(LS_WARNING) << "shmctl(IPC_STAT) failed with errno: " << error;
    } else {
      LOG(LS_VERBOSE) << status.shm_nattch << " user attached.";
      last_user = status.shm_nattch == 1;
    }

    if (shmdt(address_) != 0) {
      const int error = errno;
      result = false;
      LOG(LS_WARNING) << "shmdt failed with errno: " << error;
    }

    if (last_user) {
      LOG(LS_VERBOSE) << "Last user of the shared memory, cleaning up!";
      if (shmctl(id_, IPC_RMID, nullptr) != 0) {
        const int error = errno;
        LOG(LS_WARNING) << "shmctl(IPC_RMID) failed with errno: " << error;
      }
      if (remove(name_.c_str()) != 0) {
        const int error = errno;
        LOG(LS_WARNING) << "remove failed with errno: " << error;
      }
    }
  }
  address_ = nullptr;
  id_ = -1;
  key_ = 0;
  name_.clear();
  return result;
}

void* SharedMemory::GetAddress() { return address_; }

bool SharedMemory::IsOpen() const { return address_ != nullptr; }

bool SharedMemory::GetCreationTime(long* time) {
  if (id_ == -1) return false;
  struct shmid_ds status;
  memset(&status, 0, sizeof(status));
  if (shmctl(id_, IPC_STAT, &status) != 0) return false;
  *time = static_cast<long>(status.shm_ctime);
  return true;
}

}  // namespace tessel
