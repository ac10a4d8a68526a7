// The camera as web pages see it: feed writes a solid picture, publish
// offers the camera in a private PipeWire session with the desktop portal,
// and a real headless browser (Chromium, Firefox ESR) loads a page on
// 127.0.0.1 that asks for a camera (run-browser-test.sh does the browser's
// part). The page must list the camera by its name, receive frames, and
// show the fed colour at the centre of the picture.
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sharedmem/sharedframearea.h"
#include "tests/tools/lumenplug_fixture.h"
#include "tools/QuorvexLumenPlug/options.h"
#include "tools/QuorvexLumenPlug/y4m.h"

namespace {

using namespace lumenplug_test;  // NOLINT: the suite's own helpers

const std::string kHarness = QUORVEX_SOURCE_DIR "/tests/browser/run-browser-test.sh";

// The fed colour, and what a browser should draw for it: the ITU-R BT.601
// conversion of limited-range YCbCr, which browsers use for cameras of
// this size.
constexpr int kY = 100, kCb = 150, kCr = 100;

std::string ExpectedRgb() {
  const double y = 1.164 * (kY - 16);
  const auto clamp = [](double v) {
    return std::to_string(static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0))));
  };
  return clamp(y + 1.596 * (kCr - 128)) + "," +
         clamp(y - 0.813 * (kCr - 128) - 0.391 * (kCb - 128)) + "," +
         clamp(y + 2.018 * (kCb - 128));
}

class BrowserTest : public PipeWireSessionTest {
 protected:
  BrowserTest() { portal_ = true; }

  void SetUp() override {
    PipeWireSessionTest::SetUp();
    if (HasFatalFailure()) return;
    // The solid picture, fed in a loop, and the camera published.
    constexpr uint32_t w = 320, h = 240;
    const std::string still = folder_.File("solid.y4m");
    FILE* file = fopen(still.c_str(), "wb");
    ASSERT_NE(nullptr, file);
    Bytes picture(tessel::PlanarFrameBytes(w, h), kCb);
    std::fill(picture.begin(), picture.begin() + w * h, kY);
    std::fill(picture.begin() + w * h + (w / 2) * (h / 2), picture.end(), kCr);
    lumenplug::Y4mWriter writer(file);
    ASSERT_TRUE(writer.WriteHeader(w, h, lumenplug::FrameRate{30, 1}));
    ASSERT_TRUE(writer.WriteFrame(picture.data()));
    fclose(file);
    StartCameraFeed({"--quiet", "--loop", still});
    Child& publish = Run(kTool, {"publish", "--quiet", "--size", "320x240"});
    ASSERT_TRUE(WaitFor([&] { return NodeListed("quorvex-camera"); })) << publish.Err();
  }

  Child& RunHarness(const std::string& browser, const std::string& rgb) {
    return Run(kHarness, {"--browser", browser, "--label", tessel::kDeviceName, "--expect-rgb", rgb,
                          "--tolerance", "12", "--frames", "30", "--timeout", "45"});
  }
};

TEST_F(BrowserTest, ChromiumListsTheCameraAndShowsItsPicture) {
  Child& chromium = RunHarness("chromium", ExpectedRgb());
  EXPECT_EQ(0, chromium.Wait(90000)) << chromium.Out() << chromium.Err();
  EXPECT_TRUE(Contains(chromium.Out() + chromium.Err(),
                       "PASS: chromium listed 'Quorvex Camera "
                       "Adapter 0'"))
      << chromium.Out() << chromium.Err();
}

TEST_F(BrowserTest, FirefoxListsTheCameraAndShowsItsPicture) {
  Child& firefox = RunHarness("firefox", ExpectedRgb());
  EXPECT_EQ(0, firefox.Wait(90000)) << firefox.Out() << firefox.Err();
  EXPECT_TRUE(Contains(firefox.Out() + firefox.Err(),
                       "PASS: firefox listed 'Quorvex Camera "
                       "Adapter 0'"))
      << firefox.Out() << firefox.Err();
}

TEST_F(BrowserTest, AColourThePictureDoesNotHaveFails) {
  // The check itself has teeth: the complementary colour is refused.
  Child& chromium = RunHarness("chromium", "200,140,110");
  EXPECT_EQ(1, chromium.Wait(90000)) << chromium.Out() << chromium.Err();
  EXPECT_TRUE(Contains(chromium.Out() + chromium.Err(), "FAIL: centre pixel"))
      << chromium.Out() << chromium.Err();
}

}  // namespace
