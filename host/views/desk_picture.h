// Pictures of the desk with the colours a user would see: an SVG document,
// and frames for a true-colour terminal. Both are pure functions of the
// profile and the composed colours.
#ifndef LUMSDK_HOST_VIEWS_DESK_PICTURE_H_
#define LUMSDK_HOST_VIEWS_DESK_PICTURE_H_

#include <string>
#include <vector>

#include "host/profile/device_profile.h"
#include "host/state/lighting_state.h"

namespace lumhost {

// Composed colours per device, in the order of Device::leds.
using DeskColors = std::vector<std::vector<Rgb>>;

// Text for XML or HTML: the markup characters as entities, and control
// characters (which XML 1.0 text may not hold) left out.
std::string markupEscape(const std::string& text);

// The whole desk as SVG: each device's body at its desk position with its
// model name, every LED as a rectangle in its colour, key LEDs labelled.
// Units are millimetres (the picture is drawn at 2 pixels per millimetre).
std::string renderSvg(const Profile& profile, const DeskColors& colors, const std::string& title);

// Writes text to a file, replacing it atomically where the system allows
// (written beside it, then renamed), so a viewer never sees half a picture.
bool writeTextFile(const std::string& path, const std::string& text, std::string* error);

// The desk rasterised for a terminal of the given width. Each text row shows
// two pixel rows with the upper half block character (foreground: upper
// pixel, background: lower pixel) in 24-bit colour. Which LED covers which
// pixel is worked out once; frames are then cheap to draw.
class TerminalPicture {
 public:
  TerminalPicture(const Profile& profile, int columns);

  int columns() const { return columns_; }
  int rows() const { return rows_; }

  // One frame: rows() lines, each ending with a colour reset and "\n".
  std::string render(const DeskColors& colors) const;

 private:
  static constexpr int kBackground = -2;
  static constexpr int kBody = -1;

  // What covers each pixel: kBackground, kBody, or a flat LED index.
  std::vector<int> pixels_;
  std::vector<std::pair<int, int>> flatToLed_;  // flat LED index -> (device, LED index)
  int columns_ = 0;
  int pixelRows_ = 0;
  int rows_ = 0;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_DESK_PICTURE_H_
