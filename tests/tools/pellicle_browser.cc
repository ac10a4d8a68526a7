// A stand-in for a web browser in pellicle's tests: the tests copy it under a
// browser's process name, start it, and end it with a signal.  It does
// nothing but wait for that signal.
#include <unistd.h>

int main() {
  for (;;) pause();
}
