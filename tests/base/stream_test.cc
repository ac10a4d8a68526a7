#include "base/stream.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace lumen_base {
namespace {

// A stream driven by a script: Read hands out `input` and Write appends to
// `output`, each at most `chunk` bytes per call; every `block_every`-th call
// (counting reads and writes separately, 0 = never) answers OUTCOME_BLOCK.
// After `fail_after` successful calls (0 = never) it answers OUTCOME_ERROR.
class ScriptedStream : public StreamInterface {
 public:
  std::string input;
  std::string output;
  size_t read_chunk = SIZE_MAX;
  size_t write_chunk = SIZE_MAX;
  int read_block_every = 0;
  int write_block_every = 0;
  int write_fail_after = 0;
  int reads = 0;
  int writes = 0;
  int successful_writes = 0;

  StreamPhase GetState() const override { return PHASE_OPEN; }

  StreamOutcome Read(void* buffer, size_t len, size_t* read, int* error) override {
    ++reads;
    if (read_block_every != 0 && reads % read_block_every == 0) return OUTCOME_BLOCK;
    if (read_pos_ >= input.size()) return OUTCOME_END;
    const size_t count = std::min({len, read_chunk, input.size() - read_pos_});
    memcpy(buffer, input.data() + read_pos_, count);
    read_pos_ += count;
    if (read != nullptr) *read = count;
    if (error != nullptr) *error = 0;
    return OUTCOME_SUCCESS;
  }

  StreamOutcome Write(const void* data, size_t len, size_t* written, int* error) override {
    ++writes;
    if (write_block_every != 0 && writes % write_block_every == 0) return OUTCOME_BLOCK;
    if (write_fail_after != 0 && successful_writes == write_fail_after) {
      if (error != nullptr) *error = 77;
      return OUTCOME_ERROR;
    }
    ++successful_writes;
    const size_t count = std::min(len, write_chunk);
    output.append(static_cast<const char*>(data), count);
    if (written != nullptr) *written = count;
    return OUTCOME_SUCCESS;
  }

  void Close() override {}

 private:
  size_t read_pos_ = 0;
};

// A stream that implements only what the interface requires.
class BareStream : public StreamInterface {
 public:
  StreamPhase GetState() const override { return PHASE_CLOSED; }
  StreamOutcome Read(void*, size_t, size_t*, int*) override { return OUTCOME_END; }
  StreamOutcome Write(const void*, size_t, size_t*, int*) override { return OUTCOME_END; }
  void Close() override {}
};

std::string Bytes(int count, char first = 'a') {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<char>(first + i % 26));
  return bytes;
}

// ---------------------------------------------------------------------------
// The interface's own members

TEST(StreamInterface, DefaultsOfferNothing) {
  BareStream stream;
  size_t value = 1234;
  EXPECT_EQ(nullptr, stream.GetReadData(&value));
  EXPECT_EQ(nullptr, stream.GetWriteBuffer(&value));
  stream.ConsumeReadData(5);
  stream.ConsumeWriteBuffer(5);
  EXPECT_FALSE(stream.SetPosition(0));
  EXPECT_FALSE(stream.GetPosition(&value));
  EXPECT_FALSE(stream.GetSize(&value));
  EXPECT_FALSE(stream.GetAvailable(&value));
  EXPECT_FALSE(stream.GetWriteRemaining(&value));
  EXPECT_EQ(1234u, value);
  EXPECT_TRUE(stream.ReserveSize(1 << 20));
}

TEST(StreamInterface, WriteAllStopsAtTheFirstRefusal) {
  // Accepts 3 bytes on each of two calls, then blocks.
  ScriptedStream stream;
  stream.write_chunk = 3;
  stream.write_block_every = 3;
  size_t written = 0;
  EXPECT_EQ(OUTCOME_BLOCK, stream.WriteAll("0123456789", 10, &written, nullptr));
  EXPECT_EQ(6u, written);
  EXPECT_EQ("012345", stream.output);
}

TEST(StreamInterface, WriteAllCompletesAndPassesTheErrorThrough) {
  ScriptedStream stream;
  stream.write_chunk = 4;
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.WriteAll("0123456789", 10, &written, nullptr));
  EXPECT_EQ(10u, written);

  ScriptedStream failing;
  failing.write_chunk = 4;
  failing.write_fail_after = 1;
  int error = 0;
  EXPECT_EQ(OUTCOME_ERROR, failing.WriteAll("0123456789", 10, &written, &error));
  EXPECT_EQ(4u, written);
  EXPECT_EQ(77, error);
  // Null out-parameters give the same answer.
  ScriptedStream quiet;
  quiet.write_chunk = 3;
  quiet.write_block_every = 3;
  EXPECT_EQ(OUTCOME_BLOCK, quiet.WriteAll("0123456789", 10, nullptr, nullptr));
}

TEST(StreamInterface, WriteAllDoesNotSpinOnAWriteThatTakesNothing) {
  ScriptedStream stream;
  stream.write_chunk = 0;
  size_t written = 99;
  EXPECT_EQ(OUTCOME_BLOCK, stream.WriteAll("abc", 3, &written, nullptr));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(1, stream.writes);
}

TEST(StreamInterface, ReadAllFillsTheBufferOrReportsWhy) {
  ScriptedStream stream;
  stream.input = "0123456789";
  stream.read_chunk = 3;
  char buffer[8];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadAll(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(8u, read);
  EXPECT_EQ("01234567", std::string(buffer, 8));
  EXPECT_EQ(OUTCOME_END, stream.ReadAll(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(2u, read);
  EXPECT_EQ("89", std::string(buffer, 2));

  ScriptedStream blocking;
  blocking.input = "0123456789";
  blocking.read_chunk = 3;
  blocking.read_block_every = 2;
  EXPECT_EQ(OUTCOME_BLOCK, blocking.ReadAll(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(3u, read);
}

TEST(StreamInterface, ReadLineWithoutLineFeedThenEnd) {
  MemoryStream stream("ab");
  std::string line = "stale";
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("ab", line);
  EXPECT_EQ(OUTCOME_END, stream.ReadLine(&line));
  EXPECT_EQ("", line);
}

TEST(StreamInterface, ReadLineKeepsCarriageReturnAndReportsEmptyLines) {
  MemoryStream stream("a\r\n\nb\n");
  std::string line;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("a\r", line);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));  // the empty line
  EXPECT_EQ("", line);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("b", line);
  EXPECT_EQ(OUTCOME_END, stream.ReadLine(&line));
}

TEST(StreamInterface, ReadLineReturnsPartialLineWhenTheSourceBlocks) {
  ScriptedStream stream;
  stream.input = "abcd";
  stream.read_block_every = 3;  // two bytes, then a block
  std::string line;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("ab", line);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("cd", line);

  ScriptedStream blocked;
  blocked.input = "abcd";
  blocked.read_block_every = 1;
  EXPECT_EQ(OUTCOME_BLOCK, blocked.ReadLine(&line));
  EXPECT_EQ("", line);
}

// ---------------------------------------------------------------------------
// Events delivered as messages

class EventRecorder : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface* stream, int events, int error) {
    streams.push_back(stream);
    events_seen.push_back(events);
    errors.push_back(error);
    if (destroy_stream) delete stream;
  }
  std::vector<StreamInterface*> streams;
  std::vector<int> events_seen;
  std::vector<int> errors;
  bool destroy_stream = false;
};

// Counts its own destruction, so tests see that the consumer deleted it.
struct CountedEventData : public PostEventData {
  CountedEventData(int posted_events, int posted_error, int* deleted)
      : PostEventData(posted_events, posted_error), deleted_(deleted) {}
  ~CountedEventData() override { ++*deleted_; }
  int* deleted_;
};

struct CountedOtherData : public MessageData {
  explicit CountedOtherData(int* deleted) : deleted_(deleted) {}
  ~CountedOtherData() override { ++*deleted_; }
  int* deleted_;
};

TEST(StreamInterface, OnMessageEmitsTheEventAndDeletesItsData) {
  NullStream stream;
  EventRecorder recorder;
  stream.SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  int deleted = 0;
  Message msg;
  msg.handler = &stream;
  msg.message_id = kStreamEventId;
  msg.data = new CountedEventData(EVT_READ | EVT_WRITE, 42, &deleted);
  stream.OnMessage(&msg);
  ASSERT_EQ(1u, recorder.streams.size());
  EXPECT_EQ(&stream, recorder.streams[0]);
  EXPECT_EQ(EVT_READ | EVT_WRITE, recorder.events_seen[0]);
  EXPECT_EQ(42, recorder.errors[0]);
  EXPECT_EQ(1, deleted);
  EXPECT_EQ(nullptr, msg.data);
  EXPECT_EQ(61937u, kStreamEventId);
}

TEST(StreamInterface, OnMessageIgnoresOtherIds) {
  NullStream stream;
  EventRecorder recorder;
  stream.SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  int deleted = 0;
  CountedOtherData data(&deleted);
  Message msg;
  msg.message_id = kStreamEventId + 1;
  msg.data = &data;
  stream.OnMessage(&msg);
  EXPECT_TRUE(recorder.streams.empty());
  EXPECT_EQ(0, deleted);
  EXPECT_EQ(&data, msg.data);
}

TEST(StreamInterface, OnMessageWithoutEventPayloadEmitsNothingAndDeletesIt) {
  NullStream stream;
  EventRecorder recorder;
  stream.SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  Message msg;
  msg.message_id = kStreamEventId;
  stream.OnMessage(&msg);  // no data at all
  int deleted = 0;
  msg.data = new CountedOtherData(&deleted);  // data of another kind
  stream.OnMessage(&msg);
  EXPECT_TRUE(recorder.streams.empty());
  EXPECT_EQ(1, deleted);
}

TEST(StreamInterface, SlotMayDestroyTheStreamDuringOnMessage) {
  auto* stream = new NullStream;
  EventRecorder recorder;
  recorder.destroy_stream = true;
  stream->SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  int deleted = 0;
  Message msg;
  msg.message_id = kStreamEventId;
  msg.data = new CountedEventData(EVT_CLOSE, 5, &deleted);
  stream->OnMessage(&msg);  // ASan reports any touch of the freed stream
  EXPECT_EQ(1u, recorder.streams.size());
  EXPECT_EQ(1, deleted);
}

// ---------------------------------------------------------------------------
// Flow

TEST(Flow, SinkBlockingMidBufferKeepsTheRestAtTheStart) {
  ScriptedStream source;
  source.input = "abcdefghij";
  ScriptedStream sink;
  sink.write_chunk = 3;
  sink.write_block_every = 2;
  char buffer[8];
  size_t data_len = 0;
  EXPECT_EQ(OUTCOME_BLOCK, Flow(&source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ("abc", sink.output);
  EXPECT_EQ(5u, data_len);
  EXPECT_EQ("defgh", std::string(buffer, 5));
}

TEST(Flow, CopiesEverythingWithoutStateWhenNothingBlocks) {
  ScriptedStream source;
  source.input = Bytes(1000);
  source.read_chunk = 7;
  ScriptedStream sink;
  sink.write_chunk = 5;
  char buffer[64];
  EXPECT_EQ(OUTCOME_SUCCESS, Flow(&source, buffer, sizeof(buffer), &sink));
  EXPECT_EQ(source.input, sink.output);
}

TEST(Flow, ReportsSourceAndSinkErrorsWithTheBacklog) {
  ScriptedStream source;
  source.input = Bytes(20);
  NullStream bad_source;
  ScriptedStream sink;
  char buffer[8];
  size_t data_len = 3;
  memcpy(buffer, "xyz", 3);
  EXPECT_EQ(OUTCOME_ERROR, Flow(&bad_source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ(3u, data_len);  // the backlog is kept
  EXPECT_EQ("", sink.output);

  ScriptedStream failing_sink;
  failing_sink.write_chunk = 3;
  failing_sink.write_fail_after = 1;
  data_len = 0;
  EXPECT_EQ(OUTCOME_ERROR, Flow(&source, buffer, sizeof(buffer), &failing_sink, &data_len));
  EXPECT_EQ(5u, data_len);
  EXPECT_EQ(Bytes(8).substr(3), std::string(buffer, 5));
}

TEST(Flow, RefusesAnEmptyBufferAndAnImpossibleBacklog) {
  // Without room the source's end could never be seen: this used to spin.
  ScriptedStream source;
  source.input = "abc";
  ScriptedStream sink;
  char buffer[4];
  EXPECT_EQ(OUTCOME_ERROR, Flow(&source, buffer, 0, &sink));
  size_t data_len = 5;  // more than the buffer holds
  EXPECT_EQ(OUTCOME_ERROR, Flow(&source, buffer, sizeof(buffer), &sink, &data_len));
  EXPECT_EQ(0, source.reads);
  EXPECT_EQ(0, sink.writes);
}

// Resuming after every OUTCOME_BLOCK, for every buffer size and every mix of
// short and blocking reads and writes, delivers each byte exactly once.
TEST(Flow, ResumingAfterBlocksLosesAndRepeatsNothing) {
  const std::vector<std::string> inputs = {"", "x", Bytes(7), Bytes(100)};
  for (const std::string& input : inputs) {
    for (size_t buffer_len = 1; buffer_len <= 17; ++buffer_len) {
      for (size_t read_chunk = 1; read_chunk <= 6; ++read_chunk) {
        for (int read_block : {0, 2, 3}) {
          for (size_t write_chunk = 1; write_chunk <= 6; ++write_chunk) {
            for (int write_block : {0, 2, 3}) {
              ScriptedStream source;
              source.input = input;
              source.read_chunk = read_chunk;
              source.read_block_every = read_block;
              ScriptedStream sink;
              sink.write_chunk = write_chunk;
              sink.write_block_every = write_block;
              std::vector<char> buffer(buffer_len);
              size_t data_len = 0;
              StreamOutcome result = OUTCOME_BLOCK;
              int calls = 0;
              while (result == OUTCOME_BLOCK && calls < 10000) {
                result = Flow(&source, buffer.data(), buffer_len, &sink, &data_len);
                ++calls;
                ASSERT_LE(data_len, buffer_len);
              }
              ASSERT_EQ(OUTCOME_SUCCESS, result);
              ASSERT_EQ(0u, data_len);
              ASSERT_EQ(input, sink.output)
                  << "buffer " << buffer_len << " read " << read_chunk << "/" << read_block
                  << " write " << write_chunk << "/" << write_block;
            }
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Memory streams

TEST(MemoryStream, ReadsAndWritesWithPositions) {
  MemoryStream stream("hello");
  size_t value = 0;
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
  EXPECT_TRUE(stream.GetSize(&value));
  EXPECT_EQ(5u, value);
  char buffer[8];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, 3, &read, nullptr));
  EXPECT_EQ("hel", std::string(buffer, read));
  EXPECT_TRUE(stream.GetPosition(&value));
  EXPECT_EQ(3u, value);
  EXPECT_TRUE(stream.GetAvailable(&value));
  EXPECT_EQ(2u, value);
  // A read of length 0 with data left succeeds with nothing.
  read = 99;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, 0, &read, nullptr));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ("lo", std::string(buffer, read));
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, 0, nullptr, nullptr));
  stream.Close();  // does nothing
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
}

TEST(MemoryStream, SetPositionUpToTheDataLength) {
  MemoryStream stream(Bytes(10).data(), 10);
  EXPECT_TRUE(stream.SetPosition(10));
  EXPECT_FALSE(stream.SetPosition(11));
  size_t position = 0;
  EXPECT_TRUE(stream.GetPosition(&position));
  EXPECT_EQ(10u, position);
  EXPECT_TRUE(stream.GetPosition(nullptr));
  EXPECT_TRUE(stream.GetSize(nullptr));
  EXPECT_TRUE(stream.GetAvailable(nullptr));
}

TEST(MemoryStream, ShorterOverwriteKeepsTheDataLength) {
  MemoryStream stream("abcdef");
  ASSERT_TRUE(stream.SetPosition(0));
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("XY", 2, &written, nullptr));
  EXPECT_EQ(2u, written);
  size_t size = 0;
  stream.GetSize(&size);
  EXPECT_EQ(6u, size);
  EXPECT_EQ("XYcdef", std::string(stream.GetBuffer(), size));
}

// The capacity shows in how much a write takes when it has to stop short.
TEST(MemoryStream, GrowsByTheDocumentedSteps) {
  const std::string big = Bytes(2000);
  size_t written = 0;

  MemoryStream small;  // 10 bytes: 256
  EXPECT_EQ(OUTCOME_SUCCESS, small.Write(big.data(), 10, &written, nullptr));
  EXPECT_EQ(10u, written);
  EXPECT_EQ(OUTCOME_SUCCESS, small.Write(big.data(), 1000, &written, nullptr));
  EXPECT_EQ(246u, written);  // the rest of 256; no growth while room is left

  MemoryStream exact;  // 256 at once: an exact multiple gains a full 256
  EXPECT_EQ(OUTCOME_SUCCESS, exact.Write(big.data(), 256, &written, nullptr));
  EXPECT_EQ(256u, written);
  EXPECT_EQ(OUTCOME_SUCCESS, exact.Write(big.data(), 1000, &written, nullptr));
  EXPECT_EQ(256u, written);  // capacity 512

  // Full at 512: doubling (1024) beats 512 + 1 rounded (768).
  EXPECT_EQ(OUTCOME_SUCCESS, exact.Write(big.data(), 1, &written, nullptr));
  EXPECT_EQ(1u, written);
  EXPECT_EQ(OUTCOME_SUCCESS, exact.Write(big.data(), 2000, &written, nullptr));
  EXPECT_EQ(511u, written);

  // From empty, a large write gets its rounded size at once.
  MemoryStream large;
  EXPECT_EQ(OUTCOME_SUCCESS, large.Write(big.data(), 1000, &written, nullptr));
  EXPECT_EQ(1000u, written);
  EXPECT_EQ(OUTCOME_SUCCESS, large.Write(big.data(), 1000, &written, nullptr));
  EXPECT_EQ(24u, written);  // capacity 1024

  size_t size = 0;
  large.GetSize(&size);
  EXPECT_EQ(1024u, size);
  EXPECT_EQ(big.substr(0, 1000) + big.substr(0, 24), std::string(large.GetBuffer(), size));
}

TEST(MemoryStream, WriteAllGrowsAsOftenAsNeeded) {
  const std::string big = Bytes(5000);
  MemoryStream stream;
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.WriteAll(big.data(), big.size(), &written, nullptr));
  EXPECT_EQ(5000u, written);
  ASSERT_TRUE(stream.SetPosition(0));
  std::string line;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ(big, line);
}

TEST(MemoryStream, SetDataReplacesAndRewinds) {
  MemoryStream stream("first");
  stream.SetPosition(3);
  stream.SetData("xy", 2);
  size_t value = 9;
  stream.GetPosition(&value);
  EXPECT_EQ(0u, value);
  stream.GetSize(&value);
  EXPECT_EQ(2u, value);
  // Capacity equals the data: a write at the end grows it to 256.
  stream.SetPosition(2);
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("z", 1, &written, nullptr));
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write(Bytes(300).data(), 300, &written, nullptr));
  EXPECT_EQ(253u, written);

  MemoryStream from_null(static_cast<const char*>(nullptr));
  from_null.GetSize(&value);
  EXPECT_EQ(0u, value);
}

TEST(MemoryStream, ReserveSizeGrowsAndKeepsData) {
  MemoryStream stream("abc");
  EXPECT_TRUE(stream.ReserveSize(100));
  ASSERT_TRUE(stream.SetPosition(3));
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write(Bytes(200).data(), 200, &written, nullptr));
  EXPECT_EQ(97u, written);  // capacity exactly 100
  EXPECT_EQ("abc", std::string(stream.GetBuffer(), 3));
}

#if defined(__SANITIZE_ADDRESS__)
#define LUMEN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMEN_UNDER_ASAN 1
#endif
#endif

TEST(MemoryStream, ReportsOutOfMemoryAndKeepsItsData) {
#ifdef LUMEN_UNDER_ASAN
  GTEST_SKIP() << "the address sanitizer aborts on impossible allocations";
#else
  MemoryStream stream("abc");
  EXPECT_FALSE(stream.ReserveSize(SIZE_MAX));
  ASSERT_TRUE(stream.SetPosition(3));
  int error = 0;
  size_t written = 77;
  // The write finds no room and asks for more than can ever exist.
  EXPECT_EQ(OUTCOME_ERROR, stream.Write("x", SIZE_MAX - 1, &written, &error));
  EXPECT_EQ(12, error);
  EXPECT_EQ(77u, written);
  EXPECT_EQ("abc", std::string(stream.GetBuffer(), 3));
#endif
}

// A memory stream whose capacity sits near the top of size_t, to watch
// the growth request without allocating anything.
class HugeMemoryStream : public MemoryStreamBase {
 public:
  explicit HugeMemoryStream(size_t capacity) {
    buffer_length_ = data_length_ = seek_position_ = capacity;
  }
  std::vector<size_t> requests;

 protected:
  StreamOutcome DoReserve(size_t size, int* error) override {
    requests.push_back(size);
    if (error != nullptr) *error = 12;
    return OUTCOME_ERROR;
  }
};

TEST(MemoryStream, GrowthRequestDoesNotWrapNearTheTop) {
  // Twice the capacity and seek position + length both overflow here; a
  // wrapped request would look satisfied and the write would take nothing.
  HugeMemoryStream stream(SIZE_MAX - 100);
  int error = 0;
  EXPECT_EQ(OUTCOME_ERROR, stream.Write("abc", 3, nullptr, &error));
  EXPECT_EQ(OUTCOME_ERROR, stream.Write("abc", SIZE_MAX, nullptr, &error));
  ASSERT_EQ(2u, stream.requests.size());
  EXPECT_EQ(SIZE_MAX, stream.requests[0]);
  EXPECT_EQ(SIZE_MAX, stream.requests[1]);

  HugeMemoryStream half(SIZE_MAX / 2 + 1);  // doubling alone overflows
  EXPECT_EQ(OUTCOME_ERROR, half.Write("abc", 3, nullptr, nullptr));
  ASSERT_EQ(1u, half.requests.size());
  EXPECT_EQ(SIZE_MAX, half.requests[0]);
}

TEST(ExternalMemoryStream, ReadsItsMemoryThenEnds) {
  char memory[16];
  memcpy(memory, Bytes(16).data(), 16);
  ExternalMemoryStream stream(memory, sizeof(memory));
  char buffer[32];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(16u, read);
  EXPECT_EQ(Bytes(16), std::string(buffer, read));
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), &read, nullptr));
}

TEST(ExternalMemoryStream, WritesStopAtTheEndOfTheMemory) {
  char memory[16];
  memset(memory, '.', sizeof(memory));
  ExternalMemoryStream stream(memory, sizeof(memory));
  const std::string data = Bytes(20, 'A');
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write(data.data(), 20, &written, nullptr));
  EXPECT_EQ(16u, written);
  EXPECT_EQ(data.substr(0, 16), std::string(memory, 16));
  EXPECT_EQ(OUTCOME_END, stream.Write(data.data(), 4, &written, nullptr));
  EXPECT_EQ(16u, written);  // untouched by the refused write
  EXPECT_FALSE(stream.ReserveSize(17));
  EXPECT_TRUE(stream.ReserveSize(16));
}

TEST(ExternalMemoryStream, SetDataMakesTheWholeMemoryReadable) {
  char first[4] = {'a', 'b', 'c', 'd'};
  char second[6] = {'0', '1', '2', '3', '4', '5'};
  ExternalMemoryStream stream;
  char buffer[8];
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), nullptr, nullptr));
  size_t written = 0;
  EXPECT_EQ(OUTCOME_END, stream.Write("x", 1, &written, nullptr));  // no memory at all
  stream.SetData(first, sizeof(first));
  stream.SetData(second, sizeof(second));
  size_t size = 0;
  stream.GetSize(&size);
  EXPECT_EQ(6u, size);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("XY", 2, &written, nullptr));
  EXPECT_EQ("XY2345", std::string(second, 6));
  EXPECT_EQ("abcd", std::string(first, 4));
}

// ---------------------------------------------------------------------------
// StringStream and NullStream

TEST(StringStream, ReadsFromPositionAndAppendsWrites) {
  std::string text = "abc";
  StringStream stream(text);
  char buffer[8];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, 2, &read, nullptr));
  EXPECT_EQ("ab", std::string(buffer, read));
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("XYZ", 3, &written, nullptr));
  EXPECT_EQ(3u, written);
  EXPECT_EQ("abcXYZ", text);  // appended, whatever the read position
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ("cXYZ", std::string(buffer, read));
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_TRUE(stream.ReserveSize(1000));
  EXPECT_GE(text.capacity(), 1000u);
  EXPECT_FALSE(stream.ReserveSize(SIZE_MAX));
}

TEST(StringStream, ReadOfLengthZeroAnswersEnd) {
  std::string text = "abc";
  StringStream stream(text);
  char buffer[1];
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, 0, nullptr, nullptr));
}

TEST(StringStream, ConstStringIsReadOnly) {
  const std::string text = "abc";
  StringStream stream(text);
  int error = 0;
  size_t written = 5;
  EXPECT_EQ(OUTCOME_ERROR, stream.Write("x", 1, &written, &error));
  EXPECT_EQ(-1, error);
  EXPECT_EQ(5u, written);
  EXPECT_EQ(OUTCOME_ERROR, stream.Write("x", 1, nullptr, nullptr));
  EXPECT_FALSE(stream.ReserveSize(10));
  EXPECT_EQ("abc", text);
  std::string line;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.ReadLine(&line));
  EXPECT_EQ("abc", line);
}

TEST(StringStream, PositionsAndAStringShortenedUnderIt) {
  std::string text = "abcdef";
  StringStream stream(text);
  EXPECT_TRUE(stream.SetPosition(6));
  EXPECT_FALSE(stream.SetPosition(7));
  size_t value = 0;
  EXPECT_TRUE(stream.GetSize(&value));
  EXPECT_EQ(6u, value);
  EXPECT_TRUE(stream.SetPosition(4));
  EXPECT_TRUE(stream.GetAvailable(&value));
  EXPECT_EQ(2u, value);
  text.resize(2);  // the caller owns the string
  EXPECT_TRUE(stream.GetAvailable(&value));
  EXPECT_EQ(0u, value);
  char buffer[4];
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), nullptr, nullptr));
  EXPECT_TRUE(stream.GetPosition(&value));
  EXPECT_EQ(4u, value);
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
}

TEST(NullStream, SwallowsWritesAndRefusesReads) {
  NullStream stream;
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("abcd", 4, &written, nullptr));
  EXPECT_EQ(4u, written);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("abcd", 4, nullptr, nullptr));
  char buffer[4];
  int error = 0;
  EXPECT_EQ(OUTCOME_ERROR, stream.Read(buffer, sizeof(buffer), nullptr, &error));
  EXPECT_EQ(-1, error);
  EXPECT_EQ(OUTCOME_ERROR, stream.Read(buffer, sizeof(buffer), nullptr, nullptr));
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
}

// ---------------------------------------------------------------------------
// FileStream on real files

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
  }

  std::string Path(const char* name) const { return dir_ + "/" + name; }
  // Removed with its files after each test.
  quorvex_test::TempFolder temp_{"stream_test"};

  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

TEST_F(FileStreamTest, ClosedStreamRefusesEverything) {
  FileStream stream;
  EXPECT_EQ(PHASE_CLOSED, stream.GetState());
  char buffer[4];
  size_t value = 7;
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), &value, nullptr));
  EXPECT_EQ(OUTCOME_END, stream.Write("ab", 2, &value, nullptr));
  EXPECT_FALSE(stream.SetPosition(0));
  EXPECT_FALSE(stream.GetPosition(&value));
  EXPECT_FALSE(stream.GetSize(&value));
  EXPECT_FALSE(stream.GetAvailable(&value));
  EXPECT_EQ(7u, value);
  EXPECT_FALSE(stream.DisableBuffering());
  EXPECT_FALSE(stream.Flush());
  EXPECT_TRUE(stream.ReserveSize(100));
  stream.Close();  // harmless
}

TEST_F(FileStreamTest, WritesReadsAndSeeks) {
  const std::string path = Path("data.bin");
  FileStream stream;
  ASSERT_TRUE(stream.Open(path, "w+b"));
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
  size_t written = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Write("hello\nworld", 11, &written, nullptr));
  EXPECT_EQ(11u, written);
  size_t value = 0;
  EXPECT_TRUE(stream.GetPosition(&value));
  EXPECT_EQ(11u, value);
  EXPECT_TRUE(stream.SetPosition(6));
  EXPECT_TRUE(stream.GetAvailable(&value));
  EXPECT_EQ(5u, value);
  char buffer[16];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, 0, &read, nullptr));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(OUTCOME_SUCCESS, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ("world", std::string(buffer, read));
  EXPECT_EQ(OUTCOME_END, stream.Read(buffer, sizeof(buffer), &read, nullptr));
  stream.Close();
  EXPECT_EQ(PHASE_CLOSED, stream.GetState());
  EXPECT_EQ("hello\nworld", Contents(path));
  EXPECT_TRUE(FileStream::GetSize(path, &value));
  EXPECT_EQ(11u, value);
}

TEST_F(FileStreamTest, SizeCountsBytesStillInTheBuffer) {
  FileStream stream;
  ASSERT_TRUE(stream.Open(Path("buffered.txt"), "w"));
  ASSERT_EQ(OUTCOME_SUCCESS, stream.Write("0123456789", 10, nullptr, nullptr));
  size_t size = 0;
  EXPECT_TRUE(stream.GetSize(&size));
  EXPECT_EQ(10u, size);
  EXPECT_TRUE(stream.GetSize(nullptr));
}

TEST_F(FileStreamTest, AvailableIsZeroPastTheEnd) {
  FileStream stream;
  ASSERT_TRUE(stream.Open(Path("short.txt"), "w+"));
  ASSERT_EQ(OUTCOME_SUCCESS, stream.Write("abc", 3, nullptr, nullptr));
  ASSERT_TRUE(stream.SetPosition(10));  // fseek may go beyond the end
  size_t available = 99;
  EXPECT_TRUE(stream.GetAvailable(&available));
  EXPECT_EQ(0u, available);
  EXPECT_FALSE(stream.SetPosition(SIZE_MAX));
}

TEST_F(FileStreamTest, UnbufferedWritesReachTheFileAtOnce) {
  const std::string path = Path("log.txt");
  FileStream stream;
  ASSERT_TRUE(stream.Open(path.c_str(), "w"));
  ASSERT_TRUE(stream.DisableBuffering());
  ASSERT_EQ(OUTCOME_SUCCESS, stream.WriteAll("line\n", 5, nullptr, nullptr));
  EXPECT_EQ("line\n", Contents(path));
  EXPECT_TRUE(stream.Flush());
}

TEST_F(FileStreamTest, OpenFailuresLeaveItClosed) {
  FileStream stream;
  ASSERT_TRUE(stream.Open(Path("a.txt"), "w"));
  EXPECT_FALSE(stream.Open(Path("missing/dir/b.txt"), "r"));  // closes a.txt first
  EXPECT_EQ(PHASE_CLOSED, stream.GetState());
  EXPECT_FALSE(stream.Open(static_cast<const char*>(nullptr), "r"));
  EXPECT_FALSE(stream.Open(Path("a.txt"), nullptr));
  EXPECT_TRUE(stream.OpenShare(Path("a.txt").c_str(), "r", 0x1234));
  EXPECT_EQ(PHASE_OPEN, stream.GetState());
  size_t size = 0;
  EXPECT_FALSE(FileStream::GetSize(Path("nothing.txt"), &size));
}

TEST_F(FileStreamTest, ReadAndWriteErrorsCarryErrno) {
  const std::string path = Path("rw.txt");
  {
    FileStream writer;
    ASSERT_TRUE(writer.Open(path, "w"));
    char buffer[4];
    int error = 0;
    EXPECT_EQ(OUTCOME_ERROR, writer.Read(buffer, sizeof(buffer), nullptr, &error));
    EXPECT_EQ(EBADF, error);
  }
  FileStream reader;
  ASSERT_TRUE(reader.Open(path, "r"));
  int error = 0;
  size_t written = 55;
  EXPECT_EQ(OUTCOME_ERROR, reader.Write("abc", 3, &written, &error));
  EXPECT_EQ(EBADF, error);
  EXPECT_EQ(55u, written);
  // Writing nothing is no failure.
  written = 55;
  EXPECT_EQ(OUTCOME_SUCCESS, reader.Write("abc", 0, &written, nullptr));
  EXPECT_EQ(0u, written);
}

TEST_F(FileStreamTest, ReopensAfterClose) {
  FileStream stream;
  ASSERT_TRUE(stream.Open(Path("one.txt"), "w"));
  ASSERT_EQ(OUTCOME_SUCCESS, stream.Write("1", 1, nullptr, nullptr));
  stream.Close();
  ASSERT_TRUE(stream.Open(Path("two.txt"), "w"));
  ASSERT_EQ(OUTCOME_SUCCESS, stream.Write("22", 2, nullptr, nullptr));
  stream.Close();
  EXPECT_EQ("1", Contents(Path("one.txt")));
  EXPECT_EQ("22", Contents(Path("two.txt")));
}

TEST_F(FileStreamTest, FlowsAFileIntoMemory) {
  const std::string path = Path("source.txt");
  const std::string data = Bytes(5000);
  {
    std::ofstream out(path, std::ios::binary);
    out << data;
  }
  FileStream source;
  ASSERT_TRUE(source.Open(path, "rb"));
  MemoryStream sink;
  char buffer[333];
  EXPECT_EQ(OUTCOME_SUCCESS, Flow(&source, buffer, sizeof(buffer), &sink));
  size_t size = 0;
  sink.GetSize(&size);
  EXPECT_EQ(data, std::string(sink.GetBuffer(), size));
}

}  // namespace
}  // namespace lumen_base
