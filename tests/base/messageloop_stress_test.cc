// The message loop under load: several threads post, post with delays and
// send to several looping threads, the loops send to each other, and
// short-lived handlers come and go meanwhile.  Every message must be
// delivered exactly once (or, for a handler destroyed first, dropped), and
// every payload deleted exactly once.  Sized to run in about a second,
// also under the sanitizers.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "base/thread.h"
#include "base/timeutils.h"
#include "gtest/gtest.h"

namespace lumen_base {
namespace {

const int kLoops = 3;
const int kPosters = 3;
const int kMessagesPerPoster = 1500;
const uint32_t kMaxIds = 40000;

// The ledger of one run: per message id, how often it was delivered and how
// often its payload was deleted.
struct Ledger {
  std::atomic<uint32_t> next_id{0};
  std::atomic<int> live_payloads{0};
  std::atomic<int> persistent_issued{0};
  std::atomic<int> persistent_delivered{0};
  std::vector<std::atomic<uint8_t>> delivered = std::vector<std::atomic<uint8_t>>(kMaxIds);
  std::vector<std::atomic<uint8_t>> deleted = std::vector<std::atomic<uint8_t>>(kMaxIds);
  std::vector<std::atomic<bool>> persistent = std::vector<std::atomic<bool>>(kMaxIds);
  std::mutex mutex;
  std::condition_variable all_delivered;

  uint32_t Issue(bool is_persistent) {
    const uint32_t id = next_id++;
    EXPECT_LT(id, kMaxIds);
    persistent[id] = is_persistent;
    if (is_persistent) ++persistent_issued;
    return id;
  }
};

class TrackedData : public MessageData {
 public:
  TrackedData(Ledger* ledger, uint32_t id) : ledger_(ledger), id_(id) { ++ledger_->live_payloads; }
  ~TrackedData() override {
    ++ledger_->deleted[id_];
    --ledger_->live_payloads;
  }
  uint32_t id() const { return id_; }

 private:
  Ledger* ledger_;
  uint32_t id_;
};

// Records a delivery; message ids are not used, the payload names it.
void RecordDelivery(Ledger* ledger, Message* msg) {
  TrackedData* data = static_cast<TrackedData*>(msg->data);
  ++ledger->delivered[data->id()];
  const bool is_persistent = ledger->persistent[data->id()];
  delete data;
  msg->data = nullptr;
  if (is_persistent && ++ledger->persistent_delivered == ledger->persistent_issued) {
    std::lock_guard<std::mutex> lock(ledger->mutex);
    ledger->all_delivered.notify_all();
  }
}

// Lives as long as the run.  Some deliveries send a fresh message on to the
// next loop before they count, so loops send to each other in a ring.
class PersistentHandler : public MessageHandler {
 public:
  PersistentHandler(Ledger* ledger, Thread* next) : ledger_(ledger), next_(next) {}
  void OnMessage(Message* msg) override {
    if (msg->message_id == 1) {
      const uint32_t id = ledger_->Issue(true);
      next_->Send(this, 0, new TrackedData(ledger_, id));
      EXPECT_EQ(1, ledger_->delivered[id].load());  // Send returned: it ran
    }
    RecordDelivery(ledger_, msg);
  }

 private:
  Ledger* ledger_;
  Thread* next_;
};

// Made and destroyed by the posters while its messages are in flight.
class TransientHandler : public MessageHandler {
 public:
  explicit TransientHandler(Ledger* ledger) : ledger_(ledger) {}
  void OnMessage(Message* msg) override { RecordDelivery(ledger_, msg); }

 private:
  Ledger* ledger_;
};

// Destroys a transient handler on the loop that dispatches its messages,
// where no dispatch to it can be in flight.
struct DestroyRequest : public MessageData {
  explicit DestroyRequest(TransientHandler* h) : handler(h) {}
  TransientHandler* handler;
};

class Destroyer : public MessageHandler {
 public:
  void OnMessage(Message* msg) override {
    DestroyRequest* request = static_cast<DestroyRequest*>(msg->data);
    delete request->handler;
    delete request;
    msg->data = nullptr;
  }
};

void Poster(int index, Ledger* ledger, std::vector<std::unique_ptr<Thread>>* loops,
            std::vector<std::unique_ptr<PersistentHandler>>* handlers, Destroyer* destroyer) {
  // Two posters have a Thread for the whole run; the third gets a temporary
  // one for each Send.
  std::unique_ptr<AutoThread> own;
  if (index != 0) own.reset(new AutoThread);
  std::mt19937 random(1234 + index);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<int> loop_index(0, kLoops - 1);

  for (int i = 0; i < kMessagesPerPoster; ++i) {
    const int target = loop_index(random);
    Thread* loop = (*loops)[target].get();
    PersistentHandler* handler = (*handlers)[target].get();
    const int kind = percent(random);
    if (kind < 55) {
      const uint32_t id = ledger->Issue(true);
      // Id 1 makes the handler send on to the next loop.
      loop->Post(handler, i % 40 == 0 ? 1 : 0, new TrackedData(ledger, id), kind < 10);
    } else if (kind < 75) {
      const uint32_t id = ledger->Issue(true);
      loop->PostAfter(percent(random) % 5, handler, 0, new TrackedData(ledger, id));
    } else if (kind < 80) {
      const uint32_t id = ledger->Issue(true);
      loop->Send(handler, 0, new TrackedData(ledger, id));
      EXPECT_EQ(1, ledger->delivered[id].load());
    } else if (kind < 90) {
      // Some delivered, some cleared: destroyed on its loop by a Send.
      TransientHandler* transient = new TransientHandler(ledger);
      for (int k = 0; k < 3; ++k) {
        loop->Post(transient, 0, new TrackedData(ledger, ledger->Issue(false)));
      }
      loop->PostAfter(60000, transient, 0, new TrackedData(ledger, ledger->Issue(false)));
      loop->Send(destroyer, 0, new DestroyRequest(transient));
    } else {
      // Never due: destroyed here, concurrently with the loops' own work.
      auto transient = std::make_unique<TransientHandler>(ledger);
      for (int k = 0; k < kLoops; ++k) {
        (*loops)[k]->PostAfter(60000, transient.get(), 0,
                               new TrackedData(ledger, ledger->Issue(false)));
      }
    }
  }
}

TEST(MessageLoopStress, EveryMessageDeliveredOnceAndEveryPayloadDeletedOnce) {
  // Declared so that the loops go first (stopped and joined), before the
  // handlers they dispatch to, and the ledger last.
  auto ledger = std::make_unique<Ledger>();
  Destroyer destroyer;
  std::vector<std::unique_ptr<PersistentHandler>> handlers;
  std::vector<std::unique_ptr<Thread>> loops;
  for (int i = 0; i < kLoops; ++i) loops.emplace_back(new Thread);
  for (int i = 0; i < kLoops; ++i) {
    handlers.emplace_back(new PersistentHandler(ledger.get(), loops[(i + 1) % kLoops].get()));
  }
  for (auto& loop : loops) ASSERT_TRUE(loop->Start());

  std::vector<std::thread> posters;
  for (int i = 0; i < kPosters; ++i) {
    posters.emplace_back(Poster, i, ledger.get(), &loops, &handlers, &destroyer);
  }
  for (auto& poster : posters) poster.join();

  {
    std::unique_lock<std::mutex> lock(ledger->mutex);
    ASSERT_TRUE(ledger->all_delivered.wait_for(
        lock, std::chrono::seconds(60),
        [&] { return ledger->persistent_delivered.load() == ledger->persistent_issued.load(); }))
        << ledger->persistent_delivered.load() << " of " << ledger->persistent_issued.load();
  }
  for (auto& loop : loops) loop->Stop();

  const uint32_t issued = ledger->next_id.load();
  int persistent_count = 0;
  int transient_delivered = 0;
  for (uint32_t id = 0; id < issued; ++id) {
    ASSERT_EQ(1, ledger->deleted[id].load()) << "payload of message " << id;
    if (ledger->persistent[id]) {
      ++persistent_count;
      ASSERT_EQ(1, ledger->delivered[id].load()) << "message " << id;
    } else {
      ASSERT_LE(ledger->delivered[id].load(), 1) << "message " << id;
      transient_delivered += ledger->delivered[id].load();
    }
  }
  EXPECT_EQ(0, ledger->live_payloads.load());
  EXPECT_EQ(ledger->persistent_issued.load(), persistent_count);
  EXPECT_GT(persistent_count, kPosters * kMessagesPerPoster / 2);
  // Never-due transient messages can only have been dropped.
  EXPECT_LT(transient_delivered, static_cast<int>(issued) - persistent_count);
}

}  // namespace
}  // namespace lumen_base
