#include "host/views/desk_picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace lumhost {
namespace {

constexpr double kDeskMargin = 12.0;  // millimetres around the devices
constexpr double kTitleSpace = 14.0;  // above the devices in the SVG

struct Bounds {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
};

Bounds deskBounds(const Profile& profile) {
  Bounds b;
  bool first = true;
  for (const Device& d : profile.devices) {
    double l = d.deskLeft;
    double t = d.deskTop;
    double r = l + d.bodyWidth();
    double btm = t + d.bodyHeight();
    if (first) {
      b = Bounds{l, t, r, btm};
      first = false;
    } else {
      b.left = std::min(b.left, l);
      b.top = std::min(b.top, t);
      b.right = std::max(b.right, r);
      b.bottom = std::max(b.bottom, btm);
    }
  }
  if (first) b = Bounds{0, 0, 100, 40};
  return b;
}

std::string hexColor(const Rgb& c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", std::clamp(c.r, 0, 255),
                std::clamp(c.g, 0, 255), std::clamp(c.b, 0, 255));
  return buffer;
}

std::string num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", v);
  std::string s = buffer;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

bool isBright(const Rgb& c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b > 140; }

// Devices from the largest to the smallest, so that one lying on another
// (a mouse on its mousepad) is drawn on top.
std::vector<size_t> drawingOrder(const Profile& profile) {
  std::vector<size_t> order(profile.devices.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto area = [&](size_t i) {
    return profile.devices[i].bodyWidth() * profile.devices[i].bodyHeight();
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return area(a) > area(b); });
  return order;
}

}  // namespace

std::string markupEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

std::string renderSvg(const Profile& profile, const DeskColors& colors, const std::string& title) {
  Bounds b = deskBounds(profile);
  double x0 = b.left - kDeskMargin;
  double y0 = b.top - kDeskMargin - kTitleSpace;
  double w = b.right - b.left + 2 * kDeskMargin;
  double h = b.bottom - b.top + 2 * kDeskMargin + kTitleSpace;
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(w * 2) + "\" height=\"" +
         num(h * 2) + "\" viewBox=\"" + num(x0) + " " + num(y0) + " " + num(w) + " " + num(h) +
         "\" font-family=\"sans-serif\">\n";
  svg += "<rect x=\"" + num(x0) + "\" y=\"" + num(y0) + "\" width=\"" + num(w) + "\" height=\"" +
         num(h) + "\" fill=\"#101012\"/>\n";
  svg += "<text x=\"" + num(b.left) + "\" y=\"" + num(b.top - kTitleSpace + 2) +
         "\" font-size=\"7\" fill=\"#e0e0e0\">" + markupEscape(title) + "</text>\n";
  for (size_t d : drawingOrder(profile)) {
    const Device& dev = profile.devices[d];
    svg += "<g id=\"device-" + std::to_string(d) + "\" transform=\"translate(" + num(dev.deskLeft) +
           "," + num(dev.deskTop) + ")\">\n";
    svg += "<rect width=\"" + num(dev.bodyWidth()) + "\" height=\"" + num(dev.bodyHeight()) +
           "\" rx=\"6\" fill=\"#202024\" stroke=\"#44444c\" stroke-width=\"0.6\"/>\n";
    svg += "<text x=\"2\" y=\"-2\" font-size=\"4.5\" fill=\"#a0a0a8\">" +
           markupEscape(std::to_string(d) + ": " + dev.model) + "</text>\n";
    for (size_t i = 0; i < dev.leds.size(); ++i) {
      const Led& led = dev.leds[i];
      Rgb c = d < colors.size() && i < colors[d].size() ? colors[d][i] : Rgb();
      svg += "<rect id=\"led-" + std::to_string(d) + "-" + std::to_string(led.id) + "\" x=\"" +
             num(led.left) + "\" y=\"" + num(led.top) + "\" width=\"" + num(led.width) +
             "\" height=\"" + num(led.height) + "\" rx=\"1.2\" fill=\"" + hexColor(c) +
             "\" stroke=\"#5a5a64\" stroke-width=\"0.4\"><title>LED " + std::to_string(led.id) +
             (led.key.empty() ? std::string() : " " + markupEscape(led.key)) + " " + hexColor(c) +
             "</title></rect>\n";
      if (!led.key.empty()) {
        double size =
            std::min(4.0, std::min(led.height * 0.4, led.width / (0.62 * led.key.size())));
        svg += "<text x=\"" + num(led.left + led.width / 2) + "\" y=\"" +
               num(led.top + led.height / 2 + size * 0.35) + "\" font-size=\"" + num(size) +
               "\" text-anchor=\"middle\" fill=\"" + (isBright(c) ? "#000000" : "#d8d8d8") + "\">" +
               markupEscape(led.key) + "</text>\n";
      }
    }
    svg += "</g>\n";
  }
  svg += "</svg>\n";
  return svg;
}

bool writeTextFile(const std::string& path, const std::string& text, std::string* error) {
  // Messages name the user's path: the temporary file is ours, not theirs.
  std::string temporary = path + ".tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) {
    *error = path + ": cannot be written (" + std::strerror(errno) + ")";
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  int reason = errno;
  if (std::fclose(out) != 0 && written) {
    written = false;
    reason = errno;
  }
  if (!written) {
    *error = path + ": cannot be written (" + std::strerror(reason) + ")";
    std::remove(temporary.c_str());
    return false;
  }
  // rename() does not replace an existing file on Windows; remove it first.
  std::remove(path.c_str());
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot be replaced (" + std::strerror(errno) + ")";
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

TerminalPicture::TerminalPicture(const Profile& profile, int columns)
    : columns_(std::max(columns, 10)) {
  Bounds b = deskBounds(profile);
  double left = b.left - 2;
  double top = b.top - 2;
  double width = b.right - b.left + 4;
  double height = b.bottom - b.top + 4;
  // Square pixels; a text cell is about twice as high as wide, hence two
  // pixel rows per text row.
  double scale = width / columns_;
  pixelRows_ = static_cast<int>(std::ceil(height / scale));
  if (pixelRows_ % 2 != 0) ++pixelRows_;
  rows_ = pixelRows_ / 2;
  pixels_.assign(static_cast<size_t>(columns_) * pixelRows_, kBackground);

  auto fill = [&](double l, double t, double w, double h, int value) {
    int c0 = std::max(0, static_cast<int>(std::ceil((l - left) / scale - 0.5)));
    int c1 = std::min(columns_ - 1, static_cast<int>(std::floor((l + w - left) / scale - 0.5)));
    int r0 = std::max(0, static_cast<int>(std::ceil((t - top) / scale - 0.5)));
    int r1 = std::min(pixelRows_ - 1, static_cast<int>(std::floor((t + h - top) / scale - 0.5)));
    for (int r = r0; r <= r1; ++r) {
      for (int c = c0; c <= c1; ++c) pixels_[static_cast<size_t>(r) * columns_ + c] = value;
    }
  };
  std::vector<int> firstFlat;
  for (size_t d = 0; d < profile.devices.size(); ++d) {
    firstFlat.push_back(static_cast<int>(flatToLed_.size()));
    for (size_t i = 0; i < profile.devices[d].leds.size(); ++i) {
      flatToLed_.emplace_back(static_cast<int>(d), static_cast<int>(i));
    }
  }
  for (size_t d : drawingOrder(profile)) {
    const Device& dev = profile.devices[d];
    fill(dev.deskLeft, dev.deskTop, dev.bodyWidth(), dev.bodyHeight(), kBody);
    for (size_t i = 0; i < dev.leds.size(); ++i) {
      const Led& led = dev.leds[i];
      int flat = firstFlat[d] + static_cast<int>(i);
      fill(dev.deskLeft + led.left, dev.deskTop + led.top, led.width, led.height, flat);
      // An LED smaller than a pixel still gets the pixel under its centre.
      int c = static_cast<int>((dev.deskLeft + led.left + led.width / 2 - left) / scale);
      int r = static_cast<int>((dev.deskTop + led.top + led.height / 2 - top) / scale);
      if (c >= 0 && c < columns_ && r >= 0 && r < pixelRows_) {
        pixels_[static_cast<size_t>(r) * columns_ + c] = flat;
      }
    }
  }
}

std::string TerminalPicture::render(const DeskColors& colors) const {
  // Dark LEDs are drawn dim grey, so that the shape of the devices shows.
  const Rgb kBodyColor{28, 28, 32};
  const Rgb kDarkLed{58, 58, 64};
  auto colorOf = [&](int value, bool* background) {
    *background = value == kBackground;
    if (value < 0) return kBodyColor;
    const auto& at = flatToLed_[value];
    Rgb c = static_cast<size_t>(at.first) < colors.size() &&
                    static_cast<size_t>(at.second) < colors[at.first].size()
                ? colors[at.first][at.second]
                : Rgb();
    return c == Rgb() ? kDarkLed : c;
  };
  std::string out;
  char buffer[48];
  for (int row = 0; row < rows_; ++row) {
    std::string lastFg;
    std::string lastBg;
    for (int col = 0; col < columns_; ++col) {
      bool topBackground = false;
      bool bottomBackground = false;
      Rgb top = colorOf(pixels_[static_cast<size_t>(2 * row) * columns_ + col], &topBackground);
      Rgb bottom =
          colorOf(pixels_[static_cast<size_t>(2 * row + 1) * columns_ + col], &bottomBackground);
      std::string fg;
      std::string bg;
      const char* glyph = "\xE2\x96\x80";  // upper half block
      if (topBackground && bottomBackground) {
        glyph = " ";
        bg = "\x1b[49m";
      } else if (topBackground) {
        glyph = "\xE2\x96\x84";  // lower half block
        std::snprintf(buffer, sizeof buffer, "\x1b[38;2;%d;%d;%dm", bottom.r, bottom.g, bottom.b);
        fg = buffer;
        bg = "\x1b[49m";
      } else {
        std::snprintf(buffer, sizeof buffer, "\x1b[38;2;%d;%d;%dm", top.r, top.g, top.b);
        fg = buffer;
        if (bottomBackground) {
          bg = "\x1b[49m";
        } else {
          std::snprintf(buffer, sizeof buffer, "\x1b[48;2;%d;%d;%dm", bottom.r, bottom.g, bottom.b);
          bg = buffer;
        }
      }
      if (!fg.empty() && fg != lastFg) {
        out += fg;
        lastFg = fg;
      }
      if (bg != lastBg) {
        out += bg;
        lastBg = bg;
      }
      out += glyph;
    }
    out += "\x1b[0m\n";
  }
  return out;
}

}  // namespace lumhost
