// Bundles: the main bundle of the running program (its identifier, which
// names its preferences domain, and the folder of its resources, where
// localized texts live).
//
// A program has a main bundle only when it declares one, normally with
// PLATFORM_MAIN_BUNDLE in its main source file, which runs during static
// initialisation. Bundle objects are never freed (a redeclaration makes a new
// one and keeps the old), so a reference obtained on one thread stays valid
// while another thread redeclares or clears the main bundle.
//
// Threading: every function may be called from any thread.
#ifndef PLATFORM_BUNDLE_H_
#define PLATFORM_BUNDLE_H_

#include <string>

#include "platform/cfstring.h"

typedef const struct PlatformCFBundle* CFBundleRef;

// The running program's main bundle, or NULL when none is declared. The
// caller does not own it (retaining and releasing it does nothing).
CFBundleRef CFBundleGetMainBundle(void);

// The bundle's identifier, e.g. "com.example.Tool"; owned by the bundle (do
// not release). NULL for a NULL bundle.
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);

CFTypeID CFBundleGetTypeID(void);

// Declares the main bundle: `identifier` (non-empty UTF-8) and the folder of
// its resources. A relative resources_path is taken relative to the folder
// of the running executable; NULL or "" means no resources. Returns true when
// the declaration took effect. A NULL identifier clears the declaration (for
// tests) and returns true; an empty or invalid UTF-8 identifier, or a
// relative path when the executable's folder cannot be found, returns false
// and leaves the previous declaration in place.
bool PlatformDeclareMainBundle(const char* identifier, const char* resources_path);

// The absolute resources folder of the main bundle; empty when no main
// bundle is declared or it has no resources.
std::string PlatformMainBundleResourcesPath();

// The absolute resources folder of `bundle`; empty for NULL or none.
std::string PlatformBundleResourcesPath(CFBundleRef bundle);

// Declares a program's main bundle during static initialisation. Use once,
// at namespace scope in the program's main source file:
//   PLATFORM_MAIN_BUNDLE("com.example.Tool", "resources");
#define PLATFORM_MAIN_BUNDLE(identifier, resources_path)              \
  [[maybe_unused]] static const bool platform_main_bundle_declared_ = \
      PlatformDeclareMainBundle(identifier, resources_path)

#endif  // PLATFORM_BUNDLE_H_
