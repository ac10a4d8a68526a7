#include "platform/memory.h"

#include <string.h>

#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/status.h"

namespace {

bool AllBytesAre(const char* bytes, size_t count, char value) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

TEST(MemoryHandles, NewHandleClearGivesZeroedBlockOfTheSize) {
  for (Size size : {0L, 1L, 7L, 86L, 4096L, 460800L}) {
    Handle h = NewHandleClear(size);
    ASSERT_NE(nullptr, h) << size;
    EXPECT_EQ(noErr, MemError());
    ASSERT_NE(nullptr, *h) << "an empty block still has a master pointer";
    EXPECT_EQ(size, GetHandleSize(h));
    EXPECT_TRUE(AllBytesAre(*h, size, 0)) << size;
    memset(*h, 0x5A, size);  // the sanitizer build catches a short block
    DisposeHandle(h);
    EXPECT_EQ(noErr, MemError());
  }
}

TEST(MemoryHandles, NegativeOrOversizedRequestFails) {
  EXPECT_EQ(nullptr, NewHandleClear(-1));
  EXPECT_EQ(paramErr, MemError());
  EXPECT_EQ(nullptr, NewHandle(kMaxHandleSize + 1));
  EXPECT_EQ(memFullErr, MemError());
}

TEST(MemoryHandles, GrowKeepsContentsAndZeroesTheNewBytes) {
  Handle h = NewHandle(64);
  ASSERT_NE(nullptr, h);
  for (int i = 0; i < 64; ++i) (*h)[i] = static_cast<char>(i + 1);
  // Big enough that the block has to move.
  SetHandleSize(h, 1 << 20);
  ASSERT_EQ(noErr, MemError());
  EXPECT_EQ(1 << 20, GetHandleSize(h));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<char>(i + 1), (*h)[i]) << i;
  EXPECT_TRUE(AllBytesAre(*h + 64, (1 << 20) - 64, 0));
  DisposeHandle(h);
}

TEST(MemoryHandles, RandomResizesMatchAPlainBuffer) {
  std::mt19937 random(12345);
  std::vector<char> reference;
  Handle h = NewHandle(0);
  ASSERT_NE(nullptr, h);
  for (int step = 0; step < 300; ++step) {
    size_t size = random() % 5000;
    size_t old_size = reference.size();
    reference.resize(size, 0);
    SetHandleSize(h, static_cast<Size>(size));
    ASSERT_EQ(noErr, MemError());
    ASSERT_EQ(static_cast<Size>(size), GetHandleSize(h));
    // Scribble on part of the block, in both copies.
    for (size_t i = old_size / 2; i < size; i += 7) {
      char value = static_cast<char>(random());
      reference[i] = value;
      (*h)[i] = value;
    }
    ASSERT_EQ(0, memcmp(reference.data(), *h, size)) << "step " << step;
  }
  DisposeHandle(h);
}

TEST(MemoryHandles, FailedResizeLeavesTheHandleAlone) {
  Handle h = NewHandle(16);
  ASSERT_NE(nullptr, h);
  memset(*h, 'k', 16);
  char* block = *h;
  SetHandleSize(h, -1);
  EXPECT_EQ(paramErr, MemError());
  SetHandleSize(h, kMaxHandleSize + 1);
  EXPECT_EQ(memFullErr, MemError());
  EXPECT_EQ(block, *h);
  EXPECT_EQ(16, GetHandleSize(h));
  EXPECT_TRUE(AllBytesAre(*h, 16, 'k'));
  DisposeHandle(h);
}

TEST(MemoryHandles, NullHandleIsNilHandleErr) {
  EXPECT_EQ(0, GetHandleSize(nullptr));
  EXPECT_EQ(nilHandleErr, MemError());
  SetHandleSize(nullptr, 10);
  EXPECT_EQ(nilHandleErr, MemError());
  DisposeHandle(nullptr);
  EXPECT_EQ(nilHandleErr, MemError());
}

TEST(MemoryHandles, ClearedMasterPointerIsNilHandleErr) {
  Handle h = NewHandle(8);
  ASSERT_NE(nullptr, h);
  *h = nullptr;
  EXPECT_EQ(0, GetHandleSize(h));
  EXPECT_EQ(nilHandleErr, MemError());
  SetHandleSize(h, 100);
  EXPECT_EQ(nilHandleErr, MemError());
  // Disposing still frees the block the manager allocated (a leak otherwise,
  // which the sanitizer build would report).
  DisposeHandle(h);
  EXPECT_EQ(noErr, MemError());
}

TEST(MemoryHandles, DoubleDisposeIsRefusedWithoutHarm) {
  long live_before = PlatformLiveHandleCountForTesting();
  Handle h = NewHandle(32);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(live_before + 1, PlatformLiveHandleCountForTesting());
  DisposeHandle(h);
  EXPECT_EQ(noErr, MemError());
  EXPECT_EQ(live_before, PlatformLiveHandleCountForTesting());
  DisposeHandle(h);
  EXPECT_EQ(memWZErr, MemError());
  EXPECT_EQ(0, GetHandleSize(h));
  EXPECT_EQ(memWZErr, MemError());
  SetHandleSize(h, 64);
  EXPECT_EQ(memWZErr, MemError());
  EXPECT_EQ(live_before, PlatformLiveHandleCountForTesting());
}

TEST(MemoryHandles, DisposedHandleStaysRecognisedWhileOthersComeAndGo) {
  Handle stale = NewHandle(8);
  ASSERT_NE(nullptr, stale);
  DisposeHandle(stale);
  // Fewer disposals than the quarantine holds: the stale master pointer must
  // not be handed out again, so it keeps naming no live handle.
  std::vector<Handle> handles;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 500; ++i) {
      handles.push_back(NewHandle(4));
      ASSERT_NE(stale, handles.back());
    }
    for (Handle h : handles) DisposeHandle(h);
    handles.clear();
  }
  EXPECT_EQ(0, GetHandleSize(stale));
  EXPECT_EQ(memWZErr, MemError());
}

TEST(MemoryHandles, PointerFromElsewhereIsRefusedUntouched) {
  char byte = 'q';
  char* master = &byte;
  Handle foreign = &master;
  EXPECT_EQ(0, GetHandleSize(foreign));
  EXPECT_EQ(memWZErr, MemError());
  SetHandleSize(foreign, 100);
  EXPECT_EQ(memWZErr, MemError());
  DisposeHandle(foreign);
  EXPECT_EQ(memWZErr, MemError());
  EXPECT_EQ(&byte, master);
  EXPECT_EQ('q', byte);
}

TEST(MemoryHandles, MemErrorBelongsToTheCallingThread) {
  EXPECT_EQ(nullptr, NewHandle(-1));
  ASSERT_EQ(paramErr, MemError());
  OSErr seen_by_other_thread = -1;
  std::thread other([&] {
    seen_by_other_thread = MemError();  // nothing called on this thread yet
    Handle h = NewHandle(1);
    DisposeHandle(h);
  });
  other.join();
  EXPECT_EQ(noErr, seen_by_other_thread);
  EXPECT_EQ(paramErr, MemError());
}

TEST(MemoryHandles, ThreadsAllocateResizeAndDisposeTogether) {
  long live_before = PlatformLiveHandleCountForTesting();
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      std::vector<Handle> mine;
      for (int i = 0; i < 200; ++i) {
        Handle h = NewHandleClear(i % 50);
        if (h == nullptr) ++failures[t];
        SetHandleSize(h, i % 50 + 10);
        if (MemError() != noErr) ++failures[t];
        (*h)[0] = static_cast<char>(t);
        mine.push_back(h);
        if (i % 3 == 0) {
          DisposeHandle(mine.front());
          mine.erase(mine.begin());
        }
      }
      for (Handle h : mine) {
        if ((*h)[0] != static_cast<char>(t)) ++failures[t];
        DisposeHandle(h);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
  EXPECT_EQ(live_before, PlatformLiveHandleCountForTesting());
}

TEST(PascalStrings, C2pstrcpyCopiesTextAndLength) {
  Str255 out;
  memset(out, 0xEE, sizeof(out));
  c2pstrcpy(out, "Quorvex");
  EXPECT_EQ(7, out[0]);
  EXPECT_EQ(0, memcmp(out + 1, "Quorvex", 7));
  EXPECT_EQ(0xEE, out[8]) << "no terminating NUL is written";
  c2pstrcpy(out, "");
  EXPECT_EQ(0, out[0]);
  c2pstrcpy(out, nullptr);
  EXPECT_EQ(0, out[0]);
  c2pstrcpy(nullptr, "ignored");  // must not crash
}

TEST(PascalStrings, C2pstrcpyCutsAt255Bytes) {
  for (size_t length : {254u, 255u, 256u, 300u}) {
    std::string text(length, 'a');
    text.back() = 'z';
    Str255 out;
    c2pstrcpy(out, text.c_str());
    size_t expected = length < 255 ? length : 255;
    EXPECT_EQ(expected, out[0]) << length;
    EXPECT_EQ(0, memcmp(out + 1, text.data(), expected)) << length;
  }
}

TEST(PascalStrings, C2pstrcpyWorksInPlace) {
  Str255 buffer;
  strcpy(reinterpret_cast<char*>(buffer), "in place");
  c2pstrcpy(buffer, reinterpret_cast<const char*>(buffer));
  EXPECT_EQ(8, buffer[0]);
  EXPECT_EQ(0, memcmp(buffer + 1, "in place", 8));
}

TEST(PascalStrings, PLstrcpyCopiesExactlyLengthPlusOneBytes) {
  const unsigned char source[] = {3, 'a', '\0', 'c', 'X', 'X'};
  unsigned char out[8];
  memset(out, 0xEE, sizeof(out));
  EXPECT_EQ(out, PLstrcpy(out, source));
  const unsigned char expected[] = {3, 'a', '\0', 'c', 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(0, memcmp(expected, out, sizeof(out)));
  EXPECT_EQ(std::string("a\0c", 3), PlatformPascalToString(out));
}

TEST(PascalStrings, PLstrcpyHandlesFullLengthOverlapAndNulls) {
  Str255 full;
  full[0] = 255;
  for (int i = 1; i <= 255; ++i) full[i] = static_cast<unsigned char>(i);
  Str255 copy;
  PLstrcpy(copy, full);
  EXPECT_EQ(0, memcmp(full, copy, 256));

  unsigned char overlap[16] = {4, 'w', 'x', 'y', 'z'};
  PLstrcpy(overlap + 2, overlap);  // destination starts inside the source
  const unsigned char expected[] = {4, 'w', 4, 'w', 'x', 'y', 'z'};
  EXPECT_EQ(0, memcmp(expected, overlap, sizeof(expected)));

  PLstrcpy(copy, nullptr);
  EXPECT_EQ(0, copy[0]);
  EXPECT_EQ(nullptr, PLstrcpy(nullptr, full));
  EXPECT_EQ("", PlatformPascalToString(nullptr));
}

}  // namespace
