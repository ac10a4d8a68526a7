// Non-blocking byte streams: the abstract StreamInterface, the helpers built
// on it (WriteAll, ReadAll, ReadLine, Flow), and the plain streams: FileStream
// over a standard I/O file, the memory streams MemoryStream (owns a growing
// buffer) and ExternalMemoryStream (fixed caller memory), StringStream over a
// caller's std::string, and NullStream.  Further: FifoBuffer, a ring buffer
// that one thread writes and another reads, and the adapters that wrap
// another stream (StreamAdapterInterface, StreamTap, StreamSegment,
// LoggingAdapter).
//
// Every operation answers at once with a StreamOutcome.  OUTCOME_BLOCK means
// "nothing can move now, an event will follow": the stream later emits
// SignalStreamEvent with EVT_READ or EVT_WRITE.  Every count and error
// out-parameter may be null; nothing is stored through it then and the result
// is the same.
//
// Threading: the plain streams and the adapters have no lock; one stream is
// used by one thread at a time.  FifoBuffer is the exception: every
// operation takes its lock.  Events reach another thread only as messages
// posted to that thread's queue with id kStreamEventId and a PostEventData
// payload (PostEvent); OnMessage then emits SignalStreamEvent on the thread
// that dispatches them.  Destroying a stream removes its events that are
// still queued, from every queue.
#ifndef BASE_STREAM_H_
#define BASE_STREAM_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>

#include "base/logging.h"  // LoggingSeverity, LogMultilineState
#include "base/messagequeue.h"
#include "base/recursivelock.h"
#include "base/sigslot.h"
#include "base/stringencode.h"  // kUnknownSize: a length or position nobody can tell
#include "base/thread.h"        // ThreadRef

namespace lumen_base {

enum StreamPhase { PHASE_CLOSED, PHASE_OPENING, PHASE_OPEN };

enum StreamOutcome {
  OUTCOME_ERROR,    // failed; the error out-parameter holds a code
  OUTCOME_SUCCESS,  // some bytes moved, possibly fewer than asked
  OUTCOME_BLOCK,    // nothing can move now; an event will follow
  OUTCOME_END,      // nothing more to read, or no room / no file to write
};

// Event bits, combined with OR.
enum StreamEvent {
  EVT_OPEN = 1,
  EVT_READ = 2,   // data can be read
  EVT_WRITE = 4,  // there is room to write
  EVT_CLOSE = 8,  // closed; the error argument says why
};

// The message id under which a stream posts its own events.
const uint32_t kStreamEventId = 0xF1F1;

// Payload of a kStreamEventId message.
struct PostEventData : public MessageData {
  PostEventData(int ev, int er) : events(ev), error(er) {}
  int events;
  int error;
};

class StreamInterface : public MessageHandler {
 public:
  // Destroying the stream destroys SignalStreamEvent, which disconnects
  // every slot.
  ~StreamInterface() override;

  StreamInterface(const StreamInterface&) = delete;
  StreamInterface& operator=(const StreamInterface&) = delete;

  // For a kStreamEventId message: emits SignalStreamEvent(this, events,
  // error) from its PostEventData, then deletes the data and clears
  // msg->data.  A kStreamEventId message without a PostEventData payload
  // emits nothing; its data is deleted all the same.  Messages with any
  // other id are left alone, data included.  A slot may destroy the stream.
  void OnMessage(Message* msg) override;

  virtual StreamPhase GetState() const = 0;

  // Moves at most buffer_len bytes into buffer.
  virtual StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) = 0;

  // Moves at most data_len bytes from data into the stream.
  virtual StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) = 0;

  virtual void Close() = 0;

  // Direct access to the stream's own memory, for streams that have some.
  // The defaults offer none: they return null and leave the length alone.
  virtual const void* GetReadData(size_t* data_len);
  virtual void ConsumeReadData(size_t used);
  virtual void* GetWriteBuffer(size_t* buf_len);
  virtual void ConsumeWriteBuffer(size_t used);

  // Position, size and bytes left to read.  The defaults cannot tell: they
  // return false and store nothing.
  virtual bool SetPosition(size_t position);
  virtual bool GetPosition(size_t* position) const;
  virtual bool GetSize(size_t* size) const;
  virtual bool GetAvailable(size_t* size) const;

  // How many more bytes a Write could take before the stream blocks or ends.
  // No plain stream can tell (false, nothing stored); adapters pass the
  // question on to the stream they wrap.
  virtual bool GetWriteRemaining(size_t* size) const;

  // Asks the stream to make room for `size` bytes in all.  The default has
  // nothing to reserve and succeeds.
  virtual bool ReserveSize(size_t size);

  // Calls Write on the rest of the data until all of it is written or a
  // call answers anything but OUTCOME_SUCCESS; returns OUTCOME_SUCCESS or
  // that answer.  The count written so far goes to `written` either way.
  // A Write that succeeds without taking a byte ends the loop with
  // OUTCOME_BLOCK rather than spinning.
  StreamOutcome WriteAll(const void* data, size_t data_len, size_t* written, int* error);

  // The same with Read, until the buffer is full.  A Read that succeeds
  // with 0 bytes ends the loop with OUTCOME_BLOCK.
  StreamOutcome ReadAll(void* buffer, size_t buffer_len, size_t* read, int* error);

  // Reads one byte at a time up to a line feed, which is consumed and not
  // kept; a carriage return stays in the line.  OUTCOME_SUCCESS whenever the
  // line is not empty (also when the stream ended or blocked after some
  // bytes, and for an empty line ended by a line feed); else the answer of
  // the last Read, e.g. OUTCOME_END at the end of the stream.
  StreamOutcome ReadLine(std::string* line);

  // Posts `events` and `error` to `thread` as a kStreamEventId message for
  // this stream, so that SignalStreamEvent is emitted on that thread.  Any
  // thread.  A null thread drops the event.
  void PostEvent(Thread* thread, int events, int error);
  // The same to a thread that may have ended: dropped once it is gone.
  void PostEvent(const ThreadRef& thread, int events, int error);
  // The same to the calling thread's current Thread.  A thread without one
  // has no loop to deliver it: the event is dropped with a warning.
  void PostEvent(int events, int error);

  // (stream, events, error)
  sigslot::signal3<StreamInterface*, int, int> SignalStreamEvent;

 protected:
  StreamInterface() = default;
};

// Copies `source` to `sink` through the caller's buffer.  The buffer is
// filled completely (or up to the end of the source) before anything is
// written.  When data_len is given, the first *data_len bytes of buffer are
// data left from an earlier call that blocked; they are written first.
//
// Returns OUTCOME_SUCCESS once the source has ended and everything read was
// written; *data_len is then 0.  Any other answer of the source (when
// reading) or the sink (when writing) is returned as it is: *data_len then
// holds the bytes still waiting at the start of the buffer, so calling
// again with the same buffer and data_len loses and repeats nothing.
//
// An empty buffer, or a *data_len larger than the buffer, can move nothing
// and gives OUTCOME_ERROR without touching either stream.
StreamOutcome Flow(StreamInterface* source, char* buffer, size_t buffer_len, StreamInterface* sink,
                   size_t* data_len = nullptr);

// A standard I/O file.  Closed until Open succeeds and after Close; it can
// be reopened.  Errors are errno values.  Sizes and positions are full-width
// size_t values.
class FileStream : public StreamInterface {
 public:
  FileStream() = default;
  // Closes the file when one is open.
  ~FileStream() override;

  // Closes any file first, then fopen(filename, mode); true when a file was
  // opened.  A null filename or mode opens nothing.
  virtual bool Open(const char* filename, const char* mode);
  bool Open(const std::string& filename, const char* mode) { return Open(filename.c_str(), mode); }
  // Closes any file first, then takes `file` (owned from now on); for a
  // file that the caller opened with care of its own.  Null opens nothing.
  bool Adopt(FILE* file);
  // The share flags have no meaning on this system and are ignored.
  virtual bool OpenShare(const char* filename, const char* mode, int share_flags);
  // Makes every Write reach the file system at once.  False without a file
  // or when the C library refuses.
  virtual bool DisableBuffering();

  StreamPhase GetState() const override;
  // Without a file: OUTCOME_END.  A length of 0 succeeds with 0 bytes.
  // Nothing read: OUTCOME_END at the end of the file, else OUTCOME_ERROR.
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  // Without a file: OUTCOME_END.  OUTCOME_ERROR when nothing could be
  // written; a short write succeeds with its count.
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  // The size of the file, counting the bytes this stream has written but
  // still holds in its buffer.
  bool GetSize(size_t* size) const override;
  // Size minus position; 0 when positioned past the end.
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;

  // Hands buffered bytes to the file system.  False without a file.
  bool Flush();

  // The size of the named file; false when it cannot be examined.
  static bool GetSize(const std::string& filename, size_t* size);

 protected:
  FILE* file_ = nullptr;  // null while closed
};

// Memory holding the data, seek position <= data length <= capacity.
// Always open; Close does nothing.  Reads stop at the data length.  A write
// goes to the seek position and copies what fits below the capacity; only a
// write that finds no room at all asks DoReserve to grow the memory, to the
// larger of twice the capacity and (seek position + length) rounded down to
// 256 and then increased by 256.  A write can therefore be partial; use
// WriteAll for all-or-nothing.
class MemoryStreamBase : public StreamInterface {
 public:
  StreamPhase GetState() const override;
  // OUTCOME_END at or past the data length; a length of 0 with data left
  // succeeds with 0 bytes.
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  // Any position up to and including the data length.
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;

  // The memory; valid until the next write, reserve or SetData.
  const char* GetBuffer() const { return buffer_; }

 protected:
  MemoryStreamBase() = default;

  // Makes the capacity at least `size`.  This base cannot grow: it succeeds
  // when the memory is already large enough, else answers OUTCOME_END.
  virtual StreamOutcome DoReserve(size_t size, int* error);

  char* buffer_ = nullptr;
  size_t buffer_length_ = 0;  // capacity
  size_t data_length_ = 0;
  size_t seek_position_ = 0;
};

// Memory stream over a buffer of its own, which grows as needed.
class MemoryStream : public MemoryStreamBase {
 public:
  MemoryStream() = default;
  // Copies the text without its terminating NUL; null is the empty text.
  explicit MemoryStream(const char* text);
  MemoryStream(const void* data, size_t length);
  ~MemoryStream() override;

  // Replaces everything with a copy of the data (capacity and data length
  // both become `length`) and rewinds to 0.  When memory runs out the
  // stream is left empty.
  void SetData(const void* data, size_t length);

 protected:
  // Grows to exactly `size`, keeping the data.  When memory runs out:
  // error 12 (ENOMEM) and OUTCOME_ERROR, with the old buffer intact.
  StreamOutcome DoReserve(size_t size, int* error) override;
};

// Memory stream over memory that the caller owns and keeps alive; it is
// never freed and never grows.  A write that would cross its end is cut
// there; a write at the end answers OUTCOME_END.
class ExternalMemoryStream : public MemoryStreamBase {
 public:
  ExternalMemoryStream() = default;
  ExternalMemoryStream(void* data, size_t length);

  // The whole memory becomes readable data and the position goes to 0, so
  // a write overwrites the memory from its start.
  void SetData(void* data, size_t length);
};

// Stream over a caller's std::string, which must outlive it.  Reads go from
// a read position; writes always append to the end of the string.  Built on
// a const string it is read-only: Write fails with error -1 and ReserveSize
// with false.
class StringStream : public StreamInterface {
 public:
  explicit StringStream(std::string& str);
  explicit StringStream(const std::string& str);
  // A temporary string would be gone before the first read.
  explicit StringStream(std::string&& str) = delete;

  StreamPhase GetState() const override;
  // OUTCOME_END when there is nothing to copy, also for a length of 0.
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  // Any position up to and including the string's length.
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  // 0 when the string was shortened below the read position.
  bool GetAvailable(size_t* size) const override;
  bool ReserveSize(size_t size) override;

 private:
  std::string& str_;  // never written through when read_only_
  size_t read_pos_ = 0;
  const bool read_only_;
};

// Takes everything and gives nothing: Write succeeds with the whole length,
// Read fails with error -1.
class NullStream : public StreamInterface {
 public:
  NullStream() = default;
  StreamPhase GetState() const override;
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
};

// A ring buffer of fixed capacity that one thread writes and another reads.
// Readiness is announced to the thread that built the buffer (its owner):
// a write into an empty buffer posts EVT_READ, a read from a full one posts
// EVT_WRITE, and the slots run later on the owner's thread.  Once the owner
// has ended (a wrapped foreign thread that returned, a destroyed Thread),
// its events are dropped: nobody is left to run its loop.  Close only
// stops writing; what is held can still be read, then reads end.
//
// Threading: every operation but GetState holds the buffer's lock for its
// whole run, events are posted while it is held.  Lock order: the buffer's
// lock, then the owner's reference, then the owner's queue lock.
class FifoBuffer : public StreamInterface {
 public:
  // A capacity of 0 would leave no room at all; it is taken as 1.
  explicit FifoBuffer(size_t size);
  ~FifoBuffer() override;

  // Bytes held.  Always true.
  bool GetBuffered(size_t* size) const;
  // Changes the capacity, keeping the bytes held in order from the start of
  // the new ring.  False when more than `size` bytes are held, or for 0.
  bool SetCapacity(size_t size);

  StreamPhase GetState() const override;
  // Empty: OUTCOME_BLOCK while open, OUTCOME_END once closed.
  StreamOutcome Read(void* buffer, size_t bytes, size_t* bytes_read, int* error) override;
  // Closed: OUTCOME_END.  Full: OUTCOME_BLOCK.  Else as much as fits.
  StreamOutcome Write(const void* buffer, size_t bytes, size_t* bytes_written, int* error) override;
  void Close() override;

  // The held bytes from the read position up to the end of the ring.
  const void* GetReadData(size_t* data_len) override;
  // `used` beyond what GetReadData offered is cut to the bytes held.
  void ConsumeReadData(size_t used) override;
  // The free room from the write position up to the read position or the
  // end of the ring (0 bytes when full); an empty buffer first rewinds so
  // the whole ring is one block.  Null (length untouched) once closed.
  void* GetWriteBuffer(size_t* buf_len) override;
  // `used` beyond the free room is cut to it.
  void ConsumeWriteBuffer(size_t used) override;

 private:
  // Posts `events` to the owner, error 0.
  void PostToOwner(int events);

  std::atomic<StreamPhase> state_{PHASE_OPEN};
  // Set in the constructor, never changed.  A reference, not a pointer:
  // the thread that made the buffer may end before the buffer does, and
  // its events are then dropped.
  const ThreadRef owner_;
  // Guarded by crit_.
  char* buffer_;
  size_t buffer_length_;  // capacity, at least 1
  size_t data_length_ = 0;
  size_t read_position_ = 0;
  mutable RecursiveLock crit_;
};

// A stream that wraps another and passes everything through: every
// operation, GetWriteRemaining included, goes to the wrapped stream, except
// the direct buffer access, which an adapter does not offer.  The wrapped
// stream's events come out as the adapter's own (OnEvent).  Without a
// wrapped stream every operation fails: reads and writes answer
// OUTCOME_ERROR, queries false, GetState PHASE_CLOSED.
//
// Threading: no lock; an adapter is used like the stream it wraps.
class StreamAdapterInterface : public StreamInterface, public sigslot::has_slots<> {
 public:
  // `stream` may be null.  With `owned` the adapter destroys it.
  StreamAdapterInterface(StreamInterface* stream, bool owned);
  // Destroys the wrapped stream when owned, then leaves every signal.
  ~StreamAdapterInterface() override;

  StreamPhase GetState() const override;
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  bool GetSize(size_t* size) const override;
  bool GetAvailable(size_t* size) const override;
  bool GetWriteRemaining(size_t* size) const override;
  bool ReserveSize(size_t size) override;

  // Connected to the wrapped stream's SignalStreamEvent: emits this
  // adapter's SignalStreamEvent with itself as the stream.
  virtual void OnEvent(StreamInterface* stream, int events, int error);

 protected:
  StreamInterface* stream() const { return stream_; }

 private:
  // Set in the constructor, never changed.
  StreamInterface* const stream_;
  const bool owned_;
};

// Passes traffic through and copies every byte read or written to a second
// stream, the tap.  The first time the tap fails, its result and error are
// kept and copying stops for good; the main traffic is never affected.
class StreamTap : public StreamAdapterInterface {
 public:
  // Owns both streams; `tap` may be null.
  StreamTap(StreamInterface* stream, StreamInterface* tap);
  // Destroys the tap, then the wrapped stream.
  ~StreamTap() override;

  // Replaces the tap, destroying the previous one; attaching the attached
  // tap again changes nothing.  The kept result is not reset.
  void AttachTap(StreamInterface* tap);
  // Gives the tap back to the caller and forgets it.
  StreamInterface* DetachTap();
  // OUTCOME_SUCCESS until the tap failed, then that failure, with the tap's
  // error through `error` when given.
  StreamOutcome GetTapResult(int* error);

  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;

 private:
  // Copies `len` bytes to the tap while it has not failed.
  void CopyToTap(const void* data, size_t len);

  StreamInterface* tap_;  // owned; may be null
  StreamOutcome tap_result_ = OUTCOME_SUCCESS;
  int tap_error_ = 0;
};

// A window on the wrapped stream: from its position at construction
// (`start`) on, at most `length` bytes when a length is given.  Positions
// are relative to the start.  Reads stop at the end of the window; writes
// pass through unchanged.  Operations that need a position fail when the
// wrapped stream cannot tell its position.
class StreamSegment : public StreamAdapterInterface {
 public:
  // Unbounded: reads go on to the end of the wrapped stream.
  explicit StreamSegment(StreamInterface* stream);
  StreamSegment(StreamInterface* stream, size_t length);

  // OUTCOME_END at the end of the window; reads are cut at it.
  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  // False beyond the window or when the wrapped stream refuses start + pos.
  bool SetPosition(size_t position) override;
  bool GetPosition(size_t* position) const override;
  // The wrapped stream's size past the start, at most the length.
  bool GetSize(size_t* size) const override;
  // The wrapped stream's available bytes, at most what is left of the
  // window.
  bool GetAvailable(size_t* size) const override;

 private:
  size_t start_ = kUnknownSize;
  size_t position_ = 0;  // relative to start_
  size_t length_;        // kUnknownSize: unbounded
};

// Logs all traffic of the wrapped stream at `level` through LogMultiline:
// reads as input, writes as output, each line beginning with "[label]".
// Also logs "[label] Open" on EVT_OPEN, "[label] Closed locally" on Close
// and "[label] Closed with error: N" on EVT_CLOSE (an event carrying both
// EVT_OPEN and EVT_CLOSE logs only the opening).  Before a closing line, the
// unprintable bytes still counted are reported, output first.
class LoggingAdapter : public StreamAdapterInterface {
 public:
  // Owns `stream`.
  LoggingAdapter(StreamInterface* stream, LoggingSeverity level, const std::string& label,
                 bool hex_mode = false);

  void set_label(const std::string& label);

  StreamOutcome Read(void* buffer, size_t buffer_len, size_t* read, int* error) override;
  StreamOutcome Write(const void* data, size_t data_len, size_t* written, int* error) override;
  void Close() override;

  void OnEvent(StreamInterface* stream, int events, int error) override;

 private:
  // Reports what is still counted, output first, then input.
  void FlushState();

  LoggingSeverity level_;
  std::string label_;  // "[" + label + "]"
  bool hex_mode_;
  LogMultilineState lms_;
};

}  // namespace lumen_base

#endif  // BASE_STREAM_H_
