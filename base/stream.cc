#include "base/stream.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <new>

#include "base/thread.h"

namespace lumen_base {

namespace {

// Growth of a memory stream that has no room left at `seek_position`:
// the larger of twice the capacity and the end of the write rounded down to
// 256 plus 256.  Saturates instead of wrapping, so a request near the top
// of the address space asks for an impossible size (and fails) rather than
// for a small one that would look already satisfied.
size_t GrownCapacity(size_t capacity, size_t seek_position, size_t data_len) {
  const size_t kMax = SIZE_MAX;
  const size_t doubled = capacity > kMax / 2 ? kMax : capacity * 2;
  const size_t end = data_len > kMax - seek_position ? kMax : seek_position + data_len;
  const size_t rounded_down = end & ~static_cast<size_t>(0xFF);
  const size_t rounded_up = rounded_down > kMax - 256 ? kMax : rounded_down + 256;
  return std::max(doubled, rounded_up);
}

}  // namespace

// ---------------------------------------------------------------------------
// StreamInterface

StreamInterface::~StreamInterface() = default;

void StreamInterface::OnMessage(Message* msg) {
  if (msg->message_id != kStreamEventId) return;
  MessageData* data = msg->data;
  msg->data = nullptr;
  const PostEventData* event = dynamic_cast<const PostEventData*>(data);
  if (event != nullptr) {
    const int events = event->events;
    const int error = event->error;
    // A slot may destroy this stream: touch no member afterwards.
    SignalStreamEvent(this, events, error);
  }
  delete data;
}

const void* StreamInterface::GetReadData(size_t*) { return nullptr; }
void StreamInterface::ConsumeReadData(size_t) {}
void* StreamInterface::GetWriteBuffer(size_t*) { return nullptr; }
void StreamInterface::ConsumeWriteBuffer(size_t) {}
bool StreamInterface::SetPosition(size_t) { return false; }
bool StreamInterface::GetPosition(size_t*) const { return false; }
bool StreamInterface::GetSize(size_t*) const { return false; }
bool StreamInterface::GetAvailable(size_t*) const { return false; }
bool StreamInterface::GetWriteRemaining(size_t*) const { return false; }
bool StreamInterface::ReserveSize(size_t) { return true; }

StreamOutcome StreamInterface::WriteAll(const void* data, size_t data_len, size_t* written,
                                        int* error) {
  const char* bytes = static_cast<const char*>(data);
  StreamOutcome result = OUTCOME_SUCCESS;
  size_t total = 0;
  while (total < data_len) {
    size_t count = 0;
    result = Write(bytes + total, data_len - total, &count, error);
    if (result != OUTCOME_SUCCESS) break;
    if (count == 0) {
      // Asking again at once would get the same answer forever.
      result = OUTCOME_BLOCK;
      break;
    }
    total += count;
  }
  if (written != nullptr) *written = total;
  return result;
}

StreamOutcome StreamInterface::ReadAll(void* buffer, size_t buffer_len, size_t* read, int* error) {
  char* bytes = static_cast<char*>(buffer);
  StreamOutcome result = OUTCOME_SUCCESS;
  size_t total = 0;
  while (total < buffer_len) {
    size_t count = 0;
    result = Read(bytes + total, buffer_len - total, &count, error);
    if (result != OUTCOME_SUCCESS) break;
    if (count == 0) {
      result = OUTCOME_BLOCK;
      break;
    }
    total += count;
  }
  if (read != nullptr) *read = total;
  return result;
}

StreamOutcome StreamInterface::ReadLine(std::string* line) {
  line->clear();
  StreamOutcome result = OUTCOME_SUCCESS;
  for (;;) {
    char ch = 0;
    size_t count = 0;
    result = Read(&ch, 1, &count, nullptr);
    // A success without a byte would leave `ch` meaningless; stop there.
    if (result != OUTCOME_SUCCESS || count == 0) break;
    if (ch == '\n') break;
    line->push_back(ch);
  }
  return line->empty() ? result : OUTCOME_SUCCESS;
}

void StreamInterface::PostEvent(Thread* thread, int events, int error) {
  if (thread == nullptr) return;
  thread->Post(this, kStreamEventId, new PostEventData(events, error));
}

void StreamInterface::PostEvent(const ThreadRef& thread, int events, int error) {
  thread.Post(this, kStreamEventId, new PostEventData(events, error));
}

void StreamInterface::PostEvent(int events, int error) {
  Thread* thread = ThreadManager::CurrentThread();
  if (thread == nullptr) {
    LOG_F(LS_WARNING) << "no message loop on this thread, event " << events << " dropped";
    return;
  }
  PostEvent(thread, events, error);
}

StreamOutcome Flow(StreamInterface* source, char* buffer, size_t buffer_len, StreamInterface* sink,
                   size_t* data_len) {
  size_t read_pos = data_len != nullptr ? *data_len : 0;
  // Without room for a byte the loop below would never see the end of the
  // source; a claimed backlog beyond the buffer would be read out of bounds.
  if (buffer_len == 0 || read_pos > buffer_len) return OUTCOME_ERROR;

  bool end_of_stream = false;
  do {
    // Fill the whole buffer (or up to the source's end) before writing.
    while (!end_of_stream && read_pos < buffer_len) {
      size_t count = 0;
      const StreamOutcome result =
          source->Read(buffer + read_pos, buffer_len - read_pos, &count, nullptr);
      if (result == OUTCOME_END) {
        end_of_stream = true;
      } else if (result == OUTCOME_SUCCESS) {
        read_pos += count;
      } else {
        if (data_len != nullptr) *data_len = read_pos;
        return result;
      }
    }

    // Drain.  On a refusal keep the unwritten tail at the buffer's start so
    // the next call resumes exactly there.
    size_t write_pos = 0;
    while (write_pos < read_pos) {
      size_t count = 0;
      const StreamOutcome result =
          sink->Write(buffer + write_pos, read_pos - write_pos, &count, nullptr);
      if (result == OUTCOME_SUCCESS) {
        write_pos += count;
        continue;
      }
      if (data_len != nullptr) {
        *data_len = read_pos - write_pos;
        if (write_pos > 0) memmove(buffer, buffer + write_pos, read_pos - write_pos);
      }
      return result;
    }
    read_pos = 0;
  } while (!end_of_stream);

  if (data_len != nullptr) *data_len = 0;
  return OUTCOME_SUCCESS;
}

// ---------------------------------------------------------------------------
// FileStream

FileStream::~FileStream() { FileStream::Close(); }

bool FileStream::Open(const char* filename, const char* mode) {
  Close();
  if (filename == nullptr || mode == nullptr) return false;
  file_ = fopen(filename, mode);
  return file_ != nullptr;
}

bool FileStream::Adopt(FILE* file) {
  Close();
  file_ = file;
  return file_ != nullptr;
}

bool FileStream::OpenShare(const char* filename, const char* mode, int /*share_flags*/) {
  Close();
  return Open(filename, mode);
}

bool FileStream::DisableBuffering() {
  if (file_ == nullptr) return false;
  return setvbuf(file_, nullptr, _IONBF, 0) == 0;
}

StreamPhase FileStream::GetState() const { return file_ != nullptr ? PHASE_OPEN : PHASE_CLOSED; }

StreamOutcome FileStream::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  if (file_ == nullptr) return OUTCOME_END;
  const size_t count = fread(buffer, 1, buffer_len, file_);
  if (buffer_len == 0 || count > 0) {
    if (read != nullptr) *read = count;
    return OUTCOME_SUCCESS;
  }
  if (feof(file_)) return OUTCOME_END;
  if (error != nullptr) *error = errno;
  return OUTCOME_ERROR;
}

StreamOutcome FileStream::Write(const void* data, size_t data_len, size_t* written, int* error) {
  if (file_ == nullptr) return OUTCOME_END;
  const size_t count = fwrite(data, 1, data_len, file_);
  if (data_len != 0 && count == 0) {
    if (error != nullptr) *error = errno;
    return OUTCOME_ERROR;
  }
  if (written != nullptr) *written = count;
  return OUTCOME_SUCCESS;
}

void FileStream::Close() {
  if (file_ == nullptr) return;
  fclose(file_);
  file_ = nullptr;
}

bool FileStream::SetPosition(size_t position) {
  if (file_ == nullptr) return false;
  if (position > static_cast<size_t>(LONG_MAX)) return false;
  return fseek(file_, static_cast<long>(position), SEEK_SET) == 0;
}

bool FileStream::GetPosition(size_t* position) const {
  if (file_ == nullptr) return false;
  const long pos = ftell(file_);
  if (pos < 0) return false;
  if (position != nullptr) *position = static_cast<size_t>(pos);
  return true;
}

bool FileStream::GetSize(size_t* size) const {
  if (file_ == nullptr) return false;
  // Bytes still in the C library's buffer are part of the file as this
  // stream's user sees it; fstat only knows what reached the descriptor.
  fflush(file_);
  struct stat file_stat;
  if (fstat(fileno(file_), &file_stat) != 0) return false;
  if (size != nullptr) *size = static_cast<size_t>(file_stat.st_size);
  return true;
}

bool FileStream::GetAvailable(size_t* size) const {
  size_t file_size = 0;
  size_t position = 0;
  if (!GetSize(&file_size) || !GetPosition(&position)) return false;
  // fseek may go past the end of the file; nothing is left to read there.
  if (size != nullptr) *size = file_size > position ? file_size - position : 0;
  return true;
}

bool FileStream::ReserveSize(size_t) { return true; }

bool FileStream::Flush() {
  if (file_ == nullptr) return false;
  return fflush(file_) == 0;
}

bool FileStream::GetSize(const std::string& filename, size_t* size) {
  struct stat file_stat;
  if (stat(filename.c_str(), &file_stat) != 0) return false;
  if (size != nullptr) *size = static_cast<size_t>(file_stat.st_size);
  return true;
}

// ---------------------------------------------------------------------------
// MemoryStreamBase

StreamPhase MemoryStreamBase::GetState() const { return PHASE_OPEN; }

StreamOutcome MemoryStreamBase::Read(void* buffer, size_t buffer_len, size_t* read, int*) {
  if (seek_position_ >= data_length_) return OUTCOME_END;
  const size_t count = std::min(buffer_len, data_length_ - seek_position_);
  if (count > 0) memcpy(buffer, buffer_ + seek_position_, count);
  seek_position_ += count;
  if (read != nullptr) *read = count;
  return OUTCOME_SUCCESS;
}

StreamOutcome MemoryStreamBase::Write(const void* data, size_t data_len, size_t* written,
                                      int* error) {
  size_t available = buffer_length_ - seek_position_;
  if (available == 0) {
    const StreamOutcome result =
        DoReserve(GrownCapacity(buffer_length_, seek_position_, data_len), error);
    if (result != OUTCOME_SUCCESS) return result;
    available = buffer_length_ - seek_position_;
  }
  const size_t count = std::min(data_len, available);
  if (count > 0) memcpy(buffer_ + seek_position_, data, count);
  seek_position_ += count;
  if (seek_position_ > data_length_) data_length_ = seek_position_;
  if (written != nullptr) *written = count;
  return OUTCOME_SUCCESS;
}

void MemoryStreamBase::Close() {}

bool MemoryStreamBase::SetPosition(size_t position) {
  if (position > data_length_) return false;
  seek_position_ = position;
  return true;
}

bool MemoryStreamBase::GetPosition(size_t* position) const {
  if (position != nullptr) *position = seek_position_;
  return true;
}

bool MemoryStreamBase::GetSize(size_t* size) const {
  if (size != nullptr) *size = data_length_;
  return true;
}

bool MemoryStreamBase::GetAvailable(size_t* size) const {
  if (size != nullptr) *size = data_length_ - seek_position_;
  return true;
}

bool MemoryStreamBase::ReserveSize(size_t size) {
  return DoReserve(size, nullptr) == OUTCOME_SUCCESS;
}

StreamOutcome MemoryStreamBase::DoReserve(size_t size, int*) {
  return size <= buffer_length_ ? OUTCOME_SUCCESS : OUTCOME_END;
}

// ---------------------------------------------------------------------------
// MemoryStream

MemoryStream::MemoryStream(const char* text) {
  if (text != nullptr) SetData(text, strlen(text));
}

MemoryStream::MemoryStream(const void* data, size_t length) { SetData(data, length); }

MemoryStream::~MemoryStream() { delete[] buffer_; }

void MemoryStream::SetData(const void* data, size_t length) {
  delete[] buffer_;
  buffer_ = length > 0 ? new (std::nothrow) char[length] : nullptr;
  buffer_length_ = data_length_ = buffer_ != nullptr ? length : 0;
  seek_position_ = 0;
  if (buffer_ != nullptr) memcpy(buffer_, data, length);
}

StreamOutcome MemoryStream::DoReserve(size_t size, int* error) {
  if (size <= buffer_length_) return OUTCOME_SUCCESS;
  char* grown = new (std::nothrow) char[size];
  if (grown == nullptr) {
    if (error != nullptr) *error = ENOMEM;
    return OUTCOME_ERROR;
  }
  if (data_length_ > 0) memcpy(grown, buffer_, data_length_);
  delete[] buffer_;
  buffer_ = grown;
  buffer_length_ = size;
  return OUTCOME_SUCCESS;
}

// ---------------------------------------------------------------------------
// ExternalMemoryStream

ExternalMemoryStream::ExternalMemoryStream(void* data, size_t length) { SetData(data, length); }

void ExternalMemoryStream::SetData(void* data, size_t length) {
  buffer_ = static_cast<char*>(data);
  buffer_length_ = data_length_ = data != nullptr ? length : 0;
  seek_position_ = 0;
}

// ---------------------------------------------------------------------------
// StringStream

StringStream::StringStream(std::string& str) : str_(str), read_only_(false) {}

// The const_cast only lets both constructors share one member; Write and
// ReserveSize refuse to touch a read-only string.
StringStream::StringStream(const std::string& str)
    : str_(const_cast<std::string&>(str)), read_only_(true) {}

StreamPhase StringStream::GetState() const { return PHASE_OPEN; }

StreamOutcome StringStream::Read(void* buffer, size_t buffer_len, size_t* read, int*) {
  // The string belongs to the caller and may have shrunk under us.
  const size_t left = str_.size() > read_pos_ ? str_.size() - read_pos_ : 0;
  const size_t count = std::min(buffer_len, left);
  if (count == 0) return OUTCOME_END;
  memcpy(buffer, str_.data() + read_pos_, count);
  read_pos_ += count;
  if (read != nullptr) *read = count;
  return OUTCOME_SUCCESS;
}

StreamOutcome StringStream::Write(const void* data, size_t data_len, size_t* written, int* error) {
  if (read_only_) {
    if (error != nullptr) *error = -1;
    return OUTCOME_ERROR;
  }
  str_.append(static_cast<const char*>(data), data_len);
  if (written != nullptr) *written = data_len;
  return OUTCOME_SUCCESS;
}

void StringStream::Close() {}

bool StringStream::SetPosition(size_t position) {
  if (position > str_.size()) return false;
  read_pos_ = position;
  return true;
}

bool StringStream::GetPosition(size_t* position) const {
  if (position != nullptr) *position = read_pos_;
  return true;
}

bool StringStream::GetSize(size_t* size) const {
  if (size != nullptr) *size = str_.size();
  return true;
}

bool StringStream::GetAvailable(size_t* size) const {
  if (size != nullptr) *size = str_.size() > read_pos_ ? str_.size() - read_pos_ : 0;
  return true;
}

bool StringStream::ReserveSize(size_t size) {
  if (read_only_) return false;
  // std::string throws beyond its limit; this interface answers instead.
  if (size > str_.max_size()) return false;
  str_.reserve(size);
  return true;
}

// ---------------------------------------------------------------------------
// NullStream

StreamPhase NullStream::GetState() const { return PHASE_OPEN; }

StreamOutcome NullStream::Read(void*, size_t, size_t*, int* error) {
  if (error != nullptr) *error = -1;
  return OUTCOME_ERROR;
}

StreamOutcome NullStream::Write(const void*, size_t data_len, size_t* written, int*) {
  if (written != nullptr) *written = data_len;
  return OUTCOME_SUCCESS;
}

void NullStream::Close() {}

// ---------------------------------------------------------------------------
// FifoBuffer

FifoBuffer::FifoBuffer(size_t size)
    : owner_(ThreadRef(ThreadManager::CurrentThread())),
      buffer_(new char[size > 0 ? size : 1]),
      buffer_length_(size > 0 ? size : 1) {}

FifoBuffer::~FifoBuffer() { delete[] buffer_; }

bool FifoBuffer::GetBuffered(size_t* size) const {
  RecursiveLockScope lock(&crit_);
  if (size != nullptr) *size = data_length_;
  return true;
}

bool FifoBuffer::SetCapacity(size_t size) {
  RecursiveLockScope lock(&crit_);
  if (data_length_ > size || size == 0) return false;
  if (size == buffer_length_) return true;
  char* ring = new char[size];
  // The part up to the end of the old ring first, then the wrapped part.
  const size_t tail = std::min(data_length_, buffer_length_ - read_position_);
  memcpy(ring, buffer_ + read_position_, tail);
  memcpy(ring + tail, buffer_, data_length_ - tail);
  delete[] buffer_;
  buffer_ = ring;
  buffer_length_ = size;
  read_position_ = 0;
  return true;
}

StreamPhase FifoBuffer::GetState() const { return state_.load(std::memory_order_acquire); }

StreamOutcome FifoBuffer::Read(void* buffer, size_t bytes, size_t* bytes_read, int*) {
  RecursiveLockScope lock(&crit_);
  if (data_length_ == 0) return GetState() == PHASE_OPEN ? OUTCOME_BLOCK : OUTCOME_END;

  const bool was_full = data_length_ == buffer_length_;
  const size_t copy = std::min(bytes, data_length_);
  const size_t tail = std::min(copy, buffer_length_ - read_position_);
  char* out = static_cast<char*>(buffer);
  memcpy(out, buffer_ + read_position_, tail);
  memcpy(out + tail, buffer_, copy - tail);
  read_position_ = (read_position_ + copy) % buffer_length_;
  data_length_ -= copy;
  if (bytes_read != nullptr) *bytes_read = copy;
  if (was_full && copy > 0) PostToOwner(EVT_WRITE);
  return OUTCOME_SUCCESS;
}

StreamOutcome FifoBuffer::Write(const void* buffer, size_t bytes, size_t* bytes_written, int*) {
  RecursiveLockScope lock(&crit_);
  if (GetState() == PHASE_CLOSED) return OUTCOME_END;
  if (data_length_ == buffer_length_) return OUTCOME_BLOCK;

  const bool was_empty = data_length_ == 0;
  const size_t copy = std::min(bytes, buffer_length_ - data_length_);
  const size_t write_position = (read_position_ + data_length_) % buffer_length_;
  const size_t tail = std::min(copy, buffer_length_ - write_position);
  const char* in = static_cast<const char*>(buffer);
  memcpy(buffer_ + write_position, in, tail);
  memcpy(buffer_, in + tail, copy - tail);
  data_length_ += copy;
  if (bytes_written != nullptr) *bytes_written = copy;
  if (was_empty && copy > 0) PostToOwner(EVT_READ);
  return OUTCOME_SUCCESS;
}

void FifoBuffer::Close() {
  RecursiveLockScope lock(&crit_);
  state_.store(PHASE_CLOSED, std::memory_order_release);
}

const void* FifoBuffer::GetReadData(size_t* data_len) {
  RecursiveLockScope lock(&crit_);
  if (data_len != nullptr) *data_len = std::min(data_length_, buffer_length_ - read_position_);
  return buffer_ + read_position_;
}

void FifoBuffer::ConsumeReadData(size_t used) {
  RecursiveLockScope lock(&crit_);
  // More than is held would wrap the count and corrupt the ring.
  used = std::min(used, data_length_);
  const bool was_full = data_length_ == buffer_length_;
  read_position_ = (read_position_ + used) % buffer_length_;
  data_length_ -= used;
  if (was_full && used > 0) PostToOwner(EVT_WRITE);
}

void* FifoBuffer::GetWriteBuffer(size_t* buf_len) {
  RecursiveLockScope lock(&crit_);
  if (GetState() == PHASE_CLOSED) return nullptr;
  if (data_length_ == 0) read_position_ = 0;

  const size_t write_position = (read_position_ + data_length_) % buffer_length_;
  size_t room;
  if (data_length_ == buffer_length_) {
    room = 0;
  } else if (read_position_ > write_position) {
    room = read_position_ - write_position;
  } else {
    room = buffer_length_ - write_position;
  }
  if (buf_len != nullptr) *buf_len = room;
  return buffer_ + write_position;
}

void FifoBuffer::ConsumeWriteBuffer(size_t used) {
  RecursiveLockScope lock(&crit_);
  // More than the free room would overwrite bytes not yet read.
  used = std::min(used, buffer_length_ - data_length_);
  const bool was_empty = data_length_ == 0;
  data_length_ += used;
  if (was_empty && used > 0) PostToOwner(EVT_READ);
}

void FifoBuffer::PostToOwner(int events) { PostEvent(owner_, events, 0); }

// ---------------------------------------------------------------------------
// StreamAdapterInterface

StreamAdapterInterface::StreamAdapterInterface(StreamInterface* stream, bool owned)
    : stream_(stream), owned_(owned) {
  if (stream_ != nullptr)
    stream_->SignalStreamEvent.connect(this, &StreamAdapterInterface::OnEvent);
}

StreamAdapterInterface::~StreamAdapterInterface() {
  if (owned_) delete stream_;
  // has_slots then leaves every signal still connected.
}

StreamPhase StreamAdapterInterface::GetState() const {
  return stream_ != nullptr ? stream_->GetState() : PHASE_CLOSED;
}

StreamOutcome StreamAdapterInterface::Read(void* buffer, size_t buffer_len, size_t* read,
                                           int* error) {
  if (stream_ == nullptr) return OUTCOME_ERROR;
  return stream_->Read(buffer, buffer_len, read, error);
}

StreamOutcome StreamAdapterInterface::Write(const void* data, size_t data_len, size_t* written,
                                            int* error) {
  if (stream_ == nullptr) return OUTCOME_ERROR;
  return stream_->Write(data, data_len, written, error);
}

void StreamAdapterInterface::Close() {
  if (stream_ != nullptr) stream_->Close();
}

bool StreamAdapterInterface::SetPosition(size_t position) {
  return stream_ != nullptr && stream_->SetPosition(position);
}

bool StreamAdapterInterface::GetPosition(size_t* position) const {
  return stream_ != nullptr && stream_->GetPosition(position);
}

bool StreamAdapterInterface::GetSize(size_t* size) const {
  return stream_ != nullptr && stream_->GetSize(size);
}

bool StreamAdapterInterface::GetAvailable(size_t* size) const {
  return stream_ != nullptr && stream_->GetAvailable(size);
}

bool StreamAdapterInterface::GetWriteRemaining(size_t* size) const {
  return stream_ != nullptr && stream_->GetWriteRemaining(size);
}

bool StreamAdapterInterface::ReserveSize(size_t size) {
  return stream_ != nullptr && stream_->ReserveSize(size);
}

void StreamAdapterInterface::OnEvent(StreamInterface*, int events, int error) {
  SignalStreamEvent(this, events, error);
}

// ---------------------------------------------------------------------------
// StreamTap

StreamTap::StreamTap(StreamInterface* stream, StreamInterface* tap)
    : StreamAdapterInterface(stream, true), tap_(tap) {}

StreamTap::~StreamTap() { delete tap_; }

void StreamTap::AttachTap(StreamInterface* tap) {
  if (tap == tap_) return;
  StreamInterface* previous = tap_;
  tap_ = tap;
  delete previous;
}

StreamInterface* StreamTap::DetachTap() {
  StreamInterface* tap = tap_;
  tap_ = nullptr;
  return tap;
}

StreamOutcome StreamTap::GetTapResult(int* error) {
  if (error != nullptr) *error = tap_error_;
  return tap_result_;
}

void StreamTap::CopyToTap(const void* data, size_t len) {
  if (tap_ == nullptr || tap_result_ != OUTCOME_SUCCESS) return;
  tap_result_ = tap_->WriteAll(data, len, nullptr, &tap_error_);
}

StreamOutcome StreamTap::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  size_t count = 0;
  const StreamOutcome result = StreamAdapterInterface::Read(buffer, buffer_len, &count, error);
  if (result == OUTCOME_SUCCESS) {
    if (read != nullptr) *read = count;
    CopyToTap(buffer, count);
  }
  return result;
}

StreamOutcome StreamTap::Write(const void* data, size_t data_len, size_t* written, int* error) {
  size_t count = 0;
  const StreamOutcome result = StreamAdapterInterface::Write(data, data_len, &count, error);
  if (result == OUTCOME_SUCCESS) {
    if (written != nullptr) *written = count;
    CopyToTap(data, count);
  }
  return result;
}

// ---------------------------------------------------------------------------
// StreamSegment

StreamSegment::StreamSegment(StreamInterface* stream) : StreamSegment(stream, kUnknownSize) {}

StreamSegment::StreamSegment(StreamInterface* stream, size_t length)
    : StreamAdapterInterface(stream, true), length_(length) {
  size_t position = 0;
  if (StreamAdapterInterface::GetPosition(&position)) start_ = position;
}

StreamOutcome StreamSegment::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  if (length_ != kUnknownSize) {
    if (position_ >= length_) return OUTCOME_END;
    buffer_len = std::min(buffer_len, length_ - position_);
  }
  size_t count = 0;
  const StreamOutcome result = StreamAdapterInterface::Read(buffer, buffer_len, &count, error);
  if (result == OUTCOME_SUCCESS) {
    position_ += count;
    if (read != nullptr) *read = count;
  }
  return result;
}

bool StreamSegment::SetPosition(size_t position) {
  if (start_ == kUnknownSize) return false;
  if (length_ != kUnknownSize && position > length_) return false;
  // start + position must not wrap around to a small, valid position.
  if (position > kUnknownSize - 1 - start_) return false;
  if (!StreamAdapterInterface::SetPosition(start_ + position)) return false;
  position_ = position;
  return true;
}

bool StreamSegment::GetPosition(size_t* position) const {
  if (start_ == kUnknownSize) return false;
  size_t wrapped = 0;
  if (!StreamAdapterInterface::GetPosition(&wrapped)) return false;
  // A wrapped stream moved before the start by its other users reads as 0.
  if (position != nullptr) *position = wrapped > start_ ? wrapped - start_ : 0;
  return true;
}

bool StreamSegment::GetSize(size_t* size) const {
  size_t wrapped = 0;
  if (!StreamAdapterInterface::GetSize(&wrapped)) return false;
  if (start_ != kUnknownSize) wrapped = wrapped > start_ ? wrapped - start_ : 0;
  if (length_ != kUnknownSize) wrapped = std::min(wrapped, length_);
  if (size != nullptr) *size = wrapped;
  return true;
}

bool StreamSegment::GetAvailable(size_t* size) const {
  size_t available = 0;
  if (!StreamAdapterInterface::GetAvailable(&available)) return false;
  if (length_ != kUnknownSize) {
    available = std::min(available, position_ < length_ ? length_ - position_ : 0);
  }
  if (size != nullptr) *size = available;
  return true;
}

// ---------------------------------------------------------------------------
// LoggingAdapter

LoggingAdapter::LoggingAdapter(StreamInterface* stream, LoggingSeverity level,
                               const std::string& label, bool hex_mode)
    : StreamAdapterInterface(stream, true), level_(level), hex_mode_(hex_mode) {
  set_label(label);
}

void LoggingAdapter::set_label(const std::string& label) { label_ = "[" + label + "]"; }

StreamOutcome LoggingAdapter::Read(void* buffer, size_t buffer_len, size_t* read, int* error) {
  size_t count = 0;
  const StreamOutcome result = StreamAdapterInterface::Read(buffer, buffer_len, &count, error);
  if (result == OUTCOME_SUCCESS) {
    if (read != nullptr) *read = count;
    LogMultiline(level_, label_.c_str(), true, buffer, count, hex_mode_, &lms_);
  }
  return result;
}

StreamOutcome LoggingAdapter::Write(const void* data, size_t data_len, size_t* written,
                                    int* error) {
  size_t count = 0;
  const StreamOutcome result = StreamAdapterInterface::Write(data, data_len, &count, error);
  if (result == OUTCOME_SUCCESS) {
    if (written != nullptr) *written = count;
    LogMultiline(level_, label_.c_str(), false, data, count, hex_mode_, &lms_);
  }
  return result;
}

void LoggingAdapter::Close() {
  FlushState();
  LOG_V(level_) << label_ << " Closed locally";
  StreamAdapterInterface::Close();
}

void LoggingAdapter::OnEvent(StreamInterface* stream, int events, int error) {
  if (events & EVT_OPEN) {
    LOG_V(level_) << label_ << " Open";
  } else if (events & EVT_CLOSE) {
    FlushState();
    LOG_V(level_) << label_ << " Closed with error: " << error;
  }
  StreamAdapterInterface::OnEvent(stream, events, error);
}

void LoggingAdapter::FlushState() {
  LogMultiline(level_, label_.c_str(), false, nullptr, 0, hex_mode_, &lms_);
  LogMultiline(level_, label_.c_str(), true, nullptr, 0, hex_mode_, &lms_);
}

}  // namespace lumen_base
