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
//  - Out-parameters: a handler writes its answers only through pointers the
//    host gives; a null one where an answer is due is refused with
//    qtParamErr (-2202), after the entry line, and nothing is written.
//    OrvidCompressDone's similarity byte and time record may be null.
//  - Logging: every line starts with "Orvid 0: "; a handler's lines go on
//    with the handler's name and ": ". Open sets the whole process's
//    logging from the agent's preferences; Close removes the log file.
//  - Threading: the component starts no thread and takes no lock of its own;
//    the host calls one instance one call at a time. The only lock shared
//    with the producer is the named mutex.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "base/timeutils.h"
#include "orvid/framepoll.h"
#include "platform/cfstring.h"
#include "platform/components.h"
#include "platform/gestalt.h"
#include "platform/imagedescription.h"
#include "platform/memory.h"
#include "platform/preferences.h"
#include "platform/processes.h"
#include "platform/status.h"
#include "platform/timebase.h"
#include "platform/videodigitizer.h"
#include "sharedmem/sharedframearea.h"
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

// Geometry and inputs.
ComponentResult OrvidGetMaxSrcRect(Handle storage, SInt16 inputStd, Rect* maxSrcRectOut);
ComponentResult OrvidGetActiveSrcRect(Handle storage, SInt16 inputStd, Rect* activeSrcRect);
ComponentResult OrvidSetDigitizerRect(Handle storage, Rect* digitizerRect);
ComponentResult OrvidGetDigitizerRect(Handle storage, Rect* digitizerRect);
ComponentResult OrvidGetVBlankRect(Handle storage, SInt16 inputStd, Rect* vBlankRect);
ComponentResult OrvidGetDigitizerInfo(Handle storage, DigitizerInfo* info);
ComponentResult OrvidGetCurrentFlags(Handle storage, UInt32* inputCurrentFlag,
                                     UInt32* outputCurrentFlag);
ComponentResult OrvidGetNumberOfInputs(Handle storage, SInt16* inputs);
ComponentResult OrvidGetInputFormat(Handle storage, SInt16 input, SInt16* format);
ComponentResult OrvidSetInput(Handle storage, SInt16 input);
ComponentResult OrvidGetInput(Handle storage, SInt16* input);
ComponentResult OrvidSetInputStandard(Handle storage, SInt16 inputStandard);
ComponentResult OrvidGetInputName(Handle storage, SInt32 videoInput, StringPtr name);
ComponentResult OrvidGetDeviceNameAndFlags(Handle storage, StringPtr outName, UInt32* outNameFlags);

// Frame delivery.
ComponentResult OrvidSetCompression(Handle storage, OSType compressType, SInt16 depth, Rect* bounds,
                                    CodecQ spatialQuality, CodecQ temporalQuality,
                                    SInt32 keyFrameRate);
ComponentResult OrvidCompressOneFrameAsync(Handle storage);
ComponentResult OrvidCompressDone(Handle storage, Boolean* done, Ptr* theData, long* dataSize,
                                  UInt8* similarity, TimeRecord* t);
ComponentResult OrvidReleaseCompressBuffer(Handle storage, Ptr bufferAddr);
ComponentResult OrvidGetImageDescription(Handle storage, ImageDescriptionHandle desc);
ComponentResult OrvidResetCompressSequence(Handle storage);
ComponentResult OrvidSetCompressionOnOff(Handle storage, Boolean state);
ComponentResult OrvidGetCompressionTypes(Handle storage, VDCompressionListHandle h);
ComponentResult OrvidSetTimeBase(Handle storage, TimeBase t);
ComponentResult OrvidSetFrameRate(Handle storage, Fixed framesPerSecond);
ComponentResult OrvidGetPreferredTimeScale(Handle storage, TimeScale* preferred);

// Capture state.
ComponentResult OrvidCaptureStateChanging(Handle storage, UInt32 inStateFlags);

}  // extern "C"

const double Quorvex_Camera_Adapter_0VersionNumber = 99.99;
const unsigned char Quorvex_Camera_Adapter_0VersionString[] =
    "@(#)PROGRAM:Quorvex Camera Adapter 0  PROJECT:mossreed-99.99.99.455\n";

namespace {

// ---------------------------------------------------------------------------
// Constants.

const char kOrvidTag[] = "Orvid 0: ";

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
constexpr size_t kFrameBufferBytes = tessel::kFrameDataBytes;
constexpr unsigned long kSharedAreaBytes = tessel::kSharedFrameAreaBytes;  // 0x70900

// The frame and staging buffers start on a cache line: the scaler's 32-byte
// stores into a buffer that does not (a large allocation lands 16 bytes past
// a page) straddle two lines every other time, which makes a scaled frame
// up to half again as slow.
constexpr std::align_val_t kFrameBufferAlignment{64};

UInt8* NewFrameBuffer(size_t bytes) {
  return static_cast<UInt8*>(::operator new[](bytes, kFrameBufferAlignment, std::nothrow));
}

void DeleteFrameBuffer(UInt8* buffer) { ::operator delete[](buffer, kFrameBufferAlignment); }

// How often a polling camera checks that its semaphore and segment are still
// the ones their names lead to.
constexpr int kTransportCheckMs = 1000;

constexpr OSType kCodecType = 0x6A343230;  // 'j420'
constexpr SInt32 kVendor = 0x71727678;     // 'qrvx'
constexpr CodecQ kLosslessQuality = 0x400;
constexpr Fixed k72Dpi = 0x00480000;
constexpr SInt16 kNamesListId = 200;
constexpr SInt16 kDeviceNameIndex = 1;
constexpr SInt16 kFormatNameIndex = 2;
constexpr SInt16 kOutputWidth = 320;
constexpr SInt16 kOutputHeight = 240;

// What the digitizer says it is: one colour YUV component input that takes
// NTSC and PAL and always has a signal; compressed 32-bit output only, which
// it can shrink, handed out without needing a copy.
constexpr UInt32 kInputCapabilityFlags =
    digiInDoesNTSC | digiInDoesPAL | digiInDoesComponent | digiInDoesColor;
constexpr UInt32 kInputCurrentFlags = kInputCapabilityFlags | digiInSignalLock;
constexpr UInt32 kOutputFlags = digiOutDoes32 | digiOutDoesShrink | digiOutDoesCompress |
                                digiOutDoesCompressOnly | digiOutDoesNotNeedCopyOfCompressData;
static_assert(kInputCapabilityFlags == 0x00001403);
static_assert(kInputCurrentFlags == 0x80001403);
static_assert(kOutputFlags == 0x98000120);
// Neither flag word can be all ones, which marks flags not yet reported.
constexpr UInt32 kFlagsNotReported = 0xFFFFFFFF;

// Time stamps are in units of 1/3000 s.
constexpr TimeScale kPreferredTimeScale = 3000;
constexpr Fixed kThirtyFramesPerSecond = 0x001E0000;

// A poll that finds no frame sleeps this long, which paces a host that polls
// in a loop to about 200 looks into the shared area a second.
constexpr useconds_t kIdlePollMicroseconds = 5000;

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
  TimeBase timeBase;  // the host's; not owned
  UInt8* frameBuffer;
  // Where a frame of another size is copied under the lock, to be scaled
  // after it is released.
  UInt8* stagingBuffer;
  // When the transport is next checked for objects removed behind our back.
  timespec nextTransportCheck;
  // The last counter looked at, and whether the buffer holds no frame of
  // the current size (from Open, and from a change of the digitizer's size,
  // until a frame has been taken).
  orvid::PollState poll;
  tessel::Mutex* mutex;
  tessel::SharedMemory* sharedMemory;
};

static_assert(std::is_trivial_v<OrvidInstance>, "the record lives in a zero-filled handle");

// The record behind a storage handle. The handle is never resized, so the
// pointer stays valid until the handle is disposed of.
OrvidInstance* Instance(Handle storage) { return reinterpret_cast<OrvidInstance*>(*storage); }

// ---------------------------------------------------------------------------
// Process-wide state.

// True from the moment OrvidCompressDone hands out a frame until the host
// gives it back with OrvidReleaseCompressBuffer (or closes the instance whose
// buffer it is); no frame is handed out meanwhile. Shared by every instance
// of the process, of which there is at most one.
bool compressBufferOutstanding = false;

// The largest source rectangle: the fixed 320 x 240 picture.
const Rect maxSrcRect = {0, 0, kOutputHeight, kOutputWidth};

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
  // Layout codes: result 4 bytes (0x30), then two bits a parameter from bit
  // 6, the storage first: 1 one byte, 2 two bytes, 3 four bytes.
  const struct {
    SInt16 selector;
    SelectorEntry entry;
  } handlers[] = {
      {kVDGetMaxSrcRectSelect, {Slot(OrvidGetMaxSrcRect), 0xEF0}},
      {kVDGetActiveSrcRectSelect, {Slot(OrvidGetActiveSrcRect), 0xEF0}},
      {kVDSetDigitizerRectSelect, {Slot(OrvidSetDigitizerRect), 0x3F0}},
      {kVDGetDigitizerRectSelect, {Slot(OrvidGetDigitizerRect), 0x3F0}},
      {kVDGetVBlankRectSelect, {Slot(OrvidGetVBlankRect), 0xEF0}},
      {kVDGetDigitizerInfoSelect, {Slot(OrvidGetDigitizerInfo), 0x3F0}},
      {kVDGetCurrentFlagsSelect, {Slot(OrvidGetCurrentFlags), 0xFF0}},
      {kVDGetNumberOfInputsSelect, {Slot(OrvidGetNumberOfInputs), 0x3F0}},
      {kVDGetInputFormatSelect, {Slot(OrvidGetInputFormat), 0xEF0}},
      {kVDSetInputSelect, {Slot(OrvidSetInput), 0x2F0}},
      {kVDGetInputSelect, {Slot(OrvidGetInput), 0x3F0}},
      {kVDSetInputStandardSelect, {Slot(OrvidSetInputStandard), 0x2F0}},
      {kVDSetCompressionSelect, {Slot(OrvidSetCompression), 0xFFBF0}},
      {kVDCompressOneFrameAsyncSelect, {Slot(OrvidCompressOneFrameAsync), 0xF0}},
      {kVDCompressDoneSelect, {Slot(OrvidCompressDone), 0x3FFF0}},
      {kVDReleaseCompressBufferSelect, {Slot(OrvidReleaseCompressBuffer), 0x3F0}},
      {kVDGetImageDescriptionSelect, {Slot(OrvidGetImageDescription), 0x3F0}},
      {kVDResetCompressSequenceSelect, {Slot(OrvidResetCompressSequence), 0xF0}},
      {kVDSetCompressionOnOffSelect, {Slot(OrvidSetCompressionOnOff), 0x1F0}},
      {kVDGetCompressionTypesSelect, {Slot(OrvidGetCompressionTypes), 0x3F0}},
      {kVDSetTimeBaseSelect, {Slot(OrvidSetTimeBase), 0x3F0}},
      {kVDSetFrameRateSelect, {Slot(OrvidSetFrameRate), 0x3F0}},
      {kVDGetPreferredTimeScaleSelect, {Slot(OrvidGetPreferredTimeScale), 0x3F0}},
      {kVDGetInputNameSelect, {Slot(OrvidGetInputName), 0xFF0}},
      {kVDGetDeviceNameAndFlagsSelect, {Slot(OrvidGetDeviceNameAndFlags), 0xFF0}},
      {kVDCaptureStateChangingSelect, {Slot(OrvidCaptureStateChanging), 0x3F0}},
  };
  for (const auto& handler : handlers) table[handler.selector] = handler.entry;
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

// Opens the log file for writing, emptied. Null when it cannot be opened;
// *refusal then says why when it was refused rather than missing. The path comes
// from the user's preferences but may point into a shared folder such as
// /tmp, where someone else can plant a link (to a file of the user's, which
// would be emptied) or a file of their own (which would receive the log):
// so no link is followed, only a regular file of this user is taken, and a
// new one is readable by its owner alone, whatever the umask.
FILE* OpenOwnLogFile(const std::string& path, std::string* refusal) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (errno == ELOOP) *refusal = "it is a symbolic link";
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    // Nothing to say: as for a file that cannot be opened.
  } else if (!S_ISREG(info.st_mode)) {
    *refusal = "it is not a regular file";
  } else if (info.st_uid != geteuid()) {
    *refusal = "it belongs to uid " + std::to_string(info.st_uid) + ", not to this user";
  } else if (fcntl(fd, F_SETFL, 0) == 0 && ftruncate(fd, 0) == 0) {
    if (FILE* file = fdopen(fd, "w")) return file;
  }
  close(fd);
  return nullptr;
}

// Sets the whole process's logging from the agent's preferences: the level
// for standard error and the log file, timestamps on, and the file (the
// preference's path with "0" appended, emptied now). A file that cannot be
// opened is silently left out; one that is refused (a link, another user's
// file, not a regular file) is left out with a warning.
void SetUpLogging() {
  const std::string level_text = GetPreferencesStringValue(kLogLevelKey);
  const int level =
      level_text.empty() ? lumen_base::LS_INFO : LogMessage::ParseLogSeverity(level_text);
  std::string path = GetPreferencesStringValue(kLogPathKey);
  LogMessage::LogTimestamps(true);
  LogMessage::LogToDebug(level);
  if (path.empty()) return;
  path += "0";
  std::string refusal;
  FILE* handle = OpenOwnLogFile(path, &refusal);
  if (handle == nullptr) {
    if (!refusal.empty()) ORVID_LOG(LS_WARNING) << "Not logging to " << path << ": " << refusal;
    return;
  }
  auto file = std::make_unique<lumen_base::FileStream>();
  file->Adopt(handle);
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

  lumen_base::strcpyn(instance->name, sizeof(instance->name), tessel::kDeviceName);
  ORVID_LOG(LS_INFO) << instance->name;
  instance->digitizerRect = {0, 0, kOutputHeight, kOutputWidth};

  const OSStatus description = BuildOutputImageDescription(instance);
  if (description != noErr) return description;

  instance->poll = orvid::FreshPollState();

  // Both are attempted, so that the log tells about each.
  instance->mutex = tessel::Mutex::Create(instance->name);
  if (instance->mutex == nullptr) ORVID_LOG(LS_ERROR) << "OrvidOpen: No mutex!";
  instance->sharedMemory = tessel::SharedMemory::Create(instance->name, kSharedAreaBytes);
  if (instance->sharedMemory == nullptr) ORVID_LOG(LS_ERROR) << "OrvidOpen: No shared memory!";
  if (instance->mutex == nullptr || instance->sharedMemory == nullptr) return openErr;

  instance->frameBuffer = NewFrameBuffer(kFrameBufferBytes);
  if (instance->frameBuffer == nullptr) return memFullErr;
  instance->stagingBuffer = NewFrameBuffer(tessel::kFrameDataBytes);
  if (instance->stagingBuffer == nullptr) return memFullErr;
  instance->nextTransportCheck = lumen_base::MonotonicDeadline(kTransportCheckMs);
  instance->inputCurrentFlags = kFlagsNotReported;
  instance->outputCurrentFlags = kFlagsNotReported;
  return noErr;
}

// Closes the mutex and detaches the segment; the last process to close
// removes the segment and its key file.
void CloseTransport(OrvidInstance* instance) {
  if (instance->mutex != nullptr) {
    instance->mutex->Close();
    delete instance->mutex;
    instance->mutex = nullptr;
  }
  if (instance->sharedMemory != nullptr) {
    instance->sharedMemory->Close();
    delete instance->sharedMemory;
    instance->sharedMemory = nullptr;
  }
}

// Once a second: when the semaphore or the segment we use was removed
// (ipcrm, a /tmp cleaner taking the key file), a producer that starts or
// re-creates them now meets nobody here. Say so and open the names afresh,
// so that frames flow again; the counter rule starts over with them.
void CheckTransport(OrvidInstance* instance) {
  const timespec now = lumen_base::MonotonicNow();
  if (!lumen_base::MonotonicHasPassed(instance->nextTransportCheck, now)) return;
  instance->nextTransportCheck = lumen_base::MonotonicAfter(now, kTransportCheckMs);
  std::string why;
  if (instance->mutex != nullptr && instance->sharedMemory != nullptr &&
      instance->mutex->StillShared(&why) && instance->sharedMemory->StillShared(&why)) {
    return;
  }
  if (!why.empty()) {
    ORVID_LOG(LS_WARNING) << "The frame transport is gone: " << why << "; opening it again";
  }
  CloseTransport(instance);
  std::string error;
  instance->mutex = tessel::Mutex::Create(instance->name, nullptr, &error);
  if (instance->mutex != nullptr) {
    instance->sharedMemory =
        tessel::SharedMemory::Create(instance->name, kSharedAreaBytes, nullptr, &error);
  }
  if (instance->mutex == nullptr || instance->sharedMemory == nullptr) {
    ORVID_LOG(LS_ERROR) << "Cannot open the frame transport again: " << error;
    CloseTransport(instance);
    return;
  }
  instance->poll = orvid::FreshPollState();
}

// ---------------------------------------------------------------------------
// Geometry.

// "{left, top, right, bottom}", the form of the rectangle entry lines.
std::string DescribeRect(const Rect& rect) {
  return "{" + std::to_string(rect.left) + ", " + std::to_string(rect.top) + ", " +
         std::to_string(rect.right) + ", " + std::to_string(rect.bottom) + "}";
}

// True when frames of this digitizer rectangle can be delivered: it starts
// at the origin, it is at least one pixel each way (the scaler divides by
// its size), and its 4:2:0 frame fits the output buffer.
bool IsDeliverableRect(const Rect& rect) {
  if (rect.top != 0 || rect.left != 0) return false;
  if (rect.bottom <= 0 || rect.right <= 0) return false;
  return tessel::PlanarFrameBytes(rect.right, rect.bottom) <= kFrameBufferBytes;
}

// ---------------------------------------------------------------------------
// Frame delivery.

// Takes a new frame from the shared area into the frame buffer, holding the
// named mutex for the copy (the rules are in orvid/framepoll.h). False when
// there is none, or when the mutex cannot be had in time.
bool TakeNewFrame(OrvidInstance* instance, UInt32* frame_size) {
  if (instance->frameBuffer == nullptr || instance->stagingBuffer == nullptr) return false;
  CheckTransport(instance);
  if (instance->mutex == nullptr || instance->sharedMemory == nullptr) return false;
  const auto* area =
      static_cast<const tessel::SharedFrameArea*>(instance->sharedMemory->GetAddress());
  if (area == nullptr) return false;
  const orvid::PollTarget target = {
      instance->frameBuffer, static_cast<uint32_t>(instance->digitizerRect.right),
      static_cast<uint32_t>(instance->digitizerRect.bottom), instance->stagingBuffer};
  orvid::FrameHeader header = {};
  switch (orvid::TakeNewFrame(instance->mutex, *area, target, &instance->poll, &header)) {
    case orvid::PollOutcome::kTaken:
      *frame_size = header.frame_size;
      return true;
    case orvid::PollOutcome::kMalformed:
      // Remembered all the same, so that one bad header costs one line, not
      // one line every poll.
      ORVID_LOG(LS_WARNING) << "OrvidCompressDone: Ignoring a malformed frame: frameSize="
                            << header.frame_size << ", width=" << header.width
                            << ", height=" << header.height;
      return false;
    case orvid::PollOutcome::kTooCostly:
      ORVID_LOG(LS_WARNING) << "OrvidCompressDone: Ignoring a frame of " << header.width << "x"
                            << header.height << ": scaling it to " << instance->digitizerRect.right
                            << "x" << instance->digitizerRect.bottom << " would cost too much";
      return false;
    case orvid::PollOutcome::kNothingNew:
    case orvid::PollOutcome::kLockBusy:
      return false;
  }
  return false;
}

// Stamps a frame with the time of the host's time base in units of
// 1/3000 s. Before the host has set a time base the stamp is 0 in that scale,
// with no base.
void StampFrame(const OrvidInstance* instance, TimeRecord* t) {
  if (t == nullptr) return;
  if (instance->timeBase == nullptr) {
    *t = {0, kPreferredTimeScale, nullptr};
    return;
  }
  GetTimeBaseTime(instance->timeBase, kPreferredTimeScale, t);
}

// The names of the capture state flags, bit 0 first.
const char* const kCaptureStateFlagNames[] = {
    "vdFlagCaptureStarting",         "vdFlagCaptureStopping",
    "vdFlagCaptureIsForPreview",     "vdFlagCaptureIsForRecord",
    "vdFlagCaptureLowLatency",       "vdFlagCaptureAlwaysUseTimeBase",
    "vdFlagCaptureSetSettingsBegin", "vdFlagCaptureSetSettingsEnd",
};

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
    // This is the process's only instance, so a buffer still handed out is
    // this one's, and it is going away: left set, the flag would keep every
    // later instance of the process from delivering a frame.
    compressBufferOutstanding = false;
    DeleteFrameBuffer(instance->frameBuffer);
    instance->frameBuffer = nullptr;
    DeleteFrameBuffer(instance->stagingBuffer);
    instance->stagingBuffer = nullptr;
    CloseTransport(instance);
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

// ---------------------------------------------------------------------------
// Geometry and inputs.

ComponentResult OrvidGetMaxSrcRect(Handle storage, SInt16 /*inputStd*/, Rect* maxSrcRectOut) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (maxSrcRectOut == nullptr) return qtParamErr;
  *maxSrcRectOut = maxSrcRect;
  return noErr;
}

ComponentResult OrvidGetActiveSrcRect(Handle storage, SInt16 /*inputStd*/, Rect* activeSrcRect) {
  if (storage == nullptr) return badCallOrderErr;
  const OrvidInstance* instance = Instance(storage);
  ORVID_LOG_F(LS_VERBOSE) << DescribeRect(instance->digitizerRect);
  if (activeSrcRect == nullptr) return qtParamErr;
  *activeSrcRect = instance->digitizerRect;
  return noErr;
}

ComponentResult OrvidSetDigitizerRect(Handle storage, Rect* digitizerRect) {
  if (storage == nullptr) return badCallOrderErr;
  if (digitizerRect == nullptr) {
    ORVID_LOG_F(LS_VERBOSE);
    return qtParamErr;
  }
  // The entry line shows what was asked for, also when it is refused.
  ORVID_LOG_F(LS_VERBOSE) << DescribeRect(*digitizerRect);
  if (!IsDeliverableRect(*digitizerRect)) return qtParamErr;
  OrvidInstance* instance = Instance(storage);
  if (digitizerRect->right != instance->digitizerRect.right ||
      digitizerRect->bottom != instance->digitizerRect.bottom) {
    instance->poll.buffer_stale = true;
  }
  instance->digitizerRect = *digitizerRect;
  return noErr;
}

ComponentResult OrvidGetDigitizerRect(Handle storage, Rect* digitizerRect) {
  if (storage == nullptr) return badCallOrderErr;
  const OrvidInstance* instance = Instance(storage);
  ORVID_LOG_F(LS_VERBOSE) << instance->digitizerRect.right << "x" << instance->digitizerRect.bottom;
  if (digitizerRect == nullptr) return qtParamErr;
  *digitizerRect = instance->digitizerRect;
  return noErr;
}

ComponentResult OrvidGetVBlankRect(Handle storage, SInt16 /*inputStd*/, Rect* vBlankRect) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (vBlankRect == nullptr) return qtParamErr;
  *vBlankRect = {0, 0, 0, 0};
  return noErr;
}

ComponentResult OrvidGetDigitizerInfo(Handle storage, DigitizerInfo* info) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (info == nullptr) return qtParamErr;
  memset(info, 0, sizeof(*info));
  info->vdigType = vdTypeBasic;
  info->inputCapabilityFlags = kInputCapabilityFlags;
  info->outputCapabilityFlags = kOutputFlags;
  info->inputCurrentFlags = kInputCurrentFlags;
  info->outputCurrentFlags = kOutputFlags;
  info->minDestHeight = kOutputHeight;
  info->minDestWidth = kOutputWidth;
  info->maxDestHeight = kOutputHeight;
  info->maxDestWidth = kOutputWidth;
  OrvidInstance* instance = Instance(storage);
  instance->inputCurrentFlags = kInputCurrentFlags;
  instance->outputCurrentFlags = kOutputFlags;
  return noErr;
}

ComponentResult OrvidGetCurrentFlags(Handle storage, UInt32* inputCurrentFlag,
                                     UInt32* outputCurrentFlag) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  const OrvidInstance* instance = Instance(storage);
  // The host must ask for the digitizer information first.
  if (instance->inputCurrentFlags == kFlagsNotReported) return badCallOrderErr;
  if (inputCurrentFlag == nullptr || outputCurrentFlag == nullptr) return qtParamErr;
  *inputCurrentFlag = instance->inputCurrentFlags;
  *outputCurrentFlag = instance->outputCurrentFlags;
  return noErr;
}

ComponentResult OrvidGetNumberOfInputs(Handle storage, SInt16* inputs) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (inputs == nullptr) return qtParamErr;
  *inputs = 0;  // the highest input number: there is only input 0
  return noErr;
}

ComponentResult OrvidGetInputFormat(Handle storage, SInt16 input, SInt16* format) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (input != 0 || format == nullptr) return qtParamErr;
  *format = yuvComponentIn;
  return noErr;
}

ComponentResult OrvidSetInput(Handle storage, SInt16 input) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (input != 0) return qtParamErr;
  return noErr;
}

ComponentResult OrvidGetInput(Handle storage, SInt16* input) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (input == nullptr) return qtParamErr;
  *input = 0;
  return noErr;
}

ComponentResult OrvidSetInputStandard(Handle storage, SInt16 inputStandard) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  // The component manager sign-extends two-byte parameters; the standards
  // are unsigned codes.
  const UInt16 standard = static_cast<UInt16>(inputStandard);
  if (standard == ntscIn || standard == palIn || standard == ntscReallyIn) return noErr;
  return qtParamErr;
}

ComponentResult OrvidGetInputName(Handle storage, SInt32 videoInput, StringPtr name) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (videoInput != 0 || name == nullptr) return qtParamErr;
  c2pstrcpy(name, Instance(storage)->name);
  return noErr;
}

ComponentResult OrvidGetDeviceNameAndFlags(Handle storage, StringPtr outName,
                                           UInt32* outNameFlags) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (outNameFlags == nullptr) return qtParamErr;
  const OSErr lookup = GetComponentIndString(reinterpret_cast<Component>(Instance(storage)->self),
                                             outName, kNamesListId, kDeviceNameIndex);
  if (lookup != noErr) return lookup;
  *outNameFlags = vdDeviceFlagShowInputsAsDevices;
  return noErr;
}

// ---------------------------------------------------------------------------
// Frame delivery.

ComponentResult OrvidSetCompression(Handle storage, OSType compressType, SInt16 depth, Rect* bounds,
                                    CodecQ spatialQuality, CodecQ temporalQuality,
                                    SInt32 keyFrameRate) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (compressType == 0) {
    // "Any type": the component's own, at its own quality.
    spatialQuality = kLosslessQuality;
    temporalQuality = 0;
    keyFrameRate = 0;
  } else if (compressType != kCodecType) {
    return noCodecErr;
  }
  // Recorded only: the frames handed out do not depend on these.
  OrvidInstance* instance = Instance(storage);
  instance->compressionDepth = depth == 0 ? 24 : depth;
  if (bounds != nullptr) instance->compressionBounds = *bounds;
  instance->spatialQuality = spatialQuality;
  instance->temporalQuality = temporalQuality;
  instance->keyFrameRate = keyFrameRate;
  return noErr;
}

ComponentResult OrvidCompressOneFrameAsync(Handle storage) {
  // Frames are looked for only when the host polls.
  if (storage == nullptr) return badCallOrderErr;
  return noErr;
}

ComponentResult OrvidCompressDone(Handle storage, Boolean* done, Ptr* theData, long* dataSize,
                                  UInt8* similarity, TimeRecord* t) {
  if (storage == nullptr) return badCallOrderErr;
  if (done == nullptr || theData == nullptr || dataSize == nullptr) return qtParamErr;
  *done = 0;
  *theData = nullptr;
  *dataSize = 0;
  if (similarity != nullptr) *similarity = 0;

  OrvidInstance* instance = Instance(storage);
  UInt32 frame_size = 0;
  if (compressBufferOutstanding || !TakeNewFrame(instance, &frame_size)) {
    // Pace a host that polls in a loop; the mutex is free by now.
    usleep(kIdlePollMicroseconds);
    return noErr;
  }
  compressBufferOutstanding = true;
  *done = 1;
  *theData = reinterpret_cast<Ptr>(instance->frameBuffer);
  // The producer's size, also when the frame was scaled to another one.
  *dataSize = static_cast<long>(frame_size);
  StampFrame(instance, t);
  return noErr;
}

ComponentResult OrvidReleaseCompressBuffer(Handle storage, Ptr /*bufferAddr*/) {
  if (storage == nullptr) return badCallOrderErr;
  compressBufferOutstanding = false;
  return noErr;
}

ComponentResult OrvidGetImageDescription(Handle storage, ImageDescriptionHandle desc) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  const ImageDescriptionHandle own = Instance(storage)->imageDescription;
  if (own == nullptr) return badCallOrderErr;
  // The whole handle: the record and the property atoms behind it.
  const Size size = GetHandleSize(reinterpret_cast<Handle>(own));
  SetHandleSize(reinterpret_cast<Handle>(desc), size);
  const OSErr resized = MemError();
  if (resized != noErr) return resized;
  memmove(*desc, *own, static_cast<size_t>(size));
  return noErr;
}

ComponentResult OrvidResetCompressSequence(Handle storage) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  return noErr;  // every frame stands alone: there is no sequence
}

ComponentResult OrvidSetCompressionOnOff(Handle storage, Boolean state) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  // The component only delivers compressed frames.
  if (!state) return digiUnimpErr;
  return noErr;
}

ComponentResult OrvidGetCompressionTypes(Handle storage, VDCompressionListHandle h) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  const ImageDescriptionHandle description = Instance(storage)->imageDescription;
  if (description == nullptr) return badCallOrderErr;
  SetHandleSize(reinterpret_cast<Handle>(h), sizeof(VDCompressionList));
  const OSErr resized = MemError();
  if (resized != noErr) return resized;
  VDCompressionList* entry = *h;
  memset(entry, 0, sizeof(*entry));
  entry->codec = 0;
  entry->cType = kCodecType;
  PLstrcpy(entry->typeName, (*description)->name);
  PLstrcpy(entry->name, (*description)->name);
  entry->formatFlags = codecInfoDepth24;
  entry->compressFlags = codecInfoDoes32;
  entry->reserved = 0;
  return noErr;
}

ComponentResult OrvidSetTimeBase(Handle storage, TimeBase t) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (t == nullptr) return qtParamErr;
  Instance(storage)->timeBase = t;
  return noErr;
}

ComponentResult OrvidSetFrameRate(Handle storage, Fixed framesPerSecond) {
  if (storage == nullptr) return badCallOrderErr;
  // The integer part, then the low 16 bits as a plain number (not a
  // decimal fraction): 0x001DF852 is written 29.63570.
  ORVID_LOG_F(LS_VERBOSE) << (framesPerSecond >> 16) << "."
                          << static_cast<unsigned>(framesPerSecond & 0xFFFF);
  // Recorded only: nothing paces the frames by it.
  if (framesPerSecond != 0 && framesPerSecond != kThirtyFramesPerSecond) return qtParamErr;
  Instance(storage)->frameRate = framesPerSecond == 0 ? kThirtyFramesPerSecond : framesPerSecond;
  return noErr;
}

ComponentResult OrvidGetPreferredTimeScale(Handle storage, TimeScale* preferred) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  if (preferred == nullptr) return qtParamErr;
  *preferred = kPreferredTimeScale;
  return noErr;
}

// ---------------------------------------------------------------------------
// Capture state.

ComponentResult OrvidCaptureStateChanging(Handle storage, UInt32 inStateFlags) {
  if (storage == nullptr) return badCallOrderErr;
  ORVID_LOG_F(LS_VERBOSE);
  // Frames are delivered whenever the host polls, so there is nothing to
  // start or stop; the flags are only told.
  for (size_t bit = 0; bit < std::size(kCaptureStateFlagNames); ++bit) {
    if ((inStateFlags & (1u << bit)) != 0) ORVID_LOG(LS_VERBOSE) << kCaptureStateFlagNames[bit];
  }
  Instance(storage)->captureStateFlags = inStateFlags;
  return noErr;
}
