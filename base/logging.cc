#include "base/logging.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <charconv>
#include <streambuf>
#include <vector>

#include "base/stream.h"
#include "base/stringencode.h"
#include "base/timeutils.h"
#include "platform/bundle.h"
#include "platform/cfstring.h"
#include "platform/debugger.h"
#include "platform/preferences.h"
#include "platform/status.h"

namespace lumen_base {

// The lock first, then the time origin: both are ready before any code that
// could log runs.  The levels are constant-initialised.
RecursiveLock LogMessage::crit_;
std::atomic<uint32_t> LogMessage::start_{StartTime()};
std::atomic<int> LogMessage::min_sev_{LS_NONE};
std::atomic<int> LogMessage::ctx_sev_{LS_WARNING};
std::atomic<int> LogMessage::dbg_sev_{LS_NONE};
std::atomic<int> LogMessage::stream_sev_{LS_NONE};
std::atomic<bool> LogMessage::timestamp_{false};
std::atomic<bool> LogMessage::thread_{false};
StreamInterface* LogMessage::stream_ = nullptr;

namespace internal {

// The text of a line: a stream buffer appending straight to a string.
// Building an std::ostringstream per message costs more than the write
// system call that usually follows, so each thread keeps one LogLine and
// reuses it; a message built while another is alive on the same thread (a
// streamed value that logs, say) gets one of its own.
class LineBuffer : public std::streambuf {
 public:
  std::string text;

 protected:
  int_type overflow(int_type ch) override {
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      text.push_back(traits_type::to_char_type(ch));
    }
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    text.append(s, static_cast<size_t>(n));
    return n;
  }
};

struct LogLine {
  LineBuffer buffer;
  std::ostream out{&buffer};
  bool in_use = false;
  bool on_heap = false;
};

}  // namespace internal

namespace {

using internal::LogLine;

// Lines longer than this give their memory back when they are done, so one
// huge message does not pin memory for the thread's whole life.
const size_t kKeptLineCapacity = 16 * 1024;

// Set when this thread's LogLine has been destroyed (thread exit); a
// message built after that, from another thread-local destructor, gets a
// line of its own.  Trivially destructible, so it outlives everything.
thread_local bool thread_line_destroyed = false;

struct ThreadLine {
  ~ThreadLine() { thread_line_destroyed = true; }
  LogLine line;
};
thread_local ThreadLine thread_line;

LogLine* AcquireLine() {
  LogLine* line = nullptr;
  if (!thread_line_destroyed && !thread_line.line.in_use) {
    line = &thread_line.line;
  } else {
    line = new LogLine;
    line->on_heap = true;
  }
  line->in_use = true;
  line->buffer.text.clear();
  // Whatever the previous call site did to the formatting ends here.
  std::ostream& out = line->out;
  out.flags(std::ios_base::skipws | std::ios_base::dec);
  out.width(0);
  out.precision(6);
  out.fill(' ');
  out.clear();
  return line;
}

void ReleaseLine(LogLine* line) {
  if (line->on_heap) {
    delete line;
    return;
  }
  line->in_use = false;
  if (line->buffer.text.capacity() > kKeptLineCapacity) std::string().swap(line->buffer.text);
}

void AppendDecimal(std::string* text, int value) {
  char digits[16];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof(digits), value);
  text->append(digits, result.ptr);
}

// The error suffix that goes after " : " at the end of the line.
std::string ErrorSuffix(LogErrorContext err_ctx, int err) {
  char code[16];
  snprintf(code, sizeof(code), "[0x%08x]", static_cast<unsigned>(err));
  std::string suffix(code);
  switch (err_ctx) {
    case LEC_ERRNO: {
      // strerror may share one buffer between threads; the GNU strerror_r
      // gives the same text without that.
      char buffer[256];
      suffix += ' ';
      suffix += strerror_r(err, buffer, sizeof(buffer));
      break;
    }
    case LEC_OSSTATUS: {
      const char* text = GetMacOSStatusErrorString(err);
      suffix += ' ';
      suffix += text != nullptr ? text : "Unknown error";
      const char* comment = GetMacOSStatusCommentString(err);
      if (comment != nullptr) {
        suffix += ": ";
        suffix += comment;
      }
      break;
    }
    default:
      break;
  }
  return suffix;
}

// Leading decimal digits as a number, stopping at INT_MAX instead of
// overflowing.
int SaturatingLeadingNumber(const std::string& text) {
  long long value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') break;
    value = value * 10 + (ch - '0');
    if (value >= INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Free functions

const char* FindLabel(int value, const ConstantLabel entries[]) {
  if (entries == nullptr) return nullptr;
  for (const ConstantLabel* entry = entries; entry->label != nullptr; ++entry) {
    if (entry->value == value) return entry->label;
  }
  return nullptr;
}

std::string ErrorName(int err, const ConstantLabel* err_table) {
  if (err == 0) return "No error";
  if (err_table != nullptr) {
    const char* label = FindLabel(err, err_table);
    if (label != nullptr) return label;
  }
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "0x%08x", static_cast<unsigned>(err));
  return buffer;
}

std::string ElapsedTimePrefix(uint32_t elapsed_ms) {
  char buffer[24];
  const int length =
      snprintf(buffer, sizeof(buffer), "[%03u:%03u] ", elapsed_ms / 1000, elapsed_ms % 1000);
  return std::string(buffer, static_cast<size_t>(length));
}

void LogAssert(const char* function, const char* file, int line, const char* expression) {
  fprintf(stderr, "%s(%d): ASSERT FAILED: %s @ %s\n", file != nullptr ? file : "", line,
          expression != nullptr ? expression : "", function != nullptr ? function : "");
  fflush(stderr);
}

void Break() { Debugger(); }

// ---------------------------------------------------------------------------
// LogMessage

LogMessage::LogMessage(const char* file, int line, LoggingSeverity sev, LogErrorContext err_ctx,
                       int err, const char* /*module*/)
    : severity_(sev), line_(AcquireLine()) {
  std::string& text = line_->buffer.text;
  if (timestamp_.load(std::memory_order_relaxed)) {
    // A start in the future reads as a huge elapsed time, like the wrap.
    text += ElapsedTimePrefix(static_cast<uint32_t>(TimeSince(start_.load())));
  }
  if (sev >= ctx_sev_.load(std::memory_order_relaxed)) {
    text += Describe(sev);
    text += '(';
    text += DescribeFile(file);
    text += ':';
    AppendDecimal(&text, line);
    text += "): ";
  }
  if (err_ctx != LEC_NONE) extra_ = ErrorSuffix(err_ctx, err);
}

LogMessage::~LogMessage() {
  std::string& text = line_->buffer.text;
  if (!extra_.empty()) {
    text += " : ";
    text += extra_;
  }
  text += '\n';
  if (severity_ >= dbg_sev_.load(std::memory_order_relaxed)) OutputToDebug(text);
  if (severity_ >= stream_sev_.load(std::memory_order_relaxed)) OutputToStream(text);
  ReleaseLine(line_);
}

std::ostream& LogMessage::stream() { return line_->out; }

const char* LogMessage::Describe(LoggingSeverity sev) {
  static const char* const kNames[] = {"Sensitive", "Verbose", "Info", "Warning", "Error"};
  const unsigned index = static_cast<unsigned>(sev);
  return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "<unknown>";
}

const char* LogMessage::DescribeFile(const char* file) {
  if (file == nullptr) return "";
  const char* slash = strrchr(file, '/');
  const char* backslash = strrchr(file, '\\');
  const char* last = slash;
  if (backslash != nullptr && (last == nullptr || backslash > last)) last = backslash;
  return last != nullptr ? last + 1 : file;
}

void LogMessage::LogContext(int min_sev) { ctx_sev_ = min_sev; }

void LogMessage::LogThreads(bool on) { thread_ = on; }

void LogMessage::LogTimestamps(bool on) { timestamp_ = on; }

void LogMessage::ResetTimestamps() { start_ = Time(); }

void LogMessage::LogToDebug(int min_sev) {
  // Under crit_ so that min_sev_ never misses a concurrent LogToStream.
  RecursiveLockScope lock(&crit_);
  dbg_sev_ = min_sev;
  min_sev_ = std::min<int>(min_sev, stream_sev_);
}

void LogMessage::LogToStream(StreamInterface* stream, int min_sev) {
  StreamInterface* old_stream = nullptr;
  {
    RecursiveLockScope lock(&crit_);
    if (stream != stream_) old_stream = stream_;
    stream_ = stream;
    stream_sev_ = stream != nullptr ? min_sev : static_cast<int>(LS_NONE);
    min_sev_ = std::min<int>(stream_sev_, dbg_sev_);
  }
  // Destroyed once it is no longer installed and outside the lock, so a
  // stream that logs while it goes away writes to the new sink, not to
  // itself half-destroyed, and cannot deadlock against a logging thread.
  delete old_stream;
}

int LogMessage::ParseLogSeverity(const std::string& value) {
  static const char* const kNames[] = {"LS_SENSITIVE", "LS_VERBOSE", "LS_INFO", "LS_WARNING",
                                       "LS_ERROR"};
  for (int level = 0; level < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])); ++level) {
    if (value == kNames[level]) return level;
  }
  if (!value.empty() && value[0] >= '0' && value[0] <= '9') return SaturatingLeadingNumber(value);
  return LS_NONE;
}

void LogMessage::ConfigureLogging(const char* params, const char* filename) {
  int current_level = LS_VERBOSE;
  int file_level = stream_sev_;
  int debug_level = dbg_sev_;

  std::vector<std::string> tokens;
  split(params != nullptr ? params : "", ' ', &tokens);
  for (const std::string& token : tokens) {
    if (token.empty()) continue;
    if (token == "tstamp") {
      timestamp_ = true;
    } else if (token == "thread") {
      thread_ = true;
    } else if (token == "sensitive") {
      current_level = LS_SENSITIVE;
    } else if (token == "verbose") {
      current_level = LS_VERBOSE;
    } else if (token == "info") {
      current_level = LS_INFO;
    } else if (token == "warning") {
      current_level = LS_WARNING;
    } else if (token == "error") {
      current_level = LS_ERROR;
    } else if (token == "none") {
      current_level = LS_NONE;
    } else if (token == "file") {
      file_level = current_level;
    } else if (token == "debug") {
      debug_level = current_level;
    }
  }

  FileStream* file = nullptr;
  if (file_level != LS_NONE && filename != nullptr) {
    file = new FileStream;
    if (!file->Open(filename, "wb") || !file->DisableBuffering()) {
      delete file;
      file = nullptr;
    }
  }

  {
    RecursiveLockScope lock(&crit_);
    dbg_sev_ = debug_level;
    min_sev_ = std::min<int>(stream_sev_, debug_level);
  }
  // Without a file, file_level has no sink to apply to: LS_NONE follows.
  LogToStream(file, file_level);
}

void LogMessage::OutputToDebug(const std::string& msg) {
  bool log_to_stderr = true;
  // Made once: asked before every line.
  static const CFStringRef key =
      CFStringCreateWithCString(kCFAllocatorDefault, "logToStdErr", kCFStringEncodingUTF8);
  CFBundleRef bundle = CFBundleGetMainBundle();
  CFStringRef domain = bundle != nullptr ? CFBundleGetIdentifier(bundle) : nullptr;
  if (key != nullptr && domain != nullptr) {
    // A host with an identity of its own asks for standard error
    // explicitly; anything but a valid true keeps it quiet.
    Boolean exists_and_valid = false;
    const Boolean value = CFPreferencesGetAppBooleanValue(key, domain, &exists_and_valid);
    log_to_stderr = exists_and_valid && value;
  }
  if (!log_to_stderr) return;
  fwrite(msg.data(), 1, msg.size(), stderr);
  fflush(stderr);
}

void LogMessage::OutputToStream(const std::string& msg) {
  RecursiveLockScope lock(&crit_);
  if (stream_ != nullptr) stream_->WriteAll(msg.data(), msg.size(), nullptr, nullptr);
}

// ---------------------------------------------------------------------------
// LogMultiline

namespace {

// The POSIX locale's classes, whatever locale the host has set.
bool IsPrintable(unsigned char ch) { return ch >= 0x20 && ch <= 0x7E; }
bool IsWhitespace(unsigned char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }

const size_t kHexLineBytes = 24;
const size_t kHexColumnWidth = 55;

void LogHexChunk(LoggingSeverity sev, const char* label, const char* direction,
                 const unsigned char* bytes, size_t count) {
  char text_column[kHexLineBytes + 1];
  char hex_column[kHexColumnWidth + 1];
  memset(text_column, ' ', kHexLineBytes);
  memset(hex_column, ' ', kHexColumnWidth);
  text_column[kHexLineBytes] = '\0';
  hex_column[kHexColumnWidth] = '\0';
  for (size_t i = 0; i < count; ++i) {
    text_column[i] = IsPrintable(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    // Groups of four bytes, eight digits, then one blank.
    const size_t at = 2 * i + i / 4;
    hex_column[at] = hex_encode(static_cast<unsigned char>(bytes[i] >> 4));
    hex_column[at + 1] = hex_encode(static_cast<unsigned char>(bytes[i] & 0xF));
  }
  LOG_V(sev) << label << direction << text_column << " " << hex_column << " ";
}

// True when the line (without its line feed) is to be counted rather than
// shown.
bool IsUnprintableLine(const unsigned char* begin, const unsigned char* end, size_t pending) {
  if (pending != 0 && end - begin < 4) return true;
  bool only_whitespace = true;
  for (const unsigned char* p = begin; p < end; ++p) {
    if (IsWhitespace(*p)) continue;
    if (!IsPrintable(*p)) return true;
    only_whitespace = false;
  }
  return pending != 0 && only_whitespace;
}

void LogUnprintableCount(LoggingSeverity sev, const char* label, const char* direction,
                         size_t count) {
  LOG_V(sev) << label << direction << "## " << count << " consecutive unprintable ##";
}

}  // namespace

void LogMultiline(LoggingSeverity sev, const char* label, bool input, const void* data, size_t len,
                  bool hex_mode, LogMultilineState* state) {
  if (!LOG_SEVERITY_ENABLED(sev)) return;
  if (label == nullptr) label = "";
  const char* direction = input ? " << " : " >> ";
  const int slot = input ? 1 : 0;

  if (data == nullptr) {
    if (state != nullptr && state->unprintable_count_[slot] != 0) {
      LogUnprintableCount(sev, label, direction, state->unprintable_count_[slot]);
      state->unprintable_count_[slot] = 0;
    }
    return;
  }

  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  const unsigned char* const end = bytes + len;

  if (hex_mode) {
    for (const unsigned char* chunk = bytes; chunk < end; chunk += kHexLineBytes) {
      const size_t count = std::min(kHexLineBytes, static_cast<size_t>(end - chunk));
      LogHexChunk(sev, label, direction, chunk, count);
    }
    return;
  }

  size_t pending = state != nullptr ? state->unprintable_count_[slot] : 0;
  const unsigned char* line = bytes;
  while (line < end) {
    const size_t remaining = static_cast<size_t>(end - line);
    const unsigned char* line_feed =
        static_cast<const unsigned char*>(memchr(line, '\n', remaining));
    const size_t before_line_feed =
        line_feed != nullptr ? static_cast<size_t>(line_feed - line) : remaining;
    const bool has_nul = memchr(line, '\0', before_line_feed) != nullptr;
    const unsigned char* line_end = end;
    const unsigned char* next = end;
    // A NUL before the next line feed makes the rest of the data one line.
    if (line_feed != nullptr && !has_nul) {
      line_end = line_feed;
      next = line_feed + 1;
    }

    if (IsUnprintableLine(line, line_end, pending)) {
      pending += static_cast<size_t>(next - line);
      line = next;
      continue;
    }
    if (pending != 0) {
      LogUnprintableCount(sev, label, direction, pending);
      pending = 0;
    }
    while (line_end > line && IsWhitespace(line_end[-1])) --line_end;
    const std::string shown(reinterpret_cast<const char*>(line),
                            static_cast<size_t>(line_end - line));
    if (shown.find("Email") != std::string::npos || shown.find("Passwd") != std::string::npos) {
      LOG_V(sev) << label << direction << "## omitted for privacy ##";
    } else {
      LOG_V(sev) << label << direction << shown;
    }
    line = next;
  }
  if (state != nullptr) state->unprintable_count_[slot] = pending;
}

}  // namespace lumen_base
