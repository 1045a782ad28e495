#include "desk_answers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

struct Led {
  int id;
  double left, top, width, height;
};

// A full-size keyboard: one row per text, each token a key's width in key
// units ("1t": a key two rows tall) or a gap ("g0.25"). Keys are numbered
// from 1 in row order; one unit is 19.05 mm, a cap is 1.05 mm narrower than
// its slot, and the border is 8 mm.
constexpr double kUnit = 19.05;
constexpr double kCapGap = 1.05;
constexpr double kMargin = 8 + kCapGap / 2;
const char* const kKeyboardRows[] = {
    "1 g1 1 1 1 1 g0.5 1 1 1 1 g0.5 1 1 1 1 g0.25 1 1 1",
    "1 1 1 1 1 1 1 1 1 1 1 1 1 2 g0.25 1 1 1 g0.25 1 1 1 1",
    "1.5 1 1 1 1 1 1 1 1 1 1 1 1 1.5 g0.25 1 1 1 g0.25 1 1 1 1t",
    "1.75 1 1 1 1 1 1 1 1 1 1 1 2.25 g3.5 1 1 1",
    "2.25 1 1 1 1 1 1 1 1 1 1 2.75 g1.25 1 g1.25 1 1 1 1t",
    "1.25 1.25 1.25 6.25 1.25 1.25 1.25 1.25 g0.25 1 1 1 g0.25 2 1",
};

std::vector<Led> Keyboard() {
  std::vector<Led> leds;
  int id = 1;
  int row = 0;
  for (const char* text : kKeyboardRows) {
    const double top = kMargin + (row == 0 ? 0 : (row + 0.25) * kUnit);
    double at = 0;
    for (const char* p = text; *p != '\0';) {
      const bool gap = *p == 'g';
      char* end = nullptr;
      const double units = std::strtod(gap ? p + 1 : p, &end);
      const bool tall = *end == 't';
      if (!gap) {
        leds.push_back(Led{id++, kMargin + at * kUnit, top, units * kUnit - kCapGap,
                           (tall ? 2 : 1) * kUnit - kCapGap});
      }
      at += units;
      p = end + (tall ? 1 : 0);
      while (*p == ' ') ++p;
    }
    ++row;
  }
  leds.push_back(Led{id, 360.43, 10, 75.15, 10});  // the light bar
  return leds;
}

std::vector<Led> Mouse() {
  return {{120, 28, 14, 9, 16}, {121, 25, 80, 15, 15}, {122, 2, 40, 4, 30}, {123, 59, 40, 4, 30}};
}

// A ring of 20 bars along the edges of a 360 x 300 pad.
std::vector<Led> Mousepad() {
  std::vector<Led> leds;
  for (int i = 0; i < 8; ++i) leds.push_back(Led{130 + i, 12.0 + 44 * i, 2, 28, 4});
  leds.push_back(Led{138, 354, 100, 4, 28});
  leds.push_back(Led{139, 354, 180, 4, 28});
  for (int i = 0; i < 8; ++i) leds.push_back(Led{140 + i, 320.0 - 44 * i, 294, 28, 4});
  leds.push_back(Led{148, 2, 180, 4, 28});
  leds.push_back(Led{149, 2, 100, 4, 28});
  return leds;
}

std::vector<Led> HeadsetStand() {
  std::vector<Led> leds = {{160, 40, 30, 30, 20}};
  for (int i = 0; i < 8; ++i) leds.push_back(Led{161 + i, 5 + 12.7 * i, 240, 10, 8});
  return leds;
}

// Three fans of 12 LEDs on a circle, then two strips of 20.
std::vector<Led> Controller() {
  std::vector<Led> leds;
  const double pi = std::acos(-1.0);
  for (int fan = 0; fan < 3; ++fan) {
    for (int i = 0; i < 12; ++i) {
      const double angle = pi * i / 6;
      leds.push_back(Led{400 + 12 * fan + i, 61.0 + 130 * fan + 48 * std::sin(angle),
                         61 - 48 * std::cos(angle), 8, 8});
    }
  }
  for (int strip = 0; strip < 2; ++strip) {
    for (int i = 0; i < 20; ++i) {
      leds.push_back(Led{460 + 20 * strip + i, 10 + 19.5 * i, 150.0 + 22 * strip, 15, 8});
    }
  }
  return leds;
}

const std::vector<std::vector<Led>>& Desk() {
  static const std::vector<std::vector<Led>> desk = {Keyboard(), Mouse(), Mousepad(),
                                                     HeadsetStand(), Controller()};
  return desk;
}

// A geometry value as the host writes it: at most two decimals, no
// trailing zeros.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", std::round(value * 100) / 100);
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == '0') --n;
  if (n > 0 && text[n - 1] == '.') --n;
  return std::string(text, n);
}

}  // namespace

std::vector<int> DeskLedIds(int device) {
  std::vector<int> ids;
  for (int d = 0; d < kDeskDevices; ++d) {
    if (device >= 0 && d != device) continue;
    for (const Led& led : Desk()[static_cast<size_t>(d)]) ids.push_back(led.id);
  }
  return ids;
}

std::string DeskHandshakeAnswer() {
  return "{\"errorCode\":0,\"breakingChanges\":false,\"serverProtocolVersion\":5,"
         "\"serverVersion\":\"canned 1.0\"}";
}

std::string DeskResultAnswer(const std::string& value) {
  return "{\"result\":" + value + ",\"errorCode\":0}";
}

std::string DeskControllerInfoAnswer() {
  return "{\"result\":{\"channels\":[{\"devices\":[{\"deviceLedCount\":12,\"type\":1},"
         "{\"deviceLedCount\":12,\"type\":1},{\"deviceLedCount\":12,\"type\":1}],"
         "\"totalLedsCount\":36},{\"devices\":[{\"deviceLedCount\":20,\"type\":2},"
         "{\"deviceLedCount\":20,\"type\":2}],\"totalLedsCount\":40}],\"ledsCount\":76,"
         "\"capsMask\":3,\"physicalLayout\":0,\"logicalLayout\":0,"
         "\"model\":\"Demo Lighting Hub C2\",\"type\":5},\"errorCode\":0}";
}

std::string DeskPositionsAnswer(int device) {
  std::string text = "{\"result\":[";
  bool first = true;
  for (int d = 0; d < kDeskDevices; ++d) {
    if (device >= 0 && d != device) continue;
    for (const Led& led : Desk()[static_cast<size_t>(d)]) {
      if (!first) text += ',';
      first = false;
      text += "{\"width\":" + Number(led.width) + ",\"height\":" + Number(led.height) +
              ",\"left\":" + Number(led.left) + ",\"top\":" + Number(led.top) +
              ",\"ledId\":" + std::to_string(led.id) + "}";
    }
  }
  return text + "],\"errorCode\":0}";
}

std::vector<VelmoraLedColor> DeskColors(const std::vector<int>& ids) {
  std::vector<VelmoraLedColor> colors;
  for (size_t i = 0; i < ids.size(); ++i) {
    const int k = static_cast<int>(i);
    colors.push_back(VelmoraLedColor{ids[i], (k * 37) % 256, (k * 101) % 256, k % 7});
  }
  return colors;
}

std::string DeskColorsAnswer(const std::vector<int>& ids) {
  std::string list;
  for (const VelmoraLedColor& c : DeskColors(ids)) {
    if (!list.empty()) list += '#';
    list += std::to_string(c.ledId) + ',' + std::to_string(c.r) + ',' + std::to_string(c.g) + ',' +
            std::to_string(c.b);
  }
  return "{\"result\":true,\"ledsColors\":\"" + list + "\",\"errorCode\":0}";
}

}  // namespace bench
