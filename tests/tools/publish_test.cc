// QuorvexLumenPlug publish with the real parts: a private PipeWire session
// (pipewire and wireplumber on a private bus, started by
// scripts/pipewire-session.sh), feed writing into the camera's shared area,
// the camera component opened by publish, and GStreamer's pipewiresrc as an
// unmodified client that records what it receives.
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "tests/tools/lumenplug_fixture.h"
#include "tools/QuorvexLumenPlug/nopicture.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/pixelformats.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace {

using namespace lumenplug_test;  // NOLINT: the suite's own helpers
using lumenplug::PixelFormat;

const std::string kNodeName = "quorvex-camera";

// The frames of a raw recording of `frame_bytes` each; a partial frame at
// the end is kept (and then fails the comparisons).
std::vector<Bytes> SplitFrames(const std::string& recording, size_t frame_bytes) {
  std::vector<Bytes> frames;
  for (size_t at = 0; at < recording.size(); at += frame_bytes) {
    frames.emplace_back(recording.begin() + at,
                        recording.begin() + std::min(recording.size(), at + frame_bytes));
  }
  return frames;
}

// A still picture in the camera's layout that no scaler bug can hide in.
Bytes NoisePicture(uint32_t width, uint32_t height, uint32_t seed) {
  Bytes picture(tessel::PlanarFrameBytes(width, height));
  std::mt19937 random(seed);
  for (uint8_t& byte : picture) byte = static_cast<uint8_t>(16 + random() % 220);
  return picture;
}

void WriteStill(const std::string& path, const Bytes& picture, uint32_t width, uint32_t height) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  lumenplug::Y4mWriter writer(file);
  ASSERT_TRUE(writer.WriteHeader(width, height, lumenplug::FrameRate{30, 1}));
  ASSERT_TRUE(writer.WriteFrame(picture.data()));
  fclose(file);
}

class PublishTest : public PipeWireSessionTest {
 protected:
  // The nodes PipeWire lists now, with their properties.
  std::string ListNodes() {
    Child& list = Run("/usr/bin/env", {"pw-cli", "ls", "Node"});
    list.Wait();
    return list.Out();
  }

  bool NodeListed() { return PipeWireSessionTest::NodeListed(kNodeName); }

  bool WaitForNode(bool listed, int timeout_ms = kWaitMs) {
    return WaitFor(
        [&] {
          if (NodeListed() == listed) return true;
          const struct timespec pause = {0, 20 * 1000 * 1000};
          nanosleep(&pause, nullptr);
          return false;
        },
        timeout_ms);
  }

  // Starts publish and waits until its node is in the graph.
  Child& StartPublish(const Strings& args = {}) {
    Strings argv = {"publish"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child& publish = Run(kTool, argv);
    EXPECT_TRUE(WaitForNode(true)) << "publish did not appear: " << publish.Err();
    return publish;
  }

  // pipewiresrc's command line for `frames` frames of `format` at w x h into
  // `path`.
  Strings Recorder(PixelFormat format, uint32_t w, uint32_t h, int frames,
                   const std::string& path) {
    return {"gst-launch-1.0",
            "-q",
            "pipewiresrc",
            "target-object=" + kNodeName,
            "num-buffers=" + std::to_string(frames),
            "!",
            std::string("video/x-raw,format=") + lumenplug::PixelFormatName(format) +
                ",width=" + std::to_string(w) + ",height=" + std::to_string(h),
            "!",
            "filesink",
            "location=" + path};
  }

  // Records `frames` frames as a client and splits them.
  std::vector<Bytes> Record(PixelFormat format, uint32_t w, uint32_t h, int frames) {
    const std::string path = folder_.File("recording." + std::to_string(recordings_++));
    Child& client = Run("/usr/bin/env", Recorder(format, w, h, frames, path));
    EXPECT_EQ(0, client.Wait()) << client.Err();
    return SplitFrames(ReadFile(path), lumenplug::PublishedFrameBytes(format, w, h));
  }

  // What the camera itself delivers at w x h now, by capture.
  Bytes CameraDelivers(uint32_t w, uint32_t h) {
    const std::string path = folder_.File("reference." + std::to_string(recordings_++) + ".y4m");
    Child& capture = Run(kTool, {"capture", "--quiet", "--frames", "1", "--size",
                                 std::to_string(w) + "x" + std::to_string(h), "-o", path});
    EXPECT_EQ(0, capture.Wait()) << capture.Err();
    const Movie movie = ReadMovie(path);
    EXPECT_EQ("", movie.error);
    return movie.frames.empty() ? Bytes() : movie.frames[0];
  }

  Bytes Card(uint32_t w, uint32_t h) {
    Bytes card(tessel::PlanarFrameBytes(w, h));
    lumenplug::RenderNoPicture(tessel::kDeviceName, w, h, card.data());
    return card;
  }

  Child& FeedStill(const Bytes& picture, uint32_t w, uint32_t h) {
    const std::string path = folder_.File("still." + std::to_string(recordings_++) + ".y4m");
    WriteStill(path, picture, w, h);
    return StartCameraFeed({"--quiet", "--loop", path});
  }

  int recordings_ = 0;
};

// Every frame of `frames` equals `expected`; at least `count` came.
void ExpectAll(const std::vector<Bytes>& frames, const Bytes& expected, size_t count,
               const std::string& what) {
  ASSERT_EQ(count, frames.size()) << what;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(expected.size(), frames[i].size()) << what << ", frame " << i;
    EXPECT_TRUE(frames[i] == expected) << what << ": frame " << i << " differs";
  }
}

TEST_F(PublishTest, PublishesACameraNodeThatClientsFind) {
  Child& publish = StartPublish();
  const std::string nodes = ListNodes();
  const size_t at = nodes.find("node.name = \"quorvex-camera\"");
  ASSERT_NE(std::string::npos, at) << nodes;
  // The properties of our node: up to the next object in the listing.
  const size_t begin = nodes.rfind("\tid ", at);
  const std::string node = nodes.substr(begin, nodes.find("\tid ", at) - begin);
  EXPECT_TRUE(Contains(node, "media.class = \"Video/Source\"")) << node;
  EXPECT_TRUE(Contains(node, "media.role = \"Camera\"")) << node;
  EXPECT_TRUE(Contains(node, "node.description = \"Quorvex Camera Adapter 0\"")) << node;
  EXPECT_TRUE(Contains(node, "node.nick = \"Quorvex Camera Adapter 0\"")) << node;
  ASSERT_EQ(0, kill(publish.pid(), SIGTERM));
  EXPECT_EQ(0, publish.Wait()) << publish.Err();
}

TEST_F(PublishTest, ClientsGetExactlyWhatTheCameraDeliversAtTheirSize) {
  const Bytes picture = NoisePicture(640, 480, 1);
  Child& feed = FeedStill(picture, 640, 480);
  const Bytes scaled = CameraDelivers(320, 240);
  ASSERT_EQ(tessel::PlanarFrameBytes(320, 240), scaled.size());
  Child& publish = StartPublish();

  // One publish serves each size and format in turn, renegotiating.
  ExpectAll(Record(PixelFormat::kI420, 640, 480, 3), picture, 3, "I420 640x480 (native)");
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 3), scaled, 3, "I420 320x240 (scaled)");
  for (PixelFormat format : {PixelFormat::kNV12, PixelFormat::kYUY2}) {
    Bytes converted(lumenplug::PublishedFrameBytes(format, 320, 240));
    lumenplug::ConvertFromCamera(scaled.data(), 320, 240, format, converted.data());
    ExpectAll(Record(format, 320, 240, 3), converted, 3,
              std::string(lumenplug::PixelFormatName(format)) + " 320x240");
  }
  // A size off the usual list, from the offered range.
  ExpectAll(Record(PixelFormat::kI420, 400, 300, 2), CameraDelivers(400, 300), 2,
            "I420 400x300 (scaled, from the range)");

  // A wide source is letterboxed by the camera, not by publish: a 640x360
  // picture centred in 640x480 between black bands.
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  ASSERT_EQ(0, feed.Wait());
  FeedStill(NoisePicture(640, 360, 2), 640, 360);
  const Bytes letterboxed = CameraDelivers(640, 480);
  ASSERT_EQ(picture.size(), letterboxed.size());
  EXPECT_EQ(16, letterboxed[0]) << "no black band above the picture";
  EXPECT_EQ(16, letterboxed[59 * 640]) << "no black band above the picture";
  EXPECT_NE(16, letterboxed[60 * 640]) << "no picture below the band";
  ExpectAll(Record(PixelFormat::kI420, 640, 480, 3), letterboxed, 3, "I420 640x480 letterboxed");
  ASSERT_EQ(0, kill(publish.pid(), SIGINT));
  EXPECT_EQ(0, publish.Wait()) << publish.Err();
}

TEST_F(PublishTest, ShowsNoPictureWithoutAProducerAndFramesWhenOneFeeds) {
  Child& publish = StartPublish({"--size", "320x240"});
  const Bytes card = Card(320, 240);
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 2), card, 2, "before any producer");

  const Bytes picture = NoisePicture(320, 240, 3);
  Child& feed = FeedStill(picture, 320, 240);
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 5), picture, 5, "with a producer");

  // feed withdraws the picture when it stops; the card comes back.
  ASSERT_EQ(0, kill(feed.pid(), SIGTERM));
  ASSERT_EQ(0, feed.Wait());
  std::vector<Bytes> after;
  ASSERT_TRUE(WaitFor([&] {
    after = Record(PixelFormat::kI420, 320, 240, 1);
    return !after.empty() && after[0] == card;
  })) << "no card after the producer stopped";

  FeedStill(picture, 320, 240);
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 3), picture, 3, "with the producer back");
  int status = 0;
  EXPECT_FALSE(publish.Ended(&status)) << publish.Err();
}

TEST_F(PublishTest, ASlowProducerIsNotTakenForNoPicture) {
  // One frame every two seconds: once publish has seen the pace, the gaps
  // between frames are no reason for the card.
  StartPublish({"--size", "320x240"});
  const Bytes picture = NoisePicture(320, 240, 5);
  const std::string still = folder_.File("slow.y4m");
  WriteStill(still, picture, 320, 240);
  StartCameraFeed({"--quiet", "--loop", "--rate", "0.5", still});
  int pictures_in_a_row = 0;
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<Bytes> one = Record(PixelFormat::kI420, 320, 240, 1);
    pictures_in_a_row = !one.empty() && one[0] == picture ? pictures_in_a_row + 1 : 0;
    return pictures_in_a_row == 2;
  })) << "the slow producer's frames did not come";
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 2), picture, 2, "between slow frames");
}

TEST_F(PublishTest, TwoClientsAtOnceEachGetEveryFrame) {
  StartCameraFeed({"--quiet", "--size", "320x240"});  // the moving pattern
  StartPublish({"--size", "320x240"});
  const std::string first_path = folder_.File("first.i420");
  const std::string second_path = folder_.File("second.i420");
  Child& first = Run("/usr/bin/env", Recorder(PixelFormat::kI420, 320, 240, 90, first_path));
  Child& second = Run("/usr/bin/env", Recorder(PixelFormat::kI420, 320, 240, 60, second_path));
  EXPECT_EQ(0, first.Wait()) << first.Err();
  EXPECT_EQ(0, second.Wait()) << second.Err();
  const size_t bytes = tessel::PlanarFrameBytes(320, 240);
  const std::vector<Bytes> a = SplitFrames(ReadFile(first_path), bytes);
  const std::vector<Bytes> b = SplitFrames(ReadFile(second_path), bytes);
  ASSERT_EQ(90u, a.size());
  ASSERT_EQ(60u, b.size());

  // Each client sees pattern frames in order and none twice (the search
  // below only looks forward), and, where their recordings overlap, the
  // same ones. A client that keeps up misses none; on a loaded machine a
  // client starved of processor time may miss a few, which publish counts
  // as frames without a free buffer rather than repeating or holding them.
  auto numbers = [](const std::vector<Bytes>& frames) {
    std::vector<int64_t> found;
    int64_t previous = -1;
    for (const Bytes& frame : frames) {
      previous = PatternFrameNumber(frame, 320, 240, static_cast<uint64_t>(previous + 1));
      found.push_back(previous);
      if (previous < 0) break;
    }
    return found;
  };
  const std::vector<int64_t> in_a = numbers(a);
  const std::vector<int64_t> in_b = numbers(b);
  for (const auto* found : {&in_a, &in_b}) {
    ASSERT_GE(found->back(), 0) << "a frame that is no pattern frame, or one out of order";
    const int64_t missed = found->back() - found->front() + 1 - static_cast<int64_t>(found->size());
    EXPECT_LE(missed, static_cast<int64_t>(found->size()) / 10)
        << "a client missed " << missed << " of " << found->size() << " frames";
  }
  const int64_t overlap_begin = std::max(in_a.front(), in_b.front());
  const int64_t overlap_end = std::min(in_a.back(), in_b.back());
  EXPECT_GT(overlap_end - overlap_begin, 30) << "the clients did not run at the same time";
  int64_t shared = 0;
  int64_t either = 0;
  for (int64_t n = overlap_begin; n <= overlap_end; ++n) {
    const bool to_a = std::count(in_a.begin(), in_a.end(), n) == 1;
    const bool to_b = std::count(in_b.begin(), in_b.end(), n) == 1;
    shared += to_a && to_b;
    either += to_a || to_b;
  }
  EXPECT_GE(shared * 10, either * 9)
      << shared << " of " << either << " frames of the overlap reached both clients";
}

TEST_F(PublishTest, ComesBackWhenTheDaemonRestarts) {
  const Bytes picture = NoisePicture(320, 240, 4);
  FeedStill(picture, 320, 240);
  Child& publish = StartPublish({"--size", "320x240"});
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 2), picture, 2, "before the restart");

  Child& restart = Run(kSessionScript, {"restart-daemon", session_dir_});
  ASSERT_EQ(0, restart.Wait()) << restart.Err();
  const long long back_from = NowMs();
  ASSERT_TRUE(WaitForNode(true, 5000)) << publish.Err();
  EXPECT_LE(NowMs() - back_from, 2000) << "the node took long to come back";
  ExpectAll(Record(PixelFormat::kI420, 320, 240, 3), picture, 3, "after the restart");
  EXPECT_TRUE(Contains(publish.Err(), "PipeWire went away")) << publish.Err();
  EXPECT_TRUE(Contains(publish.Err(), "PipeWire is back")) << publish.Err();
}

TEST_F(PublishTest, SignalsRemoveTheNodeAndCloseTheCamera) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    Child& publish = StartPublish();
    ASSERT_GE(camera_.SegmentId(), 0) << "the camera is open while publishing";
    const long long asked = NowMs();
    ASSERT_EQ(0, kill(publish.pid(), signal_number));
    EXPECT_EQ(0, publish.Wait(5000)) << publish.Err();
    EXPECT_LE(NowMs() - asked, 2000);
    EXPECT_TRUE(WaitForNode(false, 5000)) << "the node stays after signal " << signal_number;
    // publish was the camera's last user: closing it removed the segment.
    EXPECT_EQ(-1, camera_.SegmentId());
    EXPECT_TRUE(Contains(publish.Err(), "OrvidCaptureStateChanging") ||
                Contains(publish.Err(), "frames and"))
        << publish.Err();
  }
}

TEST_F(PublishTest, TellsClientsSizeFormatAndFramesOnATerminal) {
  StartCameraFeed({"--quiet", "--size", "320x240"});
  TerminalChild publish({kTool, "publish", "--size", "320x240"}, environment_);
  EXPECT_TRUE(publish.Shows("quorvex-camera published, no client")) << publish.screen();
  const std::string path = folder_.File("watched.i420");
  Child& client = Run("/usr/bin/env", Recorder(PixelFormat::kI420, 320, 240, 60, path));
  EXPECT_TRUE(publish.Shows("publish: 1 client, 320x240 I420, ")) << publish.screen();
  EXPECT_TRUE(publish.Shows(" frames sent, ")) << publish.screen();
  EXPECT_EQ(0, client.Wait()) << client.Err();
  kill(publish.pid(), SIGINT);
  EXPECT_EQ(0, publish.Wait()) << publish.screen();
}

TEST_F(PublishTest, ReportsACameraThatRefusesToOpenWithItsCode) {
  const std::string renamed = folder_.File("NotTheAgent");
  fs::copy_file(kTool, renamed);
  Child& publish = Run(renamed, {"publish"});
  EXPECT_EQ(1, publish.Wait()) << publish.Err();
  EXPECT_TRUE(
      Contains(publish.Err(), "publish: the camera refused to open: -2090 (videoOutputInUseErr): "))
      << publish.Err();
  EXPECT_FALSE(NodeListed());
}

TEST_F(FeedTest, PublishWithoutAPipeWireSessionSaysWhatIsMissing) {
  const std::string runtime = folder_.File("runtime");
  ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
  const Strings no_session = {"XDG_RUNTIME_DIR=" + runtime, "PIPEWIRE_RUNTIME_DIR",
                              "PIPEWIRE_REMOTE"};
  const long long started = NowMs();
  children_.push_back(
      std::make_unique<Child>(Strings{kTool, "publish"}, folder_.path(), "/dev/null", no_session));
  Child& publish = *children_.back();
  EXPECT_EQ(1, publish.Wait()) << publish.Err();
  EXPECT_LE(NowMs() - started, 2000);
  EXPECT_TRUE(Contains(publish.Err(),
                       "publish: cannot connect to PipeWire: no PipeWire daemon "
                       "runs in this session (there is no socket " +
                           runtime + "/pipewire-0)"))
      << publish.Err();

  children_.push_back(std::make_unique<Child>(Strings{kTool, "publish"}, folder_.path(),
                                              "/dev/null", Strings{"XDG_RUNTIME_DIR"}));
  Child& unset = *children_.back();
  EXPECT_EQ(1, unset.Wait()) << unset.Err();
  EXPECT_TRUE(Contains(unset.Err(), "XDG_RUNTIME_DIR is not set")) << unset.Err();
}

TEST_F(FeedTest, PublishRefusesBadCommandLinesSayingWhy) {
  const struct {
    Strings args;
    const char* says;
  } cases[] = {
      {{"publish", "--size", "800x600"}, "--size 800x600 is too large: at most 640x480"},
      {{"publish", "--size", "big"}, "--size "},
      {{"publish", "--bogus"}, "unknown option --bogus"},
      {{"publish", "--verbose", "--quiet"}, "cannot be given together"},
      {{"publish", "extra"}, "unexpected argument extra"},
  };
  for (const auto& c : cases) {
    Child& publish = Start(c.args);
    EXPECT_EQ(2, publish.Wait()) << c.says;
    EXPECT_TRUE(Contains(publish.Err(), c.says)) << publish.Err();
  }
  Child& help = Start({"publish", "--help"});
  EXPECT_EQ(0, help.Wait());
  EXPECT_TRUE(Contains(help.Out(), "--node-name NAME")) << help.Out();
}

}  // namespace
