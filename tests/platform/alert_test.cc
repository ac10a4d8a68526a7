#include "platform/alert.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/clock.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
constexpr int kWaitMs = 10000;
constexpr int kFailed = 8;  // Added to the response when the alert failed.

using quorvex_test::NowMs;

// The child's exit status; -1 when it died of a signal or had to be killed.
int WaitForChild(pid_t pid) { return quorvex_test::WaitForExit(pid, kWaitMs); }

CFStringRef Text(const char* text) {
  return text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
}

// One alert, shown by a child process, which exits with the response (plus
// kFailed when the alert reported a failure).
struct Alert {
  double timeout = 0;
  const char* header = "Quit the browsers";
  const char* message = nullptr;
  const char* ok = "Continue";
  const char* cancel = "Cancel";
  const char* other = nullptr;

  int Show() const {
    CFStringRef texts[] = {Text(header), Text(message), Text(ok), Text(cancel), Text(other)};
    CFOptionFlags response = 99;
    SInt32 result =
        CFUserNotificationDisplayAlert(timeout, 0, nullptr, nullptr, nullptr, texts[0], texts[1],
                                       texts[2], texts[3], texts[4], &response);
    for (CFStringRef text : texts) CFRelease(text);
    return response > 3 ? 100 : static_cast<int>(response) + (result != 0 ? kFailed : 0);
  }
};

// A child whose controlling terminal is a pseudo-terminal driven from here.
class TerminalChild {
 public:
  explicit TerminalChild(const std::function<int()>& body) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) _exit(body());
  }
  ~TerminalChild() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (master_ >= 0) close(master_);
  }
  // Reads until `text` appears after what earlier waits consumed.
  bool WaitFor(const std::string& text) {
    long long deadline = NowMs() + kWaitMs;
    size_t found;
    while ((found = output_.find(text, consumed_)) == std::string::npos) {
      struct pollfd wait = {master_, POLLIN, 0};
      char chunk[512];
      ssize_t count = 0;
      if (poll(&wait, 1, static_cast<int>(std::max(0LL, deadline - NowMs()))) <= 0 ||
          (count = read(master_, chunk, sizeof(chunk))) <= 0) {
        return false;
      }
      output_.append(chunk, static_cast<size_t>(count));
    }
    consumed_ = found + text.size();
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master_, keys.data(), keys.size()));
  }
  void HangUp() {
    close(master_);
    master_ = -1;
  }
  int Finish() {
    int status = WaitForChild(pid_);
    pid_ = -1;
    return status;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
  size_t consumed_ = 0;
};

int Answer(const Alert& alert, const std::string& keys) {
  TerminalChild child([&] { return alert.Show(); });
  if (!child.WaitFor("> ")) return -2;
  child.Type(keys);
  return child.Finish();
}

TEST(AlertOnTerminal, ShowsTheTextsAndNumberedButtons) {
  Alert alert;
  alert.message = "Your work is saved first.";
  alert.other = "Later";
  TerminalChild child([&] { return alert.Show(); });
  ASSERT_TRUE(
      child.WaitFor("Quit the browsers\r\nYour work is saved first.\r\n"
                    "  [1/Enter] Continue   [2] Cancel   [3] Later\r\n> "))
      << child.output();
  child.Type("1\n");
  EXPECT_EQ(kCFUserNotificationDefaultResponse, child.Finish());
}

TEST(AlertOnTerminal, AnswersChooseButtonsByNumberTitleOrUnambiguousBeginning) {
  Alert alert;
  alert.ok = "Weiter";
  alert.cancel = "Abbrechen";
  alert.other = "Später";
  const struct {
    const char* keys;
    int response;
  } cases[] = {
      {"1\n", kCFUserNotificationDefaultResponse},
      {"2\n", kCFUserNotificationAlternateResponse},
      {"3\n", kCFUserNotificationOtherResponse},
      {"\n", kCFUserNotificationDefaultResponse},
      {" W \n", kCFUserNotificationDefaultResponse},
      {"ABBRECHEN\n", kCFUserNotificationAlternateResponse},
      {"sp\n", kCFUserNotificationOtherResponse},
      {"x\n2\n1\n", kCFUserNotificationAlternateResponse},
      {"\x04", kCFUserNotificationCancelResponse},  // End of input dismisses.
  };
  for (const auto& c : cases) EXPECT_EQ(c.response, Answer(alert, c.keys)) << c.keys;
}

TEST(AlertOnTerminal, AsksAgainAfterAnAnswerThatNamesNoButton) {
  Alert alert;  // "Continue" and "Cancel" both begin with C.
  TerminalChild child([&] { return alert.Show(); });
  ASSERT_TRUE(child.WaitFor("> "));
  for (const char* wrong : {"c\n", "3\n", "0\n", "continue please\n"}) {
    child.Type(wrong);
    ASSERT_TRUE(child.WaitFor("[1/Enter] Continue   [2] Cancel\r\n> ")) << wrong;
  }
  child.Type("ca\n");
  EXPECT_EQ(kCFUserNotificationAlternateResponse, child.Finish());
}

TEST(AlertOnTerminal, HangUpFailsAndTimeOutDismisses) {
  Alert alert;
  TerminalChild hung([&] {
    signal(SIGHUP, SIG_IGN);  // Survive the hang-up to see the result.
    return alert.Show();
  });
  ASSERT_TRUE(hung.WaitFor("> "));
  hung.HangUp();
  EXPECT_EQ(kFailed + kCFUserNotificationCancelResponse, hung.Finish());

  alert.timeout = 0.2;
  TerminalChild ignored([&] { return alert.Show(); });
  ASSERT_TRUE(ignored.WaitFor("> "));
  EXPECT_EQ(kCFUserNotificationCancelResponse, ignored.Finish());
}

TEST(AlertOnTerminal, TextsCannotDriveTheTerminal) {
  Alert alert;
  alert.header = "Quit\x1b[2J now\x07";
  alert.ok =
      "Go\xC2\x9B"
      "31m";  // A C1 control sequence introducer.
  alert.cancel = nullptr;
  TerminalChild child([&] { return alert.Show(); });
  ASSERT_TRUE(child.WaitFor("Quit?[2J now?\r\n  [1/Enter] Go?31m\r\n> ")) << child.output();
  child.Type("1\n");
  EXPECT_EQ(kCFUserNotificationDefaultResponse, child.Finish());
}

TEST(AlertOnTerminal, KeysTypedBeforeTheQuestionDoNotAnswerIt) {
  Alert alert;
  int go[2];
  ASSERT_EQ(0, pipe(go));
  TerminalChild child([&] {
    char byte;
    if (read(go[0], &byte, 1) != 1) return 101;
    // Keys typed on the master reach the terminal's input queue a little
    // later, so ask only once the typed line is readable here: in line mode
    // poll() reports input only for a complete line.
    struct pollfd typed = {STDIN_FILENO, POLLIN, 0};
    if (poll(&typed, 1, kWaitMs) != 1) return 102;
    return alert.Show();
  });
  child.Type("2\n");
  ASSERT_EQ(1, write(go[1], "g", 1));
  ASSERT_TRUE(child.WaitFor("> "));
  child.Type("1\n");
  EXPECT_EQ(kCFUserNotificationDefaultResponse, child.Finish());
  close(go[0]);
  close(go[1]);
}

// Shows `alert` in a child without a controlling terminal, DISPLAY set to
// `display` (empty: unset) and PATH to `tools`.
int ShowDetached(const Alert& alert, const char* display, const std::string& tools,
                 const char* desktop = "") {
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    unsetenv("WAYLAND_DISPLAY");
    setenv("XDG_CURRENT_DESKTOP", desktop, 1);
    if (display[0] == '\0') unsetenv("DISPLAY");
    if (display[0] != '\0') setenv("DISPLAY", display, 1);
    setenv("PATH", tools.c_str(), 1);
    _exit(alert.Show());
  }
  return WaitForChild(pid);
}

struct FakeTools {
  FakeTools() : folder("alert_test"), path(folder.path()) {}
  // A stand-in that records its arguments, prints `output`, exits `status`.
  void Write(const char* name, const std::string& output, int status) const {
    std::ofstream(path + "/" + name)
        << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " << path << "/args\nprintf '"
        << output << "'\nexit " << status << "\n";
    fs::permissions(path + "/" + name, fs::perms::owner_all);
  }
  std::string Args() const {
    std::ifstream file(path + "/args");
    return "\n" + std::string(std::istreambuf_iterator<char>(file), {});
  }
  quorvex_test::TempFolder folder;
  std::string path;
};

TEST(AlertWithoutTerminal, FailsWithTheCancelResponseWhenNothingCanShowIt) {
  FakeTools tools;
  tools.Write("zenity", "", 0);
  Alert alert;
  EXPECT_EQ(kFailed + kCFUserNotificationCancelResponse, ShowDetached(alert, "", tools.path));
  fs::remove(tools.path + "/zenity");
  EXPECT_EQ(kFailed + kCFUserNotificationCancelResponse, ShowDetached(alert, ":99", tools.path));
}

TEST(AlertWithoutTerminal, MapsTheDialogToolsAnswers) {
  Alert alert;
  alert.message = "Then continue.";
  alert.other = "Later";
  const struct {
    const char* tool;
    const char* output;
    int status;
    int expected;
  } cases[] = {
      {"zenity", "", 0, kCFUserNotificationDefaultResponse},
      {"zenity", "", 1, kCFUserNotificationAlternateResponse},
      {"zenity", "Later\\n", 1, kCFUserNotificationOtherResponse},  // Its extra button.
      {"zenity", "", 255, kFailed + kCFUserNotificationCancelResponse},
      {"kdialog", "", 0, kCFUserNotificationDefaultResponse},
      {"kdialog", "", 1, kCFUserNotificationAlternateResponse},
      {"kdialog", "", 2, kCFUserNotificationOtherResponse},
      {"kdialog", "", 254, kFailed + kCFUserNotificationCancelResponse},
  };
  for (const auto& c : cases) {
    FakeTools tools;
    tools.Write(c.tool, c.output, c.status);
    EXPECT_EQ(c.expected, ShowDetached(alert, ":99", tools.path)) << c.tool << " " << c.status;
  }
  FakeTools tools;
  tools.Write("zenity", "", 0);
  ShowDetached(alert, ":99", tools.path);
  EXPECT_NE(std::string::npos,
            tools.Args().find("\n--question\n--title=platform_tests\n--no-markup\n"
                              "--text=Quit the browsers\n\nThen continue.\n--ok-label=Continue\n"
                              "--cancel-label=Cancel\n--extra-button=Later\n"))
      << tools.Args();
  tools.Write("kdialog", "", 1);  // Both installed: KDE gets kdialog.
  EXPECT_EQ(kCFUserNotificationAlternateResponse, ShowDetached(alert, ":99", tools.path, "KDE"));
  EXPECT_NE(std::string::npos,
            tools.Args().find("\n--yesnocancel\nQuit the browsers\n\nThen continue.\n"
                              "--yes-label\nContinue\n--no-label\nCancel\n--cancel-label\nLater\n"))
      << tools.Args();
}

TEST(AlertWithoutTerminal, ClosedNoteAndTimeOutAreTheCancelResponse) {
  FakeTools tools;
  Alert alert;
  alert.cancel = nullptr;
  tools.Write("zenity", "", 1);  // Closed: a note has no alternate button.
  EXPECT_EQ(kCFUserNotificationCancelResponse, ShowDetached(alert, ":99", tools.path));
  EXPECT_NE(std::string::npos, tools.Args().find("\n--info\n"));
  std::ofstream(tools.path + "/zenity") << "#!/bin/sh\nexec /bin/sleep 60\n";
  alert.timeout = 0.3;
  long long start = NowMs();
  EXPECT_EQ(kCFUserNotificationCancelResponse, ShowDetached(alert, ":99", tools.path));
  EXPECT_LT(NowMs() - start, 5000);
}

}  // namespace
