// A small walker over the command line of one of the agent's commands.
//
// Threading: a walker belongs to one thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_ARGUMENTS_H_
#define TOOLS_QUORVEXLUMENPLUG_ARGUMENTS_H_

#include <string>

namespace lumenplug {

// Walks the arguments of one command. Options come as "--name value" or
// "--name=value"; "--" ends the options.
class Arguments {
 public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}

  bool AtEnd() const { return next_ >= argc_; }
  // The argument at hand, not yet taken.
  std::string Peek() const { return AtEnd() ? "" : argv_[next_]; }
  // True when the argument at hand looks like an option (and no "--" came).
  bool IsOption() const;

  // Takes the argument at hand when it is the flag `name`.
  bool TakeFlag(const char* name);
  // Takes the argument at hand when it is the option `name`, and its value
  // (from "=value" or the next argument). When the value is missing, sets
  // *error and returns true, so that the caller reports it.
  bool TakeValue(const char* name, std::string* value, std::string* error);
  // Takes a "--" at hand; every argument after it is an operand.
  bool TakeEndOfOptions();
  // Takes whatever is at hand.
  std::string Take();

 private:
  int argc_;
  char** argv_;
  int next_ = 1;
  bool options_ended_ = false;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_ARGUMENTS_H_
