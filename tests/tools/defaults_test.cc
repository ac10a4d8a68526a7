// Drives the quorvex-defaults program as a real process, against preferences
// read and written in this process through the platform calls.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/preferences.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

const char kTool[] = QUORVEX_BINARY_DIR "/bin/quorvex-defaults";
const char kDomain[] = "com.example.ToolTest";

struct ToolRun {
  int status = -1;  // Exit status, or -1 when the program did not exit normally.
  std::string out;
  std::string err;
};

using quorvex_test::ReadFile;

class DefaultsToolTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr) saved_xdg_.reset(new std::string(xdg));
    temp_ = std::make_unique<quorvex_test::TempFolder>("quorvex-defaults-test");
    ASSERT_FALSE(temp_->path().empty());
    root_ = temp_->path();
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    file_ = root_ + "/config/quorvex/preferences/" + kDomain + ".prefs";
  }

  void TearDown() override {
    if (saved_xdg_) {
      setenv("XDG_CONFIG_HOME", saved_xdg_->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    temp_.reset();
  }

  // Runs the tool with `args`; its output goes to files, read back after it
  // exits. `stdout_path` replaces the standard output file when given.
  ToolRun Tool(const std::vector<std::string>& args, const char* stdout_path = nullptr) {
    std::string out_path = stdout_path != nullptr ? stdout_path : root_ + "/stdout";
    std::string err_path = root_ + "/stderr";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kTool));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      execv(kTool, argv.data());
      _exit(127);
    }
    ToolRun run;
    run.status = quorvex_test::WaitForExit(pid);
    if (stdout_path == nullptr) run.out = ReadFile(out_path);
    run.err = ReadFile(err_path);
    return run;
  }

  void ExpectUsageError(const std::vector<std::string>& args, const std::string& message) {
    ToolRun run = Tool(args);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0u, run.err.find("quorvex-defaults: ")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(message)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("usage: quorvex-defaults")) << run.err;
  }

  std::unique_ptr<std::string> saved_xdg_;
  std::unique_ptr<quorvex_test::TempFolder> temp_;
  std::string root_;
  std::string file_;
};

CFStringRef Make(const std::string& text) {
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                 static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

std::string CopyString(const std::string& key) {
  CFStringRef key_ref = Make(key);
  CFStringRef domain = Make(kDomain);
  CFPropertyListRef value = CFPreferencesCopyAppValue(key_ref, domain);
  std::string text = "<absent>";
  if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
    PlatformCFStringCopyUtf8(static_cast<CFStringRef>(value), &text);
  } else if (value != nullptr) {
    text = "<not a string>";
  }
  CFRelease(value);
  CFRelease(domain);
  CFRelease(key_ref);
  return text;
}

// "true", "false", or "invalid" when the key has no boolean form.
std::string CopyBoolean(const std::string& key) {
  CFStringRef key_ref = Make(key);
  CFStringRef domain = Make(kDomain);
  Boolean valid = false;
  Boolean value = CFPreferencesGetAppBooleanValue(key_ref, domain, &valid);
  CFRelease(domain);
  CFRelease(key_ref);
  if (!valid) return "invalid";
  return value ? "true" : "false";
}

TEST_F(DefaultsToolTest, ValuesWrittenByTheToolAreReadByThePlatformCalls) {
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \"quoted\"\nsecond line";
  EXPECT_EQ(0, Tool({"write", kDomain, "orvid_log_path", text}).status);
  EXPECT_EQ(0, Tool({"write", kDomain, "dash", "-string", "-v"}).status);
  EXPECT_EQ(0, Tool({"write", kDomain, "logToStdErr", "-bool", "YES"}).status);
  EXPECT_EQ(0, Tool({"write", kDomain, "quiet", "-bool", "false"}).status);
  EXPECT_EQ(text, CopyString("orvid_log_path"));
  EXPECT_EQ("-v", CopyString("dash"));
  EXPECT_EQ("true", CopyBoolean("logToStdErr"));
  EXPECT_EQ("false", CopyBoolean("quiet"));
  EXPECT_EQ("<not a string>", CopyString("quiet"));
}

TEST_F(DefaultsToolTest, ValuesWrittenByThePlatformCallsAreReadByTheTool) {
  CFStringRef domain = Make(kDomain);
  CFStringRef level_key = Make("orvid_log_level");
  CFStringRef level = Make("LS_INFO \xE2\x9C\x93");
  CFStringRef flag_key = Make("logToStdErr");
  CFPreferencesSetAppValue(level_key, level, domain);
  CFPreferencesSetAppValue(flag_key, kCFBooleanTrue, domain);
  EXPECT_TRUE(CFPreferencesAppSynchronize(domain));
  for (CFTypeRef ref :
       {CFTypeRef(domain), CFTypeRef(level_key), CFTypeRef(level), CFTypeRef(flag_key)}) {
    CFRelease(ref);
  }

  ToolRun one = Tool({"read", kDomain, "orvid_log_level"});
  EXPECT_EQ(0, one.status) << one.err;
  EXPECT_EQ("LS_INFO \xE2\x9C\x93\n", one.out);
  EXPECT_EQ("", one.err);

  ToolRun all = Tool({"read", kDomain});
  EXPECT_EQ(0, all.status) << all.err;
  EXPECT_EQ("\"orvid_log_level\" = \"LS_INFO \xE2\x9C\x93\"\n\"logToStdErr\" = true\n", all.out);

  EXPECT_EQ("true\n", Tool({"read", kDomain, "logToStdErr"}).out);
  EXPECT_EQ("boolean\n", Tool({"read-type", kDomain, "logToStdErr"}).out);
  EXPECT_EQ("string\n", Tool({"read-type", kDomain, "orvid_log_level"}).out);
}

TEST_F(DefaultsToolTest, AbsentKeysAndDomainsFailWithAMessage) {
  ToolRun missing_domain = Tool({"read", kDomain});
  EXPECT_EQ(1, missing_domain.status);
  EXPECT_EQ("", missing_domain.out);
  EXPECT_NE(std::string::npos, missing_domain.err.find("does not exist")) << missing_domain.err;

  ASSERT_EQ(0, Tool({"write", kDomain, "present", "1"}).status);
  ToolRun missing_key = Tool({"read", kDomain, "absent"});
  EXPECT_EQ(1, missing_key.status);
  EXPECT_EQ("", missing_key.out);
  EXPECT_NE(std::string::npos, missing_key.err.find("\"absent\"")) << missing_key.err;
  EXPECT_EQ(1, Tool({"read-type", kDomain, "absent"}).status);
  EXPECT_EQ(1, Tool({"delete", kDomain, "absent"}).status);
}

TEST_F(DefaultsToolTest, DeleteRemovesAKeyOrTheDomain) {
  ASSERT_EQ(0, Tool({"write", kDomain, "a", "1"}).status);
  ASSERT_EQ(0, Tool({"write", kDomain, "b", "2"}).status);
  EXPECT_EQ(0, Tool({"delete", kDomain, "a"}).status);
  EXPECT_EQ("<absent>", CopyString("a"));
  EXPECT_EQ("2", CopyString("b"));
  EXPECT_EQ(0, Tool({"delete", kDomain}).status);
  struct stat info;
  EXPECT_NE(0, stat(file_.c_str(), &info));
  ToolRun again = Tool({"delete", kDomain});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.err.find("does not exist")) << again.err;
}

TEST_F(DefaultsToolTest, UsageErrorsExitWithTwo) {
  ExpectUsageError({}, "a command is needed");
  ExpectUsageError({"frobnicate", kDomain}, "unknown command");
  ExpectUsageError({"read"}, "too few arguments");
  ExpectUsageError({"read", kDomain, "k", "extra"}, "too many arguments");
  ExpectUsageError({"write", kDomain, "k"}, "too few arguments");
  ExpectUsageError({"write", kDomain, "k", "-bool", "maybe"}, "-bool takes");
  ExpectUsageError({"write", kDomain, "k", "-int", "5"}, "unknown value type");
  ExpectUsageError({"write", "../etc", "k", "v"}, "invalid domain name");
  ExpectUsageError({"delete", ".hidden"}, "invalid domain name");
  struct stat info;
  EXPECT_NE(0, stat((root_ + "/config").c_str(), &info)) << "a usage error touched the disk";
}

TEST_F(DefaultsToolTest, HelpDescribesCommandsAndExitStatus) {
  for (const char* flag : {"--help", "-h"}) {
    ToolRun run = Tool({flag});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0u, run.out.find("usage: quorvex-defaults read DOMAIN [KEY]")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("-bool")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Exit status")) << run.out;
  }
  ToolRun version = Tool({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("quorvex-defaults " QUORVEX_VERSION "\n", version.out);
}

TEST_F(DefaultsToolTest, UnparsableFileIsReportedAndNotTouched) {
  ASSERT_EQ(0, Tool({"write", kDomain, "k", "v"}).status);
  const std::string broken = "quorvex-preferences 1\n\"k\" = \"v\"\nhand edited = oops\n";
  {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out << broken;
  }
  const std::string where = file_ + ":3:";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"write", kDomain, "k", "new"},
        std::vector<std::string>{"write", kDomain, "b", "-bool", "yes"},
        std::vector<std::string>{"delete", kDomain, "k"}, std::vector<std::string>{"read", kDomain},
        std::vector<std::string>{"read", kDomain, "k"}}) {
    SCOPED_TRACE(args[0]);
    ToolRun run = Tool(args);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_NE(std::string::npos, run.err.find(where)) << run.err;
    EXPECT_EQ(broken, ReadFile(file_));
  }
  // Deleting the whole domain is allowed: it is how the user starts over.
  EXPECT_EQ(0, Tool({"delete", kDomain}).status);
  EXPECT_EQ(0, Tool({"write", kDomain, "k", "fresh"}).status);
  EXPECT_EQ("fresh", CopyString("k"));
}

TEST_F(DefaultsToolTest, OutputThatCannotBeWrittenIsAFailure) {
  ASSERT_EQ(0, Tool({"write", kDomain, "k", "v"}).status);
  ToolRun run = Tool({"read", kDomain, "k"}, "/dev/full");
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("cannot write the output")) << run.err;
}

}  // namespace
