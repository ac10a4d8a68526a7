// pellicle: tells its caller whether the web browsers that capture video are
// all closed.  While one of them runs, it asks the user, in the user's
// language, to quit them, and looks again each time the user confirms.
//
// Exit status: 0 when no listed browser runs (at once, or after the user
// closed them); 1 when the user gave up while one still ran, or could not be
// asked at all; 2 for wrong usage.
//
// It takes no arguments and writes nothing in normal use; its texts come from
// the message catalogues in its bundle's resources folder.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "platform/alert.h"
#include "platform/bundle.h"
#include "platform/cfstring.h"
#include "platform/localization.h"
#include "platform/processes.h"

PLATFORM_MAIN_BUNDLE(PELLICLE_BUNDLE_ID, PELLICLE_RESOURCES);

namespace {

// The what-string that identifies the build; "used" keeps it in the
// executable although nothing refers to it.
__attribute__((used)) const char kWhatString[] =
    "@(#)PROGRAM:pellicle  PROJECT:mossreed-99.99.99.455\n";

// Process names of the browsers, compared exactly, in this order.
const char* const kBrowsers[] = {"firefox-bin", "Safari", "Camino", nullptr};

// The alert's response sits in the low two bits of the response flags.
constexpr CFOptionFlags kResponseMask = 0x3;

enum ExitStatus { kBrowsersClosed = 0, kUserGaveUp = 1, kUsageError = 2 };

bool IsListedBrowser(const std::string& name) {
  for (const char* const* browser = kBrowsers; *browser != nullptr; ++browser) {
    if (name == *browser) return true;
  }
  return false;
}

// True when a listed browser runs.  Each call walks the whole process list
// afresh; processes that cannot be read, or have no name, are skipped.
bool IsBrowserRunning() {
  ProcessSerialNumber psn = {0, 0};
  while (GetNextProcess(&psn) == noErr) {
    Str255 name;
    ProcessInfoRec info;
    memset(&info, 0, sizeof(info));
    info.processInfoLength = sizeof(ProcessInfoRec);
    info.processName = name;
    if (GetProcessInformation(&psn, &info) != noErr || name[0] == 0) continue;
    if (IsListedBrowser(std::string(reinterpret_cast<const char*>(name + 1), name[0]))) {
      return true;
    }
  }
  return false;
}

// The text for `key` in the main bundle's default table; the key itself when
// there is no translation.  The caller releases it.
CFStringRef CopyText(const char* key) {
  CFStringRef key_string =
      CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  CFStringRef text =
      CFBundleCopyLocalizedString(CFBundleGetMainBundle(), key_string, key_string, nullptr);
  CFRelease(key_string);
  return text;
}

// Asks until no listed browser runs (kBrowsersClosed) or the user gives up
// (kUserGaveUp).  Any answer other than the alternate button, a dismissal
// included, means "look again".
int AskUntilClosed(CFStringRef header, CFStringRef ok_title, CFStringRef cancel_title) {
  while (IsBrowserRunning()) {
    CFOptionFlags response = kCFUserNotificationCancelResponse;
    SInt32 shown = CFUserNotificationDisplayAlert(0, kCFUserNotificationStopAlertLevel, nullptr,
                                                  nullptr, nullptr, header, nullptr, ok_title,
                                                  cancel_title, nullptr, &response);
    // Without anyone to answer, asking again would only spin: a user who
    // cannot be asked cannot close the browsers either.
    if (shown != 0) {
      fputs(
          "pellicle: a listed browser (Firefox, Safari or Camino) is running, and the user "
          "cannot be asked to quit it: there is no terminal and no desktop dialog tool.\n",
          stderr);
      return kUserGaveUp;
    }
    if ((response & kResponseMask) == kCFUserNotificationAlternateResponse) return kUserGaveUp;
  }
  return kBrowsersClosed;
}

void PrintUsage(FILE* out) {
  fputs(
      "Usage: pellicle\n"
      "       pellicle --help | --version\n"
      "Checks whether Firefox, Safari or Camino is running and, while one is,\n"
      "asks the user to quit it (in a terminal prompt, or in a desktop dialog\n"
      "when there is no terminal).\n"
      "\n"
      "Exit status:\n"
      "  0  no listed browser is running (any more)\n"
      "  1  the user gave up while a browser was running, or could not be asked\n"
      "  2  wrong usage\n",
      out);
}

// In a build tree the catalogues sit beside the executable, in
// pellicle.resources/locale/; an installation keeps them in
// <prefix>/share/locale/. When the first is missing, the second serves.
void FindInstalledCatalogues() {
  const std::string resources = PlatformMainBundleResourcesPath();
  struct stat folder;
  if (!resources.empty() && stat((resources + "/locale").c_str(), &folder) == 0) return;
  PlatformDeclareMainBundle(PELLICLE_BUNDLE_ID, PELLICLE_INSTALLED_RESOURCES);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
      PrintUsage(stdout);
      return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
      puts("pellicle " QUORVEX_VERSION);
      return 0;
    }
    fprintf(stderr, "pellicle: unexpected argument '%s'; it takes none.\n", argv[1]);
    fputs("Try 'pellicle --help'.\n", stderr);
    return kUsageError;
  }

  FindInstalledCatalogues();
  CFStringRef header = CopyText("close-browsers");
  CFStringRef ok_title = CopyText("button-ok");
  CFStringRef cancel_title = CopyText("button-cancel");
  int status = AskUntilClosed(header, ok_title, cancel_title);
  CFRelease(header);
  CFRelease(ok_title);
  CFRelease(cancel_title);
  return status;
}
