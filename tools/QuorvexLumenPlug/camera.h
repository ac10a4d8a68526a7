// The camera seen from a capturing application: finding and opening it
// through the component manager, making calls with readable failures, and
// the call sequence that prepares it for capture. Shared by capture, which
// writes what the camera delivers to files, and publish, which hands it on
// to PipeWire.
//
// Threading: a Camera and everything called with it belong to one thread at
// a time; the component takes one call at a time per instance.
#ifndef TOOLS_QUORVEXLUMENPLUG_CAMERA_H_
#define TOOLS_QUORVEXLUMENPLUG_CAMERA_H_

#include <stdint.h>
#include <stdio.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/components.h"
#include "platform/status.h"
#include "platform/timebase.h"
#include "platform/videodigitizer.h"

namespace lumenplug {

// The agent's own executable name: the camera opens in processes of a few
// names only, and this is the one meant for the agent's commands.
inline constexpr char kAgentProcessName[] = "QuorvexLumenPlug";

// "'j420'"; unprintable bytes as '?'.
std::string FourCharCode(OSType code);
// "0x0000ABCD".
std::string Hex32(UInt32 value);
// "-2090 (videoOutputInUseErr): <what it means>", or the number with a note
// for a code the platform does not describe.
std::string DescribeStatus(OSStatus status);

// An open camera instance and the time base it was given. Going out of
// scope closes the instance and only then disposes of the time base, which
// the camera reads until it is closed.
class Camera {
 public:
  // `tag` begins the lines told with `verbose` ("capture", "publish").
  Camera(ComponentInstance instance, const char* tag, bool verbose)
      : instance_(instance), tag_(tag), verbose_(verbose) {}
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  bool verbose() const { return verbose_; }
  const char* tag() const { return tag_; }
  ComponentInstance instance() const { return instance_; }
  // Null until GiveTimeBase succeeded.
  TimeBase time_base() const { return time_base_; }

  bool Implements(SInt16 selector) const {
    return ComponentFunctionImplemented(instance_, selector) > 0;
  }
  // True when the camera has the request / poll / release calls.
  bool DeliversFrames() const;

  // Makes a call; on failure sets *error to a message naming the call. With
  // `verbose` every call outside the frame cycle is told on stderr.
  template <class... Args>
  bool Call(const char* name, SInt16 selector, std::string* error, Args... args) {
    const ComponentResult result = PlatformCallComponent(instance_, selector, args...);
    return Told(name, selector, result, error);
  }

  // Makes a time base of the caller's own and hands it to the camera, which
  // stamps the frames with its time from then on.
  bool GiveTimeBase(std::string* error);

 private:
  bool Told(const char* name, SInt16 selector, ComponentResult result, std::string* error);

  ComponentInstance instance_;
  const char* tag_;
  bool verbose_;
  TimeBase time_base_ = nullptr;
};

// Finds the registered camera named `device` and opens an instance of it.
// False, with a message saying why (no such camera; the code of the refusal
// and its meaning), when that fails.
bool OpenCamera(const std::string& device, ComponentInstance* instance, std::string* error);

// Asks for the digitizer information, which also makes the camera report
// its current flags, and then for those flags.
bool ReadDigitizerInfo(Camera* camera, DigitizerInfo* info, UInt32* input_flags,
                       UInt32* output_flags, std::string* error);
void PrintDigitizerInfo(FILE* out, const char* prefix, const DigitizerInfo& info,
                        UInt32 input_flags, UInt32 output_flags);

// The calls a capturing application makes before capture starts: the
// digitizer information and flags, the compression, the image description,
// a time base of its own, the frame rate, and the digitizer rectangle set to
// `size` (or read back when no size is given). The frame size delivered
// from then on goes to *width and *height.
bool PrepareCamera(Camera* camera, const std::optional<std::pair<uint32_t, uint32_t>>& size,
                   uint32_t* width, uint32_t* height, std::string* error);

// True when the camera can deliver frames of width x height: both sides
// from 1 to 32767 and the 4:2:0 frame within the shared area.
bool IsDeliverableSize(uint64_t width, uint64_t height);

// Makes the camera deliver frames of width x height (a deliverable size)
// from the next frame on; its scaler and letterboxing make them.
bool SetFrameSize(Camera* camera, uint32_t width, uint32_t height, std::string* error);

// One request and poll. With a frame, `data` points at the camera's buffer
// until ReleaseFrame gives it back; `stamp` is its time stamp.
struct PolledFrame {
  bool ready = false;
  Ptr data = nullptr;
  long size = 0;
  TimeRecord stamp = {0, 0, nullptr};
};
bool PollFrame(Camera* camera, PolledFrame* frame, std::string* error);
bool ReleaseFrame(Camera* camera, Ptr data, std::string* error);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_CAMERA_H_
