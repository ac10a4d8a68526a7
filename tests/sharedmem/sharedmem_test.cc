// tessel::Mutex and tessel::SharedMemory between real processes: semaphores,
// key files and segments with names unique to this run, all removed again.
#include "sharedmem/sharedmem.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <grp.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"
#include "gtest/gtest.h"
#include "tests/support/files.h"

namespace {

using lumen_base::LogMessage;

// An unprivileged user id for the tests that need a second user.
constexpr uid_t kOtherUid = 65534;
// Exit status of a child that could not become kOtherUid.
constexpr int kCannotSwitchUser = 77;

// The uid as the rule writes it, for the assertions that pin the rule.
std::string Uid() { return std::to_string(getuid()); }

std::string UniqueName() {
  static int counter = 0;
  return "tessel-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

std::string KeyFilePath(const std::string& name, uid_t uid = getuid()) {
  return tessel::KeyFilePath(name, uid);
}

using quorvex_test::PathExists;
using quorvex_test::ReadFile;
using quorvex_test::WriteFile;

// The segment behind a key, or -1.
int SegmentId(key_t key) { return shmget(key, 0, 0); }

// Whether the segment `id` still exists. Gone segments are checked by id, not
// by key: ftok keys come from inode numbers, which other tests running at the
// same time reuse as soon as a key file is deleted.
bool SegmentExists(int id) {
  struct shmid_ds status;
  return shmctl(id, IPC_STAT, &status) == 0;
}

// A one-byte message channel in each direction between the test and one
// forked child, so that each side waits on the other instead of sleeping.
class Child {
 public:
  // Runs `body` in a new process; its result becomes the exit status.
  explicit Child(const std::function<int(Child&)>& body) {
    if (pipe(to_child_) != 0 || pipe(to_parent_) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child_[1]);
      close(to_parent_[0]);
      in_child_ = true;
      _exit(body(*this));
    }
    close(to_child_[0]);
    close(to_parent_[1]);
  }
  ~Child() {
    if (pid_ > 0 && status_ < 0) Wait();
    close(to_child_[1]);
    close(to_parent_[0]);
  }

  // From either side: send one byte to the other side / wait for one.
  void Signal(char byte = '.') {
    const int fd = in_child_ ? to_parent_[1] : to_child_[1];
    if (write(fd, &byte, 1) != 1) abort();
  }
  char Await() {
    const int fd = in_child_ ? to_child_[0] : to_parent_[0];
    char byte = 0;
    return read(fd, &byte, 1) == 1 ? byte : 0;
  }

  // Waits for the child to end; its exit status, or -1 when it did not exit.
  int Wait() {
    if (status_ >= 0) return status_;
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status)) return status_ = 1000;
    return status_ = WEXITSTATUS(status);
  }

 private:
  pid_t pid_ = -1;
  bool in_child_ = false;
  int status_ = -1;
  int to_child_[2] = {-1, -1};
  int to_parent_[2] = {-1, -1};
};

// Captures every line the transport logs, without timestamps, and removes
// the named objects a test registers.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogMessage::LogTimestamps(false);
    LogMessage::LogContext(lumen_base::LS_WARNING);
    LogMessage::LogToDebug(lumen_base::LS_NONE);
    LogMessage::LogToStream(new lumen_base::StringStream(log_), lumen_base::LS_VERBOSE);
  }

  void TearDown() override {
    LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
    for (const std::string& semaphore : semaphores_) sem_unlink(semaphore.c_str());
    for (const auto& [name, uid] : names_) {
      const key_t key = tessel::SegmentKey(name, uid);
      if (key != -1) {
        const int id = SegmentId(key);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
      }
      unlink(tessel::KeyFilePath(name, uid).c_str());
    }
    for (int id : segments_) shmctl(id, IPC_RMID, nullptr);
    for (const std::string& path : files_) unlink(path.c_str());
    folders_.clear();
  }

  // A name for this test whose semaphore, key file and segment are removed
  // after it.
  std::string NewName(uid_t uid = getuid()) {
    const std::string name = UniqueName();
    semaphores_.push_back(tessel::SemaphoreName(name, uid));
    names_.emplace_back(name, uid);
    return name;
  }

  std::string NewFolder() {
    folders_.push_back(std::make_unique<quorvex_test::TempFolder>("tessel-test"));
    if (folders_.back()->path().empty()) abort();
    return folders_.back()->path();
  }

  // The captured lines, source line numbers replaced by N.
  std::vector<std::string> Lines() const {
    static const std::regex kPosition(R"(\((\w+\.cc):\d+\))");
    std::vector<std::string> lines;
    std::istringstream in(log_);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(std::regex_replace(line, kPosition, "($1:N)"));
    }
    return lines;
  }

  bool Logged(const std::string& line) const {
    for (const std::string& logged : Lines()) {
      if (logged == line) return true;
    }
    return false;
  }

  std::string log_;
  std::vector<std::string> semaphores_;
  std::vector<std::pair<std::string, uid_t>> names_;  // removed with their key files
  std::vector<std::string> files_;
  std::vector<std::unique_ptr<quorvex_test::TempFolder>> folders_;
  std::vector<int> segments_;
};

// The count of the semaphore `name` as another opener sees it; -1 when it
// does not exist.
int SemaphoreCount(const std::string& name) {
  sem_t* sem = sem_open(tessel::SemaphoreName(name).c_str(), 0);
  if (sem == SEM_FAILED) return -1;
  int value = -1;
  sem_getvalue(sem, &value);
  sem_close(sem);
  return value;
}

// ---------------------------------------------------------------------------
// Mutex

using MutexTest = TransportTest;

TEST(NamingRule, EveryNameCarriesTheUserId) {
  EXPECT_EQ("cam_1234", tessel::UserScopedName("cam", 1234));
  EXPECT_EQ("cam_1234", tessel::SemaphoreName("cam", 1234));
  EXPECT_EQ("/tmp/cam_1234", tessel::KeyFilePath("cam", 1234));
  EXPECT_EQ("cam_" + Uid(), tessel::SemaphoreName("cam"));
  EXPECT_EQ("/tmp/cam_" + Uid(), tessel::KeyFilePath("cam"));
  EXPECT_EQ("/dev/shm/sem.cam_" + Uid(), tessel::SemaphorePath("cam"));
  EXPECT_EQ(-1, tessel::SegmentKey(UniqueName()));  // no key file, no key
}

TEST_F(MutexTest, CreateReportsWhetherItCreatedTheSemaphore) {
  const std::string name = NewName();
  bool created = false;
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name, &created));
  ASSERT_NE(nullptr, mutex);
  EXPECT_TRUE(created);
  EXPECT_TRUE(mutex->IsOpen());
  EXPECT_EQ(1, SemaphoreCount(name));  // a free lock
  EXPECT_TRUE(Logged("Mutex name = '" + name + "_" + Uid() + "'"));

  // Another process opens the same semaphore.
  Child other([&](Child&) {
    bool other_created = true;
    std::unique_ptr<tessel::Mutex> other_mutex(tessel::Mutex::Create(name, &other_created));
    return other_mutex != nullptr && !other_created ? 0 : 1;
  });
  EXPECT_EQ(0, other.Wait());

  // Nobody removes it: after every user closed, the next Create opens it.
  EXPECT_TRUE(mutex->Close());
  mutex.reset();
  EXPECT_EQ(1, SemaphoreCount(name));
  created = true;
  mutex.reset(tessel::Mutex::Create(name, &created));
  ASSERT_NE(nullptr, mutex);
  EXPECT_FALSE(created);
}

TEST_F(MutexTest, SemaphoreKeepsItsCountAfterEveryUserClosed) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  ASSERT_TRUE(mutex->Lock(true));
  mutex.reset();  // closes while holding it
  EXPECT_EQ(0, SemaphoreCount(name));
  mutex.reset(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  EXPECT_FALSE(mutex->Lock(false));
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_TRUE(mutex->Lock(false));
}

TEST_F(MutexTest, OpenOnAnOpenMutexKeepsItsHandle) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  const size_t logged = log_.size();
  bool created = true;
  EXPECT_FALSE(mutex->Open(true, &created));
  EXPECT_TRUE(created);  // untouched
  EXPECT_FALSE(mutex->Open(false, nullptr));
  EXPECT_EQ(logged, log_.size());
  EXPECT_TRUE(mutex->Lock(false));
  EXPECT_EQ(0, SemaphoreCount(name));
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(1, SemaphoreCount(name));
}

TEST_F(MutexTest, TryLockOnALockHeldByAnotherProcessFailsAtOnce) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  Child holder([&](Child& self) {
    std::unique_ptr<tessel::Mutex> own(tessel::Mutex::Create(name));
    if (own == nullptr || !own->Lock(true)) return 1;
    self.Signal();
    self.Await();
    return own->Unlock() ? 0 : 2;
  });
  ASSERT_EQ('.', holder.Await());

  log_.clear();
  EXPECT_FALSE(mutex->Lock(false));
  EXPECT_EQ(std::vector<std::string>{"Error(sharedmem.cc:N): sem_wait/sem_trywait returned -1! "
                                     "errno=" +
                                     std::to_string(EAGAIN)},
            Lines());

  holder.Signal();
  ASSERT_EQ(0, holder.Wait());
  EXPECT_TRUE(mutex->Lock(false));
  EXPECT_TRUE(mutex->Unlock());
}

TEST_F(MutexTest, BlockingLockWaitsForTheHolder) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  int released[2];
  ASSERT_EQ(0, pipe(released));
  Child holder([&](Child& self) {
    std::unique_ptr<tessel::Mutex> own(tessel::Mutex::Create(name));
    if (own == nullptr || !own->Lock(true)) return 1;
    self.Signal();
    self.Await();
    // Announce the release before it happens: the test's Lock can only
    // return after this byte is in the pipe.
    if (write(released[1], "r", 1) != 1) return 2;
    return own->Unlock() ? 0 : 3;
  });
  close(released[1]);
  ASSERT_EQ('.', holder.Await());
  holder.Signal();
  EXPECT_TRUE(mutex->Lock(true));
  fcntl(released[0], F_SETFL, O_NONBLOCK);
  char byte = 0;
  EXPECT_EQ(1, read(released[0], &byte, 1));
  close(released[0]);
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_EQ(0, holder.Wait());
}

TEST_F(MutexTest, LockAndUnlockAfterCloseReportInvalidSemaphore) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  EXPECT_TRUE(mutex->Close());
  EXPECT_FALSE(mutex->IsOpen());
  log_.clear();
  EXPECT_FALSE(mutex->Lock(true));
  EXPECT_FALSE(mutex->Lock(false));
  EXPECT_FALSE(mutex->Unlock());
  EXPECT_EQ(std::vector<std::string>(3, "Error(sharedmem.cc:N): Invalid semaphore!"), Lines());

  // A second Close fails and says nothing; so does destroying it.
  log_.clear();
  EXPECT_FALSE(mutex->Close());
  mutex.reset();
  EXPECT_EQ("", log_);
  EXPECT_EQ(1, SemaphoreCount(name));
}

TEST_F(MutexTest, OpenWithoutCreateNeedsAnExistingSemaphore) {
  const std::string name = NewName();
  tessel::Mutex mutex(name);
  bool created = true;
  EXPECT_FALSE(mutex.Open(false, &created));
  EXPECT_FALSE(created);
  EXPECT_FALSE(mutex.IsOpen());
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): sem_open failed with " + std::to_string(ENOENT)));
  EXPECT_EQ(-1, SemaphoreCount(name));
}

TEST_F(MutexTest, CreateGivesNullWhenTheSystemRefusesTheName) {
  // A slash inside the name is not a valid semaphore name.
  const std::string name = NewName() + "/x";
  bool created = true;
  EXPECT_EQ(nullptr, tessel::Mutex::Create(name, &created));
  EXPECT_FALSE(created);
  EXPECT_EQ((std::vector<std::string>{
                "Mutex name = '" + name + "_" + Uid() + "'",
                "Error(sharedmem.cc:N): sem_open failed with " + std::to_string(EINVAL),
                "Error(sharedmem.cc:N): Couldn't open mutex!",
            }),
            Lines());
}

TEST_F(MutexTest, UsersWithDifferentIdsGetDifferentSemaphores) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  const std::string name = NewName();
  semaphores_.push_back(tessel::SemaphoreName(name, kOtherUid));
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  ASSERT_TRUE(mutex->Lock(true));
  Child other([&](Child&) {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return kCannotSwitchUser;
    bool created = false;
    std::unique_ptr<tessel::Mutex> own(tessel::Mutex::Create(name, &created));
    // Its own semaphore: new, and free although ours is taken.
    return own != nullptr && created && own->Lock(false) ? 0 : 1;
  });
  const int status = other.Wait();
  if (status == kCannotSwitchUser) GTEST_SKIP() << "cannot switch to uid " << kOtherUid;
  EXPECT_EQ(0, status);
  EXPECT_TRUE(mutex->Unlock());
}

// ---------------------------------------------------------------------------
// SharedMemory

using SharedMemoryTest = TransportTest;

TEST_F(SharedMemoryTest, FirstOpenCreatesAndASecondProcessAttaches) {
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  // Started first, so that it does not inherit this process's attachment.
  Child other([&](Child& self) {
    self.Await();
    bool other_created = true;
    std::unique_ptr<tessel::SharedMemory> own(
        tessel::SharedMemory::Create(name, 4096, &other_created));
    if (own == nullptr || other_created) return 1;
    unsigned char* shared = static_cast<unsigned char*>(own->GetAddress());
    if (shared[0] != 0x5A) return 2;
    shared[4095] = 0xA5;
    return 0;
  });
  bool created = false;
  std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096, &created));
  ASSERT_NE(nullptr, memory);
  EXPECT_TRUE(created);
  ASSERT_TRUE(memory->IsOpen());

  // The key file: an empty regular file of ours, from which the producer
  // makes the same key.
  struct stat status;
  ASSERT_EQ(0, lstat(key_file.c_str(), &status));
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(0, status.st_size);
  EXPECT_EQ(geteuid(), status.st_uid);
  const key_t key = tessel::SegmentKey(name);
  EXPECT_EQ(ftok(key_file.c_str(), static_cast<int>(getuid())), key);  // the rule, pinned
  const int id = SegmentId(key);
  ASSERT_GE(id, 0);
  struct shmid_ds segment;
  ASSERT_EQ(0, shmctl(id, IPC_STAT, &segment));
  EXPECT_EQ(4096u, segment.shm_segsz);
  EXPECT_EQ(0600u, segment.shm_perm.mode & 0777u);
  EXPECT_EQ(1u, segment.shm_nattch);

  EXPECT_EQ((std::vector<std::string>{
                "Shared Memory name = '" + key_file + "'",
                "SharedMemory::Open size=4096",
                "key_ = " + std::to_string(key),
            }),
            Lines());

  // A new segment is all zero; the two processes see each other's bytes.
  unsigned char* bytes = static_cast<unsigned char*>(memory->GetAddress());
  EXPECT_EQ(std::string(4096, '\0'), std::string(reinterpret_cast<char*>(bytes), 4096));
  bytes[0] = 0x5A;
  other.Signal();
  ASSERT_EQ(0, other.Wait());
  EXPECT_EQ(0xA5, bytes[4095]);
}

TEST_F(SharedMemoryTest, LastUserRemovesSegmentAndKeyFile) {
  // Two real processes attach; only the second Close removes anything. The
  // other process starts before this one attaches: a forked child would
  // inherit the attachment and count as a third user.
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  Child other([&](Child& self) {
    self.Await();
    std::unique_ptr<tessel::SharedMemory> own(tessel::SharedMemory::Create(name, 4096));
    if (own == nullptr) return 1;
    self.Signal();
    self.Await();
    return own->Close() ? 0 : 2;
  });
  std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096));
  ASSERT_NE(nullptr, memory);
  const key_t key = tessel::SegmentKey(name);
  const int id = SegmentId(key);
  ASSERT_GE(id, 0);
  other.Signal();
  ASSERT_EQ('.', other.Await());

  log_.clear();
  EXPECT_TRUE(memory->Close());
  EXPECT_EQ((std::vector<std::string>{"SharedMemory::Close()", "2 user attached."}), Lines());
  EXPECT_TRUE(PathExists(key_file));
  EXPECT_EQ(id, SegmentId(key));

  other.Signal();
  ASSERT_EQ(0, other.Wait());
  EXPECT_FALSE(PathExists(key_file));
  EXPECT_FALSE(SegmentExists(id));
}

TEST_F(SharedMemoryTest, OnlyUserCleansUpOnClose) {
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096));
  ASSERT_NE(nullptr, memory);
  const int id = SegmentId(tessel::SegmentKey(name));
  ASSERT_GE(id, 0);
  log_.clear();
  EXPECT_TRUE(memory->Close());
  EXPECT_FALSE(memory->IsOpen());
  EXPECT_EQ(nullptr, memory->GetAddress());
  EXPECT_EQ((std::vector<std::string>{"SharedMemory::Close()", "1 user attached.",
                                      "Last user of the shared memory, cleaning up!"}),
            Lines());
  EXPECT_FALSE(PathExists(key_file));
  EXPECT_FALSE(SegmentExists(id));

  // The closed object has no name left, so it cannot be opened again.
  log_.clear();
  EXPECT_FALSE(memory->Open(4096));
  EXPECT_EQ((std::vector<std::string>{
                "SharedMemory::Open size=4096",
                "Error(sharedmem.cc:N): fopen failed with errno: " + std::to_string(ENOENT),
            }),
            Lines());
}

TEST_F(SharedMemoryTest, SizeZeroOnlyAttaches) {
  const std::string name = NewName();
  bool created = true;
  tessel::SharedMemory missing(name);
  EXPECT_FALSE(missing.Open(0, &created));
  EXPECT_TRUE(created);  // written only on success
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): shmget failed with errno: " + std::to_string(ENOENT) +
                     " size: 0"));

  std::unique_ptr<tessel::SharedMemory> owner(tessel::SharedMemory::Create(name, 8192));
  ASSERT_NE(nullptr, owner);
  static_cast<char*>(owner->GetAddress())[8191] = 'z';
  Child attacher([&](Child&) {
    bool attached_created = true;
    std::unique_ptr<tessel::SharedMemory> own(
        tessel::SharedMemory::Create(name, 0, &attached_created));
    if (own == nullptr || attached_created) return 1;
    return static_cast<char*>(own->GetAddress())[8191] == 'z' ? 0 : 2;
  });
  EXPECT_EQ(0, attacher.Wait());
  // A size beyond the existing segment is refused.
  std::unique_ptr<tessel::SharedMemory> larger(tessel::SharedMemory::Create(name, 8193));
  EXPECT_EQ(nullptr, larger);
}

TEST_F(SharedMemoryTest, OpenTwiceOnOneObjectFailsQuietly) {
  const std::string name = NewName();
  tessel::SharedMemory memory(name);
  ASSERT_TRUE(memory.Open(4096));
  log_.clear();
  bool created = true;
  EXPECT_FALSE(memory.Open(4096, &created));
  EXPECT_TRUE(created);
  EXPECT_EQ(std::vector<std::string>{"SharedMemory::Open size=4096"}, Lines());
  EXPECT_TRUE(memory.IsOpen());

  // An Open that got as far as the key leaves the object unusable.
  tessel::SharedMemory attach_only(NewName());
  EXPECT_FALSE(attach_only.Open(0));
  log_.clear();
  EXPECT_FALSE(attach_only.Open(4096));
  EXPECT_EQ(std::vector<std::string>{"SharedMemory::Open size=4096"}, Lines());
}

TEST_F(SharedMemoryTest, CloseOfANeverOpenedObjectOnlyLogsItsEntry) {
  const std::string name = NewName();
  tessel::SharedMemory memory(name);
  log_.clear();
  EXPECT_TRUE(memory.Close());
  EXPECT_EQ(std::vector<std::string>{"SharedMemory::Close()"}, Lines());
  EXPECT_FALSE(PathExists(KeyFilePath(name)));
  EXPECT_FALSE(memory.Open(4096));  // the name is gone
}

TEST_F(SharedMemoryTest, CreationTimeIsWhenTheSegmentWasMade) {
  const std::string name = NewName();
  tessel::SharedMemory memory(name);
  long when = -7;
  EXPECT_FALSE(memory.GetCreationTime(&when));
  EXPECT_EQ(-7, when);

  const long before = static_cast<long>(time(nullptr));
  ASSERT_TRUE(memory.Open(4096));
  const long after = static_cast<long>(time(nullptr));
  ASSERT_TRUE(memory.GetCreationTime(&when));
  EXPECT_GE(when, before);
  EXPECT_LE(when, after);

  memory.Close();
  when = -7;
  EXPECT_FALSE(memory.GetCreationTime(&when));
  EXPECT_EQ(-7, when);
}

TEST_F(SharedMemoryTest, RefusesKeyFileThatIsASymlink) {
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  const std::string folder = NewFolder();
  const std::string victim = folder + "/victim";
  const std::string absent = folder + "/absent";
  files_.push_back(victim);
  files_.push_back(absent);
  WriteFile(victim, "precious");

  // A link to an existing file: the file is neither truncated nor used.
  ASSERT_EQ(0, symlink(victim.c_str(), key_file.c_str()));
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): fopen failed with errno: " + std::to_string(ELOOP)));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): Couldn't open shared memory!"));
  EXPECT_EQ("precious", ReadFile(victim));

  // A dangling link: nothing is created at its target.
  ASSERT_EQ(0, unlink(key_file.c_str()));
  ASSERT_EQ(0, symlink(absent.c_str(), key_file.c_str()));
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_FALSE(PathExists(absent));
}

TEST_F(SharedMemoryTest, RefusesKeyFileThatIsNotARegularFile) {
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  ASSERT_EQ(0, mkfifo(key_file.c_str(), 0600));
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): Refusing the key file " + key_file +
                     ": it is not a regular file"));
}

TEST_F(SharedMemoryTest, RefusesKeyFileWithASecondLink) {
  // Truncating it would empty the file behind its other name.
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  const std::string other = NewFolder() + "/other";
  files_.push_back(other);
  WriteFile(other, "keep me");
  ASSERT_EQ(0, link(other.c_str(), key_file.c_str()));
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(
      Logged("Error(sharedmem.cc:N): Refusing the key file " + key_file + ": it has 2 links"));
  EXPECT_EQ("keep me", ReadFile(other));
}

TEST_F(SharedMemoryTest, RefusesKeyFileOwnedByAnotherUser) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to plant another user's file";
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  WriteFile(key_file, "theirs");
  ASSERT_EQ(0, chown(key_file.c_str(), kOtherUid, kOtherUid));
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): Refusing the key file " + key_file +
                     ": it belongs to uid " + std::to_string(kOtherUid) + ", not to this user"));
  EXPECT_EQ("theirs", ReadFile(key_file));
}

TEST_F(SharedMemoryTest, RefusesSegmentOwnedByAnotherUser) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to hand a segment to another user";
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  WriteFile(key_file, "");
  const key_t key = tessel::SegmentKey(name);
  const int id = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0666);
  ASSERT_GE(id, 0);
  segments_.push_back(id);
  struct shmid_ds status;
  ASSERT_EQ(0, shmctl(id, IPC_STAT, &status));
  status.shm_perm.uid = kOtherUid;
  ASSERT_EQ(0, shmctl(id, IPC_SET, &status));

  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): Refusing shared memory segment " + std::to_string(id) +
                     ": it belongs to uid " + std::to_string(kOtherUid) + " (created by uid " +
                     Uid() + "), not to this user"));
  ASSERT_EQ(0, shmctl(id, IPC_STAT, &status));
  EXPECT_EQ(0u, status.shm_nattch);
}

TEST_F(SharedMemoryTest, RefusesSegmentCreatedByAnotherUser) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  const std::string name = NewName();
  const std::string key_file = KeyFilePath(name);
  WriteFile(key_file, "");
  const key_t key = tessel::SegmentKey(name);
  // The other user makes the segment first and hands it to us, keeping
  // write access through its permissions.
  Child other([&](Child&) {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return kCannotSwitchUser;
    const int id = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0) return 1;
    struct shmid_ds status;
    if (shmctl(id, IPC_STAT, &status) != 0) return 2;
    status.shm_perm.uid = 0;
    return shmctl(id, IPC_SET, &status) == 0 ? 0 : 3;
  });
  const int status = other.Wait();
  if (status == kCannotSwitchUser) GTEST_SKIP() << "cannot switch to uid " << kOtherUid;
  ASSERT_EQ(0, status);
  const int id = SegmentId(key);
  ASSERT_GE(id, 0);
  segments_.push_back(id);

  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096));
  EXPECT_TRUE(Logged("Error(sharedmem.cc:N): Refusing shared memory segment " + std::to_string(id) +
                     ": it belongs to uid 0 (created by uid " + std::to_string(kOtherUid) +
                     "), not to this user"));
}

TEST_F(SharedMemoryTest, UsersWithDifferentIdsGetDifferentSegments) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  const std::string name = NewName();
  names_.emplace_back(name, kOtherUid);
  bool created = false;
  std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096, &created));
  ASSERT_NE(nullptr, memory);
  ASSERT_TRUE(created);
  Child other([&](Child&) {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return kCannotSwitchUser;
    bool other_created = false;
    std::unique_ptr<tessel::SharedMemory> own(
        tessel::SharedMemory::Create(name, 4096, &other_created));
    if (own == nullptr || !other_created) return 1;
    if (access(KeyFilePath(name, kOtherUid).c_str(), F_OK) != 0) return 2;
    return own->Close() ? 0 : 3;
  });
  const int status = other.Wait();
  if (status == kCannotSwitchUser) GTEST_SKIP() << "cannot switch to uid " << kOtherUid;
  EXPECT_EQ(0, status);
  EXPECT_TRUE(PathExists(KeyFilePath(name)));
  EXPECT_FALSE(PathExists(KeyFilePath(name, kOtherUid)));
}

// ---------------------------------------------------------------------------
// Trust between users, removal, abuse

// Two throwaway users who share a group, as on a machine where every user
// is in "users". Neither needs a password entry.
constexpr uid_t kGroupMateA = 61001;
constexpr uid_t kGroupMateB = 61002;
constexpr gid_t kSharedGroup = 61000;

bool BecomeGroupMate(uid_t uid) {
  return setgroups(0, nullptr) == 0 && setgid(kSharedGroup) == 0 && setuid(uid) == 0;
}

TEST_F(SharedMemoryTest, AGroupMateCanNeitherReadNorWriteTheFrames) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run two other users";
  const std::string name = NewName(kGroupMateA);
  // A's objects, made under a umask that leaves the group everything.
  Child owner([&](Child& self) {
    if (!BecomeGroupMate(kGroupMateA)) return kCannotSwitchUser;
    umask(002);
    std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
    std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096));
    if (mutex == nullptr || memory == nullptr) return 1;
    self.Signal();
    self.Await();
    return 0;
  });
  ASSERT_EQ('.', owner.Await()) << "status " << owner.Wait();
  struct stat semaphore;
  ASSERT_EQ(0, stat(("/dev/shm/sem." + tessel::SemaphoreName(name, kGroupMateA)).c_str(), &semaphore));
  EXPECT_EQ(0600u, semaphore.st_mode & 0777);
  const int id = SegmentId(tessel::SegmentKey(name, kGroupMateA));
  ASSERT_GE(id, 0);
  struct shmid_ds segment;
  ASSERT_EQ(0, shmctl(id, IPC_STAT, &segment));
  EXPECT_EQ(0600u, segment.shm_perm.mode & 0777);

  Child mate([&](Child&) {
    if (!BecomeGroupMate(kGroupMateB)) return kCannotSwitchUser;
    if (sem_open(tessel::SemaphoreName(name, kGroupMateA).c_str(), 0) != SEM_FAILED) return 1;
    if (errno != EACCES) return 2;
    if (shmat(id, nullptr, SHM_RDONLY) != reinterpret_cast<void*>(-1)) return 3;
    return errno == EACCES ? 0 : 4;
  });
  EXPECT_EQ(0, mate.Wait());
  owner.Signal();
  EXPECT_EQ(0, owner.Wait());
}

TEST_F(MutexTest, RefusesASemaphoreAnotherUserMadeNamingTheOwner) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
  const std::string name = NewName();
  // The other user plants this user's semaphore, open to all, to read and
  // inject frames through it.
  const std::string ours = tessel::SemaphoreName(name);
  Child planter([&](Child&) {
    if (setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0) return kCannotSwitchUser;
    umask(0);
    sem_t* sem = sem_open(ours.c_str(), O_CREAT | O_EXCL, 0666, 1);
    return sem == SEM_FAILED ? 1 : 0;
  });
  ASSERT_EQ(0, planter.Wait());
  std::string error;
  EXPECT_EQ(nullptr, tessel::Mutex::Create(name, nullptr, &error));
  EXPECT_EQ("Refusing the semaphore " + tessel::SemaphorePath(name) + ": it belongs to " +
                tessel::DescribeOwner(kOtherUid) + ", not to this user",
            error);
  EXPECT_EQ(error, tessel::DescribeSharingProblem(name));
  EXPECT_TRUE(PathExists(tessel::SemaphorePath(name))) << "someone else's is not ours to remove";
  EXPECT_EQ("uid 61002", tessel::DescribeOwner(kGroupMateB));
}

TEST_F(MutexTest, ItsOwnSemaphoreIsMadeOwnerOnlyOrRefusedWhenOthersMayWriteIt) {
  const std::string name = NewName();
  const mode_t umask_before = umask(0);
  sem_t* sem = sem_open(tessel::SemaphoreName(name).c_str(), O_CREAT | O_EXCL, 0666, 1);
  umask(umask_before);
  ASSERT_NE(SEM_FAILED, sem);
  sem_close(sem);
  std::string error;
  EXPECT_EQ(nullptr, tessel::Mutex::Create(name, nullptr, &error));
  EXPECT_EQ("Refusing the semaphore " + tessel::SemaphorePath(name) +
                ": others may write it (mode 0666); remove it with: rm '" +
                tessel::SemaphorePath(name) + "'",
            error);

  // Readable by others only (an older version's mode): made owner-only.
  ASSERT_EQ(0, chmod(tessel::SemaphorePath(name).c_str(), 0644));
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name, nullptr, &error));
  ASSERT_NE(nullptr, mutex) << error;
  struct stat status;
  ASSERT_EQ(0, stat(tessel::SemaphorePath(name).c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
  // And a new one is owner-only whatever the umask.
  const std::string fresh = NewName();
  umask(0);
  std::unique_ptr<tessel::Mutex> made(tessel::Mutex::Create(fresh));
  umask(umask_before);
  ASSERT_NE(nullptr, made);
  ASSERT_EQ(0, stat(tessel::SemaphorePath(fresh).c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
}

TEST_F(MutexTest, TheHolderMarkIsSeenByOthersAndDiesWithItsHolder) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> producer(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, producer);
  producer->MarkHeld();
  EXPECT_FALSE(producer->HeldByLiveReader()) << "one's own mark is no other reader's";
  producer->ClearHeld();
  Child reader([&](Child& self) {
    std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
    if (mutex == nullptr || !mutex->Lock(true)) return 1;
    mutex->MarkHeld();
    self.Signal();
    self.Await();
    mutex->ClearHeld();
    self.Signal();
    self.Await();
    mutex->MarkHeld();
    self.Signal();
    self.Await();
    _exit(0);  // dies holding the lock, marked
  });
  ASSERT_EQ('.', reader.Await());
  EXPECT_TRUE(producer->HeldByLiveReader());
  reader.Signal();
  ASSERT_EQ('.', reader.Await());
  EXPECT_FALSE(producer->HeldByLiveReader());
  reader.Signal();
  ASSERT_EQ('.', reader.Await());
  EXPECT_TRUE(producer->HeldByLiveReader());
  reader.Signal();
  EXPECT_EQ(0, reader.Wait());
  EXPECT_FALSE(producer->HeldByLiveReader());
  EXPECT_TRUE(producer->IsTaken());  // the count stays as the dead holder left it
}

TEST_F(MutexTest, DropExtraCountsTakesBackABoundedNumberEachCall) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  ASSERT_TRUE(mutex->Lock(true));
  sem_t* poster = sem_open(tessel::SemaphoreName(name).c_str(), 0);
  ASSERT_NE(SEM_FAILED, poster);
  for (int i = 0; i < 100; ++i) sem_post(poster);
  sem_close(poster);
  EXPECT_EQ(64, mutex->DropExtraCounts());
  EXPECT_EQ(36, mutex->DropExtraCounts());
  EXPECT_EQ(0, mutex->DropExtraCounts());
  EXPECT_TRUE(mutex->IsTaken());
  ASSERT_TRUE(mutex->Unlock());
  EXPECT_EQ(1, SemaphoreCount(name));
}

TEST_F(MutexTest, StillSharedTellsAnUnlinkedAndARemadeSemaphore) {
  const std::string name = NewName();
  std::unique_ptr<tessel::Mutex> mutex(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, mutex);
  std::string why;
  EXPECT_TRUE(mutex->StillShared(&why));
  ASSERT_EQ(0, sem_unlink(tessel::SemaphoreName(name).c_str()));
  EXPECT_FALSE(mutex->StillShared(&why));
  EXPECT_EQ("the semaphore " + tessel::SemaphorePath(name) + " was removed", why);
  std::unique_ptr<tessel::Mutex> again(tessel::Mutex::Create(name));
  ASSERT_NE(nullptr, again);
  EXPECT_FALSE(mutex->StillShared(&why));
  EXPECT_EQ("the semaphore " + tessel::SemaphorePath(name) + " was removed and made again", why);
  EXPECT_TRUE(again->StillShared());
}

TEST_F(SharedMemoryTest, StillSharedTellsARemovedSegmentOrKeyFile) {
  const std::string name = NewName();
  std::unique_ptr<tessel::SharedMemory> memory(tessel::SharedMemory::Create(name, 4096));
  ASSERT_NE(nullptr, memory);
  std::string why;
  EXPECT_TRUE(memory->StillShared(&why)) << why;
  const int id = SegmentId(tessel::SegmentKey(name));
  ASSERT_GE(id, 0);
  ASSERT_EQ(0, shmctl(id, IPC_RMID, nullptr));
  EXPECT_FALSE(memory->StillShared(&why));
  EXPECT_EQ("the shared memory segment " + std::to_string(id) + " was removed (ipcrm?)", why);
  ASSERT_TRUE(memory->Close());

  memory.reset(tessel::SharedMemory::Create(name, 4096));
  ASSERT_NE(nullptr, memory);
  ASSERT_EQ(0, unlink(KeyFilePath(name).c_str()));
  EXPECT_FALSE(memory->StillShared(&why));
  EXPECT_EQ("the key file " + KeyFilePath(name) + " was removed", why);
  // Those who come later make a new key file and segment (a file made at
  // once takes the freed inode, whose key would lead to ours); closing the old
  // one, as its last user, leaves theirs alone.
  const std::string placeholder = KeyFilePath(name) + ".placeholder";
  WriteFile(placeholder, "");
  files_.push_back(placeholder);
  std::unique_ptr<tessel::SharedMemory> later(tessel::SharedMemory::Create(name, 4096));
  ASSERT_NE(nullptr, later);
  EXPECT_FALSE(memory->StillShared(&why));
  EXPECT_EQ("the key file " + KeyFilePath(name) + " was removed and made again", why);
  memory->Close();
  EXPECT_TRUE(PathExists(KeyFilePath(name)));
  EXPECT_TRUE(later->StillShared(&why)) << why;
}

TEST_F(SharedMemoryTest, ErrorSaysWhyInASentenceForTheUser) {
  const std::string name = NewName();
  WriteFile(KeyFilePath(name), "");
  const int id = shmget(tessel::SegmentKey(name), 4096, IPC_CREAT | IPC_EXCL | 0666);
  ASSERT_GE(id, 0);
  segments_.push_back(id);
  std::string error;
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096, nullptr, &error));
  EXPECT_EQ("Refusing shared memory segment " + std::to_string(id) +
                ": others may write it (mode 0666); remove it with: ipcrm -m " + std::to_string(id),
            error);
  ASSERT_EQ(0, shmctl(id, IPC_RMID, nullptr));
  const int small = shmget(tessel::SegmentKey(name), 16, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(small, 0);
  segments_.push_back(small);
  EXPECT_EQ(nullptr, tessel::SharedMemory::Create(name, 4096, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find("a smaller segment of that key is in the way")) << error;
}

}  // namespace
