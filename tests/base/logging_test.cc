#include "base/logging.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/stream.h"
#include "base/timeutils.h"
#include "platform/bundle.h"
#include "platform/cfstring.h"
#include "platform/preferences.h"
#include "platform/status.h"
#include "tests/support/files.h"

namespace lumen_base {
namespace {

// The settings as this program found them, before any test touched them.
// The levels are constants in the library, so they are set before any
// dynamic initialisation runs, ours included.
const int kStartupMinSev = LogMessage::min_sev_;
const int kStartupCtxSev = LogMessage::ctx_sev_;
const int kStartupDbgSev = LogMessage::dbg_sev_;
const int kStartupStreamSev = LogMessage::stream_sev_;
const bool kStartupTimestamp = LogMessage::timestamp_;
const bool kStartupThread = LogMessage::thread_;

using quorvex_test::ReadFile;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sends file descriptor 2 to a file until Finish, which returns what was
// written there.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_fd_ = dup(2);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { Finish(); }

  std::string Finish() {
    if (saved_fd_ >= 0) {
      fflush(stderr);
      dup2(saved_fd_, 2);
      close(saved_fd_);
      saved_fd_ = -1;
    }
    return ReadFile(path_);
  }

 private:
  std::string path_;
  int saved_fd_ = -1;
};

// A string sink that counts its destruction.
class CountedStringStream : public StringStream {
 public:
  CountedStringStream(std::string& text, int* destroyed)
      : StringStream(text), destroyed_(destroyed) {}
  ~CountedStringStream() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

// A sink that refuses every write.
class FailingStream : public NullStream {
 public:
  StreamOutcome Write(const void*, size_t, size_t*, int* error) override {
    if (error != nullptr) *error = 5;
    return OUTCOME_ERROR;
  }
};

// Every test starts and ends with the settings a program starts with, and
// with no main bundle; each has a private temporary folder.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = std::make_unique<quorvex_test::TempFolder>("logging_test");
    ASSERT_FALSE(temp_->path().empty());
    dir_ = temp_->path();
    const char* config = getenv("XDG_CONFIG_HOME");
    had_config_ = config != nullptr;
    if (had_config_) saved_config_ = config;
    RestoreLogging();
  }

  void TearDown() override {
    RestoreLogging();
    if (had_config_) {
      setenv("XDG_CONFIG_HOME", saved_config_.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    temp_.reset();
  }

  static void RestoreLogging() {
    LogMessage::LogToDebug(LS_NONE);
    LogMessage::LogToStream(nullptr, LS_NONE);
    LogMessage::LogTimestamps(false);
    LogMessage::LogThreads(false);
    LogMessage::LogContext(LS_WARNING);
    PlatformDeclareMainBundle(nullptr, nullptr);
  }

  std::string Path(const char* name) const { return dir_ + "/" + name; }

  // Installs an unbuffered log file at `min_sev`.
  void LogToFile(const std::string& path, int min_sev) {
    auto* file = new FileStream;
    ASSERT_TRUE(file->Open(path, "w"));
    ASSERT_TRUE(file->DisableBuffering());
    LogMessage::LogToStream(file, min_sev);
  }

  std::unique_ptr<quorvex_test::TempFolder> temp_;
  std::string dir_;
  bool had_config_ = false;
  std::string saved_config_;
};

// ---------------------------------------------------------------------------
// Settings

TEST_F(LoggingTest, StartsWithNothingLogged) {
  EXPECT_EQ(LS_NONE, kStartupMinSev);
  EXPECT_EQ(LS_WARNING, kStartupCtxSev);
  EXPECT_EQ(LS_NONE, kStartupDbgSev);
  EXPECT_EQ(LS_NONE, kStartupStreamSev);
  EXPECT_FALSE(kStartupTimestamp);
  EXPECT_FALSE(kStartupThread);

  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_ERROR) << "nobody hears this";
  LOG(LS_SENSITIVE) << "nor this";
  EXPECT_EQ("", capture.Finish());
}

TEST_F(LoggingTest, DisabledCallSitesEvaluateNothing) {
  LogMessage::LogToDebug(LS_WARNING);
  int evaluated = 0;
  auto count = [&evaluated] { return ++evaluated; };
  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_INFO) << count();
  LOG_V(LS_VERBOSE) << count();
  LOG_F(LS_INFO) << count();
  LOG_ERRNO(LS_INFO) << count();
  LOG_ERR_EX(LS_INFO, count()) << count();
  LOG_OSSTATUS(LS_INFO, count()) << count();
  EXPECT_EQ(0, evaluated);
  EXPECT_EQ("", capture.Finish());
}

TEST_F(LoggingTest, LogToDebugAndLogToStreamKeepTheMinimum) {
  LogMessage::LogToDebug(LS_INFO);
  EXPECT_EQ(LS_INFO, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
  LogMessage::LogToStream(new NullStream, LS_VERBOSE);
  EXPECT_EQ(LS_VERBOSE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_VERBOSE, LogMessage::min_sev_);
  LogMessage::LogToDebug(LS_SENSITIVE);
  EXPECT_EQ(LS_SENSITIVE, LogMessage::min_sev_);
  LogMessage::LogToDebug(LS_NONE);
  EXPECT_EQ(LS_VERBOSE, LogMessage::min_sev_);
  // Without a stream the level is LS_NONE, whatever was asked.
  LogMessage::LogToStream(nullptr, LS_SENSITIVE);
  EXPECT_EQ(LS_NONE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_NONE, LogMessage::min_sev_);
}

TEST_F(LoggingTest, FlagsAndContextAndTimestampOrigin) {
  LogMessage::LogThreads(true);
  EXPECT_TRUE(LogMessage::thread_);
  LogMessage::LogThreads(false);
  EXPECT_FALSE(LogMessage::thread_);
  LogMessage::LogTimestamps(true);
  EXPECT_TRUE(LogMessage::timestamp_);
  LogMessage::LogContext(LS_INFO);
  EXPECT_EQ(LS_INFO, LogMessage::ctx_sev_);
  const uint32_t before = Time();
  LogMessage::ResetTimestamps();
  EXPECT_TRUE(TimeIsBetween(before, LogMessage::start_, Time()));
}

// ---------------------------------------------------------------------------
// The line format, byte for byte, from the file and from standard error

struct ErrorCase {
  LogErrorContext context;
  int error;
  std::string suffix;  // what ends the line before its line feed
};

std::vector<ErrorCase> ErrorCases() {
  const char* status_name = GetMacOSStatusErrorString(-50);
  const char* status_comment = GetMacOSStatusCommentString(-50);
  EXPECT_NE(nullptr, status_name);
  EXPECT_NE(nullptr, status_comment);
  EXPECT_EQ(nullptr, GetMacOSStatusErrorString(12345));
  EXPECT_EQ(nullptr, GetMacOSStatusCommentString(12345));
  return {
      {LEC_NONE, 2, ""},
      {LEC_ERRNO, 2, " : [0x00000002] No such file or directory"},
      {LEC_CODE_ONLY, -1, " : [0xffffffff]"},
      {LEC_OSSTATUS, -50,
       std::string(" : [0xffffffce] ") + (status_name ? status_name : "") + ": " +
           (status_comment ? status_comment : "")},
      {LEC_OSSTATUS, 12345, " : [0x00003039] Unknown error"},
  };
}

// Checks the elapsed-time prefix when `timestamped` and returns the rest.
std::string StripPrefix(const std::string& line, bool timestamped) {
  if (!timestamped) return line;
  static const std::regex kPrefix("^\\[[0-9]{3,}:[0-9]{3}\\] ");
  std::smatch match;
  EXPECT_TRUE(std::regex_search(line, match, kPrefix)) << line;
  return match.empty() ? line : match.suffix().str();
}

TEST_F(LoggingTest, LineFormatForEveryCombination) {
  const std::string log_path = Path("combos.log");
  LogToFile(log_path, LS_VERBOSE);
  LogMessage::LogToDebug(LS_VERBOSE);

  std::vector<std::string> expected;
  std::vector<bool> timestamped;
  StderrCapture capture(Path("stderr.txt"));
  for (bool stamps : {false, true}) {
    LogMessage::LogTimestamps(stamps);
    LogMessage::ResetTimestamps();
    for (LoggingSeverity sev : {LS_INFO, LS_WARNING, LS_ERROR}) {
      for (const ErrorCase& c : ErrorCases()) {
        const int line = __LINE__ + 1;
        LOG_E_V(sev, c.context, c.error) << "text " << 42 << ' ' << -7;
        std::string position;
        if (sev >= LS_WARNING) {
          position = std::string(sev == LS_WARNING ? "Warning" : "Error") +
                     "(logging_test.cc:" + std::to_string(line) + "): ";
        }
        expected.push_back(position + "text 42 -7" + c.suffix);
        timestamped.push_back(stamps);
      }
    }
  }
  const std::string from_stderr = capture.Finish();
  const std::string from_file = ReadFile(log_path);
  EXPECT_EQ(from_stderr, from_file);
  ASSERT_EQ('\n', from_file.back());
  const std::vector<std::string> lines = SplitLines(from_file);
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(expected[i], StripPrefix(lines[i], timestamped[i])) << "line " << i;
  }
}

TEST_F(LoggingTest, ElapsedTimePrefixFormat) {
  EXPECT_EQ("[000:000] ", ElapsedTimePrefix(0));
  EXPECT_EQ("[000:999] ", ElapsedTimePrefix(999));
  EXPECT_EQ("[001:000] ", ElapsedTimePrefix(1000));
  EXPECT_EQ("[065:007] ", ElapsedTimePrefix(65007));
  EXPECT_EQ("[999:999] ", ElapsedTimePrefix(999999));
  EXPECT_EQ("[1234:567] ", ElapsedTimePrefix(1234567));
  EXPECT_EQ("[4294967:295] ", ElapsedTimePrefix(0xFFFFFFFFu));
}

TEST_F(LoggingTest, TimestampDoesNotZeroFillTheText) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_INFO);
  LogMessage::LogTimestamps(true);
  LOG(LS_INFO) << std::setw(4) << 7 << '|';
  EXPECT_EQ("   7|\n", StripPrefix(text, true));
}

TEST_F(LoggingTest, EveryMessageStartsWithFreshFormatting) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_INFO);
  LOG(LS_INFO) << std::hex << std::setfill('0') << std::showbase << 255;
  LOG(LS_INFO) << 255 << ' ' << std::setw(3) << 1 << ' ' << 1.5;
  EXPECT_EQ("0xff\n255   1 1.5\n", text);
}

std::string LogsWhileStreamed(int value) {
  LOG(LS_INFO) << "inner " << value;
  return "outer";
}

TEST_F(LoggingTest, MessageBuiltInsideAnotherStaysWhole) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_INFO);
  LOG(LS_INFO) << "before " << LogsWhileStreamed(1) << " after";
  LOG(LS_INFO) << "next";
  EXPECT_EQ("inner 1\nbefore outer after\nnext\n", text);
}

TEST_F(LoggingTest, LongLinesAreWrittenWhole) {
  const std::string path = Path("long.log");
  LogToFile(path, LS_INFO);
  const std::string big(100000, 'q');
  LOG(LS_INFO) << big;
  LOG(LS_INFO) << "short";
  EXPECT_EQ(big + "\nshort\n", ReadFile(path));
}

void ReportFromNamedFunction() { LOG_F(LS_INFO) << "called"; }

TEST_F(LoggingTest, LogFStartsWithTheFunctionName) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_INFO);
  ReportFromNamedFunction();
  EXPECT_EQ("ReportFromNamedFunction: called\n", text);
}

TEST_F(LoggingTest, ErrnoMacrosExplainTheErrorNumber) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_INFO);
  errno = ENOENT;
  LOG_ERRNO(LS_INFO) << "open";
  LOG_ERR_EX(LS_INFO, EACCES) << "access";
  LOG_OSSTATUS(LS_INFO, 12345) << "status";
  EXPECT_EQ(
      "open : [0x00000002] No such file or directory\n"
      "access : [0x0000000d] Permission denied\n"
      "status : [0x00003039] Unknown error\n",
      text);
}

TEST_F(LoggingTest, ContextLevelDecidesThePosition) {
  std::string text;
  LogMessage::LogToStream(new StringStream(text), LS_SENSITIVE);
  LogMessage::LogContext(LS_SENSITIVE);
  const int line = __LINE__ + 1;
  LOG(LS_SENSITIVE) << "s";
  LogMessage::LogContext(LS_NONE);
  LOG(LS_ERROR) << "e";
  EXPECT_EQ("Sensitive(logging_test.cc:" + std::to_string(line) + "): s\ne\n", text);
}

TEST_F(LoggingTest, EachSinkHasItsOwnLevel) {
  const std::string path = Path("levels.log");
  LogToFile(path, LS_INFO);
  LogMessage::LogToDebug(LS_ERROR);
  LogMessage::LogContext(LS_NONE);
  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_VERBOSE) << "verbose";
  LOG(LS_INFO) << "info";
  LOG(LS_ERROR) << "error";
  EXPECT_EQ("error\n", capture.Finish());
  EXPECT_EQ("info\nerror\n", ReadFile(path));
}

TEST_F(LoggingTest, FailingStreamSinkIsIgnored) {
  LogMessage::LogToStream(new FailingStream, LS_INFO);
  LogMessage::LogToDebug(LS_INFO);
  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_INFO) << "still on standard error";
  EXPECT_EQ("still on standard error\n", capture.Finish());
}

TEST_F(LoggingTest, ThreadsWriteWholeLinesOneAfterAnother) {
  const std::string path = Path("threads.log");
  LogToFile(path, LS_INFO);
  const int kThreads = 8;
  const int kLines = 1000;
  const std::string padding(60, '.');

  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      for (int i = 0; i < kLines; ++i) {
        LOG(LS_INFO) << "thread " << t << " line " << i << ' ' << padding << " end";
      }
    });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
  }
  go.notify_all();
  for (std::thread& thread : threads) thread.join();

  const std::string contents = ReadFile(path);
  ASSERT_EQ('\n', contents.back());
  const std::vector<std::string> lines = SplitLines(contents);
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  const std::regex kLine("thread ([0-9]+) line ([0-9]+) \\.{60} end");
  std::set<std::pair<int, int>> seen;
  std::vector<int> next_line(kThreads, 0);
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
    const int t = std::stoi(match[1]);
    const int i = std::stoi(match[2]);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(next_line[t], i);  // each thread's lines in its own order
    next_line[t] = i + 1;
    EXPECT_TRUE(seen.insert({t, i}).second);
  }
}

// ---------------------------------------------------------------------------
// The stream sink's ownership

TEST_F(LoggingTest, LogToStreamDestroysTheStreamItReplaces) {
  std::string first_text;
  std::string second_text;
  int first_destroyed = 0;
  int second_destroyed = 0;
  LogMessage::LogToStream(new CountedStringStream(first_text, &first_destroyed), LS_INFO);
  LOG(LS_INFO) << "one";
  LogMessage::LogToStream(new CountedStringStream(second_text, &second_destroyed), LS_WARNING);
  EXPECT_EQ(1, first_destroyed);
  EXPECT_EQ(LS_WARNING, LogMessage::stream_sev_);
  const int line = __LINE__ + 1;
  LOG(LS_WARNING) << "two";
  LogMessage::LogToStream(nullptr, LS_INFO);
  EXPECT_EQ(1, second_destroyed);
  EXPECT_EQ("one\n", first_text);
  EXPECT_EQ("Warning(logging_test.cc:" + std::to_string(line) + "): two\n", second_text);
}

TEST_F(LoggingTest, ReinstallingTheInstalledStreamKeepsIt) {
  // Installing the same stream again used to destroy it and keep using it.
  std::string text;
  int destroyed = 0;
  auto* stream = new CountedStringStream(text, &destroyed);
  LogMessage::LogToStream(stream, LS_ERROR);
  LogMessage::LogToStream(stream, LS_INFO);
  EXPECT_EQ(0, destroyed);
  EXPECT_EQ(LS_INFO, LogMessage::stream_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
  LOG(LS_INFO) << "still here";
  EXPECT_EQ("still here\n", text);
  LogMessage::LogToStream(nullptr, LS_NONE);
  EXPECT_EQ(1, destroyed);
}

// A stream that logs while it is destroyed, as a logging adapter does.
class LogsWhenDestroyed : public StringStream {
 public:
  explicit LogsWhenDestroyed(std::string& text) : StringStream(text) {}
  ~LogsWhenDestroyed() override { LOG(LS_INFO) << "old sink going away"; }
};

TEST_F(LoggingTest, ReplacedStreamLoggingOnItsWayOutReachesTheNewSink) {
  std::string old_text;
  std::string new_text;
  LogMessage::LogToStream(new LogsWhenDestroyed(old_text), LS_INFO);
  LogMessage::LogToStream(new StringStream(new_text), LS_INFO);
  EXPECT_EQ("", old_text);
  EXPECT_EQ("old sink going away\n", new_text);
}

// ---------------------------------------------------------------------------
// Names and parsing

TEST_F(LoggingTest, DescribeNamesSeverities) {
  EXPECT_STREQ("Sensitive", LogMessage::Describe(LS_SENSITIVE));
  EXPECT_STREQ("Verbose", LogMessage::Describe(LS_VERBOSE));
  EXPECT_STREQ("Info", LogMessage::Describe(LS_INFO));
  EXPECT_STREQ("Warning", LogMessage::Describe(LS_WARNING));
  EXPECT_STREQ("Error", LogMessage::Describe(LS_ERROR));
  EXPECT_STREQ("<unknown>", LogMessage::Describe(LS_NONE));
  EXPECT_STREQ("<unknown>", LogMessage::Describe(static_cast<LoggingSeverity>(-1)));
  EXPECT_STREQ("<unknown>", LogMessage::Describe(static_cast<LoggingSeverity>(99)));
}

TEST_F(LoggingTest, DescribeFileTakesThePartAfterTheLastSeparator) {
  EXPECT_STREQ("d.cc", LogMessage::DescribeFile("a/b\\c/d.cc"));
  EXPECT_STREQ("d.cc", LogMessage::DescribeFile("a\\b/c\\d.cc"));
  EXPECT_STREQ("c", LogMessage::DescribeFile("/a/b/c"));
  EXPECT_STREQ("c", LogMessage::DescribeFile("C:\\b\\c"));
  EXPECT_STREQ("name.cc", LogMessage::DescribeFile("name.cc"));
  EXPECT_STREQ("", LogMessage::DescribeFile("dir/"));
  EXPECT_STREQ("", LogMessage::DescribeFile(""));
  EXPECT_STREQ("", LogMessage::DescribeFile(nullptr));
}

TEST_F(LoggingTest, ParseLogSeverity) {
  EXPECT_EQ(0, LogMessage::ParseLogSeverity("LS_SENSITIVE"));
  EXPECT_EQ(1, LogMessage::ParseLogSeverity("LS_VERBOSE"));
  EXPECT_EQ(2, LogMessage::ParseLogSeverity("LS_INFO"));
  EXPECT_EQ(3, LogMessage::ParseLogSeverity("LS_WARNING"));
  EXPECT_EQ(4, LogMessage::ParseLogSeverity("LS_ERROR"));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity("LS_NONE"));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity("ls_info"));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity("LS_INFO "));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity(""));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity("-1"));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity("+2"));
  EXPECT_EQ(5, LogMessage::ParseLogSeverity(" 2"));
  EXPECT_EQ(3, LogMessage::ParseLogSeverity("3"));
  EXPECT_EQ(0, LogMessage::ParseLogSeverity("0"));
  EXPECT_EQ(7, LogMessage::ParseLogSeverity("007"));
  EXPECT_EQ(2, LogMessage::ParseLogSeverity("2 and text"));
  EXPECT_EQ(42, LogMessage::ParseLogSeverity("42x9"));
}

TEST_F(LoggingTest, ParseLogSeveritySaturatesLongNumbers) {
  // Used to overflow (undefined behaviour) past INT_MAX.
  EXPECT_EQ(INT_MAX - 1, LogMessage::ParseLogSeverity("2147483646"));
  EXPECT_EQ(INT_MAX, LogMessage::ParseLogSeverity("2147483647"));
  EXPECT_EQ(INT_MAX, LogMessage::ParseLogSeverity("2147483648"));
  EXPECT_EQ(INT_MAX, LogMessage::ParseLogSeverity("99999999999999999999999999999999999999"));
  EXPECT_EQ(INT_MAX, LogMessage::ParseLogSeverity(std::string(10000, '9')));
}

TEST_F(LoggingTest, ErrorNameAndFindLabel) {
  static const ConstantLabel kTable[] = {
      {2, "ENOENT"}, {13, "EACCES"}, {2, "SECOND"}, {-5, "MINUS_FIVE"}, {0, nullptr}};
  EXPECT_STREQ("ENOENT", FindLabel(2, kTable));  // the first match
  EXPECT_STREQ("MINUS_FIVE", FindLabel(-5, kTable));
  EXPECT_EQ(nullptr, FindLabel(255, kTable));
  EXPECT_EQ(nullptr, FindLabel(2, nullptr));
  EXPECT_EQ("No error", ErrorName(0, kTable));
  EXPECT_EQ("EACCES", ErrorName(13, kTable));
  EXPECT_EQ("0x000000ff", ErrorName(255, kTable));
  EXPECT_EQ("0x000000ff", ErrorName(255, nullptr));
  EXPECT_EQ("0xffffffff", ErrorName(-1, nullptr));
}

// ---------------------------------------------------------------------------
// ConfigureLogging

TEST_F(LoggingTest, ConfigureLoggingTimestampsInfoDebugWarningFile) {
  const std::string path = Path("example.log");
  {
    std::ofstream old(path);
    old << "left from before\n";
  }
  LogMessage::ConfigureLogging("tstamp info debug warning file", path.c_str());
  EXPECT_TRUE(LogMessage::timestamp_);
  EXPECT_FALSE(LogMessage::thread_);
  EXPECT_EQ(LS_INFO, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_WARNING, LogMessage::stream_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
  EXPECT_EQ("", ReadFile(path));  // truncated

  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_INFO) << "info line";
  const int line = __LINE__ + 1;
  LOG(LS_WARNING) << "warning line";
  const std::string from_stderr = capture.Finish();
  const std::string expected_warning =
      "Warning(logging_test.cc:" + std::to_string(line) + "): warning line";
  const std::vector<std::string> file_lines = SplitLines(ReadFile(path));
  ASSERT_EQ(1u, file_lines.size());
  EXPECT_EQ(expected_warning, StripPrefix(file_lines[0], true));
  const std::vector<std::string> stderr_lines = SplitLines(from_stderr);
  ASSERT_EQ(2u, stderr_lines.size());
  EXPECT_EQ("info line", StripPrefix(stderr_lines[0], true));
  EXPECT_EQ(expected_warning, StripPrefix(stderr_lines[1], true));
}

TEST_F(LoggingTest, ConfigureLoggingFileAndDebugAloneTakeVerbose) {
  const std::string path = Path("verbose.log");
  LogMessage::ConfigureLogging("file debug", path.c_str());
  EXPECT_EQ(LS_VERBOSE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_VERBOSE, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_VERBOSE, LogMessage::min_sev_);
  EXPECT_FALSE(LogMessage::timestamp_);
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(LoggingTest, ConfigureLoggingNoneTurnsFileLoggingOffAndOpensNothing) {
  const std::string path = Path("never.log");
  LogMessage::ConfigureLogging("error none file", path.c_str());
  EXPECT_EQ(LS_NONE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_NONE, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_NONE, LogMessage::min_sev_);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LoggingTest, ConfigureLoggingTokensAreExactAndBlanksAreFree) {
  LogMessage::ConfigureLogging("   thread  INFO bogus  sensitive   debug error  ", nullptr);
  EXPECT_TRUE(LogMessage::thread_);
  EXPECT_FALSE(LogMessage::timestamp_);
  EXPECT_EQ(LS_SENSITIVE, LogMessage::dbg_sev_);  // "error" came after "debug"
  EXPECT_EQ(LS_NONE, LogMessage::stream_sev_);
  LogMessage::ConfigureLogging("verbose debug", nullptr);
  EXPECT_EQ(LS_VERBOSE, LogMessage::dbg_sev_);
  LogMessage::ConfigureLogging("warning debug", nullptr);
  EXPECT_EQ(LS_WARNING, LogMessage::dbg_sev_);
  LogMessage::ConfigureLogging("error debug", nullptr);
  EXPECT_EQ(LS_ERROR, LogMessage::dbg_sev_);
  LogMessage::ConfigureLogging("none debug", nullptr);
  EXPECT_EQ(LS_NONE, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_NONE, LogMessage::min_sev_);
}

TEST_F(LoggingTest, ConfigureLoggingOnlySwitchesFlagsOnAndKeepsUnnamedLevels) {
  LogMessage::LogTimestamps(true);
  LogMessage::LogThreads(true);
  LogMessage::LogToDebug(LS_ERROR);
  LogMessage::ConfigureLogging("", nullptr);
  EXPECT_TRUE(LogMessage::timestamp_);
  EXPECT_TRUE(LogMessage::thread_);
  EXPECT_EQ(LS_ERROR, LogMessage::dbg_sev_);
  LogMessage::ConfigureLogging(nullptr, nullptr);
  EXPECT_EQ(LS_ERROR, LogMessage::dbg_sev_);

  const std::string path = Path("info.log");
  LogMessage::ConfigureLogging("info file", path.c_str());
  EXPECT_EQ(LS_ERROR, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::stream_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
}

TEST_F(LoggingTest, ConfigureLoggingWithoutFileTokenReopensAtTheOldLevel) {
  const std::string first = Path("first.log");
  const std::string second = Path("second.log");
  LogMessage::ConfigureLogging("info file", first.c_str());
  LOG(LS_INFO) << "to the first";
  LogMessage::ConfigureLogging("debug", second.c_str());
  EXPECT_EQ(LS_INFO, LogMessage::stream_sev_);
  EXPECT_EQ(LS_VERBOSE, LogMessage::dbg_sev_);
  StderrCapture capture(Path("stderr.txt"));
  LOG(LS_INFO) << "to the second";
  capture.Finish();
  EXPECT_EQ("to the first\n", ReadFile(first));
  EXPECT_EQ("to the second\n", ReadFile(second));
}

TEST_F(LoggingTest, ConfigureLoggingWithoutFileNameLeavesFileLoggingOff) {
  // A file level with no file name used to hand NULL to fopen.
  LogToFile(Path("installed.log"), LS_WARNING);
  LogMessage::ConfigureLogging("info file debug", nullptr);
  EXPECT_EQ(LS_NONE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::dbg_sev_);
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
}

TEST_F(LoggingTest, ConfigureLoggingFileThatCannotOpenLeavesFileLoggingOff) {
  const std::string path = Path("no/such/folder.log");
  LogMessage::ConfigureLogging("warning file", path.c_str());
  EXPECT_EQ(LS_NONE, LogMessage::stream_sev_);
  EXPECT_EQ(LS_NONE, LogMessage::min_sev_);
  LOG(LS_ERROR) << "goes nowhere";
}

// ---------------------------------------------------------------------------
// Standard error and the "logToStdErr" preference

class LogToStdErrTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    LogMessage::LogToDebug(LS_INFO);
  }

  // Logs one info line and returns what reached standard error.
  std::string LogOneLine() {
    StderrCapture capture(Path("stderr.txt"));
    LOG(LS_INFO) << "to standard error";
    return capture.Finish();
  }

  static void SetPreference(CFPropertyListRef value) {
    CFStringRef key =
        CFStringCreateWithCString(kCFAllocatorDefault, "logToStdErr", kCFStringEncodingUTF8);
    CFStringRef app =
        CFStringCreateWithCString(kCFAllocatorDefault, kBundleId, kCFStringEncodingUTF8);
    CFPreferencesSetAppValue(key, value, app);
    EXPECT_TRUE(CFPreferencesAppSynchronize(app));
    CFRelease(key);
    CFRelease(app);
  }

  static constexpr const char* kBundleId = "com.quorvex.LoggingTest";
};

TEST_F(LogToStdErrTest, WithoutMainBundleEveryLineIsWritten) {
  EXPECT_EQ(LS_INFO, LogMessage::min_sev_);
  EXPECT_EQ("to standard error\n", LogOneLine());
}

TEST_F(LogToStdErrTest, MainBundleWithoutPreferenceKeepsQuiet) {
  ASSERT_TRUE(PlatformDeclareMainBundle(kBundleId, nullptr));
  EXPECT_EQ("", LogOneLine());
}

TEST_F(LogToStdErrTest, MainBundleWithPreferenceFalseKeepsQuiet) {
  ASSERT_TRUE(PlatformDeclareMainBundle(kBundleId, nullptr));
  SetPreference(kCFBooleanFalse);
  EXPECT_EQ("", LogOneLine());
}

TEST_F(LogToStdErrTest, MainBundleWithPreferenceTrueWrites) {
  ASSERT_TRUE(PlatformDeclareMainBundle(kBundleId, nullptr));
  SetPreference(kCFBooleanTrue);
  EXPECT_EQ("to standard error\n", LogOneLine());
  // The preference is read for every line.
  SetPreference(nullptr);
  EXPECT_EQ("", LogOneLine());
}

TEST_F(LogToStdErrTest, AnEditInPlaceTakesEffectOnTheNextLineHoweverQuick) {
  // Rewritten in place with the same size, faster than the file's times of
  // change can tell apart: each line must still follow the file.
  ASSERT_TRUE(PlatformDeclareMainBundle(kBundleId, nullptr));
  SetPreference(kCFBooleanTrue);
  std::string path;
  ASSERT_TRUE(platform::PreferencesDomainPath(kBundleId, &path, nullptr));
  for (int round = 0; round < 4; ++round) {
    for (const char* value : {"1", "0"}) {
      {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << "quorvex-preferences 1\n\"logToStdErr\" = \"" << value << "\"\n";
      }
      EXPECT_EQ(value[0] == '1' ? "to standard error\n" : "", LogOneLine()) << round << value;
    }
  }
}

// ---------------------------------------------------------------------------
// Assertion hooks

TEST_F(LoggingTest, LogAssertWritesOneLineWhateverTheSettings) {
  StderrCapture capture(Path("stderr.txt"));
  LogAssert("OrvidOpen", "orvidmac.cc", 321, "storage != NULL");
  EXPECT_EQ("orvidmac.cc(321): ASSERT FAILED: storage != NULL @ OrvidOpen\n", capture.Finish());
}

// Not in the fixture: the child that dies would leave its folder behind.
TEST(LoggingDeathTest, BreakStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(Break(), ::testing::KilledBySignal(SIGTRAP), "");
}

}  // namespace
}  // namespace lumen_base
