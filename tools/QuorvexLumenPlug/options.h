// Parsing of the command-line values that feed and capture share: sizes,
// frame rates, counts and durations. Each parser takes the option's text and
// either fills its result or explains in `error` what is wrong with the text
// (without the program's or the option's name, which the caller adds).
//
// Threading: pure functions; any thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_OPTIONS_H_
#define TOOLS_QUORVEXLUMENPLUG_OPTIONS_H_

#include <stdint.h>

#include <string>

namespace lumenplug {

// A frame rate as a fraction of frames per second: numerator / denominator,
// both positive.
struct FrameRate {
  uint32_t numerator = 30;
  uint32_t denominator = 1;
};

// Nanoseconds from the first frame to the start of frame `index` at `rate`.
// Computed from the index each time, so a long run does not drift.
int64_t FrameStartNs(const FrameRate& rate, uint64_t index);

// The rates a producer feeds at, whatever gives them: from one frame a
// minute (slower, and a frame stays on show so long that the camera looks
// stuck) to 1000 frames per second.
inline constexpr uint64_t kMaxFramesPerSecond = 1000;
inline constexpr uint64_t kMinFramesPerMinute = 1;

// True when `rate` lies within those bounds; otherwise *error says which
// bound it passes, e.g. "must be at most 1000 frames per second".
bool FrameRateInBounds(const FrameRate& rate, std::string* error);

// "30", "29.97", "30000/1001" or "30000:1001" frames per second, within
// FrameRateInBounds.
bool ParseFrameRate(const std::string& text, FrameRate* rate, std::string* error);

// The rate in the form people read, e.g. "30", "29.97", "30000/1001".
std::string DescribeFrameRate(const FrameRate& rate);

// "WIDTHxHEIGHT", e.g. "640x480": two decimal numbers from 1 to 65535.
bool ParseSize(const std::string& text, uint32_t* width, uint32_t* height, std::string* error);

// A whole number from 1 up, e.g. a frame count.
bool ParseCount(const std::string& text, uint64_t* count, std::string* error);

// A positive duration in seconds, decimals allowed ("2.5"), at most a year.
bool ParseSeconds(const std::string& text, double* seconds, std::string* error);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_OPTIONS_H_
