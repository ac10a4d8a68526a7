#include "platform/components.h"

#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/memory.h"

// A registered component. Everything but `entry` is fixed at registration;
// records are never freed (a forgotten one moves to the retired list), so a
// Component handed out stays safe to look up for the life of the process.
struct PlatformComponentRecord {
  ComponentDescription description = {};
  std::string bundle_path;
  std::string bundle_folder_name;  // "Name.component", for shadowing
  std::string name;
  std::string info;
  std::string library_path;  // absolute
  std::string entry_symbol;
  std::map<SInt16, std::vector<std::string>> string_lists;
  // Resolved at the first open; guarded by the manager's load_mutex.
  ComponentEntryProc entry = nullptr;
};

enum class InstanceState { kOpening, kOpen, kClosing };

struct PlatformComponentInstanceRecord {
  PlatformComponentRecord* component = nullptr;  // set at creation
  ComponentEntryProc entry = nullptr;            // set at creation
  // Guarded by the manager's mutex.
  Handle storage = nullptr;
  InstanceState state = InstanceState::kOpening;
};

namespace {

constexpr char kResourceFile[] = "Resources/component.rsrc";
constexpr char kBundleExtension[] = ".component";
constexpr size_t kMaxResourceFileBytes = 1 << 20;
constexpr size_t kMaxPascalText = 255;

struct ComponentManager {
  std::mutex mutex;
  // Guarded by mutex.
  std::vector<std::string> host_folders;
  std::set<std::string> scanned_folders;
  bool discovered = false;
  std::vector<std::unique_ptr<PlatformComponentRecord>> components;  // registration order
  std::vector<std::unique_ptr<PlatformComponentRecord>> retired;
  // Keyed by the ComponentInstance value; shared so that a call in progress
  // keeps its record alive while another thread closes the instance.
  std::unordered_map<const void*, std::shared_ptr<PlatformComponentInstanceRecord>> instances;

  // Taken while a library loads, whose static initialisation may call back
  // into the manager (mutex is free then) or even open a component itself
  // (hence recursive). Guards the `entry` of every record and `libraries`.
  std::recursive_mutex load_mutex;
  std::map<std::string, void*> libraries;
};

// Never destroyed: components loaded into the process may call the manager
// from their own static destructors at exit.
ComponentManager& Manager() {
  static ComponentManager* manager = new ComponentManager;
  return *manager;
}

void ReportSkippedBundle(const std::string& bundle, const std::string& reason) {
  fprintf(stderr, "quorvex platform: skipping component bundle \"%s\": %s\n", bundle.c_str(),
          reason.c_str());
}

// ---------------------------------------------------------------------------
// The resource file.

std::string TrimBlanks(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

bool ParseFourCharCode(const std::string& text, OSType* code) {
  std::string chars = text;
  if (chars.size() == 6 && chars.front() == '\'' && chars.back() == '\'') {
    chars = chars.substr(1, 4);
  }
  if (chars.size() != 4) return false;
  OSType value = 0;
  for (char c : chars) {
    if (c < 0x20 || c > 0x7E) return false;
    value = (value << 8) | static_cast<unsigned char>(c);
  }
  *code = value;
  return true;
}

// Decimal, or hexadecimal after "0x"; the whole text, no sign, 32 bits.
bool ParseUnsigned32(const std::string& text, UInt32* value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  if (!isxdigit(static_cast<unsigned char>(digits[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<UInt32>(parsed);
  return true;
}

bool ParseSigned(const std::string& text, long min, long max, long* value) {
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  long parsed = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || isdigit(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

// A path that stays inside the bundle: relative, no "..", not empty.
bool IsBundleRelativePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (path.compare(start, slash - start, "..") == 0 && slash - start == 2) return false;
    start = slash + 1;
  }
  return true;
}

bool ReadSmallFile(const std::string& path, std::string* contents, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::string("cannot open ") + kResourceFile + ": " + strerror(errno);
    return false;
  }
  contents->clear();
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
    contents->append(buffer, got);
    if (contents->size() > kMaxResourceFileBytes) {
      fclose(file);
      *error = std::string(kResourceFile) + " is larger than 1 MiB";
      return false;
    }
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    *error = std::string("cannot read ") + kResourceFile;
    return false;
  }
  return true;
}

// Fills `record` from the resource text. On failure `error` names the line
// and what is wrong with it.
bool ParseResources(const std::string& text, PlatformComponentRecord* record, std::string* error) {
  enum class Section { kNone, kComponent, kStringList } section = Section::kNone;
  bool seen_component = false;
  std::set<std::string> seen_keys;
  std::vector<std::string>* list = nullptr;
  std::string library;
  size_t line_number = 0;
  size_t position = 0;
  auto fail = [&](const std::string& what) {
    *error = std::string(kResourceFile) + " line " + std::to_string(line_number) + ": " + what;
    return false;
  };
  while (position < text.size()) {
    size_t newline = text.find('\n', position);
    if (newline == std::string::npos) newline = text.size();
    std::string line = TrimBlanks(text.substr(position, newline - position));
    position = newline + 1;
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    if (line.find('\0') != std::string::npos) return fail("contains a NUL byte");

    if (line[0] == '[') {
      if (line.back() != ']') return fail("unterminated section header");
      std::string header = TrimBlanks(line.substr(1, line.size() - 2));
      if (header == "component") {
        if (seen_component) return fail("second [component] section");
        seen_component = true;
        section = Section::kComponent;
        continue;
      }
      if (header.compare(0, 4, "STR#") == 0) {
        long id;
        if (!ParseSigned(TrimBlanks(header.substr(4)), -32768, 32767, &id)) {
          return fail("string list id is not a 16-bit number");
        }
        auto inserted =
            record->string_lists.emplace(static_cast<SInt16>(id), std::vector<std::string>());
        if (!inserted.second) return fail("second [STR# " + std::to_string(id) + "] section");
        list = &inserted.first->second;
        section = Section::kStringList;
        continue;
      }
      return fail("unknown section [" + header + "]");
    }

    size_t equals = line.find('=');
    if (equals == std::string::npos) return fail("expected key = value");
    std::string key = TrimBlanks(line.substr(0, equals));
    std::string value = TrimBlanks(line.substr(equals + 1));

    if (section == Section::kStringList) {
      long item;
      if (!ParseSigned(key, 1, 32767, &item)) return fail("item number is not 1 to 32767");
      if (static_cast<size_t>(item) != list->size() + 1) {
        return fail("item " + key + " out of order (expected " + std::to_string(list->size() + 1) +
                    ")");
      }
      if (value.size() > kMaxPascalText) return fail("item longer than 255 bytes");
      list->push_back(value);
      continue;
    }
    if (section != Section::kComponent) return fail("key outside a section");
    if (!seen_keys.insert(key).second) return fail("second '" + key + "'");
    ComponentDescription& cd = record->description;
    if (key == "type" || key == "subtype" || key == "manufacturer") {
      OSType* field = key == "type"      ? &cd.componentType
                      : key == "subtype" ? &cd.componentSubType
                                         : &cd.componentManufacturer;
      if (!ParseFourCharCode(value, field)) return fail(key + " is not a four-character code");
    } else if (key == "flags") {
      if (!ParseUnsigned32(value, &cd.componentFlags)) return fail("flags is not a 32-bit number");
    } else if (key == "name" || key == "info") {
      if (value.size() > kMaxPascalText) return fail(key + " longer than 255 bytes");
      (key == "name" ? record->name : record->info) = value;
    } else if (key == "library") {
      if (!IsBundleRelativePath(value)) return fail("library must be a path inside the bundle");
      library = value;
    } else if (key == "entry") {
      if (!IsIdentifier(value)) return fail("entry is not a symbol name");
      record->entry_symbol = value;
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  line_number = 0;
  if (!seen_component) return fail("no [component] section");
  for (const char* required : {"type", "subtype", "manufacturer", "library", "entry"}) {
    if (seen_keys.count(required) == 0) return fail(std::string("no '") + required + "'");
  }
  record->library_path = record->bundle_path + "/" + library;
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HasBundleExtension(const std::string& name) {
  size_t extension = strlen(kBundleExtension);
  return name.size() > extension &&
         name.compare(name.size() - extension, extension, kBundleExtension) == 0;
}

// A record for the bundle at `path`, or NULL (after a line on stderr) when
// the bundle is malformed.
std::unique_ptr<PlatformComponentRecord> ReadBundle(const std::string& path,
                                                    const std::string& folder_name) {
  auto record = std::make_unique<PlatformComponentRecord>();
  record->bundle_path = path;
  record->bundle_folder_name = folder_name;
  record->name = folder_name.substr(0, folder_name.size() - strlen(kBundleExtension));
  std::string text, error;
  if (!ReadSmallFile(path + "/" + kResourceFile, &text, &error) ||
      !ParseResources(text, record.get(), &error)) {
    ReportSkippedBundle(path, error);
    return nullptr;
  }
  if (record->name.size() > kMaxPascalText) {
    ReportSkippedBundle(path, "name longer than 255 bytes");
    return nullptr;
  }
  if (!IsRegularFile(record->library_path)) {
    ReportSkippedBundle(path, "library " + record->library_path + " is not a file");
    return nullptr;
  }
  return record;
}

bool IsRegisteredFolderName(const ComponentManager& m, const std::string& folder_name) {
  for (const auto& component : m.components) {
    if (component->bundle_folder_name == folder_name) return true;
  }
  return false;
}

// Registers the bundles of one folder; returns how many. Caller holds mutex.
long ScanFolderLocked(ComponentManager& m, const std::string& folder) {
  if (!m.scanned_folders.insert(folder).second) return 0;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR) {
      fprintf(stderr, "quorvex platform: cannot read component folder \"%s\": %s\n", folder.c_str(),
              strerror(errno));
    }
    return 0;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (HasBundleExtension(name)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  long registered = 0;
  for (const std::string& name : names) {
    std::string path = folder + "/" + name;
    if (!IsDirectory(path)) continue;
    if (IsRegisteredFolderName(m, name)) continue;
    std::unique_ptr<PlatformComponentRecord> record = ReadBundle(path, name);
    if (record == nullptr) continue;
    m.components.push_back(std::move(record));
    ++registered;
  }
  return registered;
}

// The folder this library was loaded from; empty when it cannot be told.
std::string LibraryFolder() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&RegisterComponentsInSearchPath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::string();
  }
  std::string library = info.dli_fname;
  size_t slash = library.rfind('/');
  if (slash == std::string::npos) return std::string();
  return library.substr(0, slash);
}

std::string UserFolder() {
  const char* data_home = getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') {
    return std::string(data_home) + "/quorvex/Components";
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') return std::string();
  return std::string(home) + "/.local/share/quorvex/Components";
}

std::vector<std::string> SearchFolders(const ComponentManager& m) {
  std::vector<std::string> folders = m.host_folders;
  if (const char* path = getenv("QUORVEX_COMPONENT_PATH")) {
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
      size_t colon = list.find(':', start);
      if (colon == std::string::npos) colon = list.size();
      if (colon > start) folders.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
  }
  // Beside this library in an installation, beside its lib/ in a build
  // tree.
  const std::string library_folder = LibraryFolder();
  if (!library_folder.empty()) {
    folders.push_back(library_folder + "/Components");
    folders.push_back(library_folder + "/../Components");
  }
  const std::string user_folder = UserFolder();
  if (!user_folder.empty()) folders.push_back(user_folder);
  return folders;
}

long ScanSearchPathLocked(ComponentManager& m) {
  m.discovered = true;
  long registered = 0;
  for (const std::string& folder : SearchFolders(m)) registered += ScanFolderLocked(m, folder);
  return registered;
}

void EnsureDiscovered() {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (!m.discovered) ScanSearchPathLocked(m);
}

// ---------------------------------------------------------------------------
// Looking up what callers pass in. Callers hold mutex.

PlatformComponentRecord* FindRegisteredLocked(ComponentManager& m, const void* pointer) {
  for (const auto& component : m.components) {
    if (component.get() == pointer) return component.get();
  }
  return nullptr;
}

std::shared_ptr<PlatformComponentInstanceRecord> FindInstanceLocked(ComponentManager& m,
                                                                    const void* pointer) {
  auto found = m.instances.find(pointer);
  if (found == m.instances.end()) return nullptr;
  return found->second;
}

// A registered component, or the component of an instance cast to Component.
PlatformComponentRecord* ResolveComponentLocked(ComponentManager& m, Component component) {
  if (component == nullptr) return nullptr;
  if (PlatformComponentRecord* record = FindRegisteredLocked(m, component)) return record;
  if (auto instance = FindInstanceLocked(m, component)) return instance->component;
  return nullptr;
}

PlatformComponentRecord* ResolveComponent(Component component) {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  return ResolveComponentLocked(m, component);
}

bool Matches(const ComponentDescription& have, const ComponentDescription* looking) {
  if (looking == nullptr) return true;
  if (looking->componentType != 0 && looking->componentType != have.componentType) return false;
  if (looking->componentSubType != 0 && looking->componentSubType != have.componentSubType) {
    return false;
  }
  if (looking->componentManufacturer != 0 &&
      looking->componentManufacturer != have.componentManufacturer) {
    return false;
  }
  UInt32 mask = looking->componentFlagsMask;
  return (have.componentFlags & mask) == (looking->componentFlags & mask);
}

// ---------------------------------------------------------------------------
// Loading and calling.

OSErr LoadEntry(PlatformComponentRecord* component, ComponentEntryProc* entry) {
  ComponentManager& m = Manager();
  std::lock_guard<std::recursive_mutex> lock(m.load_mutex);
  if (component->entry != nullptr) {
    *entry = component->entry;
    return noErr;
  }
  void* library;
  auto loaded = m.libraries.find(component->library_path);
  if (loaded != m.libraries.end()) {
    library = loaded->second;
  } else {
    library = dlopen(component->library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* reason = dlerror();
      fprintf(stderr, "quorvex platform: cannot load component \"%s\": %s\n",
              component->bundle_path.c_str(), reason != nullptr ? reason : "unknown error");
      return componentDllLoadErr;
    }
    // Never closed: the component's code and static data live as long as
    // the process, whatever instances come and go.
    m.libraries.emplace(component->library_path, library);
  }
  void* symbol = dlsym(library, component->entry_symbol.c_str());
  if (symbol == nullptr) {
    fprintf(stderr, "quorvex platform: component \"%s\" has no entry \"%s\"\n",
            component->bundle_path.c_str(), component->entry_symbol.c_str());
    return componentDllEntryNotFoundErr;
  }
  component->entry = reinterpret_cast<ComponentEntryProc>(symbol);
  *entry = component->entry;
  return noErr;
}

// Calls the entry of `instance` with `params` and its current storage.
ComponentResult CallEntry(const PlatformComponentInstanceRecord& instance,
                          ComponentParameters* params) {
  ComponentManager& m = Manager();
  Handle storage;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    storage = instance.storage;
  }
  return instance.entry(params, storage);
}

ComponentResult CallOpenOrClose(const PlatformComponentInstanceRecord& instance, SInt16 selector) {
  ComponentParameters params = {};
  params.what = selector;
  params.paramSize = sizeof(long);
  params.params[0] = static_cast<long>(reinterpret_cast<intptr_t>(&instance));
  return CallEntry(instance, &params);
}

// A component's 32-bit result as the 16-bit OSErr of open and close; a
// failure that does not fit must not turn into something else, least of all
// into noErr.
OSErr ToOSErr(ComponentResult result) {
  if (result < -32768 || result > 32767) return genericFailureErr;
  return static_cast<OSErr>(result);
}

// ---------------------------------------------------------------------------
// The call primitive.

template <size_t>
using Word = long;

// The handler is called through a pointer to a function of n + 1 `long`
// arguments. On x86-64 (System V) every integer or pointer argument of up to
// eight bytes takes one integer register (rdi, rsi, rdx, rcx, r8, r9), then
// one eight-byte stack slot, in order, whatever its declared width; the
// callee reads the low bits it declared. A narrower declared parameter
// (Boolean, SInt16, SInt32) therefore finds its value where the handler
// expects it, and the extension done here also satisfies compilers that rely
// on the caller extending narrow arguments to 32 bits. The result comes back
// in eax either way.
template <size_t... I>
ComponentResult CallWithWords(ProcPtr func, long storage, const long* words,
                              std::index_sequence<I...>) {
  using Handler = ComponentResult (*)(long, Word<I>...);
  return reinterpret_cast<Handler>(func)(storage, words[I]...);
}

long NarrowParameter(long word, unsigned size_code) {
  switch (size_code) {
    case 1:
      return static_cast<long>(static_cast<UInt8>(word));
    case 2:
      return static_cast<long>(static_cast<SInt16>(word));
    default:
      return word;
  }
}

}  // namespace

ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage,
                                                         ComponentParameters* params, ProcPtr func,
                                                         ProcInfoType procInfo) {
  if (params == nullptr || func == nullptr) return paramErr;
  if ((procInfo & 0xF) != 0) return paramErr;       // calling convention
  if (((procInfo >> 4) & 3) != 3) return paramErr;  // result size
  if (((procInfo >> 6) & 3) != 3) return paramErr;  // the storage, a word
  size_t count = 0;
  while (count < kComponentParametersMax && ((procInfo >> (8 + 2 * count)) & 3) != 0) ++count;
  // Bits after the end marker would describe parameters nobody passes.
  if (count < kComponentParametersMax && (procInfo >> (8 + 2 * count)) != 0) return paramErr;
  // The block says how many words it holds; never read beyond them.
  if (params->paramSize < count * sizeof(long)) return paramErr;

  long words[kComponentParametersMax];
  for (size_t i = 0; i < count; ++i) {
    words[i] = NarrowParameter(params->params[i], (procInfo >> (8 + 2 * i)) & 3);
  }
  long storage_word = static_cast<long>(reinterpret_cast<intptr_t>(storage));
  switch (count) {
    case 0:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<0>());
    case 1:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<1>());
    case 2:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<2>());
    case 3:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<3>());
    case 4:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<4>());
    case 5:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<5>());
    case 6:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<6>());
    case 7:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<7>());
    case 8:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<8>());
    case 9:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<9>());
    case 10:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<10>());
    case 11:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<11>());
    default:
      return CallWithWords(func, storage_word, words, std::make_index_sequence<12>());
  }
}

// ---------------------------------------------------------------------------
// Registry and discovery.

void PlatformAddComponentFolder(const char* path) {
  if (path == nullptr || path[0] == '\0') return;
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  std::string folder = path;
  if (std::find(m.host_folders.begin(), m.host_folders.end(), folder) != m.host_folders.end()) {
    return;
  }
  m.host_folders.push_back(folder);
  if (m.discovered) ScanFolderLocked(m, folder);
}

long RegisterComponentsInSearchPath(void) {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  return ScanSearchPathLocked(m);
}

Component FindNextComponent(Component previous, ComponentDescription* looking) {
  EnsureDiscovered();
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  size_t start = 0;
  if (previous != nullptr) {
    while (start < m.components.size() && m.components[start].get() != previous) ++start;
    if (start == m.components.size()) return nullptr;
    ++start;
  }
  for (size_t i = start; i < m.components.size(); ++i) {
    if (Matches(m.components[i]->description, looking)) return m.components[i].get();
  }
  return nullptr;
}

long CountComponents(ComponentDescription* looking) {
  EnsureDiscovered();
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  long count = 0;
  for (const auto& component : m.components) {
    if (Matches(component->description, looking)) ++count;
  }
  return count;
}

namespace {

OSErr SetPascalHandle(Handle h, const std::string& text) {
  SetHandleSize(h, static_cast<Size>(text.size() + 1));
  if (MemError() != noErr) return MemError();
  c2pstrcpy(reinterpret_cast<unsigned char*>(*h), text.c_str());
  return noErr;
}

}  // namespace

OSErr GetComponentInfo(Component aComponent, ComponentDescription* cd, Handle componentName,
                       Handle componentInfo, Handle /*componentIcon*/) {
  // The record's fields never change after registration, so they are read
  // without the lock once the record is known.
  PlatformComponentRecord* record = ResolveComponent(aComponent);
  if (record == nullptr) return invalidComponentID;
  if (cd != nullptr) {
    *cd = record->description;
    cd->componentFlagsMask = 0;
  }
  if (componentName != nullptr) {
    OSErr err = SetPascalHandle(componentName, record->name);
    if (err != noErr) return err;
  }
  if (componentInfo != nullptr) {
    OSErr err = SetPascalHandle(componentInfo, record->info);
    if (err != noErr) return err;
  }
  return noErr;
}

bool PlatformParseComponentResources(const std::string& text, PlatformComponentResources* resources,
                                     std::string* error) {
  PlatformComponentRecord record;
  if (!ParseResources(text, &record, error)) return false;
  resources->description = record.description;
  resources->name = record.name;
  resources->info = record.info;
  // The record's path is the bundle's ("" here) and a slash, then the library.
  resources->library = record.library_path.substr(1);
  resources->entry_symbol = record.entry_symbol;
  resources->string_lists = std::move(record.string_lists);
  return true;
}

std::string PlatformComponentBundlePath(Component aComponent) {
  PlatformComponentRecord* record = ResolveComponent(aComponent);
  return record == nullptr ? std::string() : record->bundle_path;
}

// ---------------------------------------------------------------------------
// Instances.

OSErr OpenAComponent(Component aComponent, ComponentInstance* ci) {
  if (ci == nullptr) return paramErr;
  *ci = nullptr;
  PlatformComponentRecord* component = ResolveComponent(aComponent);
  if (component == nullptr) return invalidComponentID;
  ComponentEntryProc entry;
  OSErr err = LoadEntry(component, &entry);
  if (err != noErr) return err;

  auto instance = std::make_shared<PlatformComponentInstanceRecord>();
  instance->component = component;
  instance->entry = entry;
  ComponentManager& m = Manager();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.instances.emplace(instance.get(), instance);
  }
  ComponentResult result = CallOpenOrClose(*instance, kComponentOpenSelect);
  if (result != noErr) {
    // Close is called even so: open may have built part of the instance.
    CallOpenOrClose(*instance, kComponentCloseSelect);
    std::lock_guard<std::mutex> lock(m.mutex);
    m.instances.erase(instance.get());
    return ToOSErr(result);
  }
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    instance->state = InstanceState::kOpen;
  }
  *ci = instance.get();
  return noErr;
}

ComponentInstance OpenComponent(Component aComponent) {
  ComponentInstance ci = nullptr;
  OpenAComponent(aComponent, &ci);
  return ci;
}

OSErr CloseComponent(ComponentInstance aComponentInstance) {
  ComponentManager& m = Manager();
  std::shared_ptr<PlatformComponentInstanceRecord> instance;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    instance = FindInstanceLocked(m, aComponentInstance);
    // Only one close per instance, and none while its open still runs.
    if (instance == nullptr || instance->state != InstanceState::kOpen) return invalidComponentID;
    instance->state = InstanceState::kClosing;
  }
  ComponentResult result = CallOpenOrClose(*instance, kComponentCloseSelect);
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.instances.erase(instance.get());
  }
  return ToOSErr(result);
}

void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage) {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (auto instance = FindInstanceLocked(m, aComponentInstance)) instance->storage = theStorage;
}

Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance) {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto instance = FindInstanceLocked(m, aComponentInstance);
  return instance == nullptr ? nullptr : instance->storage;
}

long CountComponentInstances(Component aComponent) {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  PlatformComponentRecord* component = ResolveComponentLocked(m, aComponent);
  if (component == nullptr) return invalidComponentID;
  long count = 0;
  for (const auto& entry : m.instances) {
    if (entry.second->component == component) ++count;
  }
  return count;
}

OSErr GetComponentIndString(Component aComponent, Str255 theString, SInt16 strListID,
                            SInt16 index) {
  if (theString == nullptr) return paramErr;
  theString[0] = 0;
  PlatformComponentRecord* record = ResolveComponent(aComponent);
  if (record == nullptr) return invalidComponentID;
  auto list = record->string_lists.find(strListID);
  if (list == record->string_lists.end()) return resNotFound;
  if (index < 1 || static_cast<size_t>(index) > list->second.size()) return resNotFound;
  const std::string& text = list->second[index - 1];
  // Items are at most 255 bytes (checked when the bundle was read).
  memcpy(theString + 1, text.data(), text.size());
  theString[0] = static_cast<unsigned char>(text.size());
  return noErr;
}

ComponentResult PlatformCallComponentWithParameters(ComponentInstance ci,
                                                    ComponentParameters* params) {
  if (params == nullptr) return paramErr;
  ComponentManager& m = Manager();
  std::shared_ptr<PlatformComponentInstanceRecord> instance;
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    instance = FindInstanceLocked(m, ci);
  }
  if (instance == nullptr) return badComponentInstance;
  return CallEntry(*instance, params);
}

ComponentResult ComponentFunctionImplemented(ComponentInstance ci, SInt16 ftnNumber) {
  return PlatformCallComponent(ci, kComponentCanDoSelect, ftnNumber);
}

ComponentResult GetComponentVersion(ComponentInstance ci) {
  return PlatformCallComponent(ci, kComponentVersionSelect);
}

#if defined(PLATFORM_TEST_HOOKS)
void PlatformForgetComponentsForTesting() {
  ComponentManager& m = Manager();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto& component : m.components) m.retired.push_back(std::move(component));
  m.components.clear();
  m.host_folders.clear();
  m.scanned_folders.clear();
  m.discovered = false;
}
#endif
