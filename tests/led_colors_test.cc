// The colour list text and the validation of colour arrays.
#include "leds/led_colors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "api/exchange.h"
#include "api/methods.h"
#include "json/json_text.h"

namespace sdk {
namespace {

TEST(LedColors, EncodesRecordsJoinedByHash) {
  const VelmoraLedColor two[2] = {{12, 255, 0, 0}, {13, 0, 128, 64}};
  EXPECT_EQ(encodeLedColors(2, two), "12,255,0,0#13,0,128,64");
  EXPECT_EQ(encodeLedColors(0, two), "");
  const VelmoraLedColor extremes{INT_MIN, -1, 0, INT_MAX};
  EXPECT_EQ(encodeLedColors(1, &extremes), "-2147483648,-1,0,2147483647");
}

TEST(LedColors, LongListsOfWideNumbersSurviveTheRoundTrip) {
  std::vector<VelmoraLedColor> wide(700);
  for (size_t i = 0; i < wide.size(); ++i) {
    const int n = static_cast<int>(i);
    wide[i] = {INT_MIN + n, INT_MAX - n, -n, n * 1000};
  }
  const auto back = decodeLedColors(encodeLedColors(static_cast<int>(wide.size()), wide.data()));
  ASSERT_EQ(back.size(), wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    EXPECT_EQ(back[i].ledId, wide[i].ledId);
    EXPECT_EQ(back[i].r, wide[i].r);
    EXPECT_EQ(back[i].g, wide[i].g);
    EXPECT_EQ(back[i].b, wide[i].b);
  }
}

TEST(LedColors, ColourRequestIsTheRequestTheJsonWriterWouldCompose) {
  const VelmoraLedColor two[2] = {{12, 255, 0, 0}, {13, 0, 128, 64}};
  const std::string text = buildLedsColorsRequest(2, two, "VelmoraSetLedsColors");
  const JsonHandle parsed = parseJsonText(text);
  EXPECT_EQ(parsed.get("method").asString(), "VelmoraSetLedsColors");
  EXPECT_EQ(parsed.get("params").get("ledsColors").asString(), "12,255,0,0#13,0,128,64");
  // Compact and complete: written again, the same bytes (up to member order).
  EXPECT_EQ(toJsonText(parsed).size(), text.size());
  EXPECT_EQ(text.find(' '), std::string::npos);
}

TEST(LedColors, DeviceColourRequestIsTheRequestTheJsonWriterWouldCompose) {
  const VelmoraLedColor two[2] = {{12, 255, 0, 0}, {13, 0, 128, 64}};
  for (int device : {0, 7, 999999, 1234567}) {
    JsonHandle params;
    params.member("deviceIndex") = JsonHandle(device);
    params.member("ledsColors") = JsonHandle(encodeLedColors(2, two));
    EXPECT_EQ(buildDeviceLedsColorsRequest(device, 2, two, "M"),
              toJsonText(makeRequest("M", std::move(params))));
  }
}

TEST(LedColors, FlushRequestIsTheRequestTheJsonWriterWouldCompose) {
  ColorBuffer empty, one, several;
  one.device(3).set({7, 1, 2, 3});
  for (int device = 0; device < 6; ++device) {
    for (int led = 0; led < 40 + device * 90; ++led) {
      several.device(device * 1000).set({led, led % 256, (led * 3) % 256, 255 - led % 256});
    }
  }
  for (const ColorBuffer* buffer : {&empty, &one, &several}) {
    JsonHandle params;
    params.member("ledsColorsByDeviceIndex") = buildDeviceColorsList(*buffer);
    EXPECT_EQ(buildFlushRequest(*buffer),
              toJsonText(makeRequest(method::kSetLedsColorsFlushBuffer, std::move(params))));
  }
}

// Devices and LEDs keep the order they were first buffered in; a later
// colour replaces the earlier one in place; an emptied buffer that is filled
// again holds only the new colours, whatever its storage held before.
TEST(LedColors, ColorBufferKeepsFirstOrderAndForgetsWhatWasCleared) {
  ColorBuffer buffer;
  auto text = [](const ColorBuffer& b) {
    std::string out;
    for (const DeviceColors& d : b) {
      out += std::to_string(d.deviceIndex()) + ":" +
             encodeLedColors(static_cast<int>(d.size()), d.list().data()) + " ";
    }
    return out;
  };
  for (int round = 0; round < 2; ++round) {
    buffer.device(9).set({5, 1, 1, 1});
    buffer.device(2).set({499, 2, 2, 2});
    buffer.device(9).set({0, 3, 3, 3});
    buffer.device(9).set({5, 4, 4, 4});
    buffer.device(2).setIfAbsent({499, 9, 9, 9});
    buffer.device(2).setIfAbsent({1, 6, 6, 6});
    EXPECT_EQ(text(buffer), "9:5,4,4,4#0,3,3,3 2:499,2,2,2#1,6,6,6 ");
    EXPECT_EQ(buffer.ledCount(), 4u);
    buffer.clear();
    EXPECT_TRUE(buffer.empty());
    buffer.device(4).set({0, 7, 7, 7});  // reuses the entry device 9 had
    EXPECT_EQ(text(buffer), "4:0,7,7,7 ");
    buffer.clear();
  }
  // Past the short lists: devices found through the index, LEDs through the
  // table, each checked against a plain model over three fills.
  for (int fill = 0; fill < 3; ++fill) {
    std::vector<std::pair<int, std::vector<VelmoraLedColor>>> model;
    const int devices = 40 - fill * 15, leds = 60 - fill * 25;
    for (int pass = 0; pass < 2; ++pass) {
      for (int d = 0; d < devices; ++d) {
        const int device = (d * 37) % 101;
        for (int k = 0; k < leds; ++k) {
          const VelmoraLedColor c{(k * 7 + d) % 500, pass, fill, k % 256};
          DeviceColors& entry = buffer.device(device);
          if (pass == 0) {
            if (static_cast<int>(model.size()) == d) model.push_back({device, {}});
            model[static_cast<size_t>(d)].second.push_back(c);
          } else {
            model[static_cast<size_t>(d)].second[static_cast<size_t>(k)] = c;
          }
          entry.set(c);
        }
      }
    }
    std::string expected;
    for (const auto& device : model) {
      expected += std::to_string(device.first) + ":" +
                  encodeLedColors(static_cast<int>(device.second.size()), device.second.data()) +
                  " ";
    }
    EXPECT_EQ(text(buffer), expected) << fill;
    buffer.clear();
  }
}

TEST(LedColors, DecodesLikeAStreamOfIntsAndSeparators) {
  struct Case {
    const char* text;
    size_t records;
  } cases[] = {
      {"", 0},
      {"1,2,3,4#5,6,7,8", 2},
      {"1,2,3,4#5,6,7,8#", 2},
      {" 1 , 2 ,3,\n4 # 5;6;7;8", 2},  // blanks skipped, separators not compared
      {"1,2,3,4#5,6,7", 1},            // an incomplete record does not count
      {"1,2,3,x#5,6,7,8", 0},          // decoding stops at the first unreadable number
      {"+1,2,3,4", 1},
      {"1,2,3,99999999999#5,6,7,8", 0},  // out of int range
      {"1,2,3,4#", 1},
      {"#1,2,3,4", 0},
      {"1,2,3,4 #5,6,7,8", 2},                   // a blank before the "#"
      {"0000000001,2,3,4#2147483647,0,0,0", 2},  // ten digits, still an int
      {"1,2,3,2147483648", 0},
      {"1,2,3,4#5,6,7", 1},
      {"12,34,56,78#", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decodeLedColors(c.text).size(), c.records) << c.text;
  }
  const auto decoded = decodeLedColors("-5,255,-0,7");
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].ledId, -5);
  EXPECT_EQ(decoded[0].r, 255);
  EXPECT_EQ(decoded[0].g, 0);
  EXPECT_EQ(decoded[0].b, 7);

  VelmoraLedColor many[500];
  for (int i = 0; i < 500; ++i) many[i] = {i, i % 256, 255 - i % 256, (i * 7) % 256};
  const auto back = decodeLedColors(encodeLedColors(500, many));
  ASSERT_EQ(back.size(), 500u);
  // Into a fixed room: the count, or one more than the room once the text
  // holds more records than fit.
  const std::string three = "1,2,3,4#5,6,7,8#9,10,11,12";
  VelmoraLedColor room[3];
  EXPECT_EQ(decodeLedColors(three.data(), three.size(), room, 3), 3u);
  EXPECT_EQ(room[2].g, 11);
  EXPECT_EQ(decodeLedColors(three.data(), three.size(), room, 2), 3u);
  EXPECT_EQ(decodeLedColors(three.data(), 0, room, 2), 0u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(back[static_cast<size_t>(i)].b, many[i].b);
}

// A reader built on strtoll, independent of the decoder: blanks, a signed
// int, then a separator (any one character after blanks) between numbers.
size_t referenceDecode(const std::string& text, size_t capacity,
                       std::vector<VelmoraLedColor>* out) {
  const std::string z = text + '\0';  // strtoll stops at the end of the text
  const char* p = z.c_str();
  const char* const end = p + text.size();
  const auto readInt = [&](int* v) {
    char* stop = nullptr;
    errno = 0;
    const long long x = std::strtoll(p, &stop, 10);
    if (stop == p || stop > end || errno == ERANGE || x < INT_MIN || x > INT_MAX) return false;
    *v = static_cast<int>(x);
    p = stop;
    return true;
  };
  const auto readSeparator = [&] {
    while (p != end && std::strchr(" \t\n\v\f\r", *p) != nullptr && *p != '\0') ++p;
    if (p == end) return false;
    ++p;
    return true;
  };
  out->clear();
  while (p != end) {
    VelmoraLedColor c{};
    if (!readInt(&c.ledId) || !readSeparator() || !readInt(&c.r) || !readSeparator() ||
        !readInt(&c.g) || !readSeparator() || !readInt(&c.b)) {
      break;
    }
    if (out->size() == capacity) return capacity + 1;
    out->push_back(c);
    readSeparator();
  }
  return out->size();
}

// Decodes from a heap block of exactly the text's size, so that the
// sanitizer sees any read past the end, and compares with the reference.
void expectDecodesLikeReference(const std::string& text, size_t capacity) {
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  std::vector<VelmoraLedColor> room(capacity + 1, VelmoraLedColor{-7, -7, -7, -7});
  std::vector<VelmoraLedColor> expected;
  const size_t want = referenceDecode(text, capacity, &expected);
  const size_t got =
      decodeLedColors(text.empty() ? nullptr : exact.get(), text.size(), room.data(), capacity);
  ASSERT_EQ(got, want) << "capacity " << capacity << " text \"" << text << '"';
  for (size_t i = 0; i < expected.size() && i < got; ++i) {
    const VelmoraLedColor& a = room[i];
    const VelmoraLedColor& b = expected[i];
    ASSERT_TRUE(a.ledId == b.ledId && a.r == b.r && a.g == b.g && a.b == b.b)
        << "record " << i << " of \"" << text << '"';
  }
  // Nothing is written past the room.
  ASSERT_EQ(room[capacity].ledId, -7) << text;
}

TEST(LedColors, DecoderAgreesWithAReferenceReaderOnOddTexts) {
  // Pieces placed after 0 to 9 ordinary records, so that each falls at
  // many offsets of the decoder's windows and near the end of the text.
  const std::string pieces[] = {
      "",
      "1,2,3,4",
      "7,8,9",
      "7,8,9,",
      "7,8,",
      "12",
      "123,45",
      "1234,5,6,7",
      "12345,6,7,8#9,9,9,9",
      "1234567890,1,2,3",
      "2147483647,2147483648,0,0",
      "0000000001,002,03,4",
      "-1,+2,-0,4",
      "1,-2,3,4",
      "1,2,3,-",
      "+,1,2,3",
      " 1,2,3,4",
      "1 ,2,3,4",
      "1, 2,3,4",
      "1,2,3,4 #5,6,7,8",
      "1,2,3,4# 5,6,7,8",
      "1 2,3,4,5",
      "1,2,3,4 ",
      "1\t,\n2\r,\v3\f,4",
      "1;2;3;4;5;6;7;8",
      "1,,2,3,4",
      "1#2#3#4",
      "1a2b3c4d5e6f7g8",
      std::string("1\0002\0003\0004\0", 8),
      "1\xff"
      "2\x80"
      "3~4",
      "999,999,999,999#000,000,000,000",
      "1,2,3,4##5,6,7,8",
      "1,2,3,4,5,6,7,8",
      "x",
      "#",
  };
  const std::string ordinary = "123,45,6,78#";
  for (const std::string& piece : pieces) {
    for (int before = 0; before < 10; ++before) {
      std::string text;
      for (int i = 0; i < before; ++i) text += ordinary;
      for (const std::string& after : {std::string(), std::string("#1,2,3,4"),
                                       std::string("#") + ordinary + ordinary + ordinary}) {
        const std::string full = text + piece + after;
        for (size_t capacity : {size_t{0}, size_t{1}, size_t(before), size_t(before) + 1,
                                size_t(before) + 2, size_t{64}}) {
          expectDecodesLikeReference(full, capacity);
        }
      }
    }
  }
}

TEST(LedColors, DecoderAgreesWithAReferenceReaderOnRandomTexts) {
  std::mt19937 random(20261209);
  const auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
  const char odd[] = {' ', '\t', '\n', '-', '+', 'x', '\0', '\x7f', '\x80', ',', '#', '~'};
  for (int round = 0; round < 4000; ++round) {
    // Mostly well-formed lists with a few faults: numbers of 1 to 10
    // digits, now and then a sign, a blank, an odd or missing separator,
    // and the text cut anywhere.
    std::string text;
    const unsigned records = below(40);
    const unsigned faults = below(4) == 0 ? 0 : below(6);
    for (unsigned r = 0; r < records; ++r) {
      for (int k = 0; k < 4; ++k) {
        const unsigned digits = below(8) == 0 ? 1 + below(10) : 1 + below(3);
        for (unsigned d = 0; d < digits; ++d) text += static_cast<char>('0' + below(10));
        text += k < 3 ? ',' : '#';
      }
    }
    for (unsigned f = 0; f < faults && !text.empty(); ++f) {
      const size_t at = below(static_cast<unsigned>(text.size()));
      switch (below(3)) {
        case 0:
          text[at] = odd[below(sizeof odd)];
          break;
        case 1:
          text.insert(at, 1, odd[below(sizeof odd)]);
          break;
        default:
          text.erase(at, 1);
      }
    }
    if (!text.empty() && below(2) == 0) text.resize(below(static_cast<unsigned>(text.size())));
    expectDecodesLikeReference(text, below(3) == 0 ? below(records + 2) : records + 1);
  }
}

TEST(LedColors, ValidationChecksRangesAndDuplicates) {
  const int both = kCheckLedIds | kCheckComponents;
  struct Case {
    VelmoraLedColor color;
    bool idsOnly;
    bool both;
  } cases[] = {
      {{0, 0, 0, 0}, true, true},        {{499, 255, 255, 255}, true, true},
      {{500, 0, 0, 0}, false, false},    {{-1, 0, 0, 0}, false, false},
      {{1, 256, 0, 0}, true, false},     {{1, 0, -1, 0}, true, false},
      {{1, 0, 0, INT_MIN}, true, false}, {{900, 0, 0, 0}, false, false},
  };
  // The colour calls check while they write their requests: the same
  // verdicts, and for accepted lists the text the builders write, in either
  // envelope.
  const auto checkedAs = [](int checks, int device, int n, const VelmoraLedColor* list) {
    ColorsRequestBuffer buffer;
    const TerminatedText text = checkedColorsRequest("M", device, n, list, checks, &buffer);
    EXPECT_EQ(text.data()[text.size()], '\0');
    return std::string(text.view());
  };
  const auto built = [](int device, int n, const VelmoraLedColor* list) {
    return device < 0 ? buildLedsColorsRequest(n, list, "M")
                      : buildDeviceLedsColorsRequest(device, n, list, "M");
  };
  const auto checked = [&](int n, const VelmoraLedColor* list) {
    return checkedAs(both, -1, n, list);
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validateLedColors(1, &c.color, kCheckLedIds), c.idsOnly) << c.color.ledId;
    EXPECT_EQ(validateLedColors(1, &c.color, both), c.both) << c.color.ledId;
    for (int device : {-1, 0, 999999, INT_MAX}) {
      EXPECT_EQ(checkedAs(both, device, 1, &c.color), c.both ? built(device, 1, &c.color) : "")
          << c.color.ledId;
      EXPECT_EQ(checkedAs(kCheckLedIds, device, 1, &c.color),
                c.idsOnly ? built(device, 1, &c.color) : "")
          << c.color.ledId;
    }
  }
  const VelmoraLedColor dup[3] = {{4, 0, 0, 0}, {8, 0, 0, 0}, {4, 1, 1, 1}};
  EXPECT_FALSE(validateLedColors(3, dup, 0));  // duplicates fail whatever the checks
  EXPECT_TRUE(validateLedColors(2, dup, both));
  EXPECT_TRUE(validateLedColors(0, nullptr, both));
  EXPECT_EQ(checked(3, dup), "");
  EXPECT_EQ(checked(0, dup), "");
  EXPECT_EQ(checked(1, nullptr), "");
  // A wide component sends the rest of the list to the builder, and its ids
  // are still checked.
  const VelmoraLedColor wide[3] = {{4, 0, 0, 0}, {8, 1000, -7, 0}, {9, 999, 1, 2}};
  EXPECT_EQ(checkedAs(kCheckLedIds, 3, 3, wide), built(3, 3, wide));
  const VelmoraLedColor wideThenRepeat[3] = {{4, 0, 0, 0}, {8, 1000, 0, 0}, {4, 0, 0, 0}};
  EXPECT_EQ(checkedAs(kCheckLedIds, -1, 3, wideThenRepeat), "");
  std::vector<VelmoraLedColor> all(500);
  for (int i = 0; i < 500; ++i) all[static_cast<size_t>(i)] = {499 - i, i % 256, 7, 255 - i % 256};
  EXPECT_EQ(checked(500, all.data()), built(-1, 500, all.data()));
  for (VelmoraLedColor& c : all) c.r = c.g = c.b = 999;  // the longest list fits the buffer
  for (int device : {-1, INT_MAX}) {
    EXPECT_EQ(checkedAs(kCheckLedIds, device, 500, all.data()), built(device, 500, all.data()));
  }
  EXPECT_EQ(checked(INT_MAX, all.data()), "");  // refused before any record is read
}

}  // namespace
}  // namespace sdk
