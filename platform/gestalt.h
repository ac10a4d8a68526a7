// Gestalt: the operating-system version, as the foreign platform reported it.
//
// The answered version is an emulated one, 10.5.8 unless a test sets another
// (this system's own version numbers mean nothing to its callers, which
// gate features on the foreign platform's releases). Tests control the answer
// and inject failures through the hooks at the end.
//
// Threading: every function may be called from any thread.
#ifndef PLATFORM_GESTALT_H_
#define PLATFORM_GESTALT_H_

#include "platform/status.h"
#include "platform/types.h"

enum {
  // 'sysv': the version as binary-coded decimal 0xMMmp (0x1058 for 10.5.8).
  // A minor or patch number above 9 shows as 9, and a major number above 99
  // as 99, since one decimal digit (two for the major) is all the form holds.
  gestaltSystemVersion = 0x73797376,
  gestaltSystemVersionMajor = 0x73797331,   // 'sys1': the major number, e.g. 10.
  gestaltSystemVersionMinor = 0x73797332,   // 'sys2': the minor number, e.g. 5.
  gestaltSystemVersionBugFix = 0x73797333,  // 'sys3': the patch number, e.g. 8.
};

// Answers `selector` in *response and returns noErr. Returns paramErr for a
// NULL response, gestaltUndefSelectorErr for any other selector, or the error
// a test set for the selector; on failure *response is left untouched.
OSErr Gestalt(OSType selector, SInt32* response);

// Test hooks. Not part of the foreign platform, and only in the build
// tree's library (see platform/CMakeLists.txt).
#if defined(PLATFORM_TEST_HOOKS)

// Makes Gestalt answer major.minor.patch. Returns false, changing nothing,
// when a number is negative.
bool PlatformSetEmulatedSystemVersionForTesting(int major, int minor, int patch);

// Makes Gestalt fail with `error` for `selector` (any selector, known or
// not); an error of noErr removes the failure again.
void PlatformSetGestaltErrorForTesting(OSType selector, OSErr error);

// Back to 10.5.8 with no injected failures.
void PlatformResetGestaltForTesting();

#endif  // PLATFORM_TEST_HOOKS

#endif  // PLATFORM_GESTALT_H_
