// Logging: severities, one line per message, and the two sinks (standard
// error, called the debug sink, and one installed stream, normally a log
// file), plus LogMultiline for dumping traffic line by line.
//
// A call site writes
//   LOG(LS_INFO) << "opened " << path;
//   LOG_ERRNO(LS_ERROR) << "open failed";      // adds errno and its text
//   LOG_F(LS_VERBOSE) << "entered";            // text starts "Function: "
// When the severity is below LogMessage::min_sev_ the statement costs one
// comparison: no message is built and the operands are not evaluated.  Else
// a LogMessage lives until the end of the statement and then emits
//   [sss:mmm] Sev(file:line): text : [0xXXXXXXXX] error text\n
// where the elapsed time appears only with timestamps on, the severity and
// position only from ctx_sev_ up, and the error suffix only when the call
// site gave an error context.  The line goes to the debug sink when its
// severity reaches dbg_sev_ and to the stream sink when it reaches
// stream_sev_.  All settings start at LS_NONE (nothing logged).
//
// Threading: messages may be built on any thread.  The installed stream
// and every write to it are guarded by a recursive lock, so lines from
// different threads reach the file whole, one after another.  The level
// and flag settings are atomic words, read without a lock.
#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <ostream>
#include <string>

#include "base/recursivelock.h"

namespace lumen_base {

class StreamInterface;

enum LoggingSeverity {
  LS_SENSITIVE,
  LS_VERBOSE,
  LS_INFO,
  LS_WARNING,
  LS_ERROR,
  LS_NONE,  // as a sink's minimum: that sink receives nothing
};

// How the error number given to a message is explained after "[0x%08x]".
enum LogErrorContext {
  LEC_NONE,       // no suffix at all
  LEC_ERRNO,      // a blank and strerror's text
  LEC_CODE_ONLY,  // the code alone
  LEC_OSSTATUS,   // a blank and the platform status text
};

// One row of a table naming integer constants; a table ends with a row
// whose label is null.
struct ConstantLabel {
  int value;
  const char* label;
};

// The label of the first row holding `value`; null when the table ends
// first or there is no table.
const char* FindLabel(int value, const ConstantLabel entries[]);

// "No error" for 0; else the label FindLabel finds in `err_table` (which
// may be null); else the error as "0x%08x".
std::string ErrorName(int err, const ConstantLabel* err_table);

// The elapsed-time prefix of a line for `elapsed_ms` milliseconds:
// "[", seconds zero-filled to at least 3 digits, ":", milliseconds in 3
// digits, "] ".  999 gives "[000:999] ", 1234567 gives "[1234:567] ".
std::string ElapsedTimePrefix(uint32_t elapsed_ms);

namespace internal {
struct LogLine;
}

// One line in the making.  Build it only through the LOG macros below (they
// test min_sev_ first); it emits its line when destroyed.
class LogMessage {
 public:
  // `file` is the call site's source path (only its base name is written);
  // `err` is explained according to `err_ctx`.  `module` is accepted for
  // the callers' sake and has no effect.
  LogMessage(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx = LEC_NONE,
             int err = 0, const char* module = nullptr);
  ~LogMessage();

  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  // Where the call site writes its text.  Every message starts with fresh
  // formatting (decimal, no width, blank fill).
  std::ostream& stream();

  // "Sensitive", "Verbose", "Info", "Warning", "Error"; "<unknown>" for any
  // other value, negative ones included.
  static const char* Describe(LoggingSeverity sev);
  // The part after the last '/' or '\\', whichever comes later; the path
  // itself when it holds neither; "" for null.
  static const char* DescribeFile(const char* file);

  // From `min_sev` on, lines carry their severity and source position.
  static void LogContext(int min_sev);
  // Records the thread flag; the line format has no thread field.
  static void LogThreads(bool on = true);
  static void LogTimestamps(bool on = true);
  // Elapsed times count from now on.
  static void ResetTimestamps();

  // Minimum severity for standard error.
  static void LogToDebug(int min_sev);
  // Installs `stream` (or none) as the stream sink, taking ownership, and
  // destroys the stream it replaces.  Installing the stream that is already
  // installed keeps it and only changes the level.  Without a stream the
  // level becomes LS_NONE whatever `min_sev` says.
  static void LogToStream(StreamInterface* stream, int min_sev);

  // "LS_SENSITIVE" .. "LS_ERROR" (exact) give 0..4.  Text starting with a
  // digit gives the value of its leading digits; values beyond INT_MAX
  // saturate there, which logs nothing like any value from 5 up.  Anything
  // else, the empty text and a leading sign included, gives LS_NONE.
  static int ParseLogSeverity(const std::string& value);

  // Sets levels and flags from blank-separated tokens, applied in order:
  //   tstamp, thread            switch timestamps / the thread flag on
  //   sensitive verbose info warning error none
  //                             the level for the tokens that follow
  //                             (LS_VERBOSE before any of them)
  //   file, debug               give the stream sink / standard error the
  //                             current level
  // Other tokens are ignored.  Levels not named keep their present values.
  // Then, when the file level is not LS_NONE, `filename` is opened afresh
  // ("wb", unbuffered) as the stream sink; the installed stream is always
  // replaced.  When the file cannot be opened, or `filename` is null, file
  // logging ends up off.  "tstamp info debug warning file" gives
  // timestamps, standard error from LS_INFO and the file from LS_WARNING.
  static void ConfigureLogging(const char* params, const char* filename);

  // The sinks, fed the finished line (with its line feed).  OutputToDebug
  // writes to standard error, except that in a program with a main bundle
  // it writes only when that bundle's preferences hold "logToStdErr" set to
  // true.  OutputToStream writes the whole line to the installed stream, if
  // any, ignoring failures.
  static void OutputToDebug(const std::string& msg);
  static void OutputToStream(const std::string& msg);

  // Process-wide settings.  Read them freely; change them only through the
  // functions above, which keep min_sev_ = min(dbg_sev_, stream_sev_).
  static std::atomic<int> min_sev_;  // what call sites compare against
  static std::atomic<int> ctx_sev_;  // severity and position from here up
  static std::atomic<int> dbg_sev_;
  static std::atomic<int> stream_sev_;
  static std::atomic<bool> timestamp_;
  static std::atomic<bool> thread_;
  static std::atomic<uint32_t> start_;  // zero of the elapsed time

 private:
  // Guarded by crit_.
  static StreamInterface* stream_;
  static RecursiveLock crit_;

  LoggingSeverity severity_;
  internal::LogLine* line_;  // the text, reused across messages of a thread
  std::string extra_;        // the error suffix; empty without an error context
};

// Turns the call site's stream expression into void so that both branches
// of the macros' conditional have the same type.  operator& binds more
// loosely than <<, so it applies after all the call site's operands.
class LogMessageVoidify {
 public:
  void operator&(std::ostream&) {}
};

// Lines produced by LogMultiline.  Both start at 0.
struct LogMultilineState {
  // Unprintable bytes seen but not yet reported, indexed by direction
  // (0 output, 1 input).
  size_t unprintable_count_[2] = {0, 0};
};

// Logs a block of traffic, one message per line, each starting with
// `label` and " << " (input) or " >> " (output).  Does nothing, state
// included, while min_sev_ is above `sev`.
//  - data null: flush: report the pending unprintable count of this
//    direction ("## N consecutive unprintable ##") and reset it.
//  - hex_mode: 24 bytes per line, a column of the printable bytes ('.'
//    for others), a blank, 55 columns of hex in groups of four bytes, a
//    blank.  The state is not used.
//  - text: one line per line feed.  Lines that hold unprintable bytes (and,
//    while a count is pending, short or blank lines) are counted, not shown,
//    and the count is reported before the next printable line, in this or a
//    later call.  Trailing whitespace is stripped; a line holding "Email" or
//    "Passwd" shows as "## omitted for privacy ##".
void LogMultiline(LoggingSeverity sev, const char* label, bool input, const void* data, size_t len,
                  bool hex_mode, LogMultilineState* state);

// Writes "file(line): ASSERT FAILED: expression @ function" to standard
// error, whatever the log settings, and flushes it.
void LogAssert(const char* function, const char* file, int line, const char* expression);

// Stops in the debugger (without one, the process ends with SIGTRAP).
void Break();

}  // namespace lumen_base

// True when a message of severity `sev` would reach some sink.
#define LOG_SEVERITY_ENABLED(sev) \
  (::lumen_base::LogMessage::min_sev_.load(std::memory_order_relaxed) <= (sev))

// The general form: severity expression, error context, error number.  The
// severity expression is evaluated twice when enabled; pass a plain value.
#define LOG_E_V(sev, err_ctx, err)          \
  !LOG_SEVERITY_ENABLED(sev)                \
      ? (void)0                             \
      : ::lumen_base::LogMessageVoidify() & \
            ::lumen_base::LogMessage(__FILE__, __LINE__, (sev), (err_ctx), (err)).stream()

// Severity given as an expression of type LoggingSeverity.
#define LOG_V(sev) LOG_E_V(sev, ::lumen_base::LEC_NONE, 0)
// Severity given as a bare name: LOG(LS_INFO).
#define LOG(sev) LOG_V(::lumen_base::sev)
// The text starts with the calling function's name and ": ".
#define LOG_F(sev) LOG(sev) << __func__ << ": "
// A failed system call: error number `err`, explained by strerror.
#define LOG_ERR_EX(sev, err) LOG_E_V(::lumen_base::sev, ::lumen_base::LEC_ERRNO, err)
// The same with the current errno (read before the text is formatted).
#define LOG_ERRNO(sev) LOG_ERR_EX(sev, errno)
// A platform status code, explained by the platform's status texts.
#define LOG_OSSTATUS(sev, status) LOG_E_V(::lumen_base::sev, ::lumen_base::LEC_OSSTATUS, status)

#endif  // BASE_LOGGING_H_
