// The platform's debugger break.  Safe on any thread.
#ifndef PLATFORM_DEBUGGER_H_
#define PLATFORM_DEBUGGER_H_

#ifdef __cplusplus
extern "C" {
#endif

// Stops the process in an attached debugger.  Without a debugger the process
// receives SIGTRAP, whose default action ends it with a core dump, which is
// what a hit assertion hook should do on this system.
void Debugger(void);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_DEBUGGER_H_
