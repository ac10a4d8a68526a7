// The commands of QuorvexLumenPlug and their exit statuses.
//
// Threading: commands run on the main thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_COMMANDS_H_
#define TOOLS_QUORVEXLUMENPLUG_COMMANDS_H_

#include <string>

namespace lumenplug {

enum ExitStatus {
  kExitOk = 0,
  kExitFailure = 1,  // the work could not be done; a message says why
  kExitUsage = 2,    // the command line is wrong; a message says how
};

// `argv` starts with the command's name ("feed", "capture").
int RunFeed(int argc, char** argv);
int RunCapture(int argc, char** argv);
int RunNames(int argc, char** argv);
// Only in builds with PipeWire (QUORVEX_HAVE_PIPEWIRE).
int RunPublish(int argc, char** argv);

// True when the program was started with standard input closed; main then
// puts /dev/null in its place, so that no file the program opens takes
// descriptor 0 (feed would read its own signal descriptor as input).
bool StandardInputWasClosed();

// "<command>: <message>" and a pointer to the command's help on stderr;
// kExitUsage.
int ReportUsageError(const char* command, const std::string& message);
// "<command>: <message>" on stderr; kExitFailure.
int ReportFailure(const char* command, const std::string& message);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_COMMANDS_H_
