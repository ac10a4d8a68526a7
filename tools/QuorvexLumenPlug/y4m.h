// YUV4MPEG2 (.y4m) streams of planar 8-bit 4:2:0 frames: a reader for the
// producer (from a file or a pipe, interruptible by a signal) and a writer
// for the capturing application.
//
// A stream is one header line, "YUV4MPEG2" and blank-separated parameters
// (W width, H height, F rate n:d, I interlacing, A aspect n:d, C colour
// space, X comments, in any order), then for every frame a line "FRAME" with
// optional parameters followed by the frame's planes. The chroma planes of a
// y4m frame are ceil(W/2) x ceil(H/2); those of the shared frame area are
// floor(W/2) x floor(H/2), so frames of odd size are converted on the way
// in (the last chroma column or row is dropped) and on the way out (it is
// repeated).
//
// Accepted colour spaces: 420, 420jpeg, 420paldv, 420mpeg2, or none given
// (which means 420jpeg). They differ only in where chroma samples sit, which
// the shared area does not record. Interlaced streams are read like
// progressive ones: a frame is passed on whole, with both fields woven.
//
// Threading: a reader or writer belongs to one thread; the functions keep no
// state.
#ifndef TOOLS_QUORVEXLUMENPLUG_Y4M_H_
#define TOOLS_QUORVEXLUMENPLUG_Y4M_H_

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/QuorvexLumenPlug/options.h"

namespace lumenplug {

struct Y4mStreamInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  bool has_rate = false;  // false when F is absent or 0:0 (unknown)
  FrameRate rate;
  char interlacing = 'p';    // as the I parameter gives it: p t b m or ?
  std::string colour_space;  // the C parameter without the C; empty if absent
};

// Bytes of one y4m frame's planes: W*H + 2*ceil(W/2)*ceil(H/2).
uint64_t Y4mFrameBytes(uint64_t width, uint64_t height);

// Reads the stream header line (without "YUV4MPEG2" checks: the whole line
// after the signature, e.g. "W320 H240 F30:1 Ip C420jpeg"). False with a
// reason for a malformed parameter, a missing or zero size, or a colour space
// other than the 4:2:0 ones above (the reason names it). Does not check that
// the frame fits anywhere.
bool ParseY4mParameters(const std::string& parameters, Y4mStreamInfo* info, std::string* error);

// "interlaced (top field first)" and the like, for telling the user; empty
// for progressive.
std::string DescribeInterlacing(char interlacing);

// Planes of a y4m frame (ceil chroma) into the shared area's layout (floor
// chroma); `out` holds PlanarFrameBytes(width, height).
void Y4mToSharedLayout(const uint8_t* y4m, uint32_t width, uint32_t height, uint8_t* out);

// The reverse: the shared layout into y4m planes, repeating the last chroma
// column and row of an odd size; `out` holds Y4mFrameBytes(width, height).
void SharedToY4mLayout(const uint8_t* planar, uint32_t width, uint32_t height, uint8_t* out);

// Reads a stream from a file descriptor through its own buffer. Every wait
// for input also watches `wake_fd` (when not -1): once it is readable, the
// read gives up with kInterrupted and leaves it readable, so that a signal
// delivered through a signalfd stops a reader blocked on a pipe.
class Y4mReader {
 public:
  enum Status {
    kOk,
    kEnd,          // the stream ended cleanly (before a FRAME line)
    kInterrupted,  // wake_fd became readable
    kError,        // error() says what is wrong
  };

  Y4mReader(int fd, int wake_fd = -1);

  // Reads and checks the stream header. On kOk the size is known and its
  // frames fit in `max_frame_bytes` of the shared layout (the reason names
  // the limit otherwise).
  Status ReadHeader(Y4mStreamInfo* info, uint64_t max_frame_bytes);

  // Reads the next frame's header line and planes into `frame`, in the
  // shared area's layout. kEnd at a clean end of the stream; kError for a
  // line that is not a FRAME header or a frame cut short (error() tells how
  // many bytes came).
  Status ReadFrame(std::vector<uint8_t>* frame);

  // Goes back to the first frame, for looping over a file. False when the
  // input cannot seek (a pipe) or was not read to the first frame.
  bool Rewind();

  // What went wrong, for the last kError.
  const std::string& error() const { return error_; }
  // Frames returned since the start (not reset by Rewind).
  uint64_t frames_read() const { return frames_read_; }

 private:
  // Fills the buffer with at least one more byte: kOk, kEnd, kInterrupted or
  // kError (with error_ set).
  Status Fill();
  // One line without its line feed, at most `limit` bytes. kEnd when the
  // stream ends before the first byte; kError when it ends inside the line.
  Status ReadLine(size_t limit, std::string* line, bool* ended_early);
  Status ReadExactly(uint8_t* out, size_t count, size_t* got);
  Status Fail(const std::string& error);

  int fd_;
  int wake_fd_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  size_t end_ = 0;
  int64_t data_offset_ = -1;  // file offset of the first FRAME line
  uint64_t consumed_ = 0;     // bytes taken from the buffer since the start
  Y4mStreamInfo info_;
  std::vector<uint8_t> y4m_frame_;
  uint64_t frames_read_ = 0;
  std::string error_;
};

// Writes a stream of 4:2:0 frames given in the shared area's layout to a
// stdio file, flushing after every frame so that a player reading a pipe
// shows each frame as it comes.
class Y4mWriter {
 public:
  explicit Y4mWriter(FILE* file) : file_(file) {}

  // The header line: "YUV4MPEG2 W.. H.. F..:.. Ip A1:1 C420jpeg".
  bool WriteHeader(uint32_t width, uint32_t height, const FrameRate& rate);
  // One FRAME line and the planes (PlanarFrameBytes(width, height) bytes of
  // the size given to WriteHeader). False when writing fails (errno kept).
  bool WriteFrame(const uint8_t* planar);

 private:
  FILE* file_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> y4m_frame_;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_Y4M_H_
