#include "tools/QuorvexLumenPlug/arguments.h"

#include <stdio.h>
#include <string.h>

#include "tools/QuorvexLumenPlug/commands.h"

namespace lumenplug {

bool Arguments::IsOption() const {
  if (AtEnd() || options_ended_) return false;
  const std::string argument = argv_[next_];
  return argument.size() > 1 && argument[0] == '-';
}

bool Arguments::TakeFlag(const char* name) {
  if (!IsOption() || Peek() != name) return false;
  ++next_;
  return true;
}

bool Arguments::TakeValue(const char* name, std::string* value, std::string* error) {
  if (!IsOption()) return false;
  const std::string argument = argv_[next_];
  const size_t length = strlen(name);
  if (argument.compare(0, length, name) != 0) return false;
  if (argument.size() > length && argument[length] == '=') {
    *value = argument.substr(length + 1);
    ++next_;
    return true;
  }
  if (argument.size() != length) return false;
  ++next_;
  if (AtEnd()) {
    *error = std::string(name) + " needs a value";
    return true;
  }
  *value = argv_[next_++];
  return true;
}

bool Arguments::TakeEndOfOptions() {
  if (AtEnd() || options_ended_ || Peek() != "--") return false;
  options_ended_ = true;
  ++next_;
  return true;
}

std::string Arguments::Take() { return AtEnd() ? "" : argv_[next_++]; }

int ReportUsageError(const char* command, const std::string& message) {
  fprintf(stderr, "%s: %s\nTry 'QuorvexLumenPlug %s --help'.\n", command, message.c_str(), command);
  return kExitUsage;
}

int ReportFailure(const char* command, const std::string& message) {
  fprintf(stderr, "%s: %s\n", command, message.c_str());
  return kExitFailure;
}

}  // namespace lumenplug
