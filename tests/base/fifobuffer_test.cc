// FifoBuffer: the ring's arithmetic, direct buffer access, capacity changes,
// closing, and the events it posts to its owner thread.
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/stream.h"
#include "base/thread.h"
#include "gtest/gtest.h"

namespace lumen_base {
namespace {

// Records the events a stream emits, in order, with the OS thread of each.
class EventLog : public sigslot::has_slots<> {
 public:
  explicit EventLog(StreamInterface* stream) {
    stream->SignalStreamEvent.connect(this, &EventLog::OnEvent);
  }
  void OnEvent(StreamInterface*, int events, int error) {
    EXPECT_EQ(0, error);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(events);
    threads_.push_back(pthread_self());
    changed_.notify_all();
  }
  std::vector<int> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<pthread_t> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> events_;
  std::vector<pthread_t> threads_;
};

// Delivers the events waiting in the calling thread's queue.
void DeliverEvents() {
  Thread* current = ThreadManager::CurrentThread();
  ASSERT_NE(nullptr, current);
  Message msg;
  while (current->Get(&msg, 0)) current->Dispatch(&msg);
}

std::string ReadString(FifoBuffer* fifo, size_t len, StreamOutcome expected = OUTCOME_SUCCESS) {
  std::string out(len, '\0');
  size_t read = 0;
  EXPECT_EQ(expected, fifo->Read(&out[0], len, &read, nullptr));
  out.resize(expected == OUTCOME_SUCCESS ? read : 0);
  return out;
}

size_t WriteString(FifoBuffer* fifo, const std::string& text,
                   StreamOutcome expected = OUTCOME_SUCCESS) {
  size_t written = 0;
  EXPECT_EQ(expected, fifo->Write(text.data(), text.size(), &written, nullptr));
  return expected == OUTCOME_SUCCESS ? written : 0;
}

size_t Buffered(const FifoBuffer& fifo) {
  size_t size = 99;
  EXPECT_TRUE(fifo.GetBuffered(&size));
  return size;
}

TEST(FifoBuffer, EightByteRingWrapsAndPostsReadinessOnce) {
  FifoBuffer fifo(8);
  EventLog log(&fifo);
  EXPECT_EQ(PHASE_OPEN, fifo.GetState());

  EXPECT_EQ(8u, WriteString(&fifo, "ABCDEFGHIJ"));  // 10 offered, 8 fit
  WriteString(&fifo, "K", OUTCOME_BLOCK);           // full
  DeliverEvents();
  EXPECT_EQ(std::vector<int>{EVT_READ}, log.events());  // only the write into emptiness

  EXPECT_EQ("ABC", ReadString(&fifo, 3));  // it was full: room to write now
  DeliverEvents();
  EXPECT_EQ((std::vector<int>{EVT_READ, EVT_WRITE}), log.events());

  EXPECT_EQ(3u, WriteString(&fifo, "12345"));  // wraps round the end of the ring
  EXPECT_EQ("DEFGH123", ReadString(&fifo, 8));
  EXPECT_EQ(0u, Buffered(fifo));
  ReadString(&fifo, 1, OUTCOME_BLOCK);
  DeliverEvents();
  // The read of 8 found it full again: a second EVT_WRITE.
  EXPECT_EQ((std::vector<int>{EVT_READ, EVT_WRITE, EVT_WRITE}), log.events());
}

TEST(FifoBuffer, EveryWriteSplitKeepsTheBytesInOrder) {
  // All read and write splits across every starting offset of a 7-byte ring.
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (size_t offset = 0; offset < 7; ++offset) {
    for (size_t chunk = 1; chunk <= 7; ++chunk) {
      FifoBuffer fifo(7);
      if (offset > 0) {  // start the ring at `offset`
        WriteString(&fifo, std::string(offset, 'x'));
        ReadString(&fifo, offset);
      }
      std::string out;
      size_t fed = 0;
      while (out.size() < text.size()) {
        if (fed < text.size()) {
          size_t written = 0;
          if (fifo.Write(text.data() + fed, std::min(chunk, text.size() - fed), &written,
                         nullptr) == OUTCOME_SUCCESS) {
            fed += written;
          }
        }
        char buffer[7];
        size_t read = 0;
        if (fifo.Read(buffer, std::min<size_t>(chunk + 1, 7), &read, nullptr) == OUTCOME_SUCCESS) {
          out.append(buffer, read);
        }
      }
      EXPECT_EQ(text, out) << "offset " << offset << " chunk " << chunk;
    }
  }
  DeliverEvents();
}

TEST(FifoBuffer, WriteBufferOfFullAndEmptyRings) {
  FifoBuffer fifo(8);
  size_t len = 99;
  char* start = static_cast<char*>(fifo.GetWriteBuffer(&len));
  ASSERT_NE(nullptr, start);
  EXPECT_EQ(8u, len);  // empty: the whole ring

  WriteString(&fifo, "abcdefgh");
  len = 99;
  EXPECT_NE(nullptr, fifo.GetWriteBuffer(&len));
  EXPECT_EQ(0u, len);  // full: nothing

  // Emptied from the middle, the ring rewinds so the block is whole again.
  EXPECT_EQ("abcde", ReadString(&fifo, 5));
  EXPECT_EQ("fgh", ReadString(&fifo, 3));
  len = 99;
  EXPECT_EQ(start, fifo.GetWriteBuffer(&len));
  EXPECT_EQ(8u, len);
  DeliverEvents();
}

TEST(FifoBuffer, DirectAccessMovesDataAndPostsEvents) {
  FifoBuffer fifo(8);
  EventLog log(&fifo);
  size_t len = 0;
  char* block = static_cast<char*>(fifo.GetWriteBuffer(&len));
  ASSERT_EQ(8u, len);
  memcpy(block, "wxyz", 4);
  fifo.ConsumeWriteBuffer(4);
  EXPECT_EQ(4u, Buffered(fifo));

  // The free room now runs from index 4 to the end of the ring.
  block = static_cast<char*>(fifo.GetWriteBuffer(&len));
  EXPECT_EQ(4u, len);
  memcpy(block, "1234", 4);
  fifo.ConsumeWriteBuffer(4);

  size_t available = 0;
  const char* data = static_cast<const char*>(fifo.GetReadData(&available));
  ASSERT_EQ(8u, available);
  EXPECT_EQ(0, memcmp(data, "wxyz1234", 8));
  fifo.ConsumeReadData(6);
  EXPECT_EQ("34", ReadString(&fifo, 8));

  // Over-consumption is cut to what is there instead of corrupting the ring.
  WriteString(&fifo, "ab");
  fifo.ConsumeReadData(100);
  EXPECT_EQ(0u, Buffered(fifo));
  fifo.ConsumeWriteBuffer(100);
  EXPECT_EQ(8u, Buffered(fifo));

  DeliverEvents();
  // 4 into empty: READ.  6 from full: WRITE.  "ab" into empty: READ.  The
  // over-consumption drained it; the last fill of an empty ring: READ.
  EXPECT_EQ((std::vector<int>{EVT_READ, EVT_WRITE, EVT_READ, EVT_READ}), log.events());
}

TEST(FifoBuffer, SetCapacityKeepsTheBytesInOrder) {
  FifoBuffer fifo(8);
  WriteString(&fifo, "abcdefgh");
  EXPECT_EQ("abcde", ReadString(&fifo, 5));
  WriteString(&fifo, "ijk");  // wrapped: "fgh" at the end, "ijk" at the start

  EXPECT_FALSE(fifo.SetCapacity(5));  // 6 bytes held
  EXPECT_TRUE(fifo.SetCapacity(8));   // no change
  EXPECT_FALSE(fifo.SetCapacity(0));
  EXPECT_TRUE(fifo.SetCapacity(6));
  EXPECT_EQ(6u, Buffered(fifo));
  WriteString(&fifo, "z", OUTCOME_BLOCK);  // exactly full at the new size
  EXPECT_TRUE(fifo.SetCapacity(12));
  EXPECT_EQ(4u, WriteString(&fifo, "lmno"));
  EXPECT_EQ("fghijklmno", ReadString(&fifo, 20));
  DeliverEvents();
}

TEST(FifoBuffer, ClosedBufferStillGivesWhatItHolds) {
  FifoBuffer fifo(8);
  EventLog log(&fifo);
  WriteString(&fifo, "abc");
  fifo.Close();
  EXPECT_EQ(PHASE_CLOSED, fifo.GetState());
  WriteString(&fifo, "d", OUTCOME_END);
  size_t len = 99;
  EXPECT_EQ(nullptr, fifo.GetWriteBuffer(&len));
  EXPECT_EQ(99u, len);  // untouched
  EXPECT_EQ("abc", ReadString(&fifo, 8));
  ReadString(&fifo, 8, OUTCOME_END);
  DeliverEvents();
  EXPECT_EQ(std::vector<int>{EVT_READ}, log.events());  // Close posts nothing
}

TEST(FifoBuffer, ZeroCapacityIsTakenAsOne) {
  FifoBuffer fifo(0);
  EXPECT_EQ(1u, WriteString(&fifo, "xy"));
  EXPECT_EQ("x", ReadString(&fifo, 2));
  DeliverEvents();
}

TEST(FifoBuffer, DestroyedBufferTakesItsQueuedEventsAlong) {
  Thread* current = ThreadManager::CurrentThread();
  ASSERT_NE(nullptr, current);
  {
    FifoBuffer fifo(4);
    WriteString(&fifo, "ab");
    EXPECT_EQ(0, current->GetDelay());  // EVT_READ is queued
  }
  EXPECT_EQ(kWaitForever, current->GetDelay());
}

TEST(FifoBuffer, WriterThreadReaderOwnerEventsOnTheOwner) {
  // The owner reads whenever EVT_READ arrives; another thread writes random
  // chunks and tries again when it finds the ring full.  Every event runs
  // on the owner's thread, and every byte arrives once, in order.
  const size_t kTotal = 16 * 1024;
  std::string expected(kTotal, '\0');
  std::mt19937 random(7);
  for (char& c : expected) c = static_cast<char>(random());

  Thread owner;
  std::unique_ptr<FifoBuffer> fifo;
  pthread_t owner_thread = pthread_t();
  struct Reader : public sigslot::has_slots<> {
    void OnEvent(StreamInterface* stream, int events, int) {
      EXPECT_TRUE(pthread_equal(pthread_self(), *owner_thread));
      if (!(events & EVT_READ)) return;
      char buffer[333];
      size_t read = 0;
      while (stream->Read(buffer, sizeof(buffer), &read, nullptr) == OUTCOME_SUCCESS) {
        received.append(buffer, read);
      }
      if (received.size() == total) {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
      }
    }
    pthread_t* owner_thread;
    size_t total;
    std::string received;
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  } reader;
  reader.owner_thread = &owner_thread;
  reader.total = kTotal;

  ASSERT_TRUE(owner.Start());
  struct Make : public MessageHandler {
    void OnMessage(Message*) override {
      *thread = pthread_self();
      fifo->reset(new FifoBuffer(100));  // owned by the running thread
      (*fifo)->SignalStreamEvent.connect(reader, &Reader::OnEvent);
    }
    std::unique_ptr<FifoBuffer>* fifo;
    Reader* reader;
    pthread_t* thread;
  } make;
  make.fifo = &fifo;
  make.reader = &reader;
  make.thread = &owner_thread;
  owner.Send(&make);

  std::thread writer([&] {
    size_t sent = 0;
    std::uniform_int_distribution<size_t> sizes(1, 150);
    std::mt19937 local(11);
    while (sent < kTotal) {
      size_t written = 0;
      const size_t want = std::min(sizes(local), kTotal - sent);
      const StreamOutcome result = fifo->Write(expected.data() + sent, want, &written, nullptr);
      if (result == OUTCOME_SUCCESS) {
        sent += written;
      } else {
        ASSERT_EQ(OUTCOME_BLOCK, result);
        std::this_thread::yield();  // the owner drains on its own events
      }
    }
  });
  writer.join();
  {
    std::unique_lock<std::mutex> lock(reader.mutex);
    ASSERT_TRUE(
        reader.changed.wait_for(lock, std::chrono::seconds(20), [&] { return reader.done; }));
  }
  struct Destroy : public MessageHandler {
    void OnMessage(Message*) override { fifo->reset(); }
    std::unique_ptr<FifoBuffer>* fifo;
  } destroy;
  destroy.fifo = &fifo;
  owner.Send(&destroy);
  owner.Stop();
  EXPECT_EQ(expected, reader.received);
}

}  // namespace
}  // namespace lumen_base
