// The card publish shows while the camera has no picture (no producer yet,
// a producer that stopped or withdrew its picture): a dimmed frame with the
// camera's name and NO PICTURE in plain block letters, so that whoever looks
// at the camera in an application sees at once why nothing moves.
//
// Threading: pure functions; any thread.
#ifndef TOOLS_QUORVEXLUMENPLUG_NOPICTURE_H_
#define TOOLS_QUORVEXLUMENPLUG_NOPICTURE_H_

#include <stdint.h>

#include <string>

namespace lumenplug {

// Luma of the card's background and of its letters.
inline constexpr uint8_t kNoPictureBackgroundLuma = 24;
inline constexpr uint8_t kNoPictureTextLuma = 180;

// Draws the card for the camera `name` into `out` in the shared area's
// planar 4:2:0 layout (PlanarFrameBytes(width, height) bytes). Letters are
// drawn upper case; characters without a letter shape show as a box. Lines
// too long for the width are cut; sizes too small for any letter give the
// plain background.
void RenderNoPicture(const std::string& name, uint32_t width, uint32_t height, uint8_t* out);

}  // namespace lumenplug

#endif  // TOOLS_QUORVEXLUMENPLUG_NOPICTURE_H_
