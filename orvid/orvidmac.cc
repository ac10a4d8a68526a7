// Quorvex Camera Adapter 0: a video digitizer component with no camera behind
// it. A producer process of the same user (the plug-in's agent) writes
// frames into a shared segment under a named mutex; the component hands them
// to the capturing application that opened it.
//
// Conventions of every entry point below:
//  - The component manager calls OrvidComponentDispatch for every call; it
//    looks the selector up in two constant tables and reaches the handler
//    through CallComponentFunctionWithStorageProcInfo. Every handler is also
//    exported under its own name (extern "C").
//  - Storage: the first argument of every handler is the instance's storage,
//    a handle to the OrvidInstance record. It is null until OrvidOpen has
//    registered the record, and stays null for an instance that a gate
//    refused. Handlers other than Open, Close and CanDo answer a null storage
//    with badCallOrderErr (-2209) and write no line.
//  - Ownership: the record owns its image description, mutex, segment and
//    frame buffer. A failed Open frees nothing: whatever it built stays in
//    the record, every owned member may be null, and OrvidClose (which the
//    component manager calls after a failed Open too) frees what is there.
//  - Logging: every line starts with "Orvid 0: "; a handler's lines go on
//    with the handler's name and ": ". Open sets the whole process's
//    logging from the agent's preferences; Close removes the log file.
//  - Threading: the component starts no thread and takes no lock of its own;
//    the host calls one instance one call at a time. The only lock shared
//    with the producer is the named mutex.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "base/logging.h"
#include "base/macutils.h"
#include "base/stream.h"
#include "base/stringencode.h"
#include "platform/cfstring.h"
#include "platform/components.h"
#include "platform/gestalt.h"
#include "platform/imagedescription.h"
#include "platform/memory.h"
#include "platform/preferences.h"
#include "platform/processes.h"
#include "platform/status.h"
#include "sharedmem/sharedmem.h"

using lumen_base::LogMessage;

// ---------------------------------------------------------------------------
// Exported interface.

extern "C" {

// The build's version stamp; nothing in the component reads it.
extern const double Quorvex_Camera_Adapter_0VersionNumber;
extern const unsigned char Quorvex_Camera_Adapter_0VersionString[];

ComponentResult OrvidComponentDispatch(ComponentParameters* params, Handle storage);
ComponentResult OrvidOpen(Handle storage, ComponentInstance self);
ComponentResult OrvidClose(Handle storage, ComponentInstance self);
ComponentResult OrvidCanDo(Handle storage, SInt16 selector);
ComponentResult OrvidVersion(Handle storage);

}  // extern "C"

const double Quorvex_Camera_Adapter_0VersionNumber = 99.99;
const unsigned char Quorvex_Camera_Adapter_0VersionString[] =
    "@(#)PROGRAM:Quorvex Camera Adapter 0  PROJECT:mossreed-99.99.99.455\n";

namespace {

// ---------------------------------------------------------------------------
// Constants.

const char kOrvidTag[] = "Orvid 0: ";

// The device name; the mutex and the segment are named after it, and the
// producer looks for them under the same name.
const char kDeviceName[] = "Quorvex Camera Adapter 0";

// The agent whose preferences hold the component's logging settings.
const char kAgentApplicationId[] = "com.quorvex.LumenPlug";
const char kLogLevelKey[] = "orvid_log_level";
const char kLogPathKey[] = "orvid_log_path";

// The host processes the component opens in, compared in this order.
const char* const kAllowedProcesses[] = {
    "QuorvexLumenPlug", "firefox-bin",   "Safari", "Camino", "Opera", "prism",
    "FluidInstance",    "seamonkey-bin",
};

// The oldest system the component runs on: 10.4.8, in binary-coded decimal.
constexpr SInt32 kLowestSystemVersion = 0x1048;

// One 640 x 480 planar 4:2:0 frame, and the shared area: a 256-byte header
// followed by room for one such frame.
constexpr size_t kFrameBufferBytes = 460800;
constexpr unsigned long kSharedAreaBytes = 256 + kFrameBufferBytes;  // 0x70900

constexpr OSType kCodecType = 0x6A343230;  // 'j420'
constexpr SInt32 kVendor = 0x71727678;     // 'qrvx'
constexpr CodecQ kLosslessQuality = 0x400;
constexpr Fixed k72Dpi = 0x00480000;
constexpr SInt16 kNamesListId = 200;
constexpr SInt16 kFormatNameIndex = 2;
constexpr SInt16 kOutputWidth = 320;
constexpr SInt16 kOutputHeight = 240;

constexpr ComponentResult kVersionAndRevision = 0x00020001;

// Lines of the component: the tag; a handler's lines: the tag, the name of
// the function that logs, and ": ".
#define ORVID_LOG(sev) LOG(sev) << kOrvidTag
#define ORVID_LOG_F(sev) ORVID_LOG(sev) << __func__ << ": "

// ---------------------------------------------------------------------------
// The per-instance record, held in the storage handle. Zero-filled by
// NewHandleClear, which is its state before Open fills it in.

struct OrvidInstance {
  ComponentInstance self;
  char name[33];
  ImageDescriptionHandle imageDescription;
  Rect digitizerRect;
  UInt32 inputCurrentFlags;
  UInt32 outputCurrentFlags;
  SInt16 compressionDepth;
  Rect compressionBounds;
  CodecQ spatialQuality;
  CodecQ temporalQuality;
  SInt32 keyFrameRate;
  UInt32 captureStateFlags;
  Fixed frameRate;
  void* timeBase;  // the host's time base
  UInt8* frameBuffer;
  UInt32 lastFrameCounter;
  tessel::Mutex* mutex;
  tessel::SharedMemory* sharedMemory;
};

static_assert(std::is_trivial_v<OrvidInstance>, "the record lives in a zero-filled handle");

// The record behind a storage handle. The handle is never resized, so the
// pointer stays valid until the handle is disposed of.
OrvidInstance* Instance(Handle storage) { return reinterpret_cast<OrvidInstance*>(*storage); }

// ---------------------------------------------------------------------------
// Selector tables.

// One table entry: a handler or a marker, and the layout code that tells
// the call primitive how to unpack the parameter block for it.
struct SelectorEntry {
  ProcPtr handler;
  ProcInfoType layout;
};

ProcPtr Marker(uintptr_t value) { return reinterpret_cast<ProcPtr>(value); }

const ProcPtr kEmptySlot = nullptr;
const ProcPtr kNotImplemented = Marker(0xFFFFFFFF);
const ProcPtr kAcceptedWithoutHandler = Marker(0xFFFFFFFE);

template <class Function>
ProcPtr Slot(Function* handler) {
  return reinterpret_cast<ProcPtr>(handler);
}

// Selectors -4 to -1, indexed by selector + 4.
const SelectorEntry kStandardTable[] = {
    {Slot(OrvidVersion), 0xF0},  // -4: storage
    {Slot(OrvidCanDo), 0x2F0},   // -3: storage, selector (16-bit)
    {Slot(OrvidClose), 0x3F0},   // -2: storage, instance
    {Slot(OrvidOpen), 0x3F0},    // -1: storage, instance
};

// Selectors 0 to 97, indexed by the selector. A selector without an entry of
// its own holds the not-implemented marker with layout code 0.
constexpr size_t kDigitizerSelectorCount = 98;
const std::array<SelectorEntry, kDigitizerSelectorCount> kDigitizerTable = [] {
  std::array<SelectorEntry, kDigitizerSelectorCount> table;
  table.fill({kNotImplemented, 0});
  return table;
}();

// The entry of `selector`; null for one outside both tables.
const SelectorEntry* FindEntry(SInt16 selector) {
  if (selector < 0) {
    const int index = selector + 4;
    if (index < 0) return nullptr;
    return &kStandardTable[index];
  }
  if ((selector & 0xFF00) != 0) return nullptr;  // 256 and up
  if (static_cast<size_t>(selector) >= kDigitizerSelectorCount) return nullptr;
  return &kDigitizerTable[selector];
}

bool IsImplemented(const SelectorEntry* entry) {
  return entry != nullptr && entry->handler != kEmptySlot && entry->handler != kNotImplemented;
}

// ---------------------------------------------------------------------------
// Host process, preferences and logging.

// The host process's short name: its executable's file name, up to 16
// characters. (The kernel's own command name keeps only 15, which would
// turn the agent "QuorvexLumenPlug" away.)
bool GetProcessName(std::string* name) { return PlatformGetCurrentProcessName(name); }

// True when the host process is one the component may open in.
bool MayWeRun() {
  ORVID_LOG_F(LS_VERBOSE);
  std::string name;
  if (!GetProcessName(&name)) return false;
  const bool allowed = std::find(std::begin(kAllowedProcesses), std::end(kAllowedProcesses),
                                 name) != std::end(kAllowedProcesses);
  ORVID_LOG(LS_VERBOSE) << "Process name: " << name << ", allowed=" << (allowed ? 1 : 0);
  return allowed;
}

// The agent's string preference `key`; empty when it is absent, not a string
// or not convertible.
std::string GetPreferencesStringValue(const std::string& key) {
  LOG(LS_VERBOSE) << "GetPreferencesStringValue: " << key;
  std::string result;
  CFStringRef cf_key =
      CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8);
  CFStringRef application =
      CFStringCreateWithCString(kCFAllocatorDefault, kAgentApplicationId, kCFStringEncodingUTF8);
  CFPropertyListRef value = nullptr;
  if (cf_key != nullptr && application != nullptr) {
    value = CFPreferencesCopyAppValue(cf_key, application);
  }
  if (value != nullptr && CFGetTypeID(value) == CFStringGetTypeID()) {
    std::string text;
    if (lumen_base::ToUtf8(static_cast<CFStringRef>(value), &text)) {
      result = text;
      LOG(LS_VERBOSE) << result;
    }
  }
  CFRelease(value);
  CFRelease(application);
  CFRelease(cf_key);
  return result;
}

// Sets the whole process's logging from the agent's preferences: the level
// for standard error and the log file, timestamps on, and the file (the
// preference's path with "0" appended, emptied now). A file that cannot be
// opened is silently left out.
void SetUpLogging() {
  const std::string level_text = GetPreferencesStringValue(kLogLevelKey);
  const int level =
      level_text.empty() ? lumen_base::LS_INFO : LogMessage::ParseLogSeverity(level_text);
  std::string path = GetPreferencesStringValue(kLogPathKey);
  LogMessage::LogTimestamps(true);
  LogMessage::LogToDebug(level);
  if (path.empty()) return;
  path += "0";
  auto file = std::make_unique<lumen_base::FileStream>();
  if (!file->Open(path, "w")) return;
  file->DisableBuffering();
  LogMessage::LogToStream(file.release(), level);
}

// ---------------------------------------------------------------------------
// Building an instance.

// Fills the description of the output frames into a new zero-filled handle
// stored in the record, then attaches its properties in a fixed order. The
// first failure is returned; what was built by then stays in the record.
OSStatus BuildOutputImageDescription(OrvidInstance* instance) {
  Handle block = NewHandleClear(sizeof(ImageDescription));
  const OSErr allocation = MemError();
  if (allocation != noErr) return allocation;
  if (block == nullptr) return memFullErr;
  ImageDescriptionHandle description = reinterpret_cast<ImageDescriptionHandle>(block);
  instance->imageDescription = description;

  ImageDescription* record = *description;
  record->idSize = sizeof(ImageDescription);
  record->cType = kCodecType;
  record->version = 2;
  record->vendor = kVendor;
  record->temporalQuality = 0;
  record->spatialQuality = kLosslessQuality;
  record->hRes = k72Dpi;
  record->vRes = k72Dpi;
  record->frameCount = 1;
  record->depth = 24;
  record->clutID = -1;

  Str255 format_name;
  const OSErr lookup = GetComponentIndString(reinterpret_cast<Component>(instance->self),
                                             format_name, kNamesListId, kFormatNameIndex);
  if (lookup != noErr) return lookup;
  const size_t length = std::min<size_t>(format_name[0], sizeof(record->name) - 1);
  record->name[0] = static_cast<unsigned char>(length);
  memcpy(&record->name[1], &format_name[1], length);

  // Attaching a property grows the handle, so the record is not touched
  // through `record` from here on.
  const FieldInfoImageDescriptionExtension2 field_info = {1, 0};
  const CleanApertureImageDescriptionExtension clean_aperture = {
      kOutputWidth, 1, kOutputHeight, 1, 0, 1, 0, 1};
  const PixelAspectRatioImageDescriptionExtension pixel_aspect = {1, 1};
  // SMPTE-C primaries, the ITU-R BT.709 transfer function, the BT.601 matrix.
  const NCLCColorInfoImageDescriptionExtension colour = {
      kICMImageDescriptionPropertyID_NCLCColorInfo, 6, 1, 6};
  const SInt32 encoded_width = kOutputWidth;
  const SInt32 encoded_height = kOutputHeight;
  const struct {
    OSType id;
    UInt32 size;
    const void* value;
  } properties[] = {
      {kICMImageDescriptionPropertyID_FieldInfo, sizeof(field_info), &field_info},
      {kICMImageDescriptionPropertyID_CleanAperture, sizeof(clean_aperture), &clean_aperture},
      {kICMImageDescriptionPropertyID_PixelAspectRatio, sizeof(pixel_aspect), &pixel_aspect},
      {kICMImageDescriptionPropertyID_NCLCColorInfo, sizeof(colour), &colour},
      {kICMImageDescriptionPropertyID_EncodedWidth, sizeof(encoded_width), &encoded_width},
      {kICMImageDescriptionPropertyID_EncodedHeight, sizeof(encoded_height), &encoded_height},
  };
  for (const auto& property : properties) {
    const OSStatus status = ICMImageDescriptionSetProperty(
        description, kQTPropertyClass_ImageDescription, property.id, property.size, property.value);
    if (status != noErr) return status;
  }
  return noErr;
}

// The steps of Open after the gates: the record, the description, the
// transport and the frame buffer. Returns Open's result; on failure what was
// built stays in the registered record for Close.
ComponentResult BuildInstance(ComponentInstance self) {
  Handle storage = NewHandleClear(sizeof(OrvidInstance));
  const OSErr allocation = MemError();
  if (allocation != noErr) return allocation;
  if (storage == nullptr) return memFullErr;
  OrvidInstance* instance = Instance(storage);
  instance->self = self;
  SetComponentInstanceStorage(self, storage);

  lumen_base::strcpyn(instance->name, sizeof(instance->name), kDeviceName);
  ORVID_LOG(LS_INFO) << instance->name;
  instance->digitizerRect = {0, 0, kOutputHeight, kOutputWidth};

  const OSStatus description = BuildOutputImageDescription(instance);
  if (description != noErr) return description;

  instance->lastFrameCounter = 0xFFFFFFFF;

  // Both are attempted, so that the log tells about each.
  instance->mutex = tessel::Mutex::Create(instance->name);
  if (instance->mutex == nullptr) ORVID_LOG(LS_ERROR) << "OrvidOpen: No mutex!";
  instance->sharedMemory = tessel::SharedMemory::Create(instance->name, kSharedAreaBytes);
  if (instance->sharedMemory == nullptr) ORVID_LOG(LS_ERROR) << "OrvidOpen: No shared memory!";
  if (instance->mutex == nullptr || instance->sharedMemory == nullptr) return openErr;

  instance->frameBuffer = new (std::nothrow) UInt8[kFrameBufferBytes];
  if (instance->frameBuffer == nullptr) return memFullErr;
  instance->inputCurrentFlags = 0xFFFFFFFF;
  instance->outputCurrentFlags = 0xFFFFFFFF;
  return noErr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

ComponentResult OrvidComponentDispatch(ComponentParameters* params, Handle storage) {
  if (params == nullptr) return paramErr;
  const SelectorEntry* entry = FindEntry(params->what);
  if (!IsImplemented(entry)) return badComponentSelector;
  if (entry->handler == kAcceptedWithoutHandler) return noErr;
  if (entry->layout == 0) return badComponentSelector;
  return CallComponentFunctionWithStorageProcInfo(storage, params, entry->handler, entry->layout);
}

ComponentResult OrvidOpen(Handle /*storage*/, ComponentInstance self) {
  SetUpLogging();
  ORVID_LOG_F(LS_VERBOSE);

  // The gates return before any storage exists.
  if (!MayWeRun()) {
    ORVID_LOG_F(LS_ERROR) << "Not an allowed process!";
    return videoOutputInUseErr;
  }
  SInt32 version = 0;
  if (Gestalt(gestaltSystemVersion, &version) != noErr || version < kLowestSystemVersion) {
    ORVID_LOG_F(LS_ERROR) << "Unsupported OS version!";
    return genericFailureErr;
  }
  // The count includes the instance being opened.
  if (CountComponentInstances(reinterpret_cast<Component>(self)) >= 2) {
    ORVID_LOG_F(LS_ERROR) << "More than one Orvid is running!";
    return videoOutputInUseErr;
  }

  const ComponentResult result = BuildInstance(self);
  ORVID_LOG_F(LS_VERBOSE) << "Returned " << result;
  return result;
}

ComponentResult OrvidClose(Handle storage, ComponentInstance /*self*/) {
  ORVID_LOG_F(LS_VERBOSE);
  if (storage != nullptr) {
    OrvidInstance* instance = Instance(storage);
    delete[] instance->frameBuffer;
    instance->frameBuffer = nullptr;
    if (instance->mutex != nullptr) {
      instance->mutex->Close();
      delete instance->mutex;
      instance->mutex = nullptr;
    }
    if (instance->sharedMemory != nullptr) {
      // The last process to close removes the segment and its key file.
      instance->sharedMemory->Close();
      delete instance->sharedMemory;
      instance->sharedMemory = nullptr;
    }
    if (instance->imageDescription != nullptr) {
      DisposeHandle(reinterpret_cast<Handle>(instance->imageDescription));
      instance->imageDescription = nullptr;
    }
    DisposeHandle(storage);
  }
  // The level and the timestamps stay as Open set them; only the file goes.
  LogMessage::LogToStream(nullptr, lumen_base::LS_NONE);
  return noErr;
}

ComponentResult OrvidCanDo(Handle /*storage*/, SInt16 selector) {
  return IsImplemented(FindEntry(selector)) ? 1 : 0;
}

ComponentResult OrvidVersion(Handle storage) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  return kVersionAndRevision;
}
