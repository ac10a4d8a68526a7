// QuorvexLumenPlug's feed and capture as their users see them: real
// processes, the real shared segment and named semaphore (the fixtures and
// their rules are in lumenplug_fixture.h).
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "tests/tools/lumenplug_fixture.h"
#include "tools/QuorvexLumenPlug/png.h"
#include "tools/QuorvexLumenPlug/testpattern.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace {

using namespace lumenplug_test;  // NOLINT: the suite's own helpers

// Frame `index` of a w x h y4m stream (ceil chroma), unlike every other.
std::string Y4mPlanes(uint32_t w, uint32_t h, int index) {
  std::string planes(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2), '\0');
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<char>(index * 37 + i * 11);
  return planes;
}

// The same frame as the area holds it: chroma planes cut to floor size.
Bytes AreaPlanes(uint32_t w, uint32_t h, int index) {
  const std::string y4m = Y4mPlanes(w, h, index);
  Bytes out(y4m.begin(), y4m.begin() + w * h);
  const uint32_t in_w = (w + 1) / 2, in_h = (h + 1) / 2;
  for (int plane = 0; plane < 2; ++plane) {
    for (uint32_t y = 0; y < h / 2; ++y) {
      for (uint32_t x = 0; x < w / 2; ++x)
        out.push_back(y4m[w * h + plane * in_w * in_h + y * in_w + x]);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// The command line

TEST_F(FeedTest, HelpListsTheCommands) {
  Child& help = Start({"--help"});
  EXPECT_EQ(0, help.Wait());
  EXPECT_TRUE(Contains(help.Out(), "  feed ")) << help.Out();
  EXPECT_TRUE(Contains(help.Out(), "  capture ")) << help.Out();
  EXPECT_TRUE(Contains(help.Out(), "  publish ")) << help.Out();
  EXPECT_TRUE(Contains(help.Out(), "  names ")) << help.Out();
  Child& version = Start({"--version"});
  EXPECT_EQ(0, version.Wait());
  EXPECT_EQ("QuorvexLumenPlug " QUORVEX_VERSION "\n", version.Out());

  Child& bare = Start({});
  EXPECT_EQ(2, bare.Wait());
  EXPECT_TRUE(Contains(bare.Err(), "Usage: QuorvexLumenPlug COMMAND")) << bare.Err();

  Child& unknown = Start({"film"});
  EXPECT_EQ(2, unknown.Wait());
  EXPECT_TRUE(Contains(unknown.Err(), "unknown command \"film\"")) << unknown.Err();
}

TEST_F(FeedTest, EveryCommandHasHelp) {
  for (const char* command : {"feed", "capture"}) {
    Child& help = Start({command, "--help"});
    EXPECT_EQ(0, help.Wait());
    EXPECT_TRUE(Contains(help.Out(), std::string("Usage: QuorvexLumenPlug ") + command))
        << help.Out();
  }
}

TEST_F(FeedTest, NamesPrintsTheCamerasSystemObjects) {
  const std::string device = tessel::kDeviceName;
  Child& all = Start({"names"});
  EXPECT_EQ(0, all.Wait());
  EXPECT_EQ("device\t" + device + "\nsemaphore\t" + tessel::SemaphoreName(device) +
                "\nsemaphore-file\t" + tessel::SemaphorePath(device) + "\nkey-file\t" +
                tessel::KeyFilePath(device) + "\nsegment-bytes\t461056\n",
            all.Out());
  Child& one = Start({"names", "semaphore-file"});
  EXPECT_EQ(0, one.Wait());
  EXPECT_EQ(tessel::SemaphorePath(device) + "\n", one.Out());
  Child& unknown = Start({"names", "colour"});
  EXPECT_EQ(2, unknown.Wait());
  EXPECT_TRUE(Contains(unknown.Err(), "names: unknown name \"colour\"")) << unknown.Err();
  Child& help = Start({"names", "--help"});
  EXPECT_EQ(0, help.Wait());
  EXPECT_TRUE(Contains(help.Out(), "Usage: QuorvexLumenPlug names")) << help.Out();
}

TEST_F(FeedTest, RefusesBadCommandLinesSayingWhy) {
  const std::map<Strings, std::string> cases = {
      {{"--size", "800x600"}, "--size 800x600 is too large: its frames take 720000 bytes"},
      {{"--size", "640x481"}, "--size 640x481 is too large: its frames take 461440 bytes"},
      {{"--size", "big"}, "--size wants WIDTHxHEIGHT"},
      {{"--size"}, "--size needs a value"},
      {{"--rate", "0"}, "--rate must be above 0"},
      {{"--rate=2000"}, "--rate must be at most 1000"},
      {{"--frames", "0"}, "--frames wants a whole number from 1 up"},
      {{"--loop"}, "--loop needs an input file"},
      {{"a.y4m", "b.y4m"}, "only one input can be given"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--size", "320x240", "clip.y4m"}, "--size sets the test pattern's size"},
  };
  for (const auto& [args, reason] : cases) {
    Child& feed = StartFeed(args);
    EXPECT_EQ(2, feed.Wait()) << args[0];
    EXPECT_TRUE(Contains(feed.Err(), "feed: " + reason)) << feed.Err();
  }
  EXPECT_FALSE(device_.SemaphoreExists());
  EXPECT_FALSE(PathExists(device_.key_file()));
}

TEST_F(FeedTest, RefusesInputItCannotTakeAndLeavesTheCameraAlone) {
  const std::map<std::string, std::string> cases = {
      {"P6\n640 480\n255\n", "not a YUV4MPEG2 stream"},
      {"YUV4MPEG2 W320 H240 F30:1 C422\n", "the colour space C422 is not supported"},
      {"YUV4MPEG2 W320 H240 F30:1 Cmono\n", "the colour space Cmono is not supported"},
      {"YUV4MPEG2 W1280 H720 F30:1\n",
       "1280x720, 1382400 bytes each in 4:2:0, more than the "
       "460800 bytes"},
      {"", "the input is empty"},
  };
  for (const auto& [stream, reason] : cases) {
    const std::string path = folder_.File("input.y4m");
    std::ofstream(path, std::ios::binary) << stream;
    Child& feed = StartFeed({path});
    EXPECT_EQ(1, feed.Wait());
    EXPECT_TRUE(Contains(feed.Err(), "feed: " + path + ": ")) << feed.Err();
    EXPECT_TRUE(Contains(feed.Err(), reason)) << feed.Err();
  }
  Child& missing = StartFeed({folder_.File("missing.y4m")});
  EXPECT_EQ(1, missing.Wait());
  EXPECT_TRUE(Contains(missing.Err(), "cannot open " + folder_.File("missing.y4m")))
      << missing.Err();
  EXPECT_FALSE(device_.SemaphoreExists());
  EXPECT_FALSE(PathExists(device_.key_file()));
}

TEST_F(FeedTest, LoopNeedsAFileNotAPipe) {
  const std::string path = folder_.File("clip.y4m");
  std::ofstream(path, std::ios::binary) << "YUV4MPEG2 W4 H2 F30:1\nFRAME\n" << Y4mPlanes(4, 2, 0);
  Child& feed = StartProgram({"/bin/sh", "-c", "cat \"$1\" | \"$0\" feed --device \"$2\" --loop -",
                              kTool, path, device_.name()});
  EXPECT_EQ(2, feed.Wait());
  EXPECT_TRUE(Contains(feed.Err(), "--loop needs a file that can be read again")) << feed.Err();
}

// ---------------------------------------------------------------------------
// Frames in the shared area

TEST_F(FeedTest, WritesExactlyTheFramesItReads) {
  // An odd size, so that the chroma planes are converted on the way.
  const uint32_t w = 33, h = 17;
  const int kFrames = 8;
  const std::string path = folder_.File("clip.y4m");
  {
    std::ofstream clip(path, std::ios::binary);
    clip << "YUV4MPEG2 W33 H17 F25:1 Ip C420jpeg\n";
    for (int i = 0; i < kFrames; ++i) clip << "FRAME\n" << Y4mPlanes(w, h, i);
  }
  Child& feed = StartFeed({path});
  ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();

  // Poll as a camera does, under the lock, until feed has ended.
  std::map<uint32_t, Device::Frame> seen;
  int status = -1;
  while (!feed.Ended(&status)) {
    Device::Frame frame = device_.Read();
    if (frame.size != 0) {
      EXPECT_EQ(kProducerMark, frame.mark);
      EXPECT_EQ(static_cast<uint32_t>(feed.pid()), frame.pid);
      seen.emplace(frame.counter, std::move(frame));
    }
    // Leave the lock to feed between polls, as a camera does.
    const struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  EXPECT_EQ(0, status) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 8 frames")) << feed.Err();
  // At 25 frames per second a poll every millisecond misses none but on a
  // badly overloaded machine; every frame seen must be exact.
  EXPECT_GE(seen.size(), static_cast<size_t>(kFrames / 2));
  for (const auto& [counter, frame] : seen) {
    // A new segment starts at counter 0, so frame i carries i + 1.
    ASSERT_GE(counter, 1u);
    ASSERT_LE(counter, static_cast<uint32_t>(kFrames));
    EXPECT_EQ(w, frame.width);
    EXPECT_EQ(h, frame.height);
    EXPECT_EQ(33u * 17 + 2 * 16 * 8, frame.size);
    EXPECT_EQ(AreaPlanes(w, h, counter - 1), frame.data) << "frame " << counter - 1;
  }
  // At the end of the input the picture is withdrawn and the claim given up;
  // the test is still attached, so the segment stays.
  const Device::Frame last = device_.Read();
  EXPECT_EQ(0u, last.size);
  EXPECT_EQ(0u, last.mark);
  EXPECT_EQ(static_cast<uint32_t>(kFrames), last.counter);
  EXPECT_TRUE(PathExists(device_.key_file()));
}

TEST_F(FeedTest, TakesWhatFfmpegWrites) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  Child& feed =
      StartProgram({"/bin/sh", "-c",
                    "ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 5 "
                    "-f yuv4mpegpipe -pix_fmt yuv420p - | \"$0\" feed --device \"$1\" --rate 10 -",
                    kTool, device_.name()});
  ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();
  const Device::Frame frame = device_.Read();
  EXPECT_EQ(320u, frame.width);
  EXPECT_EQ(240u, frame.height);
  EXPECT_EQ(115200u, frame.size);
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 5 frames")) << feed.Err();
}

TEST_F(FeedTest, ThePatternChangesFromFrameToFrame) {
  Child& feed = StartFeed({"--size", "320x240", "--rate", "50"});
  ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();
  const Device::Frame first = device_.Read();
  EXPECT_EQ(320u, first.width);
  EXPECT_EQ(240u, first.height);
  EXPECT_EQ(115200u, first.size);
  Device::Frame later;
  ASSERT_TRUE(WaitFor([&] {
    later = device_.Read();
    return later.counter >= first.counter + 5;
  }));
  EXPECT_NE(first.data, later.data);
}

TEST_F(FeedTest, StopsAfterTheFramesAskedFor) {
  const long long start = NowMs();
  Child& feed = StartFeed({"--frames", "6", "--rate", "30", "--quiet"});
  EXPECT_EQ(0, feed.Wait());
  // Six frames at 30 per second, the last one shown for its whole duration.
  EXPECT_GE(NowMs() - start, 190);
  EXPECT_EQ("", feed.Err());
  EXPECT_FALSE(PathExists(device_.key_file()));
}

TEST_F(FeedTest, WithdrawsThePictureOnSigtermWhileReadersStay) {
  Child& feed = StartFeed({});
  ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();
  const Device::Frame frame = device_.Read();
  EXPECT_EQ(640u, frame.width);
  EXPECT_EQ(480u, frame.height);
  EXPECT_EQ(460800u, frame.size);
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait());
  const Device::Frame after = device_.Read();
  EXPECT_EQ(0u, after.size);
  EXPECT_EQ(0u, after.mark);
  // Another process is still attached: segment and key file stay.
  EXPECT_TRUE(PathExists(device_.key_file()));
  struct shmid_ds status;
  EXPECT_EQ(0, shmctl(device_.id(), IPC_STAT, &status));
  // The lock is free again, and the semaphore stays for the camera.
  EXPECT_EQ(1, device_.SemaphoreCount());
}

TEST_F(FeedTest, LastUserRemovesSegmentAndKeyFileOnSignal) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    Child& feed = StartFeed({"--size", "160x120"});
    ASSERT_TRUE(AttachToFeed(feed)) << feed.Err();
    const int id = device_.id();
    device_.Detach();
    ASSERT_EQ(0, kill(feed.pid(), signal_number));
    EXPECT_EQ(0, feed.Wait());
    EXPECT_TRUE(Contains(feed.Err(), "the picture is withdrawn")) << feed.Err();
    EXPECT_FALSE(PathExists(device_.key_file()));
    struct shmid_ds status;
    EXPECT_NE(0, shmctl(id, IPC_STAT, &status)) << "the segment is still there";
    EXPECT_EQ(1, device_.SemaphoreCount());
  }
}

TEST_F(FeedTest, RecoversALockWhoseHolderDied) {
  // A reader that dies in the middle of a copy, holding the lock.
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t holder = fork();
  if (holder == 0) {
    sem_t* sem = sem_open(device_.semaphore().c_str(), O_CREAT, 0600, 1);
    if (sem == SEM_FAILED || sem_wait(sem) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  close(ready[0]);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(0, device_.SemaphoreCount());

  const long long start = NowMs();
  Child& feed = StartFeed({"--frames", "3", "--size", "64x48"});
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  const long long took = NowMs() - start;
  EXPECT_GE(took, 2000);  // it waited as long as no live holder could take
  EXPECT_LT(took, 15000);
  EXPECT_TRUE(Contains(feed.Err(), "feed: warning: the camera's lock \"" + device_.semaphore() +
                                       "\" was taken for more than 2000 ms"))
      << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "stopped after 3 frames")) << feed.Err();
  EXPECT_EQ(1, device_.SemaphoreCount());  // free, and not above one
}

TEST_F(FeedTest, BringsALockReleasedTwiceBackToOne) {
  // A count of 2 would let two holders in at once.
  sem_t* sem = sem_open(device_.semaphore().c_str(), O_CREAT | O_EXCL, 0600, 2);
  ASSERT_NE(SEM_FAILED, sem);
  sem_close(sem);
  Child& feed = StartFeed({"--frames", "2", "--size", "64x48"});
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_TRUE(Contains(feed.Err(), "had been released twice")) << feed.Err();
  EXPECT_EQ(1, device_.SemaphoreCount());
}

TEST_F(FeedTest, RefusesASecondProducerForTheSameCamera) {
  Child& first = StartFeed({"--size", "64x48", "--rate", "100"});
  ASSERT_TRUE(AttachToFeed(first)) << first.Err();
  Child& second = StartFeed({"--frames", "1"});
  EXPECT_EQ(1, second.Wait());
  EXPECT_TRUE(Contains(second.Err(), "feed: another producer (process " +
                                         std::to_string(first.pid()) + ") is feeding \"" +
                                         device_.name() + "\" already"))
      << second.Err();
  // The first one goes on undisturbed.
  const uint32_t counter = device_.Read().counter;
  EXPECT_TRUE(WaitFor([&] { return device_.Read().counter != counter; }));
  const Device::Frame frame = device_.Read();
  EXPECT_EQ(64u, frame.width);
  EXPECT_EQ(static_cast<uint32_t>(first.pid()), frame.pid);
}

TEST_F(FeedTest, SkipsTheCounterValueAFreshCameraIgnores) {
  // A camera that has taken no frame yet remembers 0xFFFFFFFF as taken, so
  // a frame with that counter would never reach it.
  { std::ofstream key(device_.key_file()); }
  const key_t key = ftok(device_.key_file().c_str(), static_cast<int>(getuid()));
  const int id = shmget(key, tessel::kSharedFrameAreaBytes, IPC_CREAT | 0600);
  ASSERT_GE(id, 0);
  sem_t* sem = sem_open(device_.semaphore().c_str(), O_CREAT, 0600, 1);
  ASSERT_NE(SEM_FAILED, sem);
  sem_close(sem);
  ASSERT_TRUE(device_.Attach());
  device_.area()->frameCounter = 0xFFFFFFFD;

  Child& feed = StartFeed({"--frames", "2", "--size", "64x48", "--rate", "100"});
  EXPECT_EQ(0, feed.Wait()) << feed.Err();
  EXPECT_EQ(0u, device_.Read().counter);  // 0xFFFFFFFE, then 0 instead of 0xFFFFFFFF
}

// ---------------------------------------------------------------------------
// capture

TEST_F(FeedTest, CaptureRefusesBadCommandLinesSayingWhy) {
  const std::map<Strings, std::string> cases = {
      {{"--size", "800x600"}, "--size 800x600 is too large"},
      {{"--frames", "-1"}, "--frames wants a whole number"},
      {{"--seconds", "0"}, "--seconds wants a number of seconds above 0"},
      {{"--snapshot-frame", "3"}, "--snapshot-frame needs --snapshot FILE.png"},
      {{"--frames", "2", "--snapshot", "a.png", "--snapshot-frame", "3"},
       "--snapshot-frame 3 lies beyond --frames 2"},
      {{"-o"}, "-o needs a value"},
      {{"--verbose", "--quiet"}, "--verbose and --quiet cannot be given together"},
      {{"clip.y4m"}, "unexpected argument clip.y4m"},
      {{"--bogus"}, "unknown option --bogus"},
  };
  for (const auto& [args, reason] : cases) {
    Strings argv = {"capture"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child& capture = Start(argv);
    EXPECT_EQ(2, capture.Wait()) << args[0];
    EXPECT_TRUE(Contains(capture.Err(), "capture: " + reason)) << capture.Err();
  }
}

TEST_F(FeedTest, CaptureNamesACameraThatIsNotInstalled) {
  Child& capture = Start({"capture", "--device", "No Such Camera", "--frames", "1"});
  EXPECT_EQ(1, capture.Wait());
  EXPECT_TRUE(Contains(capture.Err(), "capture: no camera named \"No Such Camera\" is installed"))
      << capture.Err();
}

// ---------------------------------------------------------------------------
// Through the camera component

// The text between `before` and the next `after` in `text`, for each place
// where `before` occurs.
Strings FieldsBetween(const std::string& text, const std::string& before,
                      const std::string& after) {
  Strings fields;
  for (size_t at = text.find(before); at != std::string::npos; at = text.find(before, at + 1)) {
    const size_t begin = at + before.size();
    const size_t end = text.find(after, begin);
    if (end == std::string::npos) break;
    fields.push_back(text.substr(begin, end - begin));
  }
  return fields;
}

uint32_t BigEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
  return value;
}

TEST_F(CameraTest, ExplainsWhyTheCameraRefusesToOpen) {
  // The camera opens only in processes of the allowed names.
  const std::string renamed = folder_.File("NotTheAgent");
  fs::copy_file(kTool, renamed);
  const std::string movie = folder_.File("never.y4m");
  Child& capture = Run(renamed, {"capture", "--frames", "1", "-o", movie});
  EXPECT_EQ(1, capture.Wait());
  // The code, its name and what it means, and why this process got it.
  EXPECT_TRUE(Contains(capture.Err(),
                       "capture: the camera refused to open: -2090 (videoOutputInUseErr): The "
                       "video output is in use; the camera opens only in its agent "
                       "QuorvexLumenPlug and a few web browsers, and this process is named "
                       "\"NotTheAgent\"\n"))
      << capture.Err();
  EXPECT_FALSE(PathExists(movie));
}

TEST_F(CameraTest, DescribesTheCamera) {
  Child& info = Run(kTool, {"capture", "--info"});
  ASSERT_EQ(0, info.Wait()) << info.Err();
  EXPECT_TRUE(Contains(info.Out(), "camera: Quorvex Camera Adapter 0\n")) << info.Out();
  EXPECT_TRUE(Contains(info.Out(), "delivers frames: yes\n")) << info.Out();
  // Asking for the digitizer information first makes the current flags
  // available; the input reports a signal.
  EXPECT_TRUE(Contains(info.Out(), "frame sizes: 320x240 to 320x240\n")) << info.Out();
  EXPECT_TRUE(Contains(info.Out(), "now: input 0x80001403 (")) << info.Out();
  EXPECT_TRUE(Contains(info.Out(), "signal locked), output 0x98000120 (")) << info.Out();
}

TEST_F(CameraTest, CapturesWhatFeedWrites) {
  Child& feed = StartCameraFeed({"--size", "320x240"});
  const std::string movie_path = folder_.File("out.y4m");
  const std::string still = folder_.File("still.png");
  Child& capture = Run(kTool, {"capture", "--frames", "3", "--size", "320x240", "-o", movie_path,
                               "--snapshot", still, "--snapshot-frame", "2"});
  EXPECT_EQ(0, capture.Wait()) << capture.Err();
  EXPECT_TRUE(Contains(capture.Err(), "capture: 3 frames in ")) << capture.Err();
  EXPECT_TRUE(Contains(capture.Err(), " frames per second by the camera's time stamps, 320x240, "))
      << capture.Err();
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();

  // Three distinct frames of feed's pattern, untouched, in the order feed
  // wrote them: the camera hands each new frame out once.
  const Movie movie = ReadMovie(movie_path);
  ASSERT_EQ("", movie.error);
  EXPECT_EQ(320u, movie.info.width);
  EXPECT_EQ(240u, movie.info.height);
  ASSERT_EQ(3u, movie.frames.size());
  int64_t previous = -1;
  for (const Bytes& frame : movie.frames) {
    const int64_t number = PatternFrameNumber(frame, 320, 240, static_cast<uint64_t>(previous + 1));
    ASSERT_GE(number, 0) << "frame after pattern frame " << previous << " is no later one";
    previous = number;
  }

  // The snapshot is frame 2 as a 320 x 240 RGB picture.
  const std::string png = ReadFile(still);
  ASSERT_GE(png.size(), 33u);
  EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n"), png.substr(0, 8));
  EXPECT_EQ("IHDR", png.substr(12, 4));
  EXPECT_EQ(320u, BigEndian32(png, 16));
  EXPECT_EQ(240u, BigEndian32(png, 20));

  if (!HaveProgram("ffprobe") || !HaveProgram("ffmpeg")) {
    GTEST_SKIP() << "ffprobe and ffmpeg are not installed: the files were checked here only";
  }
  Child& probe =
      Run("/usr/bin/env", {"ffprobe", "-v", "error", "-count_frames", "-show_streams", movie_path});
  EXPECT_EQ(0, probe.Wait()) << probe.Err();
  EXPECT_TRUE(Contains(probe.Out(), "\nwidth=320\n")) << probe.Out();
  EXPECT_TRUE(Contains(probe.Out(), "\nheight=240\n")) << probe.Out();
  EXPECT_TRUE(Contains(probe.Out(), "\npix_fmt=yuv420p\n")) << probe.Out();
  EXPECT_TRUE(Contains(probe.Out(), "\nnb_read_frames=3\n")) << probe.Out();
  // ffmpeg decodes the PNG to exactly the pixels of frame 2.
  Child& decode = Run("/usr/bin/env", {"ffmpeg", "-v", "error", "-i", still, "-f", "rawvideo",
                                       "-pix_fmt", "rgb24", "-"});
  EXPECT_EQ(0, decode.Wait()) << decode.Err();
  const Bytes rgb = lumenplug::Yuv420ToRgb(movie.frames[1].data(), 320, 240);
  EXPECT_TRUE(decode.Out() == std::string(rgb.begin(), rgb.end()))
      << decode.Out().size() << " bytes decoded";
}

TEST_F(CameraTest, DeliversFramesOfTheSizeAskedFor) {
  // One 320 x 240 picture, a different constant in each plane, fed over and
  // over: scaled to any size it stays the same constants, so every byte of
  // the smaller frames is known, and a plane out of place shows.
  const uint32_t w = 320, h = 240;
  const std::string clip = folder_.File("flat.y4m");
  {
    std::ofstream out(clip, std::ios::binary);
    out << "YUV4MPEG2 W320 H240 F30:1 Ip C420jpeg\nFRAME\n"
        << std::string(w * h, '\x51') << std::string(w * h / 4, '\x5A')
        << std::string(w * h / 4, '\xF0');
  }
  Child& feed = StartCameraFeed({"--loop", clip});
  const std::string movie_path = folder_.File("small.y4m");
  Child& capture =
      Run(kTool, {"capture", "--size", "160x120", "--frames", "3", "-o", movie_path, "--quiet"});
  EXPECT_EQ(0, capture.Wait()) << capture.Err();
  EXPECT_EQ("", capture.Err());
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();

  const Movie movie = ReadMovie(movie_path);
  ASSERT_EQ("", movie.error);
  EXPECT_EQ(160u, movie.info.width);
  EXPECT_EQ(120u, movie.info.height);
  ASSERT_EQ(3u, movie.frames.size());
  Bytes expected(160 * 120, 0x51);
  expected.insert(expected.end(), 80 * 60, 0x5A);
  expected.insert(expected.end(), 80 * 60, 0xF0);
  for (const Bytes& frame : movie.frames) EXPECT_TRUE(frame == expected);

  if (!HaveProgram("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  Child& probe =
      Run("/usr/bin/env", {"ffprobe", "-v", "error", "-count_frames", "-show_streams", movie_path});
  EXPECT_EQ(0, probe.Wait()) << probe.Err();
  EXPECT_TRUE(Contains(probe.Out(), "\nwidth=160\n")) << probe.Out();
  EXPECT_TRUE(Contains(probe.Out(), "\nheight=120\n")) << probe.Out();
  EXPECT_TRUE(Contains(probe.Out(), "\nnb_read_frames=3\n")) << probe.Out();
}

TEST_F(CameraTest, StampsFramesWithTheTimeOfCapturesTimeBase) {
  Child& feed = StartCameraFeed({"--size", "160x120"});
  Child& capture = Run(kTool, {"capture", "--frames", "4", "--verbose"});
  EXPECT_EQ(0, capture.Wait()) << capture.Err();
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  EXPECT_EQ(0, feed.Wait()) << feed.Err();

  const std::string err = capture.Err();
  // The calls in the order a capturing application makes them; the time
  // base is given before the first frame is asked for.
  const Strings calls = {"OrvidGetDigitizerInfo (selector 25): done",
                         "OrvidGetCurrentFlags (selector 26): done",
                         "OrvidSetCompression (selector 68): done",
                         "OrvidGetImageDescription (selector 72): done",
                         "OrvidSetTimeBase (selector 76): done",
                         "OrvidSetFrameRate (selector 77): done",
                         "OrvidGetDigitizerRect (selector 4): done",
                         "OrvidCaptureStateChanging (selector 95): done",
                         "capture: frame 1: ",
                         "capture: frame 4: ",
                         "OrvidCaptureStateChanging (selector 95): done"};
  size_t at = 0;
  for (const std::string& call : calls) {
    const size_t found = err.find(call, at);
    ASSERT_NE(std::string::npos, found) << "missing, or out of order: " << call << "\n" << err;
    at = found + call.size();
  }
  // Every frame carries a stamp in 1/3000 s from capture's own base, and
  // the stamps rise: each frame is a new one, taken later.
  const Strings stamps = FieldsBetween(err, ": time stamp ", "/3000 s (");
  ASSERT_EQ(4u, stamps.size()) << err;
  long long previous = -1;
  for (const std::string& stamp : stamps) {
    const long long value = std::stoll(stamp);
    EXPECT_GT(value, previous) << err;
    previous = value;
  }
  EXPECT_FALSE(Contains(err, "no usable time stamp")) << err;
  EXPECT_TRUE(Contains(err, " frames per second by the camera's time stamps, 320x240")) << err;
}

}  // namespace
