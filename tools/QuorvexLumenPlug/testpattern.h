// The producer's built-in picture: colour bars, a box that sweeps back and
// forth along the bottom, and the frame number in large seven-segment
// digits, so that a viewer sees at a glance that frames advance and whether
// any are dropped.
//
// Threading: a pattern belongs to one thread; Render keeps no state between
// calls (a frame depends only on its number).
#ifndef TOOLS_QUORVEXLUMENPLUG_TESTPATTERN_H_
#define TOOLS_QUORVEXLUMENPLUG_TESTPATTERN_H_

#include <stdint.h>

namespace lumenplug {

class TestPattern {
 public:
  // Any size from 1 x 1 up; tiny sizes show what fits.
  TestPattern(uint32_t width, uint32_t height) : width_(width), height_(height) {}

  // Draws frame `number` in the shared area's planar 4:2:0 layout into
  // `out`, which holds PlanarFrameBytes(width, height) bytes.
  void Render(uint64_t number, uint8_t* out) const;

  // Where the moving box starts on frame `number`, in pixels from the left;
  // it moves kBoxStepPixels per frame and turns at either edge.
  uint32_t BoxLeft(uint64_t number) const;
  uint32_t BoxSide() const;

  static constexpr uint32_t kBoxStepPixels = 4;

 private:
  struct Colour {
    uint8_t y, cb, cr;
  };
  // Paints the pixels [left, right) x [top, bottom), clipped to the frame.
  void FillRect(uint8_t* out, int64_t left, int64_t top, int64_t right, int64_t bottom,
                Colour colour) const;
  void DrawDigit(uint8_t* out, int digit, int64_t left, int64_t top, int64_t height,
                 Colour colour) const;
  void DrawNumber(uint8_t* out, uint64_t number) const;
  void DrawBars(uint8_t* out) const;

  uint32_t width_;
  uint32_t height_;
};

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_TESTPATTERN_H_
