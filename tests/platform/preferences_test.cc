#include "platform/preferences.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace {

using namespace std::string_literals;
using platform::PreferenceEntry;
using platform::PreferenceValue;

const char kDomain[] = "com.example.PrefsTest";

// Points XDG_CONFIG_HOME (and HOME) at a fresh folder for one test, and puts
// the environment and the disk back afterwards.
class PreferencesTest : public testing::Test {
 protected:
  void SetUp() override {
    Save("XDG_CONFIG_HOME", &saved_xdg_);
    Save("HOME", &saved_home_);
    temp_ = std::make_unique<quorvex_test::TempFolder>("quorvex-prefs-test");
    ASSERT_FALSE(temp_->path().empty());
    root_ = temp_->path();
    config_ = root_ + "/config";
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    setenv("HOME", (root_ + "/home").c_str(), 1);
    folder_ = config_ + "/quorvex/preferences";
    file_ = folder_ + "/" + kDomain + ".prefs";
  }

  void TearDown() override {
    Restore("XDG_CONFIG_HOME", saved_xdg_);
    Restore("HOME", saved_home_);
    temp_.reset();
  }

  static void Save(const char* name, std::unique_ptr<std::string>* slot) {
    const char* value = getenv(name);
    if (value != nullptr) slot->reset(new std::string(value));
  }
  static void Restore(const char* name, const std::unique_ptr<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  static std::string ReadFile(const std::string& path) { return quorvex_test::ReadFile(path); }
  static void WriteFile(const std::string& path, const std::string& content) {
    quorvex_test::WriteFile(path, content);
  }
  void WriteDomainFile(const std::string& content) {
    ASSERT_EQ(0, system(("mkdir -p '" + folder_ + "'").c_str()));
    WriteFile(file_, content);
  }

  // The names in the preferences folder, hidden ones included.
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    DIR* dir = opendir(folder_.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* item = readdir(dir)) {
      std::string name = item->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<std::string> saved_xdg_;
  std::unique_ptr<std::string> saved_home_;
  std::unique_ptr<quorvex_test::TempFolder> temp_;
  std::string root_;
  std::string config_;
  std::string folder_;
  std::string file_;
};

// A string object that releases itself.
class Str {
 public:
  explicit Str(const std::string& text)
      : ref_(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                     static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8,
                                     false)) {}
  ~Str() { CFRelease(ref_); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  CFStringRef get() const { return ref_; }

 private:
  CFStringRef ref_;
};

// The value of key in kDomain as text: "string:<bytes>", "bool:true", or
// "absent", read through the platform call.
std::string CopyAsText(const std::string& key, const char* domain = kDomain) {
  Str key_ref(key);
  Str domain_ref(domain);
  CFPropertyListRef value = CFPreferencesCopyAppValue(key_ref.get(), domain_ref.get());
  if (value == nullptr) return "absent";
  std::string text;
  if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
    text = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? "bool:true" : "bool:false";
  } else if (CFGetTypeID(value) == CFStringGetTypeID()) {
    std::string bytes;
    PlatformCFStringCopyUtf8(static_cast<CFStringRef>(value), &bytes);
    text = "string:" + bytes;
  } else {
    text = "unexpected type";
  }
  CFRelease(value);
  return text;
}

void SetString(const std::string& key, const std::string& value, const char* domain = kDomain) {
  Str key_ref(key);
  Str value_ref(value);
  Str domain_ref(domain);
  ASSERT_NE(nullptr, value_ref.get());
  CFPreferencesSetAppValue(key_ref.get(), value_ref.get(), domain_ref.get());
}

bool Synchronize(const char* domain = kDomain) {
  Str domain_ref(domain);
  return CFPreferencesAppSynchronize(domain_ref.get());
}

TEST_F(PreferencesTest, StringsRoundTripThroughTheFile) {
  const std::vector<std::pair<std::string, std::string>> kCases = {
      {"greeting",
       "Gr\xC3\xBC\xC3\x9F"
       "e, \xE6\x97\xA5\xE6\x9C\xAC, \xF0\x9F\x98\x80"},
      {"lines", "first\nsecond\r\nthird\n"},
      {"quotes", "say \"hi\" \\ back\\slash \\\" \\n literally"},
      {"empty", ""},
      {"controls", "tab\there\x01\x1F\x7F and nul\0end"s},
      {"key with \"quotes\", = and\nnewline \xC3\xA9", "value"},
      {"", "empty key"},
      {"# not a comment", "= true"},
  };
  for (const auto& entry : kCases) SetString(entry.first, entry.second);
  EXPECT_TRUE(Synchronize());
  for (const auto& entry : kCases) {
    SCOPED_TRACE(entry.first);
    EXPECT_EQ("string:" + entry.second, CopyAsText(entry.first));
  }
  // The helpers see the same entries, in the order they were first written.
  std::vector<PreferenceEntry> entries;
  bool exists = false;
  std::string error;
  ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, &exists, &error)) << error;
  EXPECT_TRUE(exists);
  ASSERT_EQ(kCases.size(), entries.size());
  for (size_t i = 0; i < kCases.size(); ++i) {
    EXPECT_EQ(kCases[i].first, entries[i].key);
    EXPECT_EQ(PreferenceValue::Type::kString, entries[i].value.type);
    EXPECT_EQ(kCases[i].second, entries[i].value.string_value);
  }
}

TEST_F(PreferencesTest, BooleansRoundTripAndReplaceStrings) {
  Str on("on");
  Str off("off");
  Str domain(kDomain);
  CFPreferencesSetAppValue(on.get(), kCFBooleanTrue, domain.get());
  CFPreferencesSetAppValue(off.get(), kCFBooleanFalse, domain.get());
  EXPECT_EQ("bool:true", CopyAsText("on"));
  EXPECT_EQ("bool:false", CopyAsText("off"));

  SetString("on", "now a string");
  EXPECT_EQ("string:now a string", CopyAsText("on"));
  CFPreferencesSetAppValue(on.get(), kCFBooleanTrue, domain.get());
  EXPECT_EQ("bool:true", CopyAsText("on"));
}

TEST_F(PreferencesTest, FileLayoutIsTheDocumentedTextFormat) {
  std::string error;
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "name", "caf\xC3\xA9 \"x\"\n", &error));
  ASSERT_TRUE(platform::SetPreferenceBoolean(kDomain, "logToStdErr", true, &error));
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "nul", std::string("a\0b", 3), &error));
  EXPECT_EQ(
      "quorvex-preferences 1\n"
      "\"name\" = \"caf\xC3\xA9 \\\"x\\\"\\n\"\n"
      "\"logToStdErr\" = true\n"
      "\"nul\" = \"a\\x00b\"\n",
      ReadFile(file_));
}

TEST_F(PreferencesTest, HandWrittenFileIsReadAndItsCommentsSurviveAWrite) {
  WriteDomainFile(
      "quorvex-preferences 1\r\n"
      "# Logging of the agent.\n"
      "\n"
      "  \"orvid_log_level\"\t=  \"LS_INFO\"  \r\n"
      "\"escapes\" = \"\\t\\x41\\\\\"\n"
      "\"flag\"=false");
  EXPECT_EQ("string:LS_INFO", CopyAsText("orvid_log_level"));
  EXPECT_EQ("string:\tA\\", CopyAsText("escapes"));
  EXPECT_EQ("bool:false", CopyAsText("flag"));

  std::string error;
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "orvid_log_level", "LS_ERROR", &error))
      << error;
  ASSERT_TRUE(platform::SetPreferenceBoolean(kDomain, "added", true, &error));
  EXPECT_EQ(
      "quorvex-preferences 1\n"
      "# Logging of the agent.\n"
      "\n"
      "\"orvid_log_level\" = \"LS_ERROR\"\n"
      "\"escapes\" = \"\\tA\\\\\"\n"
      "\"flag\" = false\n"
      "\"added\" = true\n",
      ReadFile(file_));
}

TEST_F(PreferencesTest, ZeroByteFileIsAnEmptyDomain) {
  WriteDomainFile("");
  EXPECT_EQ("absent", CopyAsText("anything"));
  std::vector<PreferenceEntry> entries(1);
  bool exists = false;
  ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, &exists, nullptr));
  EXPECT_TRUE(exists);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(platform::SetPreferenceString(kDomain, "k", "v", nullptr));
  EXPECT_EQ("string:v", CopyAsText("k"));
}

TEST_F(PreferencesTest, BooleanForms) {
  struct Case {
    std::string text;
    bool valid;
    bool value;
  };
  const Case kCases[] = {
      {"true", true, true},   {"TRUE", true, true}, {"Yes", true, true}, {"1", true, true},
      {"false", true, false}, {"No", true, false},  {"0", true, false},  {"FaLsE", true, false},
      {"2", false, false},    {"y", false, false},  {"", false, false},  {" true", false, false},
      {"yes!", false, false}, {"on", false, false},
  };
  Str key("flag");
  Str domain(kDomain);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    SetString("flag", c.text);
    Boolean valid = !c.valid;
    EXPECT_EQ(c.value, CFPreferencesGetAppBooleanValue(key.get(), domain.get(), &valid) != 0);
    EXPECT_EQ(c.valid, valid != 0);
  }
  CFPreferencesSetAppValue(key.get(), kCFBooleanTrue, domain.get());
  Boolean valid = false;
  EXPECT_TRUE(CFPreferencesGetAppBooleanValue(key.get(), domain.get(), &valid));
  EXPECT_TRUE(valid);
  // The flag is optional.
  EXPECT_TRUE(CFPreferencesGetAppBooleanValue(key.get(), domain.get(), nullptr));

  Str absent("absent");
  valid = true;
  EXPECT_FALSE(CFPreferencesGetAppBooleanValue(absent.get(), domain.get(), &valid));
  EXPECT_FALSE(valid);
  valid = true;
  EXPECT_FALSE(CFPreferencesGetAppBooleanValue(nullptr, domain.get(), &valid));
  EXPECT_FALSE(valid);
}

TEST_F(PreferencesTest, SettingNullDeletesTheKeyOnly) {
  SetString("keep", "1");
  SetString("drop", "2");
  Str drop("drop");
  Str domain(kDomain);
  CFPreferencesSetAppValue(drop.get(), nullptr, domain.get());
  EXPECT_TRUE(Synchronize());
  EXPECT_EQ("absent", CopyAsText("drop"));
  EXPECT_EQ("string:1", CopyAsText("keep"));

  bool existed = true;
  std::string error;
  EXPECT_TRUE(platform::DeletePreference(kDomain, "drop", &existed, &error));
  EXPECT_FALSE(existed);
  EXPECT_TRUE(platform::DeletePreference(kDomain, "keep", &existed, &error));
  EXPECT_TRUE(existed);
  EXPECT_EQ("quorvex-preferences 1\n", ReadFile(file_));
}

TEST_F(PreferencesTest, MissingDomainReadsEmptyAndCreatesNothing) {
  EXPECT_EQ("absent", CopyAsText("key"));
  std::vector<PreferenceEntry> entries;
  bool exists = true;
  std::string error;
  ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, &exists, &error));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(Synchronize());
  struct stat info;
  EXPECT_NE(0, stat(config_.c_str(), &info)) << "a read created the configuration folder";
}

TEST_F(PreferencesTest, DeleteDomainRemovesTheFile) {
  std::string error;
  bool existed = true;
  EXPECT_TRUE(platform::DeletePreferencesDomain(kDomain, &existed, &error));
  EXPECT_FALSE(existed);
  SetString("k", "v");
  EXPECT_TRUE(platform::DeletePreferencesDomain(kDomain, &existed, &error)) << error;
  EXPECT_TRUE(existed);
  EXPECT_EQ("absent", CopyAsText("k"));
  struct stat info;
  EXPECT_NE(0, stat(file_.c_str(), &info));
}

TEST_F(PreferencesTest, RefusesBadDomainNames) {
  const char* const kBad[] = {"",           ".hidden",     "a/b",        "../escape",
                              "with space", "caf\xC3\xA9", "semi;colon", "tilde~"};
  for (const char* domain : kBad) {
    SCOPED_TRACE(domain);
    EXPECT_FALSE(platform::IsValidPreferencesDomain(domain));
    std::string error;
    EXPECT_FALSE(platform::SetPreferenceString(domain, "k", "v", &error));
    EXPECT_NE(std::string::npos, error.find("invalid domain name")) << error;
    std::string path = "unchanged";
    EXPECT_FALSE(platform::PreferencesDomainPath(domain, &path, nullptr));
    EXPECT_EQ("unchanged", path);
    testing::internal::CaptureStderr();
    SetString("k", "v", domain);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, printed.find("invalid domain name")) << printed;
    EXPECT_EQ("absent", CopyAsText("k", domain));
    EXPECT_FALSE(Synchronize(domain));
  }
  EXPECT_FALSE(platform::IsValidPreferencesDomain(std::string(201, 'a')));
  EXPECT_TRUE(platform::IsValidPreferencesDomain(std::string(200, 'a')));
  EXPECT_TRUE(platform::IsValidPreferencesDomain("org.example-1.My_App"));
  struct stat info;
  EXPECT_NE(0, stat(config_.c_str(), &info)) << "a refused domain created files";
}

TEST_F(PreferencesTest, ConfigurationFolderFollowsTheEnvironment) {
  std::string path;
  ASSERT_TRUE(platform::PreferencesDomainPath(kDomain, &path, nullptr));
  EXPECT_EQ(file_, path);

  // A relative XDG_CONFIG_HOME is ignored; HOME/.config is used instead.
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  ASSERT_TRUE(platform::PreferencesDomainPath(kDomain, &path, nullptr));
  EXPECT_EQ(root_ + "/home/.config/quorvex/preferences/" + kDomain + ".prefs", path);
  unsetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "where", "home", nullptr));
  EXPECT_EQ("string:home", CopyAsText("where"));
  EXPECT_NE(std::string::npos, ReadFile(path).find("\"where\" = \"home\""));

  // Switching back is seen at the next call.
  setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  EXPECT_EQ("absent", CopyAsText("where"));
}

TEST_F(PreferencesTest, ReadsSeeChangesMadeBehindTheirBack) {
  WriteDomainFile("quorvex-preferences 1\n\"k\" = \"one\"\n");
  EXPECT_EQ("string:one", CopyAsText("k"));
  WriteDomainFile("quorvex-preferences 1\n\"k\" = \"two\"\n");
  EXPECT_EQ("string:two", CopyAsText("k"));
}

TEST_F(PreferencesTest, MalformedFileReadsEmptyRefusesWritesAndIsLeftAlone) {
  struct Case {
    const char* content;
    int line;
  };
  const Case kCases[] = {
      {"\"k\" = \"v\"\n", 1},                                         // No header.
      {"quorvex-preferences 2\n\"k\" = \"v\"\n", 1},                  // Unknown version.
      {"quorvex-preferences 1\n\"k\" = \"v\"\nk = \"v\"\n", 3},       // Unquoted key.
      {"quorvex-preferences 1\n\"k\" \"v\"\n", 2},                    // No '='.
      {"quorvex-preferences 1\n\"k\" = \"v\n", 2},                    // Unterminated.
      {"quorvex-preferences 1\n\"k\" = \"\\q\"\n", 2},                // Unknown escape.
      {"quorvex-preferences 1\n\"k\" = \"\\x8\"\n", 2},               // Short \x.
      {"quorvex-preferences 1\n\"k\" = \"\\x80\"\n", 2},              // \x above 7F.
      {"quorvex-preferences 1\n\"k\" = yes\n", 2},                    // Not a boolean.
      {"quorvex-preferences 1\n\"k\" = True\n", 2},                   // Booleans are lower case.
      {"quorvex-preferences 1\n\"k\" = \"v\" x\n", 2},                // Trailing text.
      {"quorvex-preferences 1\n\"k\" = 1\n\"k\" = 2\n", 2},           // Not a value.
      {"quorvex-preferences 1\n\"k\" = true\n\n\"k\" = false\n", 4},  // Duplicate key.
      {"quorvex-preferences 1\n\"k\" = \"\xC3\x28\"\n", 2},           // Invalid UTF-8.
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.content);
    WriteDomainFile(c.content);
    std::string where = file_ + ":" + std::to_string(c.line) + ":";

    testing::internal::CaptureStderr();
    EXPECT_EQ("absent", CopyAsText("k"));
    EXPECT_EQ("absent", CopyAsText("k"));  // Reported once per file state.
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, printed.find(where)) << printed;
    EXPECT_EQ(printed.find(where), printed.rfind(where)) << printed;

    std::vector<PreferenceEntry> entries;
    std::string error;
    EXPECT_FALSE(platform::ReadPreferencesDomain(kDomain, &entries, nullptr, &error));
    EXPECT_EQ(0u, error.find(where)) << error;

    error.clear();
    EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "new", &error));
    EXPECT_EQ(0u, error.find(where)) << error;
    EXPECT_FALSE(platform::SetPreferenceBoolean(kDomain, "other", true, nullptr));
    EXPECT_FALSE(platform::DeletePreference(kDomain, "k", nullptr, nullptr));
    testing::internal::CaptureStderr();
    SetString("k", "new");
    printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, printed.find(where)) << printed;
    EXPECT_FALSE(Synchronize());

    EXPECT_EQ(c.content, ReadFile(file_));
  }
  // Deleting the domain is the user's way out.
  bool existed = false;
  EXPECT_TRUE(platform::DeletePreferencesDomain(kDomain, &existed, nullptr));
  EXPECT_TRUE(existed);
  EXPECT_TRUE(platform::SetPreferenceString(kDomain, "k", "fresh", nullptr));
  EXPECT_EQ("string:fresh", CopyAsText("k"));
}

TEST_F(PreferencesTest, OversizedFileIsRefusedAtOnceWithItsSize) {
  // A sparse gigabyte: reading it whole took seconds and gigabytes for
  // every lookup.
  WriteDomainFile("quorvex-preferences 1\n\"k\" = \"v\"\n");
  ASSERT_EQ(0, truncate(file_.c_str(), 1L << 30));
  std::string error;
  EXPECT_FALSE(platform::ReadPreferencesDomain(kDomain, nullptr, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find(file_ + ": it holds 1073741824 bytes, more than a "
                                                  "preferences file may (1048576)"))
      << error;
  testing::internal::CaptureStderr();
  EXPECT_EQ("absent", CopyAsText("k"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("1073741824 bytes"));
  EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "new", &error));
  struct stat info;
  ASSERT_EQ(0, stat(file_.c_str(), &info));
  EXPECT_EQ(1L << 30, info.st_size);  // never overwritten

  // Exactly at the bound is still a preferences file.
  std::string padded = "quorvex-preferences 1\n\"k\" = \"v\"\n#";
  padded += std::string((1 << 20) - padded.size(), 'x');
  WriteDomainFile(padded);
  EXPECT_EQ("string:v", CopyAsText("k"));
}

TEST_F(PreferencesTest, RawNulInsideQuotedTextIsRefusedButItsEscapeReads) {
  WriteDomainFile("quorvex-preferences 1\n\"k\" = \"a\0b\"\n"s);
  std::string error;
  EXPECT_FALSE(platform::ReadPreferencesDomain(kDomain, nullptr, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find(file_ + ":2: a raw NUL byte inside quoted text"))
      << error;
  WriteDomainFile("quorvex-preferences 1\n\"k\" = \"a\\x00b\"\n");
  std::vector<PreferenceEntry> entries;
  ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, nullptr, &error)) << error;
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("a\0b"s, entries[0].value.string_value);
}

TEST_F(PreferencesTest, SymlinkedFileIsWrittenThroughAndTheLinkKept) {
  // The user keeps the file elsewhere (a dotfiles folder) and links it in;
  // a relative link through a second link.
  const std::string dotfiles = root_ + "/dotfiles";
  ASSERT_EQ(0, system(("mkdir -p '" + dotfiles + "' '" + folder_ + "'").c_str()));
  const std::string target = dotfiles + "/prefs";
  ASSERT_TRUE(quorvex_test::WriteFile(target, "quorvex-preferences 1\n# mine\n\"k\" = \"old\"\n"));
  ASSERT_EQ(0, chmod(target.c_str(), 0640));
  ASSERT_EQ(0, symlink("../../dotfiles/prefs", (config_ + "/quorvex/middle").c_str()));
  ASSERT_EQ(0, symlink("../middle", file_.c_str()));

  EXPECT_TRUE(platform::SetPreferenceString(kDomain, "k", "new", nullptr));
  struct stat info;
  ASSERT_EQ(0, lstat(file_.c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(0, lstat((config_ + "/quorvex/middle").c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ("quorvex-preferences 1\n# mine\n\"k\" = \"new\"\n", ReadFile(target));
  ASSERT_EQ(0, stat(target.c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 07777);
  EXPECT_EQ("string:new", CopyAsText("k"));
  // No temporary file left beside the target or in the folder.
  EXPECT_EQ(1u, std::distance(std::filesystem::directory_iterator(dotfiles),
                              std::filesystem::directory_iterator()));

  // A loop of links is an error, not a hang.
  ASSERT_EQ(0, unlink(file_.c_str()));
  ASSERT_EQ(0, symlink((kDomain + ".prefs"s).c_str(), file_.c_str()));
  std::string error;
  EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "x", &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(PreferencesTest, UnreadableFileIsNeitherReadNorReplaced) {
  // A folder, then a FIFO, in the file's place: reads must not hang and
  // writes must not replace them.
  ASSERT_EQ(0, system(("mkdir -p '" + file_ + "'").c_str()));
  std::string error;
  EXPECT_FALSE(platform::ReadPreferencesDomain(kDomain, nullptr, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find(file_)) << error;
  testing::internal::CaptureStderr();
  EXPECT_EQ("absent", CopyAsText("k"));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "v", &error));
  struct stat info;
  ASSERT_EQ(0, stat(file_.c_str(), &info));
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  ASSERT_EQ(0, rmdir(file_.c_str()));

  ASSERT_EQ(0, mkfifo(file_.c_str(), 0600));
  EXPECT_FALSE(platform::ReadPreferencesDomain(kDomain, nullptr, nullptr, &error));
  EXPECT_NE(std::string::npos, error.find("not a regular file")) << error;
  EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "v", &error));
  ASSERT_EQ(0, stat(file_.c_str(), &info));
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(PreferencesTest, FailedSetMakesSynchronizeFalseOnce) {
  // A file where the configuration folder should be: nothing can be created.
  WriteFile(root_ + "/blocker", "x");
  setenv("XDG_CONFIG_HOME", (root_ + "/blocker").c_str(), 1);
  testing::internal::CaptureStderr();
  SetString("k", "v");
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, printed.find("cannot store \"k\"")) << printed;
  setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  EXPECT_FALSE(Synchronize());  // The domain is readable; the failed set counts.
  EXPECT_TRUE(Synchronize());   // And it is reported once.
  SetString("k", "v");
  EXPECT_TRUE(Synchronize());
}

TEST_F(PreferencesTest, WritesLeaveOnlyTheFileAndItsLockAndKeepPermissions) {
  for (int i = 0; i < 5; ++i) SetString("k" + std::to_string(i), "v");
  EXPECT_EQ((std::vector<std::string>{std::string(".") + kDomain + ".lock",
                                      std::string(kDomain) + ".prefs"}),
            FolderNames());
  struct stat info;
  ASSERT_EQ(0, stat(file_.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  ASSERT_EQ(0, stat(folder_.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777);

  ASSERT_EQ(0, chmod(file_.c_str(), 0640));
  SetString("k0", "changed");
  ASSERT_EQ(0, stat(file_.c_str(), &info));
  EXPECT_EQ(0640u, info.st_mode & 07777);
}

TEST_F(PreferencesTest, LeftoverTemporaryFilesAreIgnoredThenRemoved) {
  SetString("k", "v");
  std::string leftover = folder_ + "/." + kDomain + ".prefs~a1B2c3";
  std::string other_domain = folder_ + "/." + kDomain + ".x.prefs~a1B2c3";
  WriteFile(leftover, "quorvex-pref");  // A torn copy, as a killed writer leaves it.
  WriteFile(other_domain, "not ours");
  EXPECT_EQ("string:v", CopyAsText("k"));
  SetString("k", "w");
  EXPECT_TRUE(Synchronize());
  EXPECT_EQ("string:w", CopyAsText("k"));
  struct stat info;
  EXPECT_NE(0, stat(leftover.c_str(), &info));
  EXPECT_EQ(0, stat(other_domain.c_str(), &info)) << "removed another domain's file";
}

// Runs `body` in a child process and returns its pid.
template <typename Body>
pid_t Spawn(Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST_F(PreferencesTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  const int kKeysPerWriter = 40;
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    children.push_back(Spawn([=] {
      for (int i = 0; i < kKeysPerWriter; ++i) {
        std::string key = "w" + std::to_string(writer) + "-" + std::to_string(i);
        if (!platform::SetPreferenceString(kDomain, key, key + "-value", nullptr)) _exit(1);
      }
    }));
  }
  // Threads of this process write at the same time.
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([=] {
      for (int i = 0; i < kKeysPerWriter / 2; ++i) {
        std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(platform::SetPreferenceString(kDomain, key, key + "-value", nullptr));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (pid_t child : children) {
    int status = WaitFor(child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::vector<PreferenceEntry> entries;
  std::string error;
  ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, nullptr, &error)) << error;
  EXPECT_EQ(static_cast<size_t>(3 * kKeysPerWriter), entries.size());
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kKeysPerWriter; ++i) {
      std::string key = "w" + std::to_string(writer) + "-" + std::to_string(i);
      EXPECT_EQ("string:" + key + "-value", CopyAsText(key));
    }
  }
}

TEST_F(PreferencesTest, WriterKilledMidWriteNeverLeavesATornFile) {
  const size_t kValueBytes = 256 * 1024;
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "other", "untouched", nullptr));
  ASSERT_TRUE(
      platform::SetPreferenceString(kDomain, "big", std::string(kValueBytes, 'a'), nullptr));
  std::mt19937 random(static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<long> delay_us(0, 15000);
  int killed_mid_write = 0;
  for (int round = 0; round < 20; ++round) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = Spawn([&] {
      close(ready[0]);
      // Rewrites the big value over and over with a different letter, and
      // says so after the first complete write.
      for (int i = 0;; ++i) {
        char letter = static_cast<char>('b' + (round + i) % 24);
        platform::SetPreferenceString(kDomain, "big", std::string(kValueBytes, letter), nullptr);
        if (i == 0 && write(ready[1], "x", 1) != 1) _exit(1);
      }
    });
    close(ready[1]);
    char byte;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    close(ready[0]);
    // The point is to strike at an arbitrary moment inside a write.
    struct timespec pause = {0, delay_us(random) * 1000};
    nanosleep(&pause, nullptr);
    kill(child, SIGKILL);
    int status = WaitFor(child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;

    if (FolderNames().size() > 2) ++killed_mid_write;  // A temporary file was left.
    std::vector<PreferenceEntry> entries;
    std::string error;
    ASSERT_TRUE(platform::ReadPreferencesDomain(kDomain, &entries, nullptr, &error))
        << "round " << round << ": " << error;
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("untouched", entries[0].value.string_value);
    const std::string& big = entries[1].value.string_value;
    ASSERT_EQ(kValueBytes, big.size()) << "round " << round;
    EXPECT_EQ(std::string(kValueBytes, big[0]), big) << "round " << round;
  }
  RecordProperty("rounds_killed_mid_write", killed_mid_write);
  // Whatever temporary file the last kill left, later writes work and clean up.
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, "big", "small", nullptr));
  EXPECT_EQ("string:small", CopyAsText("big"));
  EXPECT_EQ((std::vector<std::string>{std::string(".") + kDomain + ".lock",
                                      std::string(kDomain) + ".prefs"}),
            FolderNames());
}

TEST_F(PreferencesTest, QuotingRoundTripsEveryByteOfAsciiAndControls) {
  std::string all;
  for (int byte = 0; byte < 0x80; ++byte) all += static_cast<char>(byte);
  std::string quoted = platform::QuotePreferenceText(all);
  EXPECT_EQ(std::string::npos, quoted.find('\n'));
  ASSERT_TRUE(platform::SetPreferenceString(kDomain, all, all, nullptr));
  EXPECT_EQ("string:" + all, CopyAsText(all));
  EXPECT_EQ("\"a \\\"b\\\"\\n\"", platform::QuotePreferenceText("a \"b\"\n"));
}

TEST(PreferencesText, ParsedAloneAsReadingADomainDoes) {
  std::vector<platform::PreferenceEntry> entries;
  std::string error;
  ASSERT_TRUE(platform::ParsePreferencesText(
      "quorvex-preferences 1\n# note\n\"b\" = true\n\"a\" = \"x\\ty\"\n", "text", &entries, &error))
      << error;
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("b", entries[0].key);
  EXPECT_TRUE(entries[0].value.bool_value);
  EXPECT_EQ("a", entries[1].key);
  EXPECT_EQ("x\ty", entries[1].value.string_value);
  EXPECT_FALSE(platform::ParsePreferencesText("quorvex-preferences 1\n\"a\" = yes\n", "text",
                                              &entries, &error));
  EXPECT_EQ("text:2: expected a quoted string, true or false after '='", error);
}

TEST_F(PreferencesTest, RefusesInvalidUtf8KeysAndValues) {
  std::string error;
  EXPECT_FALSE(platform::SetPreferenceString(kDomain, "k", "\xC3", &error));
  EXPECT_NE(std::string::npos, error.find("UTF-8"));
  EXPECT_FALSE(platform::SetPreferenceBoolean(kDomain, "\xFF", true, &error));
  EXPECT_NE(std::string::npos, error.find("UTF-8"));
  struct stat info;
  EXPECT_NE(0, stat(file_.c_str(), &info));
}

}  // namespace
