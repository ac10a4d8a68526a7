// The stream adapters: plain pass-through, the tap, the segment window and
// the logging adapter.
#include <string.h>

#include <string>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/support/log_capture.h"

namespace lumen_base {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;

class MockStream : public StreamInterface {
 public:
  MOCK_METHOD(StreamPhase, GetState, (), (const, override));
  MOCK_METHOD(StreamOutcome, Read, (void*, size_t, size_t*, int*), (override));
  MOCK_METHOD(StreamOutcome, Write, (const void*, size_t, size_t*, int*), (override));
  MOCK_METHOD(void, Close, (), (override));
  MOCK_METHOD(const void*, GetReadData, (size_t*), (override));
  MOCK_METHOD(void, ConsumeReadData, (size_t), (override));
  MOCK_METHOD(void*, GetWriteBuffer, (size_t*), (override));
  MOCK_METHOD(void, ConsumeWriteBuffer, (size_t), (override));
  MOCK_METHOD(bool, SetPosition, (size_t), (override));
  MOCK_METHOD(bool, GetPosition, (size_t*), (const, override));
  MOCK_METHOD(bool, GetSize, (size_t*), (const, override));
  MOCK_METHOD(bool, GetAvailable, (size_t*), (const, override));
  MOCK_METHOD(bool, GetWriteRemaining, (size_t*), (const, override));
  MOCK_METHOD(bool, ReserveSize, (size_t), (override));
  MOCK_METHOD(void, Die, ());
  ~MockStream() override { Die(); }
};

// A plain adapter with the base behaviour.
class PlainAdapter : public StreamAdapterInterface {
 public:
  PlainAdapter(StreamInterface* stream, bool owned) : StreamAdapterInterface(stream, owned) {}
};

// Records the events a stream emits.
class EventRecorder : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface* stream, int event_bits, int error) {
    streams.push_back(stream);
    events.push_back(event_bits);
    errors.push_back(error);
  }
  std::vector<StreamInterface*> streams;
  std::vector<int> events;
  std::vector<int> errors;
};

TEST(StreamAdapterInterface, PassesEveryOperationThrough) {
  auto* mock = new MockStream;
  PlainAdapter adapter(mock, true);
  char buffer[4];
  size_t count = 0;
  int error = 0;

  EXPECT_CALL(*mock, GetState()).WillOnce(Return(PHASE_OPENING));
  EXPECT_EQ(PHASE_OPENING, adapter.GetState());

  EXPECT_CALL(*mock, Read(buffer, 4, &count, &error))
      .WillOnce(DoAll(SetArgPointee<2>(3), SetArgPointee<3>(0), Return(OUTCOME_BLOCK)));
  EXPECT_EQ(OUTCOME_BLOCK, adapter.Read(buffer, 4, &count, &error));
  EXPECT_EQ(3u, count);

  EXPECT_CALL(*mock, Write(buffer, 2, &count, &error))
      .WillOnce(DoAll(SetArgPointee<3>(42), Return(OUTCOME_ERROR)));
  EXPECT_EQ(OUTCOME_ERROR, adapter.Write(buffer, 2, &count, &error));
  EXPECT_EQ(42, error);

  EXPECT_CALL(*mock, Close());
  adapter.Close();

  EXPECT_CALL(*mock, SetPosition(17u)).WillOnce(Return(true));
  EXPECT_TRUE(adapter.SetPosition(17));

  size_t value = 0;
  EXPECT_CALL(*mock, GetPosition(&value)).WillOnce(DoAll(SetArgPointee<0>(5), Return(true)));
  EXPECT_TRUE(adapter.GetPosition(&value));
  EXPECT_EQ(5u, value);
  EXPECT_CALL(*mock, GetSize(&value)).WillOnce(DoAll(SetArgPointee<0>(6), Return(true)));
  EXPECT_TRUE(adapter.GetSize(&value));
  EXPECT_EQ(6u, value);
  EXPECT_CALL(*mock, GetAvailable(&value)).WillOnce(DoAll(SetArgPointee<0>(7), Return(false)));
  EXPECT_FALSE(adapter.GetAvailable(&value));
  EXPECT_CALL(*mock, GetWriteRemaining(&value)).WillOnce(DoAll(SetArgPointee<0>(8), Return(true)));
  EXPECT_TRUE(adapter.GetWriteRemaining(&value));
  EXPECT_EQ(8u, value);
  EXPECT_CALL(*mock, ReserveSize(99u)).WillOnce(Return(false));
  EXPECT_FALSE(adapter.ReserveSize(99));

  // No direct buffer access through an adapter: the wrapped stream is not
  // asked.
  EXPECT_CALL(*mock, GetReadData(_)).Times(0);
  EXPECT_CALL(*mock, GetWriteBuffer(_)).Times(0);
  EXPECT_CALL(*mock, ConsumeReadData(_)).Times(0);
  EXPECT_CALL(*mock, ConsumeWriteBuffer(_)).Times(0);
  size_t len = 11;
  EXPECT_EQ(nullptr, adapter.GetReadData(&len));
  EXPECT_EQ(nullptr, adapter.GetWriteBuffer(&len));
  adapter.ConsumeReadData(1);
  adapter.ConsumeWriteBuffer(1);
  EXPECT_EQ(11u, len);

  EXPECT_CALL(*mock, Die());  // owned: destroyed with the adapter
}

TEST(StreamAdapterInterface, UnownedStreamSurvivesTheAdapter) {
  MockStream mock;
  { PlainAdapter adapter(&mock, false); }
  EXPECT_CALL(mock, Die());
}

TEST(StreamAdapterInterface, WrappedEventsComeOutAsTheAdapters) {
  auto* inner = new NullStream;
  PlainAdapter adapter(inner, true);
  EventRecorder recorder;
  adapter.SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  inner->SignalStreamEvent(inner, EVT_READ | EVT_CLOSE, 3);
  ASSERT_EQ(1u, recorder.events.size());
  EXPECT_EQ(&adapter, recorder.streams[0]);
  EXPECT_EQ(EVT_READ | EVT_CLOSE, recorder.events[0]);
  EXPECT_EQ(3, recorder.errors[0]);
}

TEST(StreamAdapterInterface, WithoutAStreamEverythingFails) {
  PlainAdapter adapter(nullptr, true);
  char byte = 0;
  size_t value = 0;
  EXPECT_EQ(PHASE_CLOSED, adapter.GetState());
  EXPECT_EQ(OUTCOME_ERROR, adapter.Read(&byte, 1, &value, nullptr));
  EXPECT_EQ(OUTCOME_ERROR, adapter.Write(&byte, 1, &value, nullptr));
  EXPECT_FALSE(adapter.GetSize(&value));
  EXPECT_FALSE(adapter.ReserveSize(1));
  adapter.Close();
}

// Accepts `accept` bytes per write, then fails once with error 5, then
// accepts everything again (which must never be reached through a tap).
class FailingOnceStream : public StringStream {
 public:
  FailingOnceStream(std::string& out, int fail_on_call)
      : StringStream(out), fail_on_call_(fail_on_call) {}
  StreamOutcome Write(const void* data, size_t len, size_t* written, int* error) override {
    if (++calls == fail_on_call_) {
      if (error != nullptr) *error = 5;
      return OUTCOME_ERROR;
    }
    return StringStream::Write(data, len, written, error);
  }
  int calls = 0;

 private:
  int fail_on_call_;
};

TEST(StreamTap, CopiesReadsAndWritesToTheTap) {
  std::string written_text;
  std::string tapped;
  auto* main = new StringStream(written_text);
  StreamTap tap(main, new StringStream(tapped));
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Write("abc", 3, nullptr, nullptr));
  EXPECT_EQ("abc", written_text);
  char buffer[8];
  size_t read = 0;
  // The wrapped stream reads back what was written.
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Read(buffer, 2, &read, nullptr));
  EXPECT_EQ(2u, read);
  EXPECT_EQ("abcab", tapped);
  int error = -1;
  EXPECT_EQ(OUTCOME_SUCCESS, tap.GetTapResult(&error));
  EXPECT_EQ(0, error);
  // A read that gives nothing copies nothing.
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Read(buffer, 1, nullptr, nullptr));
  EXPECT_EQ(OUTCOME_END, tap.Read(buffer, 1, nullptr, nullptr));
  EXPECT_EQ("abcabc", tapped);
}

TEST(StreamTap, TapFailingOnceStopsTheCopyingButNotTheTraffic) {
  std::string written_text;
  std::string tapped;
  auto* failing = new FailingOnceStream(tapped, 2);
  StreamTap tap(new StringStream(written_text), failing);
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Write("one", 3, nullptr, nullptr));
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Write("two", 3, nullptr, nullptr));  // the tap fails here
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Write("three", 5, nullptr, nullptr));
  EXPECT_EQ("onetwothree", written_text);
  EXPECT_EQ("one", tapped);
  EXPECT_EQ(2, failing->calls);  // never asked again
  int error = 0;
  EXPECT_EQ(OUTCOME_ERROR, tap.GetTapResult(&error));
  EXPECT_EQ(5, error);
  EXPECT_EQ(OUTCOME_ERROR, tap.GetTapResult(nullptr));
}

TEST(StreamTap, AttachDetachAndOwnership) {
  std::string written_text;
  MockStream* first = new MockStream;
  StreamTap tap(new StringStream(written_text), first);
  tap.AttachTap(first);  // the same: nothing happens
  MockStream* second = new MockStream;
  EXPECT_CALL(*first, Die());
  tap.AttachTap(second);
  ::testing::Mock::VerifyAndClearExpectations(first);

  EXPECT_EQ(second, tap.DetachTap());                               // the caller owns it now
  EXPECT_EQ(OUTCOME_SUCCESS, tap.Write("x", 1, nullptr, nullptr));  // no tap: no copy
  EXPECT_CALL(*second, Die());
  delete second;

  MockStream* third = new MockStream;
  tap.AttachTap(third);
  EXPECT_CALL(*third, Die());  // destroyed with the tap
}

TEST(StreamSegment, WindowOfFiveBytesAtPositionOneHundred) {
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  auto* memory = new MemoryStream(data.data(), data.size());
  ASSERT_TRUE(memory->SetPosition(100));
  StreamSegment segment(memory, 5);

  size_t value = 0;
  EXPECT_TRUE(segment.GetSize(&value));
  EXPECT_EQ(5u, value);
  EXPECT_TRUE(segment.GetAvailable(&value));
  EXPECT_EQ(5u, value);
  EXPECT_TRUE(segment.GetPosition(&value));
  EXPECT_EQ(0u, value);

  char buffer[16];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, segment.Read(buffer, 3, &read, nullptr));
  EXPECT_EQ(3u, read);
  EXPECT_EQ(0, memcmp(buffer, data.data() + 100, 3));
  EXPECT_EQ(OUTCOME_SUCCESS, segment.Read(buffer, 16, &read, nullptr));
  EXPECT_EQ(2u, read);  // cut at the end of the window
  EXPECT_EQ(OUTCOME_END, segment.Read(buffer, 16, &read, nullptr));
  EXPECT_TRUE(segment.GetAvailable(&value));
  EXPECT_EQ(0u, value);

  EXPECT_TRUE(segment.SetPosition(2));
  EXPECT_TRUE(memory->GetPosition(&value));
  EXPECT_EQ(102u, value);
  EXPECT_TRUE(segment.SetPosition(5));   // the end of the window
  EXPECT_FALSE(segment.SetPosition(6));  // beyond it
}

TEST(StreamSegment, UnboundedWindowEndsWithTheStream) {
  auto* memory = new MemoryStream("0123456789");
  ASSERT_TRUE(memory->SetPosition(4));
  StreamSegment segment(memory);
  size_t value = 0;
  EXPECT_TRUE(segment.GetSize(&value));
  EXPECT_EQ(6u, value);
  char buffer[16];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, segment.Read(buffer, 16, &read, nullptr));
  EXPECT_EQ("456789", std::string(buffer, read));
  EXPECT_EQ(OUTCOME_END, segment.Read(buffer, 16, &read, nullptr));
  EXPECT_TRUE(segment.GetPosition(&value));
  EXPECT_EQ(6u, value);
}

TEST(StreamSegment, WritesPassThroughWithoutMovingTheWindow) {
  std::string text = "abc";
  auto* inner = new StringStream(text);
  StreamSegment segment(inner, 2);
  EXPECT_EQ(OUTCOME_SUCCESS, segment.Write("de", 2, nullptr, nullptr));
  EXPECT_EQ("abcde", text);
  char buffer[8];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, segment.Read(buffer, 8, &read, nullptr));
  EXPECT_EQ("ab", std::string(buffer, read));
}

TEST(StreamSegment, StreamWithoutPositionRefusesPositioning) {
  StreamSegment segment(new NullStream, 10);
  size_t value = 0;
  EXPECT_FALSE(segment.SetPosition(0));
  EXPECT_FALSE(segment.GetPosition(&value));
  EXPECT_FALSE(segment.GetSize(&value));
}

TEST(StreamSegment, RefusedWrappedPositionLeavesTheWindowAlone) {
  auto* memory = new MemoryStream("0123456789");
  StreamSegment segment(memory);
  EXPECT_FALSE(segment.SetPosition(11));  // the memory stream refuses 11
  size_t value = 0;
  EXPECT_TRUE(segment.GetPosition(&value));
  EXPECT_EQ(0u, value);
}

TEST(LoggingAdapter, LogsTrafficOpeningAndClosing) {
  ScopedLogCapture capture(LS_INFO);
  std::string text = "line one\nline two\n";
  auto* inner = new StringStream(text);
  LoggingAdapter adapter(inner, LS_INFO, "conn");
  char buffer[64];
  size_t read = 0;
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Read(buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(text.size(), read);
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Write("reply\n", 6, nullptr, nullptr));
  inner->SignalStreamEvent(inner, EVT_OPEN, 0);
  inner->SignalStreamEvent(inner, EVT_CLOSE, 54);
  adapter.Close();
  EXPECT_EQ(
      "[conn] << line one\n"
      "[conn] << line two\n"
      "[conn] >> reply\n"
      "[conn] Open\n"
      "[conn] Closed with error: 54\n"
      "[conn] Closed locally\n",
      capture.text());
}

TEST(LoggingAdapter, OpenAndCloseTogetherLogOnlyTheOpening) {
  ScopedLogCapture capture(LS_INFO);
  auto* inner = new NullStream;
  LoggingAdapter adapter(inner, LS_INFO, "both");
  EventRecorder recorder;
  adapter.SignalStreamEvent.connect(&recorder, &EventRecorder::OnEvent);
  inner->SignalStreamEvent(inner, EVT_OPEN | EVT_CLOSE, 9);
  EXPECT_EQ("[both] Open\n", capture.text());
  ASSERT_EQ(1u, recorder.events.size());  // still passed on
  EXPECT_EQ(&adapter, recorder.streams[0]);
}

TEST(LoggingAdapter, ClosingReportsPendingUnprintableBytesOutputFirst) {
  ScopedLogCapture capture(LS_INFO);
  std::string text = std::string(6, '\x01') + "\n";
  auto* inner = new StringStream(text);
  LoggingAdapter adapter(inner, LS_INFO, "bin");
  char buffer[16];
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Read(buffer, sizeof(buffer), nullptr, nullptr));
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Write("\x02\x02\x02", 3, nullptr, nullptr));
  EXPECT_EQ("", capture.text());  // counted, not yet shown
  adapter.Close();
  EXPECT_EQ(
      "[bin] >> ## 3 consecutive unprintable ##\n"
      "[bin] << ## 7 consecutive unprintable ##\n"
      "[bin] Closed locally\n",
      capture.text());
}

TEST(LoggingAdapter, HexModeAndLabelChanges) {
  ScopedLogCapture capture(LS_VERBOSE);
  std::string text;
  LoggingAdapter adapter(new StringStream(text), LS_VERBOSE, "x", true);
  adapter.set_label("hex");
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Write("Hi", 2, nullptr, nullptr));
  EXPECT_EQ("[hex] >> Hi" + std::string(22, ' ') + " 4869" + std::string(51, ' ') + " \n",
            capture.text());
}

TEST(LoggingAdapter, BelowTheLevelNothingIsLogged) {
  ScopedLogCapture capture(LS_WARNING);
  std::string text;
  LoggingAdapter adapter(new StringStream(text), LS_INFO, "quiet");
  EXPECT_EQ(OUTCOME_SUCCESS, adapter.Write("data\n", 5, nullptr, nullptr));
  adapter.Close();
  EXPECT_EQ("", capture.text());
  EXPECT_EQ("data\n", text);
}

}  // namespace
}  // namespace lumen_base
