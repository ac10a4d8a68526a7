// What the fuzz targets share: a check that, when it fails, says which
// target, line and condition and aborts, so that both libFuzzer and the
// deterministic driver keep the input that broke it.
#ifndef FUZZ_FUZZCHECK_H_
#define FUZZ_FUZZCHECK_H_

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] inline void FuzzCheckFailed(const char* file, int line, const char* what,
                                         const char* name) {
  fprintf(stderr, "%s:%d: %s: check failed: %s\n", file, line, name, what);
  abort();
}

// `name` says which call was checked (a function's name, say).
#define FUZZ_CHECK(cond, name)                                       \
  do {                                                               \
    if (!(cond)) FuzzCheckFailed(__FILE__, __LINE__, #cond, (name)); \
  } while (0)

#endif  // FUZZ_FUZZCHECK_H_
