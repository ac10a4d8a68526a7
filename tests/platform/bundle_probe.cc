// Declares its main bundle the way a program does, then prints what the
// platform reports: the identifier on the first line, the resources folder on
// the second. Run by the bundle tests.
#include <stdio.h>

#include <string>

#include "platform/bundle.h"

PLATFORM_MAIN_BUNDLE("com.example.BundleProbe", "probe-resources");

int main() {
  std::string identifier;
  if (!PlatformCFStringCopyUtf8(CFBundleGetIdentifier(CFBundleGetMainBundle()), &identifier)) {
    return 1;
  }
  printf("%s\n%s\n", identifier.c_str(), PlatformMainBundleResourcesPath().c_str());
  return 0;
}
