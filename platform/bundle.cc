#include "platform/bundle.h"

#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

struct PlatformCFBundle {
  PlatformCFObject base;
  // Set at creation and never freed, like the bundle itself.
  CFStringRef identifier;
  const char* resources_path;  // "" when the bundle has no resources.
};

namespace {

const PlatformCFClass& BundleClass() {
  // Bundles are immortal, so they need neither finalize nor equal.
  static const PlatformCFClass cls = {PlatformNewCFTypeID(), nullptr, nullptr};
  return cls;
}

// The declared bundles, kept alive for the life of the process, and the
// current main bundle among them.
struct Registry {
  std::mutex mutex;
  // Guarded by mutex.
  std::vector<std::unique_ptr<PlatformCFBundle>> bundles;
  const PlatformCFBundle* main = nullptr;
  std::vector<std::unique_ptr<char[]>> paths;  // Storage of resources_path.
};

Registry& TheRegistry() {
  // Made on first use, so a declaration in another file's static initialiser
  // finds it ready, and never destroyed, so code that logs while the process
  // exits can still ask for the main bundle.
  static Registry* registry = new Registry;
  return *registry;
}

// The folder that holds the running executable, without a trailing slash.
bool ExecutableFolder(std::string* folder) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return false;
  path[length] = '\0';
  char* slash = strrchr(path, '/');
  if (slash == nullptr) return false;
  *folder = slash == path ? std::string("/") : std::string(path, static_cast<size_t>(slash - path));
  return true;
}

bool ResolveResources(const char* resources_path, std::string* resolved) {
  resolved->clear();
  if (resources_path == nullptr || resources_path[0] == '\0') return true;
  if (resources_path[0] == '/') {
    *resolved = resources_path;
    return true;
  }
  std::string folder;
  if (!ExecutableFolder(&folder)) return false;
  *resolved = folder == "/" ? "/" + std::string(resources_path) : folder + "/" + resources_path;
  return true;
}

}  // namespace

CFBundleRef CFBundleGetMainBundle(void) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  return registry.main;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
  return bundle == nullptr ? nullptr : bundle->identifier;
}

CFTypeID CFBundleGetTypeID(void) { return BundleClass().type_id; }

bool PlatformDeclareMainBundle(const char* identifier, const char* resources_path) {
  Registry& registry = TheRegistry();
  if (identifier == nullptr) {
    std::lock_guard<std::mutex> hold(registry.mutex);
    registry.main = nullptr;
    return true;
  }
  if (identifier[0] == '\0') return false;
  std::string resolved;
  if (!ResolveResources(resources_path, &resolved)) return false;
  CFStringRef name =
      CFStringCreateWithCString(kCFAllocatorDefault, identifier, kCFStringEncodingUTF8);
  if (name == nullptr) return false;
  // The bundle owns its identifier for good; a caller that releases it by
  // mistake must not free it under the other callers.
  static_cast<const PlatformCFObject*>(static_cast<const void*>(name))
      ->retain_count.store(kPlatformCFImmortal);
  std::unique_ptr<char[]> path(new char[resolved.size() + 1]);
  memcpy(path.get(), resolved.c_str(), resolved.size() + 1);
  std::unique_ptr<PlatformCFBundle> bundle(
      new PlatformCFBundle{{&BundleClass(), {kPlatformCFImmortal}}, name, path.get()});
  std::lock_guard<std::mutex> hold(registry.mutex);
  registry.paths.push_back(std::move(path));
  registry.main = bundle.get();
  registry.bundles.push_back(std::move(bundle));
  return true;
}

std::string PlatformMainBundleResourcesPath() {
  return PlatformBundleResourcesPath(CFBundleGetMainBundle());
}

std::string PlatformBundleResourcesPath(CFBundleRef bundle) {
  return bundle == nullptr ? std::string() : bundle->resources_path;
}
