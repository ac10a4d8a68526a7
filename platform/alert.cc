#include "platform/alert.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr SInt32 kShown = 0;
constexpr SInt32 kNotShown = -1;
constexpr CFOptionFlags kCancel = kCFUserNotificationCancelResponse;

// An answer line longer than this is not a button; the excess is dropped
// rather than kept in memory.
constexpr size_t kMaxAnswerBytes = 4096;

// What a dialog tool may print on its standard output (zenity prints the
// title of an extra button).
constexpr size_t kMaxToolOutputBytes = 4096;

struct Button {
  std::string title;
  CFOptionFlags response;
};

// A point in time on the monotonic clock, or none (wait without limit).
class Deadline {
 public:
  explicit Deadline(CFTimeInterval timeout_seconds) {
    if (!(timeout_seconds > 0)) return;
    limited_ = true;
    // Beyond a year the limit makes no practical difference.
    double seconds = timeout_seconds > 3.2e7 ? 3.2e7 : timeout_seconds;
    end_ms_ = NowMs() + static_cast<long long>(seconds * 1000.0 + 0.5);
  }

  // The milliseconds left for poll(): -1 without limit, 0 once passed.
  int RemainingMs() const {
    if (!limited_) return -1;
    long long left = end_ms_ - NowMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
  }

  bool Passed() const { return limited_ && RemainingMs() == 0; }

 private:
  static long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }

  bool limited_ = false;
  long long end_ms_ = 0;
};

// The texts come from catalogues and callers; on a terminal an escape
// sequence among them could rewrite the screen or worse, so C0 controls
// (except the line breaks that `keep_newlines` allows and tabs), DEL and the
// C1 controls (U+0080..U+009F) become '?'.
std::string Printable(const std::string& text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n' && keep_newlines) {
      out += '\n';
    } else if (byte == '\t') {
      out += ' ';
    } else if (byte < 0x20 || byte == 0x7F) {
      out += '?';
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';
      ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string TextOf(CFStringRef string) {
  std::string text;
  if (string != nullptr) PlatformCFStringCopyUtf8(string, &text);
  return text;
}

std::vector<Button> MakeButtons(CFStringRef default_title, CFStringRef alternate_title,
                                CFStringRef other_title) {
  std::vector<Button> buttons;
  std::string title = default_title != nullptr ? TextOf(default_title) : "OK";
  buttons.push_back({Printable(title, false), kCFUserNotificationDefaultResponse});
  if (alternate_title != nullptr) {
    buttons.push_back(
        {Printable(TextOf(alternate_title), false), kCFUserNotificationAlternateResponse});
  }
  if (other_title != nullptr) {
    buttons.push_back({Printable(TextOf(other_title), false), kCFUserNotificationOtherResponse});
  }
  return buttons;
}

// ---------------------------------------------------------------------------
// The terminal.

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(start, end - start + 1);
}

// The button that `line` names, or -1.
int ChooseButton(const std::vector<Button>& buttons, const std::string& line) {
  std::string answer = Lower(Trimmed(line));
  if (answer.empty()) return 0;
  if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '9') {
    size_t number = static_cast<size_t>(answer[0] - '0');
    return number <= buttons.size() ? static_cast<int>(number - 1) : -1;
  }
  for (size_t i = 0; i < buttons.size(); ++i) {
    if (Lower(buttons[i].title) == answer) return static_cast<int>(i);
  }
  int found = -1;
  for (size_t i = 0; i < buttons.size(); ++i) {
    if (Lower(buttons[i].title).compare(0, answer.size(), answer) != 0) continue;
    if (found >= 0) return -1;  // Two titles start alike: ambiguous.
    found = static_cast<int>(i);
  }
  return found;
}

std::string ButtonLine(const std::vector<Button>& buttons) {
  std::string line;
  for (size_t i = 0; i < buttons.size(); ++i) {
    line += i == 0 ? "  [1/Enter] " : "   [" + std::to_string(i + 1) + "] ";
    line += buttons[i].title;
  }
  return line + "\n> ";
}

// Puts the terminal in line mode with echo for the question, whatever mode
// the program left it in, and restores that mode afterwards.
class LineMode {
 public:
  explicit LineMode(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    saved_valid_ = true;
    struct termios mode = saved_;
    mode.c_lflag |= ICANON | ECHO | ECHOE | ECHOK;
    mode.c_iflag |= ICRNL;
    // TCSAFLUSH also discards type-ahead, so keys pressed before the
    // question was shown cannot answer it.
    tcsetattr(fd_, TCSAFLUSH, &mode);
  }
  ~LineMode() {
    if (saved_valid_) tcsetattr(fd_, TCSADRAIN, &saved_);
  }
  LineMode(const LineMode&) = delete;
  LineMode& operator=(const LineMode&) = delete;

 private:
  int fd_;
  struct termios saved_;
  bool saved_valid_ = false;
};

// Asks on the terminal `tty`.  Returns kShown with *response set, or
// kNotShown when the terminal went away.
SInt32 AskOnTerminal(int tty, const Deadline& deadline, const std::string& header,
                     const std::string& message, const std::vector<Button>& buttons,
                     CFOptionFlags* response) {
  LineMode line_mode(tty);
  std::string question;
  if (!header.empty()) question += Printable(header, true) + "\n";
  if (!message.empty()) question += Printable(message, true) + "\n";
  if (!WriteAll(tty, question + ButtonLine(buttons))) return kNotShown;

  std::string pending;
  bool overlong = false;
  for (;;) {
    struct pollfd wait = {tty, POLLIN, 0};
    int ready = poll(&wait, 1, deadline.RemainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return kNotShown;
    if (ready == 0) {  // Timed out: the alert is dismissed.
      WriteAll(tty, "\n");
      *response = kCFUserNotificationCancelResponse;
      return kShown;
    }
    // A hung-up terminal reads as end of input too; only the hang-up flag
    // tells it from the user's Ctrl-D.
    if ((wait.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return kNotShown;
    char chunk[256];
    ssize_t count = read(tty, chunk, sizeof(chunk));
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count < 0) return kNotShown;
    if (count == 0) {
      WriteAll(tty, "\n");
      *response = kCFUserNotificationCancelResponse;
      return kShown;
    }
    pending.append(chunk, static_cast<size_t>(count));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      int chosen = overlong ? -1 : ChooseButton(buttons, line);
      overlong = false;
      if (chosen >= 0) {
        *response = buttons[static_cast<size_t>(chosen)].response;
        return kShown;
      }
      if (!WriteAll(tty, ButtonLine(buttons))) return kNotShown;
    }
    if (pending.size() > kMaxAnswerBytes) {
      pending.clear();
      overlong = true;
    }
  }
}

// ---------------------------------------------------------------------------
// Desktop dialog tools.

bool HasDesktopSession() {
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

// The full path of program `name` found through PATH; empty when absent.
std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  if (path == nullptr) return "";
  std::string folders = path;
  size_t start = 0;
  for (;;) {
    size_t colon = folders.find(':', start);
    std::string folder = folders.substr(start, colon - start);
    // An empty entry means the current folder, as for the shell; it is not
    // searched here, so a dialog tool is never taken from wherever the
    // program happens to run.
    if (!folder.empty() && folder[0] == '/') {
      std::string candidate = folder + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    if (colon == std::string::npos) return "";
    start = colon + 1;
  }
}

struct ToolRun {
  bool timed_out = false;
  int exit_status = -1;  // -1 when the tool did not exit normally.
  std::string output;
};

enum class WaitResult { kExited, kTimedOut, kLost };

// Ends a child that is still ours.  A child that was already collected (the
// program ignores SIGCHLD) is not signalled: its id may belong to another
// process by now.
void KillAndReap(pid_t pid) {
  if (waitpid(pid, nullptr, WNOHANG) != 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Waits for `pid` to end, until the deadline.
WaitResult WaitForExit(pid_t pid, const Deadline& deadline, int* status) {
  if (deadline.RemainingMs() < 0) {
    for (;;) {
      if (waitpid(pid, status, 0) == pid) return WaitResult::kExited;
      if (errno != EINTR) return WaitResult::kLost;
    }
  }
  // With a limit: poll the child's pid descriptor where the kernel has one,
  // else look again every 10 ms.
  int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  WaitResult result = WaitResult::kTimedOut;
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) {
      result = WaitResult::kExited;
      break;
    }
    if (done < 0 && errno != EINTR) {
      result = WaitResult::kLost;
      break;
    }
    int left = deadline.RemainingMs();
    if (left == 0) break;
    if (pid_fd >= 0) {
      struct pollfd wait = {pid_fd, POLLIN, 0};
      poll(&wait, 1, left);
    } else {
      struct timespec tick = {0, 10 * 1000 * 1000};
      nanosleep(&tick, nullptr);
    }
  }
  if (pid_fd >= 0) close(pid_fd);
  return result;
}

// Runs the dialog tool with `args` (args[0] is its path), its output
// captured, its input and error output on /dev/null.  False when it could
// not be started or waited for.
bool RunTool(const std::vector<std::string>& args, const Deadline& deadline, ToolRun* run) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    return false;
  }

  // The output ends when the tool exits (or closes it).
  for (;;) {
    struct pollfd wait = {pipe_fds[0], POLLIN, 0};
    int ready = poll(&wait, 1, deadline.RemainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      run->timed_out = true;
      break;
    }
    char chunk[256];
    ssize_t count = ready < 0 ? -1 : read(pipe_fds[0], chunk, sizeof(chunk));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    if (run->output.size() < kMaxToolOutputBytes)
      run->output.append(chunk, static_cast<size_t>(count));
  }
  close(pipe_fds[0]);

  int status = 0;
  if (!run->timed_out) {
    WaitResult waited = WaitForExit(pid, deadline, &status);
    if (waited == WaitResult::kLost) return false;
    run->timed_out = waited == WaitResult::kTimedOut;
  }
  if (run->timed_out) {
    KillAndReap(pid);
    return true;
  }
  run->exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

std::string DialogText(const std::string& header, const std::string& message) {
  if (message.empty()) return header;
  if (header.empty()) return message;
  return header + "\n\n" + message;
}

const char* ProgramName() {
  return program_invocation_short_name[0] != '\0' ? program_invocation_short_name : "Alert";
}

// zenity: --question when there is an alternate button (its cancel button),
// --info otherwise.  Exit status 0 is OK; 1 is Cancel, a closed window, or
// the extra button, whose title it then prints.
SInt32 AskWithZenity(const std::string& tool, const Deadline& deadline, const std::string& text,
                     const std::vector<Button>& buttons, CFOptionFlags* response) {
  const Button* alternate = nullptr;
  const Button* other = nullptr;
  for (const Button& button : buttons) {
    if (button.response == kCFUserNotificationAlternateResponse) alternate = &button;
    if (button.response == kCFUserNotificationOtherResponse) other = &button;
  }
  std::vector<std::string> args = {tool,
                                   alternate != nullptr ? "--question" : "--info",
                                   std::string("--title=") + ProgramName(),
                                   "--no-markup",
                                   "--text=" + text,
                                   "--ok-label=" + buttons[0].title};
  if (alternate != nullptr) args.push_back("--cancel-label=" + alternate->title);
  if (other != nullptr) args.push_back("--extra-button=" + other->title);
  ToolRun run;
  if (!RunTool(args, deadline, &run)) return kNotShown;
  if (run.timed_out) {
    *response = kCFUserNotificationCancelResponse;
    return kShown;
  }
  switch (run.exit_status) {
    case 0:
      *response = kCFUserNotificationDefaultResponse;
      return kShown;
    case 1:
      if (other != nullptr && run.output == other->title + "\n") {
        *response = kCFUserNotificationOtherResponse;
      } else {
        *response = alternate != nullptr ? alternate->response : kCancel;
      }
      return kShown;
    default:  // Could not open the display, bad option, crash.
      return kNotShown;
  }
}

// kdialog: --yesnocancel for three buttons, --yesno for two, --msgbox for
// one.  Exit status 0 is yes (OK), 1 no, 2 cancel.
SInt32 AskWithKdialog(const std::string& tool, const Deadline& deadline, const std::string& text,
                      const std::vector<Button>& buttons, CFOptionFlags* response) {
  std::vector<std::string> args = {tool, "--title", ProgramName()};
  if (buttons.size() == 3) {
    args.insert(args.end(), {"--yesnocancel", text, "--yes-label", buttons[0].title, "--no-label",
                             buttons[1].title, "--cancel-label", buttons[2].title});
  } else if (buttons.size() == 2) {
    args.insert(args.end(),
                {"--yesno", text, "--yes-label", buttons[0].title, "--no-label", buttons[1].title});
  } else {
    args.insert(args.end(), {"--msgbox", text, "--ok-label", buttons[0].title});
  }
  ToolRun run;
  if (!RunTool(args, deadline, &run)) return kNotShown;
  if (run.timed_out) {
    *response = kCFUserNotificationCancelResponse;
    return kShown;
  }
  if (run.exit_status < 0 || run.exit_status > 2) return kNotShown;
  // The exit status is the button's position; with fewer buttons the
  // higher statuses (Esc, a closed window) dismiss the alert.
  size_t index = static_cast<size_t>(run.exit_status);
  *response = index < buttons.size() ? buttons[index].response : kCancel;
  return kShown;
}

bool IsKdeSession() {
  const char* desktop = getenv("XDG_CURRENT_DESKTOP");
  return desktop != nullptr && strstr(desktop, "KDE") != nullptr;
}

SInt32 AskOnDesktop(const Deadline& deadline, const std::string& header, const std::string& message,
                    const std::vector<Button>& buttons, CFOptionFlags* response) {
  if (!HasDesktopSession()) return kNotShown;
  std::string zenity = FindProgram("zenity");
  std::string kdialog = FindProgram("kdialog");
  std::string text = DialogText(header, message);
  if (!kdialog.empty() && (zenity.empty() || IsKdeSession())) {
    return AskWithKdialog(kdialog, deadline, text, buttons, response);
  }
  if (!zenity.empty()) return AskWithZenity(zenity, deadline, text, buttons, response);
  return kNotShown;
}

std::mutex& AlertMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

SInt32 CFUserNotificationDisplayAlert(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL,
                                      CFURLRef soundURL, CFURLRef localizationURL,
                                      CFStringRef alertHeader, CFStringRef alertMessage,
                                      CFStringRef defaultButtonTitle,
                                      CFStringRef alternateButtonTitle,
                                      CFStringRef otherButtonTitle, CFOptionFlags* responseFlags) {
  (void)flags;
  (void)iconURL;
  (void)soundURL;
  (void)localizationURL;
  CFOptionFlags response = kCFUserNotificationCancelResponse;
  std::vector<Button> buttons =
      MakeButtons(defaultButtonTitle, alternateButtonTitle, otherButtonTitle);
  std::string header = TextOf(alertHeader);
  std::string message = TextOf(alertMessage);
  Deadline deadline(timeout);

  SInt32 result = kNotShown;
  {
    std::lock_guard<std::mutex> one_at_a_time(AlertMutex());
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0) {
      result = AskOnTerminal(tty, deadline, header, message, buttons, &response);
      close(tty);
    } else {
      result = AskOnDesktop(deadline, header, message, buttons, &response);
    }
  }
  if (result != kShown) response = kCFUserNotificationCancelResponse;
  if (responseFlags != nullptr) *responseFlags = response;
  return result;
}
