#include "platform/events.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Events, CreatedEventReportsItsClassAndKind) {
  EventRef event = nullptr;
  ASSERT_EQ(noErr,
            CreateEvent(kCFAllocatorDefault, kEventClassMouse, kEventMouseUp, 1.5, 0, &event));
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(0x6D6F7573u, GetEventClass(event));  // 'mous'
  EXPECT_EQ(2u, GetEventKind(event));
  EXPECT_EQ(1, PlatformGetEventRetainCount(event));
  ReleaseEvent(event);
}

TEST(Events, CreateRefusesNullOut) {
  EXPECT_EQ(paramErr, CreateEvent(nullptr, kEventClassKeyboard, kEventRawKeyDown, 0, 0, nullptr));
}

TEST(Events, NullEventReadsAsZero) {
  EXPECT_EQ(0u, GetEventClass(nullptr));
  EXPECT_EQ(0u, GetEventKind(nullptr));
  EXPECT_EQ(0, PlatformGetEventRetainCount(nullptr));
  EXPECT_EQ(nullptr, RetainEvent(nullptr));
  ReleaseEvent(nullptr);  // harmless
}

TEST(Events, EveryRetainNeedsARelease) {
  EventRef event = nullptr;
  ASSERT_EQ(noErr, CreateEvent(nullptr, kEventClassKeyboard, kEventRawKeyDown, 0, 0, &event));
  EXPECT_EQ(event, RetainEvent(event));
  EXPECT_EQ(2, PlatformGetEventRetainCount(event));
  ReleaseEvent(event);
  EXPECT_EQ(1, PlatformGetEventRetainCount(event));
  EXPECT_EQ(0x6B657962u, GetEventClass(event));  // still alive: 'keyb'
  ReleaseEvent(event);                           // freed; the sanitizer build checks no leak
}

TEST(Events, CountsSurviveConcurrentRetainAndRelease) {
  EventRef event = nullptr;
  ASSERT_EQ(noErr, CreateEvent(nullptr, kEventClassMouse, kEventMouseDown, 0, 0, &event));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([event] {
      for (int i = 0; i < 10000; ++i) ReleaseEvent(RetainEvent(event));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(1, PlatformGetEventRetainCount(event));
  ReleaseEvent(event);
}

}  // namespace
