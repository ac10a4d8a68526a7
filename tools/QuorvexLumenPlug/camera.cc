#include "tools/QuorvexLumenPlug/camera.h"

#include <stdint.h>
#include <stdio.h>

#include "sharedmem/sharedframearea.h"
#include "sharedmem/sharedmem.h"
#include "platform/imagedescription.h"
#include "platform/memory.h"
#include "platform/processes.h"

namespace lumenplug {

namespace {

constexpr OSType kCodecType = 0x6A343230;  // 'j420'
constexpr CodecQ kNormalQuality = 0x200;
constexpr Fixed kThirtyFramesPerSecond = 0x001E0000;

// The names of the bits set in `flags`, from a table of bit and name.
struct FlagName {
  UInt32 bit;
  const char* name;
};

template <size_t N>
std::string DescribeFlags(UInt32 flags, const FlagName (&names)[N]) {
  std::string text = Hex32(flags);
  std::string known;
  for (const FlagName& flag : names) {
    if ((flags & flag.bit) == 0) continue;
    known += (known.empty() ? "" : ", ") + std::string(flag.name);
  }
  return known.empty() ? text : text + " (" + known + ")";
}

const FlagName kInputFlagNames[] = {
    {digiInDoesNTSC, "NTSC"},    {digiInDoesPAL, "PAL"},
    {digiInDoesSECAM, "SECAM"},  {digiInDoesComponent, "component video"},
    {digiInDoesColor, "colour"}, {digiInSignalLock, "signal locked"},
};

const FlagName kOutputFlagNames[] = {
    {digiOutDoes32, "32-bit"},
    {digiOutDoesShrink, "shrinks"},
    {digiOutDoesCompress, "compresses"},
    {digiOutDoesCompressOnly, "compressed frames only"},
    {digiOutDoesNotNeedCopyOfCompressData, "no copy needed"},
};

// The registered camera of that name; null when there is none.
Component FindCamera(const std::string& device) {
  ComponentDescription looking = {videoDigitizerComponentType, 0, 0, 0, 0};
  Handle name = NewHandle(0);
  Component camera = nullptr;
  while ((camera = FindNextComponent(camera, &looking)) != nullptr) {
    if (GetComponentInfo(camera, nullptr, name, nullptr, nullptr) != noErr) continue;
    if (PlatformPascalToString(reinterpret_cast<ConstStr255Param>(*name)) == device) break;
  }
  DisposeHandle(name);
  return camera;
}

// True for the calls of the frame cycle, which --verbose does not tell one
// by one (every frame's time stamp is told instead).
bool IsFrameCycleCall(SInt16 selector) {
  return selector == kVDCompressOneFrameAsyncSelect || selector == kVDCompressDoneSelect ||
         selector == kVDReleaseCompressBufferSelect;
}

// Why the camera may have refused to open, when this process can tell: it
// opens only in processes of a few names.
std::string RefusalHint(OSErr opened) {
  if (opened != videoOutputInUseErr) return "";
  std::string name;
  if (!PlatformGetCurrentProcessName(&name) || name == kAgentProcessName) return "";
  return std::string("; the camera opens only in its agent ") + kAgentProcessName +
         " and a few web browsers, and this process is named \"" + name + "\"";
}

}  // namespace

std::string FourCharCode(OSType code) {
  std::string text = "'";
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>(code >> shift);
    text += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text + "'";
}

std::string Hex32(UInt32 value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

// "-2090 (videoOutputInUseErr): <what it means>", or the bare number for a
// code the platform does not describe.
std::string DescribeStatus(OSStatus status) {
  const std::string number =
      status < -0x8000 ? Hex32(static_cast<UInt32>(status)) : std::to_string(status);
  const char* name = GetMacOSStatusErrorString(status);
  const char* comment = GetMacOSStatusCommentString(status);
  if (name == nullptr) return number + " (a status the platform does not name)";
  return number + " (" + name + ")" + (comment ? std::string(": ") + comment : "");
}

Camera::~Camera() {
  CloseComponent(instance_);
  DisposeTimeBase(time_base_);
}

bool Camera::DeliversFrames() const {
  return Implements(kVDCompressOneFrameAsyncSelect) && Implements(kVDCompressDoneSelect) &&
         Implements(kVDReleaseCompressBufferSelect);
}

bool Camera::Told(const char* name, SInt16 selector, ComponentResult result, std::string* error) {
  if (verbose_ && !IsFrameCycleCall(selector)) {
    fprintf(stderr, "%s: %s (selector %d): %s\n", tag_, name, selector,
            result == noErr ? "done" : DescribeStatus(result).c_str());
  }
  if (result == noErr) return true;
  *error = std::string("the camera refused ") + name + " (selector " + std::to_string(selector) +
           "): " + DescribeStatus(result);
  return false;
}

bool Camera::GiveTimeBase(std::string* error) {
  time_base_ = NewTimeBase();
  if (time_base_ == nullptr) {
    *error = "cannot make a time base: out of memory";
    return false;
  }
  return Call("OrvidSetTimeBase", kVDSetTimeBaseSelect, error, time_base_);
}

bool OpenCamera(const std::string& device, ComponentInstance* instance, std::string* error) {
  const Component camera = FindCamera(device);
  if (camera == nullptr) {
    *error = "no camera named \"" + device +
             "\" is installed (no 'vdig' component of that name was found)";
    return false;
  }
  const OSErr opened = OpenAComponent(camera, instance);
  if (opened != noErr) {
    *error = "the camera refused to open: " + DescribeStatus(opened) + RefusalHint(opened);
    // The camera logs why it could not share frames, but its log is off by
    // default: look for what can be seen from outside.
    const std::string sharing = tessel::DescribeSharingProblem(device);
    if (!sharing.empty()) *error += "; " + sharing;
    return false;
  }
  return true;
}

// Asks for the digitizer information, which also makes the camera report
// its current flags, and then for those flags.
bool ReadDigitizerInfo(Camera* camera, DigitizerInfo* info, UInt32* input_flags,
                       UInt32* output_flags, std::string* error) {
  *info = {};
  if (!camera->Call("OrvidGetDigitizerInfo", kVDGetDigitizerInfoSelect, error, info)) return false;
  return camera->Call("OrvidGetCurrentFlags", kVDGetCurrentFlagsSelect, error, input_flags,
                      output_flags);
}

void PrintDigitizerInfo(FILE* out, const char* prefix, const DigitizerInfo& info,
                        UInt32 input_flags, UInt32 output_flags) {
  fprintf(out, "%sinputs: %s\n", prefix,
          DescribeFlags(info.inputCapabilityFlags, kInputFlagNames).c_str());
  fprintf(out, "%soutput: %s\n", prefix,
          DescribeFlags(info.outputCapabilityFlags, kOutputFlagNames).c_str());
  fprintf(out, "%sframe sizes: %dx%d to %dx%d\n", prefix, info.minDestWidth, info.minDestHeight,
          info.maxDestWidth, info.maxDestHeight);
  fprintf(out, "%snow: input %s, output %s\n", prefix,
          DescribeFlags(input_flags, kInputFlagNames).c_str(),
          DescribeFlags(output_flags, kOutputFlagNames).c_str());
}

bool PrepareCamera(Camera* camera, const std::optional<std::pair<uint32_t, uint32_t>>& size,
                   uint32_t* width, uint32_t* height, std::string* error) {
  DigitizerInfo info;
  UInt32 input_flags = 0;
  UInt32 output_flags = 0;
  if (!ReadDigitizerInfo(camera, &info, &input_flags, &output_flags, error)) return false;
  if (camera->verbose())
    PrintDigitizerInfo(stderr, (std::string(camera->tag()) + ": ").c_str(), info, input_flags,
                       output_flags);
  // Frames are taken only as the camera's compressed ones.
  if ((info.outputCapabilityFlags & digiOutDoesCompress) == 0) {
    *error = "the camera does not deliver compressed frames (output flags " +
             DescribeFlags(info.outputCapabilityFlags, kOutputFlagNames) + ")";
    return false;
  }

  Rect bounds = {0, 0, 0, 0};
  if (!camera->Call("OrvidSetCompression", kVDSetCompressionSelect, error, kCodecType, SInt16{0},
                    &bounds, kNormalQuality, kNormalQuality, SInt32{0})) {
    return false;
  }
  Handle description = NewHandleClear(0);
  if (!camera->Call("OrvidGetImageDescription", kVDGetImageDescriptionSelect, error, description)) {
    DisposeHandle(description);
    return false;
  }
  if (GetHandleSize(description) < static_cast<Size>(sizeof(ImageDescription))) {
    DisposeHandle(description);
    *error = "the camera's image description is too short";
    return false;
  }
  const auto image = reinterpret_cast<ImageDescriptionHandle>(description);
  const OSType codec = (*image)->cType;
  const std::string format_name = PlatformPascalToString((*image)->name);
  SInt32 encoded_width = (*image)->width;
  SInt32 encoded_height = (*image)->height;
  // The encoded size, when the description carries it, is the one to trust.
  ICMImageDescriptionGetProperty(image, kQTPropertyClass_ImageDescription,
                                 kICMImageDescriptionPropertyID_EncodedWidth, sizeof(encoded_width),
                                 &encoded_width, nullptr);
  ICMImageDescriptionGetProperty(image, kQTPropertyClass_ImageDescription,
                                 kICMImageDescriptionPropertyID_EncodedHeight,
                                 sizeof(encoded_height), &encoded_height, nullptr);
  DisposeHandle(description);
  if (camera->verbose()) {
    fprintf(stderr, "%s: frames: %s \"%s\", %dx%d\n", camera->tag(), FourCharCode(codec).c_str(),
            format_name.c_str(), static_cast<int>(encoded_width), static_cast<int>(encoded_height));
  }
  if (codec != kCodecType) {
    *error = "the camera delivers " + FourCharCode(codec) + " frames; only 'j420' is understood";
    return false;
  }

  if (!camera->GiveTimeBase(error)) return false;
  if (!camera->Call("OrvidSetFrameRate", kVDSetFrameRateSelect, error, kThirtyFramesPerSecond)) {
    return false;
  }

  Rect digitizer = {0, 0, static_cast<int16_t>(encoded_height),
                    static_cast<int16_t>(encoded_width)};
  if (size) {
    digitizer.right = static_cast<int16_t>(size->first);
    digitizer.bottom = static_cast<int16_t>(size->second);
    if (!camera->Call("OrvidSetDigitizerRect", kVDSetDigitizerRectSelect, error, &digitizer)) {
      return false;
    }
  } else if (camera->Implements(kVDGetDigitizerRectSelect) &&
             !camera->Call("OrvidGetDigitizerRect", kVDGetDigitizerRectSelect, error, &digitizer)) {
    return false;
  }
  const uint64_t bytes = tessel::PlanarFrameBytes(static_cast<uint32_t>(digitizer.right),
                                                 static_cast<uint32_t>(digitizer.bottom));
  if (digitizer.right <= 0 || digitizer.bottom <= 0 || digitizer.top != 0 || digitizer.left != 0 ||
      bytes > tessel::kFrameDataBytes) {
    *error = "the camera reports an unusable frame size " + std::to_string(digitizer.right) + "x" +
             std::to_string(digitizer.bottom);
    return false;
  }
  *width = static_cast<uint32_t>(digitizer.right);
  *height = static_cast<uint32_t>(digitizer.bottom);
  return true;
}

bool IsDeliverableSize(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= INT16_MAX && height <= INT16_MAX &&
         tessel::PlanarFrameBytes(width, height) <= tessel::kFrameDataBytes;
}

bool SetFrameSize(Camera* camera, uint32_t width, uint32_t height, std::string* error) {
  Rect digitizer = {0, 0, static_cast<int16_t>(height), static_cast<int16_t>(width)};
  return camera->Call("OrvidSetDigitizerRect", kVDSetDigitizerRectSelect, error, &digitizer);
}

bool PollFrame(Camera* camera, PolledFrame* frame, std::string* error) {
  *frame = PolledFrame();
  if (!camera->Call("OrvidCompressOneFrameAsync", kVDCompressOneFrameAsyncSelect, error)) {
    return false;
  }
  Boolean ready = 0;
  UInt8 similarity = 0;
  // Scale 0: a record the camera leaves alone does not count as a stamp.
  if (!camera->Call("OrvidCompressDone", kVDCompressDoneSelect, error, &ready, &frame->data,
                    &frame->size, &similarity, &frame->stamp)) {
    return false;
  }
  frame->ready = ready && frame->data != nullptr;
  return true;
}

bool ReleaseFrame(Camera* camera, Ptr data, std::string* error) {
  return camera->Call("OrvidReleaseCompressBuffer", kVDReleaseCompressBufferSelect, error, data);
}

}  // namespace lumenplug
