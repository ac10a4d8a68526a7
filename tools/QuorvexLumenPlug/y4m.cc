#include "tools/QuorvexLumenPlug/y4m.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sharedmem/sharedframearea.h"

namespace lumenplug {

namespace {

const char kSignature[] = "YUV4MPEG2";
constexpr size_t kSignatureLength = sizeof(kSignature) - 1;
const char kFrameTag[] = "FRAME";
constexpr size_t kFrameTagLength = sizeof(kFrameTag) - 1;
// Header lines are a few dozen bytes; anything this long is not a header.
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kBufferBytes = 64 * 1024;
// Far above any frame that can fit the shared area; keeps W*H in range.
constexpr uint64_t kMaxSide = 1u << 20;
constexpr uint8_t kNeutralChroma = 128;

const char* const kAcceptedColourSpaces[] = {"420", "420jpeg", "420paldv", "420mpeg2"};

bool IsDigits(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ParseSide(const std::string& text, uint32_t* side) {
  if (!IsDigits(text)) return false;
  const uint64_t value = strtoull(text.c_str(), nullptr, 10);
  if (value == 0 || value > kMaxSide) return false;
  *side = static_cast<uint32_t>(value);
  return true;
}

// "n:d" with both parts decimal numbers (either may be 0).
bool ParseRatio(const std::string& text, uint64_t* numerator, uint64_t* denominator) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string top = text.substr(0, colon);
  const std::string bottom = text.substr(colon + 1);
  if (!IsDigits(top) || !IsDigits(bottom)) return false;
  *numerator = strtoull(top.c_str(), nullptr, 10);
  *denominator = strtoull(bottom.c_str(), nullptr, 10);
  return true;
}

bool IsAcceptedColourSpace(const std::string& colour_space) {
  if (colour_space.empty()) return true;
  return std::find(std::begin(kAcceptedColourSpaces), std::end(kAcceptedColourSpaces),
                   colour_space) != std::end(kAcceptedColourSpaces);
}

// A line of input shown in a message: printable ASCII only, cut short.
std::string Quote(const std::string& text) {
  std::string shown;
  for (char c : text.substr(0, 40)) shown += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (text.size() > 40) shown += "...";
  return "\"" + shown + "\"";
}

bool ParseParameter(const std::string& token, Y4mStreamInfo* info, std::string* error) {
  const char tag = token[0];
  const std::string value = token.substr(1);
  uint64_t numerator = 0;
  uint64_t denominator = 0;
  switch (tag) {
    case 'W':
      if (ParseSide(value, &info->width)) return true;
      *error = "the width " + Quote(token) + " is not a number from 1 up";
      return false;
    case 'H':
      if (ParseSide(value, &info->height)) return true;
      *error = "the height " + Quote(token) + " is not a number from 1 up";
      return false;
    case 'F':
      if (!ParseRatio(value, &numerator, &denominator) || numerator > UINT32_MAX ||
          denominator > UINT32_MAX || (numerator == 0) != (denominator == 0)) {
        *error = "the frame rate " + Quote(token) + " is not of the form Fn:d";
        return false;
      }
      info->has_rate = numerator != 0;  // F0:0 means "unknown"
      if (info->has_rate) {
        info->rate.numerator = static_cast<uint32_t>(numerator);
        info->rate.denominator = static_cast<uint32_t>(denominator);
      }
      return true;
    case 'I':
      if (value.size() == 1 && strchr("ptbm?", value[0]) != nullptr) {
        info->interlacing = value[0];
        return true;
      }
      *error = "the interlacing " + Quote(token) + " is not one of Ip, It, Ib, Im, I?";
      return false;
    case 'A':
      if (ParseRatio(value, &numerator, &denominator)) return true;
      *error = "the pixel aspect " + Quote(token) + " is not of the form An:d";
      return false;
    case 'C':
      info->colour_space = value;
      if (IsAcceptedColourSpace(value)) return true;
      *error = "the colour space C" + value +
               " is not supported: feed takes planar 4:2:0 (C420, C420jpeg, C420paldv, "
               "C420mpeg2); convert with ffmpeg ... -pix_fmt yuv420p";
      return false;
    default:
      return true;  // X comments and tags of later versions carry nothing we need
  }
}

// One chroma plane from `in_w` x `in_h` to `out_w` x `out_h`: copies the
// common part, repeats the last column and row where the output is larger,
// and fills with neutral grey where the input has no sample at all.
void CopyChromaPlane(const uint8_t* in, uint32_t in_w, uint32_t in_h, uint8_t* out, uint32_t out_w,
                     uint32_t out_h) {
  for (uint32_t y = 0; y < out_h; ++y) {
    uint8_t* row = out + static_cast<size_t>(y) * out_w;
    if (in_w == 0 || in_h == 0) {
      memset(row, kNeutralChroma, out_w);
      continue;
    }
    const uint8_t* source = in + static_cast<size_t>(std::min(y, in_h - 1)) * in_w;
    const uint32_t common = std::min(in_w, out_w);
    memcpy(row, source, common);
    if (out_w > common) memset(row + common, source[in_w - 1], out_w - common);
  }
}

void ConvertPlanes(const uint8_t* in, uint32_t in_cw, uint32_t in_ch, uint8_t* out, uint32_t out_cw,
                   uint32_t out_ch, uint32_t width, uint32_t height) {
  const size_t luma = static_cast<size_t>(width) * height;
  memcpy(out, in, luma);
  const size_t in_plane = static_cast<size_t>(in_cw) * in_ch;
  const size_t out_plane = static_cast<size_t>(out_cw) * out_ch;
  for (int plane = 0; plane < 2; ++plane) {
    CopyChromaPlane(in + luma + plane * in_plane, in_cw, in_ch, out + luma + plane * out_plane,
                    out_cw, out_ch);
  }
}

}  // namespace

uint64_t Y4mFrameBytes(uint64_t width, uint64_t height) {
  return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
}

bool ParseY4mParameters(const std::string& parameters, Y4mStreamInfo* info, std::string* error) {
  *info = Y4mStreamInfo();
  size_t at = 0;
  while (at < parameters.size()) {
    if (parameters[at] == ' ') {
      ++at;
      continue;
    }
    size_t blank = parameters.find(' ', at);
    if (blank == std::string::npos) blank = parameters.size();
    if (!ParseParameter(parameters.substr(at, blank - at), info, error)) return false;
    at = blank;
  }
  if (info->width == 0 || info->height == 0) {
    *error = "the header gives no frame size (W and H)";
    return false;
  }
  return true;
}

std::string DescribeInterlacing(char interlacing) {
  switch (interlacing) {
    case 't':
      return "interlaced (top field first)";
    case 'b':
      return "interlaced (bottom field first)";
    case 'm':
      return "of mixed interlacing";
    case '?':
      return "of unknown interlacing";
    default:
      return "";
  }
}

void Y4mToSharedLayout(const uint8_t* y4m, uint32_t width, uint32_t height, uint8_t* out) {
  ConvertPlanes(y4m, (width + 1) / 2, (height + 1) / 2, out, width / 2, height / 2, width, height);
}

void SharedToY4mLayout(const uint8_t* planar, uint32_t width, uint32_t height, uint8_t* out) {
  ConvertPlanes(planar, width / 2, height / 2, out, (width + 1) / 2, (height + 1) / 2, width,
                height);
}

// ---------------------------------------------------------------------------
// Y4mReader

Y4mReader::Y4mReader(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd), buffer_(kBufferBytes) {}

Y4mReader::Status Y4mReader::Fail(const std::string& error) {
  error_ = error;
  return kError;
}

Y4mReader::Status Y4mReader::Fill() {
  if (begin_ == end_) begin_ = end_ = 0;
  if (end_ == buffer_.size()) {
    // Only lines are read through here; ReadLine caps them far below this.
    memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int ready = poll(fds, wake_fd_ >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Fail(std::string("cannot wait for input: ") + strerror(errno));
    }
    if (wake_fd_ >= 0 && (fds[1].revents & POLLIN) != 0) return kInterrupted;
    const ssize_t got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<size_t>(got);
      return kOk;
    }
    if (got == 0) return kEnd;
    if (errno == EINTR || errno == EAGAIN) continue;
    return Fail(std::string("cannot read the input: ") + strerror(errno));
  }
}

Y4mReader::Status Y4mReader::ReadLine(size_t limit, std::string* line, bool* ended_early) {
  line->clear();
  *ended_early = false;
  for (;;) {
    if (begin_ == end_) {
      const Status status = Fill();
      if (status == kEnd && !line->empty()) *ended_early = true;
      if (status != kOk) return status;
    }
    const uint8_t* start = buffer_.data() + begin_;
    const uint8_t* feed = static_cast<const uint8_t*>(memchr(start, '\n', end_ - begin_));
    const size_t take = feed != nullptr ? static_cast<size_t>(feed - start) : end_ - begin_;
    line->append(reinterpret_cast<const char*>(start), std::min(take, limit + 1 - line->size()));
    const size_t used = take + (feed != nullptr ? 1 : 0);
    begin_ += used;
    consumed_ += used;
    if (line->size() > limit) return Fail("a header line is longer than 4096 bytes");
    if (feed != nullptr) return kOk;
  }
}

Y4mReader::Status Y4mReader::ReadExactly(uint8_t* out, size_t count, size_t* got) {
  *got = 0;
  while (*got < count) {
    if (begin_ == end_) {
      const Status status = Fill();
      if (status != kOk) return status;
    }
    const size_t take = std::min(count - *got, end_ - begin_);
    memcpy(out + *got, buffer_.data() + begin_, take);
    begin_ += take;
    consumed_ += take;
    *got += take;
  }
  return kOk;
}

Y4mReader::Status Y4mReader::ReadHeader(Y4mStreamInfo* info, uint64_t max_frame_bytes) {
  const off_t start = lseek(fd_, 0, SEEK_CUR);
  std::string line;
  bool ended_early = false;
  const Status status = ReadLine(kMaxLineBytes, &line, &ended_early);
  if (status == kInterrupted) return status;
  if (status == kError && line.size() <= kMaxLineBytes) return status;  // the read failed
  if (status == kEnd && !ended_early) return Fail("the input is empty");
  const bool has_signature = line.compare(0, kSignatureLength, kSignature) == 0 &&
                             (line.size() == kSignatureLength || line[kSignatureLength] == ' ');
  if (!has_signature) {
    return Fail("this is not a YUV4MPEG2 stream: it does not begin with \"YUV4MPEG2 \"");
  }
  if (status == kError) return status;  // a header line beyond any real one
  if (ended_early) return Fail("the stream ends inside its header line");
  if (!ParseY4mParameters(line.substr(kSignatureLength), &info_, &error_)) return kError;

  const uint64_t bytes = tessel::PlanarFrameBytes(info_.width, info_.height);
  if (bytes > max_frame_bytes) {
    return Fail("its frames are " + std::to_string(info_.width) + "x" +
                std::to_string(info_.height) + ", " + std::to_string(bytes) +
                " bytes each in 4:2:0, more than the " + std::to_string(max_frame_bytes) +
                " bytes the camera carries (640x480 at most); scale it down, e.g. with "
                "ffmpeg -vf scale=640:-2");
  }
  struct stat file;
  if (start >= 0 && fstat(fd_, &file) == 0 && S_ISREG(file.st_mode)) {
    data_offset_ = start + static_cast<int64_t>(consumed_);
  }
  y4m_frame_.resize(Y4mFrameBytes(info_.width, info_.height));
  *info = info_;
  return kOk;
}

Y4mReader::Status Y4mReader::ReadFrame(std::vector<uint8_t>* frame) {
  const std::string number = std::to_string(frames_read_ + 1);
  std::string line;
  bool ended_early = false;
  Status status = ReadLine(kMaxLineBytes, &line, &ended_early);
  if (status == kInterrupted) return status;
  if (status == kError && line.size() <= kMaxLineBytes) return status;  // the read failed
  if (status == kEnd && !ended_early) return kEnd;
  const bool is_frame_line = line.compare(0, kFrameTagLength, kFrameTag) == 0 &&
                             (line.size() == kFrameTagLength || line[kFrameTagLength] == ' ');
  const bool is_cut_frame_line =
      ended_early && std::string(kFrameTag).compare(0, line.size(), line) == 0;
  if (!is_frame_line && !is_cut_frame_line) {
    return Fail("frame " + number + ": expected a FRAME line, found " + Quote(line));
  }
  if (status == kError) return status;  // a FRAME line beyond any real one
  if (ended_early) {
    return Fail("frame " + number + " is truncated: the stream ends inside its FRAME line");
  }
  size_t got = 0;
  status = ReadExactly(y4m_frame_.data(), y4m_frame_.size(), &got);
  if (status == kEnd) {
    return Fail("frame " + number + " is truncated: it has " + std::to_string(got) + " of its " +
                std::to_string(y4m_frame_.size()) + " bytes");
  }
  if (status != kOk) return status;
  frame->resize(tessel::PlanarFrameBytes(info_.width, info_.height));
  Y4mToSharedLayout(y4m_frame_.data(), info_.width, info_.height, frame->data());
  ++frames_read_;
  return kOk;
}

bool Y4mReader::Rewind() {
  if (data_offset_ < 0) return false;
  if (lseek(fd_, static_cast<off_t>(data_offset_), SEEK_SET) != data_offset_) return false;
  begin_ = end_ = 0;
  return true;
}

// ---------------------------------------------------------------------------
// Y4mWriter

bool Y4mWriter::WriteHeader(uint32_t width, uint32_t height, const FrameRate& rate) {
  width_ = width;
  height_ = height;
  y4m_frame_.resize(Y4mFrameBytes(width, height));
  const int written = fprintf(file_, "%s W%u H%u F%u:%u Ip A1:1 C420jpeg\n", kSignature, width,
                              height, rate.numerator, rate.denominator);
  return written > 0 && fflush(file_) == 0;
}

bool Y4mWriter::WriteFrame(const uint8_t* planar) {
  SharedToY4mLayout(planar, width_, height_, y4m_frame_.data());
  if (fputs("FRAME\n", file_) < 0) return false;
  if (fwrite(y4m_frame_.data(), 1, y4m_frame_.size(), file_) != y4m_frame_.size()) return false;
  return fflush(file_) == 0;
}

}  // namespace lumenplug
