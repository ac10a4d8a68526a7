// The component manager: finds component bundles on disk, loads their shared
// libraries, opens and closes component instances, and carries calls from a
// host to a component's single entry point and from that entry point to its
// handlers.
//
// Bundles. A component lives in a folder named after it with the extension
// ".component" (e.g. "Quorvex Camera Adapter 0.component"). The folder holds
// the component's shared library (anywhere inside it) and the plain-text
// resource file Resources/component.rsrc (UTF-8):
//
//   # A comment: a line whose first non-blank character is '#'.
//   [component]
//   type = vdig
//   subtype = qrvx
//   manufacturer = qrvx
//   flags = 0x00000000
//   name = Quorvex Camera Adapter 0
//   info = A virtual camera
//   library = libcamera.so
//   entry = OrvidComponentDispatch
//
//   [STR# 200]
//   1 = Quorvex Camera Adapter 0
//   2 = Quorvex YUV 4:2:0
//
// Rules: blank lines and comment lines are ignored (a '#' after a value is
// part of the value); every other line is a section header or
// "key = value", the value taken from after the first '=' with surrounding
// blanks removed. Exactly one [component] section.
// `type`, `subtype` and `manufacturer` are four-character codes: four
// printable ASCII characters, written bare or between single quotes when
// they contain blanks ('raw '). `flags` is optional (default 0), decimal or
// 0x-hexadecimal, 32 bits. `name` defaults to the folder's name without
// ".component", `info` to empty; both at most 255 bytes. `library` is a path
// relative to the bundle folder, without ".." components; the file must
// exist. `entry` is the name of the exported entry function. A [STR# id]
// section (id a signed 16-bit decimal number, each id once) is a string list
// whose items are numbered 1, 2, 3, ... in order without gaps, each at most
// 255 bytes. Unknown sections or keys, duplicates and anything else make the
// bundle malformed: it is skipped with a line on stderr naming the bundle
// and the reason, and nothing else happens.
//
// Search path, in this order: the folders a host names with
// PlatformAddComponentFolder (in the order named); the folders of the
// environment variable QUORVEX_COMPONENT_PATH (colon-separated, read at each
// scan); the folders found from where this library itself was loaded:
// <folder of libquorvex_platform.so>/Components, where an installation
// keeps its bundles (<prefix>/lib/quorvex/Components beside
// <prefix>/lib/quorvex/libquorvex_platform.so), then
// <folder of libquorvex_platform.so>/../Components, i.e. <build>/Components
// when run from a build tree; and the per-user folder
// $XDG_DATA_HOME/quorvex/Components, or ~/.local/share/quorvex/Components
// when XDG_DATA_HOME is unset or not absolute. Missing folders are skipped
// quietly. Within a folder, bundles register in name order; a bundle whose
// folder name was already registered from an earlier folder is shadowed
// (skipped quietly), so the earlier folder wins.
//
// Loading. A component's library is loaded (dlopen, RTLD_NOW | RTLD_LOCAL)
// when its first instance is opened, and stays loaded for the life of the
// process; its static initialisation runs at that load, once.
//
// Handles. `Component` and `ComponentInstance` are opaque pointers to
// records of this manager. Every one passed in is checked against the
// manager's registry before use, so a stale, closed or made-up pointer gives
// an error, never a crash. Wherever a Component is expected, a
// ComponentInstance cast to Component is accepted and means that instance's
// component, as the foreign code does with `(Component)self`. Errors for a
// pointer that is neither: invalidComponentID (-3000) from functions that
// return OSErr or a count, badComponentInstance (0x80008001) from those that
// return a ComponentResult.
//
// Threading: every function may be called from any thread. The registry and
// the instance bookkeeping are under one lock, which is never held while a
// component's code runs, so a component may call back into this manager (its
// open calls CountComponentInstances, say). Calls on one instance are not
// serialised by the manager; as on the original platform, a host makes them
// one at a time.
#ifndef PLATFORM_COMPONENTS_H_
#define PLATFORM_COMPONENTS_H_

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/status.h"
#include "platform/types.h"

// A component's 32-bit status: noErr, a platform error code, or for some
// calls a value (a version, a yes/no). Fixed at 32 bits, so that codes such
// as badComponentSelector (0x80008002) are negative, as everywhere else.
typedef SInt32 ComponentResult;

typedef struct PlatformComponentRecord* Component;
typedef struct PlatformComponentInstanceRecord* ComponentInstance;

// A handler's address as the dispatch tables hold it. Any function pointer
// converts to it with a cast and back; the layout code tells the call
// primitive how to call it.
typedef void (*ProcPtr)(void);
typedef ProcPtr ComponentRoutineUPP;

// The layout code of a handler (see CallComponentFunctionWithStorageProcInfo).
typedef UInt32 ProcInfoType;

// The most parameters one call can carry after the storage: the layout code
// has 13 two-bit slots (bits 6 to 31) and the storage takes the first.
enum { kComponentParametersMax = 12 };

// The parameter block of one call. On this 64-bit system every parameter of
// the 32-bit design (pointer, handle, long, short, byte) travels as one
// machine word, first parameter in params[0], the next in params[1], and so
// on. `paramSize` counts the bytes of parameters present (words x 8);
// `what` is the selector; `flags` is unused (0).
struct ComponentParameters {
  UInt8 flags;
  UInt8 paramSize;
  SInt16 what;
  long params[kComponentParametersMax];
};

struct ComponentDescription {
  OSType componentType;          // e.g. 'vdig'; 0 in a search matches any
  OSType componentSubType;       // 0 in a search matches any
  OSType componentManufacturer;  // 0 in a search matches any
  UInt32 componentFlags;         // compared under componentFlagsMask
  UInt32 componentFlagsMask;     // 0 in a registration
};

// A component's exported entry point: called for every call on every
// instance with the call's parameter block and the instance's storage.
typedef ComponentResult (*ComponentEntryProc)(ComponentParameters* params, Handle storage);

// The standard selectors every component answers.
enum {
  kComponentOpenSelect = -1,     // parameter: the instance being opened
  kComponentCloseSelect = -2,    // parameter: the instance being closed
  kComponentCanDoSelect = -3,    // parameter: a selector (16-bit); 1 or 0
  kComponentVersionSelect = -4,  // no parameter; the version
};

// The component manager's own status codes.
enum : ComponentResult {
  componentDllLoadErr = -2091,           // the bundle's library would not load
  componentDllEntryNotFoundErr = -2092,  // the library lacks the entry symbol
  badComponentInstance = static_cast<ComponentResult>(0x80008001),
};

// ---------------------------------------------------------------------------
// The call primitive a component's dispatcher uses to reach its handlers.

// Calls `func` with `storage` followed by the parameters of `params`, as
// `procInfo` lays them out, and returns func's result.
//
// procInfo: bits 0-3 the calling convention (only 0 is supported), bits 4-5
// the result size (only 3, four bytes, is supported), then two bits per
// argument from bit 6, the storage first: 1 one byte, 2 two bytes, 3 four
// bytes (a 32-bit number or a pointer), 0 end of the list; all bits after the
// end must be 0, and the storage's code must be 3.
//
// Each argument is passed as one machine word. A one-byte parameter is cut to
// 8 bits and zero-extended (handlers declare it Boolean or UInt8); a two-byte
// parameter is cut to 16 bits and sign-extended (handlers declare it SInt16;
// one that wants the value unsigned converts it itself); a four-byte one is
// passed as the whole word, so pointers survive.
//
// Returns paramErr, calling nothing, when params or func is NULL, procInfo is
// not a code described above, or params->paramSize is smaller than the
// parameters procInfo names need (words beyond those are ignored).
// Any thread; it touches no state of the manager.
ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage,
                                                         ComponentParameters* params, ProcPtr func,
                                                         ProcInfoType procInfo);

// ---------------------------------------------------------------------------
// Registry and discovery.

// Adds `path` to the folders searched first (ignored when NULL, empty or
// already named). When the search path has already been scanned, the folder
// is scanned now and its components go after those registered before.
void PlatformAddComponentFolder(const char* path);

// Scans every folder of the search path that has not been scanned yet and
// registers the well-formed bundles found there. Returns the number of
// components registered by this call. FindNextComponent and CountComponents
// call it on first use.
long RegisterComponentsInSearchPath(void);

// The next registered component after `previous` (NULL: the first) that
// matches `looking` (NULL matches every component): each of type, subtype and
// manufacturer matches when it is 0 in `looking` or equal, and the flags
// match when (componentFlags & mask) == (looking's flags & mask), with mask
// looking->componentFlagsMask. Returns NULL when there is none, or when
// `previous` is not a registered component. The component stays valid for
// the life of the process; it is not owned by the caller.
Component FindNextComponent(Component previous, ComponentDescription* looking);

// The number of registered components that FindNextComponent would walk.
long CountComponents(ComponentDescription* looking);

// Describes `aComponent`: *cd (when given) gets its registration, with a
// componentFlagsMask of 0; `componentName` and `componentInfo` (when given)
// are resized to hold the name and the information text as Pascal strings;
// `componentIcon` is left alone (components have no icons here). Returns
// noErr; invalidComponentID for an unknown component (nothing written); the
// memory manager's error when a handle cannot be resized (*cd is written
// already then).
OSErr GetComponentInfo(Component aComponent, ComponentDescription* cd, Handle componentName,
                       Handle componentInfo, Handle componentIcon);

// The folder of the bundle the component came from; empty for an unknown one.
std::string PlatformComponentBundlePath(Component aComponent);

// What a bundle's Resources/component.rsrc declares, as registration reads
// it: the registration, the texts, the library (relative to the bundle) and
// entry symbol, and the string lists by id.
struct PlatformComponentResources {
  ComponentDescription description = {};
  std::string name;  // empty when the file names none (the folder's name is used)
  std::string info;
  std::string library;
  std::string entry_symbol;
  std::map<SInt16, std::vector<std::string>> string_lists;
};

// Parses the text of a resource file on its own, without a bundle or the
// disk; false with the line and what is wrong with it. Registration accepts
// a bundle exactly when this accepts its file (and the library exists).
bool PlatformParseComponentResources(const std::string& text, PlatformComponentResources* resources,
                                     std::string* error);

// ---------------------------------------------------------------------------
// Instances.

// Opens a new instance of `aComponent`: loads its library if this is the
// first open in the process, creates the instance (counted by
// CountComponentInstances from this moment) and calls the entry with the
// open selector and the instance. On success *ci is the instance, owned by
// the caller until CloseComponent, and the result is noErr. When open
// returns non-zero, the entry is called with the close selector and the
// instance, the instance is discarded, *ci is NULL and the result is open's
// result (genericFailureErr, -1, when that does not fit in an OSErr). Other
// failures, with *ci NULL: paramErr for a NULL ci, invalidComponentID,
// componentDllLoadErr, componentDllEntryNotFoundErr (the last two also write
// a line on stderr).
OSErr OpenAComponent(Component aComponent, ComponentInstance* ci);

// As OpenAComponent; returns the instance, or NULL on any failure.
ComponentInstance OpenComponent(Component aComponent);

// Calls the entry with the close selector and the instance, then discards the
// instance: `aComponentInstance` is invalid afterwards, whatever close
// returned. Returns close's result (as OpenAComponent maps it), or
// invalidComponentID, calling nothing, for a pointer that is not an open
// instance (one already closed, or being closed on another thread).
OSErr CloseComponent(ComponentInstance aComponentInstance);

// The handle the manager passes to every call of the instance as its
// storage; NULL until the component sets one. The manager never disposes of
// it: the component allocates it in open and disposes of it in close. Set
// does nothing for an unknown instance; Get returns NULL for one.
void SetComponentInstanceStorage(ComponentInstance aComponentInstance, Handle theStorage);
Handle GetComponentInstanceStorage(ComponentInstance aComponentInstance);

// The number of open instances of `aComponent` in this process, including
// one whose open is running and one whose close is running. invalidComponentID
// (negative) for an unknown component.
long CountComponentInstances(Component aComponent);

// Item `index` (1 for the first) of the string list `strListID` in the
// component's resource file, as a Pascal string in theString. Returns noErr;
// resNotFound (-192) when the list or the item does not exist;
// invalidComponentID for an unknown component; paramErr for a NULL
// theString. On every failure with a theString, it holds the empty string.
OSErr GetComponentIndString(Component aComponent, Str255 theString, SInt16 strListID, SInt16 index);

// Asks the instance whether it implements `ftnNumber` (the can-do selector):
// non-zero when it does. badComponentInstance for an unknown instance.
ComponentResult ComponentFunctionImplemented(ComponentInstance ci, SInt16 ftnNumber);

// The instance's version (the version selector); badComponentInstance for an
// unknown instance.
ComponentResult GetComponentVersion(ComponentInstance ci);

// Calls the instance's entry with `params` and the instance's storage, and
// returns the entry's result. badComponentInstance for an unknown instance,
// paramErr for NULL params; nothing is called then.
ComponentResult PlatformCallComponentWithParameters(ComponentInstance ci,
                                                    ComponentParameters* params);

namespace platform_components_internal {

// One parameter as the word it travels in: a pointer as its address, an
// integer or enumeration sign- or zero-extended according to its own type.
template <class T>
long ParameterWord(T value) {
  if constexpr (std::is_null_pointer_v<T>) {
    return 0;
  } else if constexpr (std::is_pointer_v<T>) {
    return static_cast<long>(reinterpret_cast<intptr_t>(value));
  } else if constexpr (std::is_enum_v<T>) {
    return static_cast<long>(static_cast<std::underlying_type_t<T>>(value));
  } else {
    static_assert(std::is_integral_v<T>, "component parameters are integers or pointers");
    return static_cast<long>(value);
  }
}

}  // namespace platform_components_internal

// Calls `selector` on the instance with typed arguments, as a host does:
// builds the parameter block (one word per argument, first argument first)
// and passes it with the instance's storage to the entry. Returns the entry's
// result, or what PlatformCallComponentWithParameters returns on failure.
//   PlatformCallComponent(ci, 68, OSType('j420'), SInt16(24), &bounds, ...);
template <class... Args>
ComponentResult PlatformCallComponent(ComponentInstance ci, SInt16 selector, Args... args) {
  static_assert(sizeof...(Args) <= kComponentParametersMax, "too many component parameters");
  ComponentParameters params = {};
  params.what = selector;
  params.paramSize = static_cast<UInt8>(sizeof...(Args) * sizeof(long));
  [[maybe_unused]] size_t next = 0;
  ((params.params[next++] = platform_components_internal::ParameterWord(args)), ...);
  return PlatformCallComponentWithParameters(ci, &params);
}

// Test hook, not part of the foreign platform: unregisters every component
// and forgets the named folders and which folders were scanned, so that the
// next search scans afresh (and reads QUORVEX_COMPONENT_PATH again). Open
// instances keep working; loaded libraries stay loaded. Forgotten Component
// pointers become invalid.
#if defined(PLATFORM_TEST_HOOKS)
void PlatformForgetComponentsForTesting();
#endif

#endif  // PLATFORM_COMPONENTS_H_
