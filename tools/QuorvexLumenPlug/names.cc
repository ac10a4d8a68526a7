// names: prints the names of the camera's system objects, as the transport's
// naming rule makes them for the calling user, so that scripts and people
// need not rebuild them (the semaphore outlives every process, and a stale
// one is what a user may want to remove).
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"
#include "tools/QuorvexLumenPlug/commands.h"

namespace lumenplug {

namespace {

const char kNamesHelp[] =
    "Usage: QuorvexLumenPlug names [NAME]\n"
    "\n"
    "Prints the names of the camera's system objects for this user, one per line\n"
    "as NAME<TAB>VALUE; with NAME, prints only that value.\n"
    "\n"
    "  device           the camera's device name\n"
    "  semaphore        the named semaphore that guards the frame area (sem_open)\n"
    "  semaphore-file   where the system keeps that semaphore\n"
    "  key-file         the file whose key names the shared frame area\n"
    "  segment-bytes    the size of the shared frame area\n";

std::vector<std::pair<std::string, std::string>> Names() {
  const std::string device = tessel::kDeviceName;
  return {
      {"device", device},
      {"semaphore", tessel::SemaphoreName(device)},
      {"semaphore-file", tessel::SemaphorePath(device)},
      {"key-file", tessel::KeyFilePath(device)},
      {"segment-bytes", std::to_string(tessel::kSharedFrameAreaBytes)},
  };
}

}  // namespace

int RunNames(int argc, char** argv) {
  if (argc > 2) return ReportUsageError("names", "at most one NAME");
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kNamesHelp, stdout);
    return kExitOk;
  }
  for (const auto& [name, value] : Names()) {
    if (argc == 1) {
      printf("%s\t%s\n", name.c_str(), value.c_str());
    } else if (name == argv[1]) {
      printf("%s\n", value.c_str());
      return kExitOk;
    }
  }
  if (argc == 2) return ReportUsageError("names", std::string("unknown name \"") + argv[1] + "\"");
  return kExitOk;
}

}  // namespace lumenplug
