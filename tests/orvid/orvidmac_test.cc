// The camera component as a host sees it: the built bundle, loaded by the
// platform's component manager into orvid_test_host, which the tests copy
// under the names of real (and of refused) host processes and drive line by
// line. The tests read what the component leaves behind: its answers, its
// log file, the named semaphore, the key file and the shared segment.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/orvid/orvid_host_fixture.h"

namespace {

using namespace orvid_test;  // NOLINT: the fixture and its helpers

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
  // The dispatcher and the 30 handlers of the tables, each under its own name.
  const std::set<std::string> expected = {
      "OrvidComponentDispatch",
      "OrvidOpen",
      "OrvidClose",
      "OrvidCanDo",
      "OrvidVersion",
      "OrvidGetMaxSrcRect",
      "OrvidGetActiveSrcRect",
      "OrvidSetDigitizerRect",
      "OrvidGetDigitizerRect",
      "OrvidGetVBlankRect",
      "OrvidGetDigitizerInfo",
      "OrvidGetCurrentFlags",
      "OrvidGetNumberOfInputs",
      "OrvidGetInputFormat",
      "OrvidSetInput",
      "OrvidGetInput",
      "OrvidSetInputStandard",
      "OrvidSetCompression",
      "OrvidCompressOneFrameAsync",
      "OrvidCompressDone",
      "OrvidReleaseCompressBuffer",
      "OrvidGetImageDescription",
      "OrvidResetCompressSequence",
      "OrvidSetCompressionOnOff",
      "OrvidGetCompressionTypes",
      "OrvidSetTimeBase",
      "OrvidSetFrameRate",
      "OrvidGetPreferredTimeScale",
      "OrvidGetInputName",
      "OrvidGetDeviceNameAndFlags",
      "OrvidCaptureStateChanging",
      "Quorvex_Camera_Adapter_0VersionNumber",
      "Quorvex_Camera_Adapter_0VersionString",
  };
  EXPECT_EQ(33u, expected.size());
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
      "Mutex name = '" + SemaphoreName() + "'",
      "Shared Memory name = '" + KeyFile() + "'",
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

TEST_F(OrvidHostTest, PlantedLinkAtTheLogPathIsNotFollowed) {
  // Someone links the log path to a file of the user's: opening it used to
  // empty that file and write the log into it.
  SetPreference("orvid_log_level", "LS_VERBOSE");
  SetPreference("orvid_log_path", log_path_);
  const std::string victim = folder_ + "/precious";
  ASSERT_TRUE(WriteFile(victim, "keep me\n"));
  ASSERT_EQ(0, symlink(victim.c_str(), (log_path_ + "0").c_str()));
  Host& host = StartHost("Safari");
  EXPECT_EQ(0, host.Open(0));
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
  EXPECT_EQ("keep me\n", ReadFile(victim));
  struct stat info;
  ASSERT_EQ(0, lstat((log_path_ + "0").c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_NE(std::string::npos, host.Stderr().find("Orvid 0: Not logging to " + log_path_ +
                                                   "0: it is a symbolic link"))
      << host.Stderr();
}

TEST_F(OrvidHostTest, NewLogFileIsTheOwnersAloneAndAnotherUsersFileIsRefused) {
  LogEverything();
  const mode_t old_umask = umask(0);  // the host inherits it
  {
    Host& host = StartHost("Safari");
    EXPECT_EQ(0, host.Open(0));
    EXPECT_EQ(0, host.Close(0));
    ExpectCleanExit(host);
  }
  umask(old_umask);
  struct stat info;
  ASSERT_EQ(0, stat((log_path_ + "0").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  EXPECT_FALSE(Log().empty());

  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's file";
  // A file someone else planted there would receive the user's log.
  ASSERT_TRUE(WriteFile(log_path_ + "0", "planted\n"));
  ASSERT_EQ(0, chown((log_path_ + "0").c_str(), 4242, 4242));
  ASSERT_EQ(0, chmod((log_path_ + "0").c_str(), 0666));
  Host& host = StartHost("Safari");
  EXPECT_EQ(0, host.Open(0));
  EXPECT_EQ(0, host.Close(0));
  ExpectCleanExit(host);
  EXPECT_EQ("planted\n", ReadFile(log_path_ + "0"));
  EXPECT_NE(std::string::npos, host.Stderr().find("Orvid 0: Not logging to " + log_path_ +
                                                   "0: it belongs to uid 4242, not to this user"))
      << host.Stderr();
}

// ---------------------------------------------------------------------------
// Dispatch.

TEST_F(OrvidHostTest, SelectorsOutsideTheTablesAreRefused) {
  LogEverything();
  Host& host = StartHost("Safari");
  ASSERT_EQ(0, host.Open(0));
  const size_t lines = Log().size();
  // Gaps between the implemented digitizer selectors, both ends of the
  // table, and selectors beyond both tables.
  for (int selector : {0,  6,  24, 27, 59,  65,  67,   78,    80, 82, 91,
                       93, 96, 97, 98, 255, 256, 4096, 32767, -5, -6, -32768}) {
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
  EXPECT_EQ(
      "candoall 0 -4,-3,-2,-1,1,2,3,4,5,25,26,60,61,62,63,64,68,69,70,71,72,73,74,75,76,77,81,92,"
      "94,95",
      host.Do("candoall 0"));
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
  EXPECT_EQ(0600u, segment.shm_perm.mode & 0777u);
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
      "Mutex name = '" + SemaphoreName() + "'",
      "Error(sharedmem.cc:N): sem_open failed with " + std::to_string(EISDIR),
      "Error(sharedmem.cc:N): Couldn't open mutex!",
      "Error(orvidmac.cc:N): Orvid 0: OrvidOpen: No mutex!",
      "Shared Memory name = '" + KeyFile() + "'",
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
      "Mutex name = '" + SemaphoreName() + "'",
      "Shared Memory name = '" + KeyFile() + "'",
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
