#include "platform/gestalt.h"

#include <map>
#include <mutex>

namespace {

struct GestaltState {
  std::mutex mutex;
  // Guarded by mutex.
  int major = 10;
  int minor = 5;
  int patch = 8;
  std::map<OSType, OSErr> errors;
};

GestaltState& State() {
  // Never destroyed: callers may ask for the version while the process exits.
  static GestaltState* state = new GestaltState;
  return *state;
}

int Capped(int value, int limit) { return value > limit ? limit : value; }

// 0xMMmp: the major number as two decimal digits, then one digit each.
SInt32 PackVersion(int major, int minor, int patch) {
  major = Capped(major, 99);
  return ((major / 10) << 12) | ((major % 10) << 8) | (Capped(minor, 9) << 4) | Capped(patch, 9);
}

}  // namespace

OSErr Gestalt(OSType selector, SInt32* response) {
  if (response == nullptr) return paramErr;
  GestaltState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  auto injected = state.errors.find(selector);
  if (injected != state.errors.end()) return injected->second;
  switch (selector) {
    case gestaltSystemVersion:
      *response = PackVersion(state.major, state.minor, state.patch);
      return noErr;
    case gestaltSystemVersionMajor:
      *response = state.major;
      return noErr;
    case gestaltSystemVersionMinor:
      *response = state.minor;
      return noErr;
    case gestaltSystemVersionBugFix:
      *response = state.patch;
      return noErr;
    default:
      return gestaltUndefSelectorErr;
  }
}

#if defined(PLATFORM_TEST_HOOKS)
bool PlatformSetEmulatedSystemVersionForTesting(int major, int minor, int patch) {
  if (major < 0 || minor < 0 || patch < 0) return false;
  GestaltState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.major = major;
  state.minor = minor;
  state.patch = patch;
  return true;
}

void PlatformSetGestaltErrorForTesting(OSType selector, OSErr error) {
  GestaltState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  if (error == noErr) {
    state.errors.erase(selector);
  } else {
    state.errors[selector] = error;
  }
}

void PlatformResetGestaltForTesting() {
  GestaltState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.major = 10;
  state.minor = 5;
  state.patch = 8;
  state.errors.clear();
}
#endif  // PLATFORM_TEST_HOOKS
