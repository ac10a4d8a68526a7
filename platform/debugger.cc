#include "platform/debugger.h"

#include <signal.h>

extern "C" void Debugger(void) { raise(SIGTRAP); }
