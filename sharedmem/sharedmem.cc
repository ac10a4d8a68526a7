#include "sharedmem/sharedmem.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
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

// Permissions of a new semaphore and of a new segment: the frames are this
// user's alone. The umask can only take bits away; the semaphore is set to
// exactly this after creation.
constexpr mode_t kSemaphoreMode = 0600;
constexpr int kSegmentMode = 0600;
// Bits that would let someone else change what we read.
constexpr unsigned kOthersWrite = 0022;
// What fopen's "w+" gives a new key file, before the umask.
constexpr mode_t kKeyFileMode = 0666;

sem_t* Semaphore(void* handle) { return static_cast<sem_t*>(handle); }

std::string OctalMode(unsigned mode) {
  char text[8];
  lumen_base::sprintfn(text, sizeof(text), "%04o", mode & 07777);
  return text;
}

// Empty when this user both owns and created the segment `id` and nobody
// else may write it; otherwise why it is refused.
std::string SegmentProblem(int id, const struct shmid_ds& status) {
  // The creator can hand the segment to another owner, so both must be us.
  const uid_t me = geteuid();
  if (status.shm_perm.uid != me || status.shm_perm.cuid != me) {
    return "Refusing shared memory segment " + std::to_string(id) + ": it belongs to uid " +
           std::to_string(status.shm_perm.uid) + " (created by uid " +
           std::to_string(status.shm_perm.cuid) + "), not to this user";
  }
  if ((status.shm_perm.mode & kOthersWrite) != 0) {
    return "Refusing shared memory segment " + std::to_string(id) + ": others may write it (mode " +
           OctalMode(status.shm_perm.mode) + "); remove it with: ipcrm -m " + std::to_string(id);
  }
  return std::string();
}

// Empty when the semaphore file described by `status` is this user's and
// nobody else may write it; otherwise why it is refused.
std::string SemaphoreProblem(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return "Refusing the semaphore " + path + ": not a regular file";
  if (status.st_uid != geteuid()) {
    return "Refusing the semaphore " + path + ": it belongs to " + DescribeOwner(status.st_uid) +
           ", not to this user";
  }
  if ((status.st_mode & kOthersWrite) != 0) {
    return "Refusing the semaphore " + path + ": others may write it (mode " +
           OctalMode(status.st_mode) + "); remove it with: rm '" + path + "'";
  }
  return std::string();
}

}  // namespace

std::string DescribeOwner(unsigned uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof(buffer), &found) == 0 &&
      found != nullptr) {
    return "user " + std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

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

Mutex* Mutex::Create(std::string name, bool* created, std::string* error) {
  Mutex* mutex = new Mutex(std::move(name));
  if (!mutex->Open(true, created)) {
    LOG(LS_ERROR) << "Couldn't open mutex!";
    if (error != nullptr) *error = mutex->error();
    delete mutex;
    return nullptr;
  }
  return mutex;
}

std::string Mutex::path() const { return "/dev/shm/sem." + name_; }

bool Mutex::Open(bool create, bool* created) {
  if (IsOpen()) return false;
  if (created != nullptr) *created = false;
  error_.clear();

  sem_t* sem = SEM_FAILED;
  bool made_here = false;
  if (create) {
    sem = sem_open(name_.c_str(), O_CREAT | O_EXCL, kSemaphoreMode, 1u);
    made_here = sem != SEM_FAILED;
    const int error = errno;
    if (!made_here && error != EEXIST) {
      LOG(LS_ERROR) << "sem_open failed with " << error;
      error_ = "cannot create the semaphore " + path() + ": " + strerror(error);
      return false;
    }
    // EEXIST: someone (this user's producer, or an earlier instance) made it
    // first.
  }
  if (sem == SEM_FAILED) sem = sem_open(name_.c_str(), 0);
  if (sem == SEM_FAILED) {
    const int error = errno;
    LOG(LS_ERROR) << "sem_open failed with " << error;
    error_ = "cannot open the semaphore " + path() + ": " + strerror(error);
    return false;
  }

  // Whose it is, read from the file the name leads to now. In the sticky
  // /dev/shm nobody else can swap our file for theirs in between, so a file
  // that is ours here was ours when sem_open mapped it.
  const std::string file_path = path();
  const int fd = open(file_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  memset(&status, 0, sizeof(status));
  std::string problem;
  if (fd < 0 || fstat(fd, &status) != 0) {
    problem = "Refusing the semaphore " + file_path + ": its owner cannot be checked (" +
              strerror(errno) + ")";
  } else {
    problem = SemaphoreProblem(file_path, status);
  }
  if (problem.empty() && (status.st_mode & 07777) != kSemaphoreMode) {
    // Ours, but with the umask's or an older version's permissions.
    if (fchmod(fd, kSemaphoreMode) != 0) {
      LOG(LS_WARNING) << "Cannot make the semaphore " << file_path << " owner-only, errno "
                      << errno;
    }
  }
  if (!problem.empty()) {
    LOG(LS_ERROR) << problem;
    error_ = problem;
    if (fd >= 0) close(fd);
    sem_close(sem);
    if (made_here) sem_unlink(name_.c_str());
    return false;
  }
  if (created != nullptr) *created = made_here;
  sem_ = sem;
  file_ = fd;
  return true;
}

// Sets (F_RDLCK) or clears (F_UNLCK) the holder mark on byte 0 of the
// semaphore's file.
static void SetHolderMark(int file, short type) {
  if (file < 0) return;
  struct flock mark;
  memset(&mark, 0, sizeof(mark));
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_len = 1;
  // A read lock never conflicts with another reader's, and the producer
  // only tests for locks: this cannot wait or fail but for lack of memory.
  fcntl(file, F_OFD_SETLK, &mark);
}

void Mutex::MarkHeld() { SetHolderMark(file_, F_RDLCK); }

void Mutex::ClearHeld() { SetHolderMark(file_, F_UNLCK); }

bool Mutex::HeldByLiveReader() const {
  if (file_ < 0) return false;
  struct flock probe;
  memset(&probe, 0, sizeof(probe));
  probe.l_type = F_WRLCK;  // conflicts with any reader's mark but our own
  probe.l_whence = SEEK_SET;
  probe.l_len = 1;
  if (fcntl(file_, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

bool Mutex::StillShared(std::string* why) const {
  if (file_ < 0) {
    if (why != nullptr) *why = "the semaphore is not open";
    return false;
  }
  struct stat ours;
  struct stat named;
  if (fstat(file_, &ours) != 0) return true;  // nothing to compare with
  if (lstat(path().c_str(), &named) != 0) {
    if (why != nullptr) *why = "the semaphore " + path() + " was removed";
    return false;
  }
  if (named.st_dev != ours.st_dev || named.st_ino != ours.st_ino) {
    if (why != nullptr) *why = "the semaphore " + path() + " was removed and made again";
    return false;
  }
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

bool Mutex::IsTaken() const {
  int value = 0;
  return IsOpen() && sem_getvalue(Semaphore(sem_), &value) == 0 && value <= 0;
}

int Mutex::DropExtraCounts() {
  if (!IsOpen()) return 0;
  // Bounded: a process that posts in a loop would otherwise keep us taking
  // counts for good. What is left is taken back at the next take.
  constexpr int kMostDropped = 64;
  int dropped = 0;
  int value = 0;
  while (dropped < kMostDropped && sem_getvalue(Semaphore(sem_), &value) == 0 && value > 0 &&
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
  if (file_ >= 0) close(file_);  // drops a holder mark with it
  file_ = -1;
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

SharedMemory* SharedMemory::Create(std::string name, unsigned long size, bool* created,
                                   std::string* error) {
  SharedMemory* memory = new SharedMemory(std::move(name));
  if (!memory->Open(size, created)) {
    LOG(LS_ERROR) << "Couldn't open shared memory!";
    if (error != nullptr) *error = memory->error();
    delete memory;
    return nullptr;
  }
  return memory;
}

bool SharedMemory::Refuse(const std::string& why) {
  LOG(LS_ERROR) << why;
  error_ = why;
  return false;
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
    error_ = "cannot create the key file " + name_ + ": " + strerror(error);
    return false;
  }
  struct stat status;
  memset(&status, 0, sizeof(status));
  std::string problem;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    problem = "fstat of the key file " + name_ + " failed with errno: " + std::to_string(error);
  } else if (!S_ISREG(status.st_mode)) {
    problem = "Refusing the key file " + name_ + ": it is not a regular file";
  } else if (status.st_uid != geteuid()) {
    problem = "Refusing the key file " + name_ + ": it belongs to uid " +
              std::to_string(status.st_uid) + ", not to this user";
  } else if (status.st_nlink != 1) {
    // Truncating it would empty the file behind its other name as well.
    problem = "Refusing the key file " + name_ + ": it has " + std::to_string(status.st_nlink) +
              " links";
  } else if (ftruncate(fd, 0) != 0) {
    const int error = errno;
    problem = "Truncating the key file " + name_ + " failed with errno: " + std::to_string(error);
  } else {
    key_file_device_ = status.st_dev;
    key_file_inode_ = status.st_ino;
  }
  close(fd);
  if (!problem.empty()) return Refuse(problem);
  return true;
}

bool SharedMemory::Open(unsigned long size, bool* created) {
  LOG(LS_VERBOSE) << "SharedMemory::Open size=" << size;
  if (id_ != -1 || address_ != nullptr || key_ != 0) return false;
  error_.clear();

  if (!PrepareKeyFile()) return false;

  key_ = KeyOfFile(name_, getuid());
  if (key_ == -1) {
    const int error = errno;
    LOG(LS_ERROR) << "ftok failed with errno: " << error;
    error_ = "cannot make a key from " + name_ + ": " + strerror(error);
    return false;
  }
  LOG(LS_VERBOSE) << "key_ = " << key_;

  const int flags = kSegmentMode | (size != 0 ? IPC_CREAT : 0);
  const int id = shmget(key_, size, flags);
  if (id < 0) {
    const int error = errno;
    LOG(LS_ERROR) << "shmget failed with errno: " << error << " size: " << size;
    error_ = "cannot get the shared memory segment of key " + std::to_string(key_) + " (" +
             std::to_string(size) + " bytes): " + strerror(error);
    if (error == EINVAL && size != 0) {
      error_ += "; a smaller segment of that key is in the way (see ipcs -m)";
    } else if (error == EACCES) {
      error_ += "; a segment of that key belongs to someone else (see ipcs -m)";
    } else if (error == ENOENT) {
      error_ += "; nobody has made it yet";
    }
    return false;
  }

  // The status tells who owns the segment, so it is read for every size; a
  // segment whose owner cannot be told is not trusted.
  struct shmid_ds status;
  memset(&status, 0, sizeof(status));
  if (shmctl(id, IPC_STAT, &status) != 0) {
    const int error = errno;
    LOG(LS_WARNING) << "shmctl(IPC_STAT) failed with errno: " << error;
    return Refuse("Refusing shared memory segment " + std::to_string(id) +
                  ": its owner cannot be checked");
  }
  const std::string problem = SegmentProblem(id, status);
  if (!problem.empty()) return Refuse(problem);
  // Attach-only opens never report created.
  const bool created_here = size != 0 && status.shm_cpid == getpid() && status.shm_nattch == 0;

  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    LOG(LS_ERROR) << "shmat failed with errno: " << error;
    error_ = "cannot attach the shared memory segment " + std::to_string(id) + ": " +
             strerror(error);
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
      // Only our own key file: after a removal behind our back the name may
      // lead to the key file of the objects made since.
      struct stat named;
      if (lstat(name_.c_str(), &named) == 0 && named.st_dev == key_file_device_ &&
          named.st_ino == key_file_inode_ && remove(name_.c_str()) != 0) {
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

bool SharedMemory::StillShared(std::string* why) const {
  if (address_ == nullptr) {
    if (why != nullptr) *why = "the shared memory segment is not attached";
    return false;
  }
  struct shmid_ds status;
  memset(&status, 0, sizeof(status));
  if (shmctl(id_, IPC_STAT, &status) != 0 || (status.shm_perm.mode & SHM_DEST) != 0) {
    // Marked for removal: it lives on for those attached, but nobody can
    // find it any more.
    if (why != nullptr) {
      *why = "the shared memory segment " + std::to_string(id_) + " was removed (ipcrm?)";
    }
    return false;
  }
  struct stat named;
  if (lstat(name_.c_str(), &named) != 0) {
    if (why != nullptr) *why = "the key file " + name_ + " was removed";
    return false;
  }
  if (named.st_dev != key_file_device_ || named.st_ino != key_file_inode_) {
    if (why != nullptr) *why = "the key file " + name_ + " was removed and made again";
    return false;
  }
  return true;
}

bool SharedMemory::GetCreationTime(long* time) {
  if (id_ == -1) return false;
  struct shmid_ds status;
  memset(&status, 0, sizeof(status));
  if (shmctl(id_, IPC_STAT, &status) != 0) return false;
  *time = static_cast<long>(status.shm_ctime);
  return true;
}

// ---------------------------------------------------------------------------
// Diagnosis

std::string DescribeSharingProblem(const std::string& name) {
  const std::string semaphore = "/dev/shm/sem." + SemaphoreName(name);
  struct stat status;
  if (lstat(semaphore.c_str(), &status) == 0) {
    const std::string problem = SemaphoreProblem(semaphore, status);
    if (!problem.empty()) return problem;
  }
  const std::string key_file = KeyFilePath(name);
  if (lstat(key_file.c_str(), &status) != 0) return std::string();
  if (!S_ISREG(status.st_mode)) {
    return "Refusing the key file " + key_file + ": it is not a regular file";
  }
  if (status.st_uid != geteuid()) {
    return "Refusing the key file " + key_file + ": it belongs to " + DescribeOwner(status.st_uid) +
           ", not to this user";
  }
  const int key = KeyOfFile(key_file, getuid());
  if (key == -1) return std::string();
  const int id = shmget(key, 0, 0);
  if (id < 0) {
    return errno == EACCES ? "the shared memory segment of key " + std::to_string(key) +
                                 " belongs to someone else (see ipcs -m)"
                           : std::string();
  }
  struct shmid_ds segment;
  memset(&segment, 0, sizeof(segment));
  if (shmctl(id, IPC_STAT, &segment) != 0) return std::string();
  return SegmentProblem(id, segment);
}

}  // namespace tessel
