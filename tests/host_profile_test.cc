// The stand-in host's device profiles: the built-in desk and profile files.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "host/profile/builtin_profiles.h"
#include "host/profile/device_profile.h"
#include "host/profile/json_syntax.h"

namespace lumhost {
namespace {

bool overlaps(const Led& a, const Led& b) {
  return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
         b.top < a.top + a.height;
}

TEST(HostProfile, DefaultDeskLooksLikeARealDesk) {
  Profile p = defaultProfile();
  ASSERT_EQ(p.devices.size(), 5u);
  const Device& kb = p.devices[0];
  int keys = 0;
  for (const Led& led : kb.leds) keys += led.key.empty() ? 0 : 1;
  EXPECT_EQ(keys, 104);
  // A full-size keyboard is about 44 by 13 centimetres.
  EXPECT_GT(kb.bodyWidth(), 420);
  EXPECT_LT(kb.bodyWidth(), 470);
  EXPECT_GT(kb.bodyHeight(), 120);
  EXPECT_LT(kb.bodyHeight(), 160);
  for (size_t i = 0; i < kb.leds.size(); ++i) {
    EXPECT_LE(kb.leds[i].left + kb.leds[i].width, kb.bodyWidth());
    for (size_t j = i + 1; j < kb.leds.size(); ++j) {
      EXPECT_FALSE(overlaps(kb.leds[i], kb.leds[j])) << kb.leds[i].key << " " << kb.leds[j].key;
    }
  }
  // Ids are valid and, in the built-in desk, unique over all devices.
  std::set<int> ids;
  for (const Device& d : p.devices) {
    for (const Led& led : d.leds) {
      EXPECT_GE(led.id, kMinLedId);
      EXPECT_LE(led.id, kMaxLedId);
      EXPECT_TRUE(ids.insert(led.id).second) << led.id;
    }
  }
  EXPECT_EQ(ids.count(kMaxLedId), 1u);
  const Device& hub = p.devices[4];
  ASSERT_EQ(hub.channels.size(), 2u);
  EXPECT_EQ(hub.channels[0].totalLeds(), 36);
  EXPECT_EQ(hub.channels[1].totalLeds(), 40);
  EXPECT_EQ(hub.leds.size(), 76u);
}

TEST(HostProfile, EveryLetterHasAKeyInBothCases) {
  Profile p = defaultProfile();
  std::set<int> seen;
  for (char c = 'A'; c <= 'Z'; ++c) {
    int device = -1;
    int upper = 0;
    int lower = 0;
    ASSERT_TRUE(p.findLetterKey(c, &device, &upper)) << c;
    EXPECT_EQ(device, 0);
    ASSERT_TRUE(p.findLetterKey(static_cast<char>(std::tolower(c)), &device, &lower));
    EXPECT_EQ(upper, lower);
    EXPECT_TRUE(seen.insert(upper).second);
  }
  int device = 0;
  int id = 0;
  EXPECT_FALSE(p.findLetterKey('1', &device, &id));
  EXPECT_FALSE(p.findLetterKey(';', &device, &id));
}

TEST(HostProfile, WrittenProfileReadsBackTheSame) {
  Profile original = defaultProfile();
  Profile copy;
  std::string error;
  ASSERT_TRUE(parseProfile(profileToText(original), &copy, &error)) << error;
  ASSERT_EQ(copy.devices.size(), original.devices.size());
  EXPECT_EQ(copy.name, original.name);
  for (size_t d = 0; d < original.devices.size(); ++d) {
    const Device& a = original.devices[d];
    const Device& b = copy.devices[d];
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.model, b.model);
    EXPECT_EQ(a.capsMask, b.capsMask);
    EXPECT_DOUBLE_EQ(a.deskLeft, b.deskLeft);
    ASSERT_EQ(a.leds.size(), b.leds.size());
    for (size_t i = 0; i < a.leds.size(); ++i) {
      EXPECT_EQ(a.leds[i].id, b.leds[i].id);
      EXPECT_EQ(a.leds[i].key, b.leds[i].key);
      EXPECT_DOUBLE_EQ(a.leds[i].left, b.leds[i].left);
      EXPECT_DOUBLE_EQ(a.leds[i].height, b.leds[i].height);
    }
    ASSERT_EQ(a.channels.size(), b.channels.size());
    for (size_t c = 0; c < a.channels.size(); ++c) {
      ASSERT_EQ(a.channels[c].devices.size(), b.channels[c].devices.size());
      for (size_t i = 0; i < a.channels[c].devices.size(); ++i) {
        EXPECT_EQ(a.channels[c].devices[i].type, b.channels[c].devices[i].type);
        EXPECT_EQ(a.channels[c].devices[i].firstLed, b.channels[c].devices[i].firstLed);
        EXPECT_EQ(a.channels[c].devices[i].ledCount, b.channels[c].devices[i].ledCount);
      }
    }
  }
}

TEST(HostProfile, SmallHandWrittenProfile) {
  const char* text = R"({
    "name": "two pads",
    "_note": "members starting with an underscore are ignored",
    "devices": [
      {"type": "mousepad", "model": "Pad A", "leds": [
        {"id": 1, "left": 0, "top": 0, "width": 10, "height": 4},
        {"id": 2, "key": "x", "left": 12, "top": 0, "width": 10, "height": 4, "vendorKey": 77}]},
      {"type": 42, "model": "Hub", "leds": [], "channels": [
        {"devices": [{"type": "strip", "leds": [{"id": 1, "left": 0, "top": 0, "width": 5, "height": 5}]},
                     {"type": 9, "leds": [{"id": 2, "left": 6, "top": 0, "width": 5, "height": 5}]}]}]}
    ]})";
  Profile p;
  std::string error;
  // Editors on Windows may start the file with a UTF-8 byte-order mark.
  ASSERT_TRUE(parseProfile(std::string("\xEF\xBB\xBF") + text, &p, &error)) << error;
  ASSERT_EQ(p.devices.size(), 2u);
  EXPECT_EQ(p.devices[0].type, 3);
  EXPECT_EQ(p.devices[0].leds[1].pressKeyId(), 77);
  EXPECT_EQ(p.devices[0].leds[0].pressKeyId(), 1);
  EXPECT_EQ(p.devices[1].type, 42);
  ASSERT_EQ(p.devices[1].channels.size(), 1u);
  EXPECT_EQ(p.devices[1].channels[0].devices[1].type, 9);
  EXPECT_EQ(p.devices[1].channels[0].totalLeds(), 2);
  int device = 0;
  int id = 0;
  ASSERT_TRUE(p.findLetterKey('X', &device, &id));
  EXPECT_EQ(id, 2);
}

TEST(HostProfile, BadProfilesNameTheirFault) {
  const std::string led = R"({"id": 1, "left": 0, "top": 0, "width": 5, "height": 5})";
  const std::string keyA = R"({"id": 1, "key": "A", "left": 0, "top": 0, "width": 5, "height": 5})";
  auto device = [](const std::string& members) {
    return R"({"devices": [{"type": "mouse", "model": "M1", )" + members + "}]}";
  };
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"", "not valid JSON: line 1, column 1: unexpected end of text"},
      {"{\"devices\": [1,]}", "not valid JSON: line 1, column 16: unexpected character ']'"},
      {"{\n\"devices\": []\n} x", "not valid JSON: line 3, column 3: unexpected text after"},
      {"{\"name\": \"a\\\\b\", \"devices\": []}", "unsupported escape '\\\\'"},
      {"[]", "the profile must be a JSON object"},
      {"{\"devices\": [], \"name\": -1e999}",
       "not valid JSON: line 1, column 25: the number -1e999 is out of range"},
      {"{\"devices\": [],\n \"devices\": []}",
       "not valid JSON: line 2, column 2: member \"devices\" appears twice in one object"},
      {"{\"name\": \"x\"}", "member \"devices\" is missing"},
      {"{\"devices\": [], \"colour\": 1}", "the profile: unknown member \"colour\""},
      {"{\"devices\": [7]}", "device 0: must be an object"},
      {R"({"devices": [{"model": "M1"}]})", "device 0 (\"M1\"): member \"type\" is missing"},
      {R"({"devices": [{"type": "toaster", "model": "M1"}]})", "unknown name \"toaster\""},
      {R"({"devices": [{"type": 1}]})", "device 0: member \"model\" is missing"},
      {R"({"devices": [{"type": 1, "model": ""}]})", "member \"model\" must not be empty"},
      {device(R"("capsMask": -1)"),
       "device 0 (\"M1\"): member \"capsMask\" must be between 0 and 2147483647"},
      {device(R"("deskLeft": -2e6)"), "member \"deskLeft\" must be between -1000000 and 1000000"},
      {device(R"("width": -1)"), "member \"width\" must be between 0 and 1000000"},
      {device(R"("capsMask": 1.5)"), "member \"capsMask\" must be a whole number"},
      {device(R"("ledz": [])"), "device 0 (\"M1\"): unknown member \"ledz\""},
      {device(R"("leds": 3)"), "member \"leds\" must be an array"},
      {device(R"("leds": [{"id": 0, "left": 0, "top": 0, "width": 5, "height": 5}])"),
       "device 0 (\"M1\"), led 0: member \"id\" must be between 1 and 499"},
      {device(R"("leds": [{"id": 5e9, "left": 0, "top": 0, "width": 5, "height": 5}])"),
       "member \"id\" must be between 1 and 499"},
      {device(R"("leds": [{"id": 3, "left": 2e6, "top": 0, "width": 5, "height": 5}])"),
       "led 0 (id 3): member \"left\" must be between 0 and 1000000"},
      {device("\"leds\": [" + led + ", " + led + "]"),
       "device 0 (\"M1\"), led 1 (id 1): LED id 1 appears twice"},
      {device(R"("leds": [{"id": 3, "left": 0, "top": 0, "width": 0, "height": 5}])"),
       "led 0 (id 3): members \"width\" and \"height\" must be above 0"},
      {device(R"("leds": [{"id": 3, "left": 0, "top": 0, "height": 5}])"),
       "led 0 (id 3): member \"width\" is missing"},
      {device(R"("leds": [{"id": 3, "left": "0", "top": 0, "width": 1, "height": 5}])"),
       "member \"left\" must be a number"},
      {device(
           R"("leds": [{"id": 3, "key": "Caps Lock", "left": 0, "top": 0, "width": 1, "height": 5}])"),
       "member \"key\" may hold only printable ASCII"},
      {device(R"("leds": [{"id": 1, "key": "A", "left": 0, "top": 0, "width": 5, "height": 5},
                          {"id": 2, "key": "a", "left": 6, "top": 0, "width": 5, "height": 5}])"),
       "led 1 (id 2): member \"key\": the label \"a\" is already used by device 0 (\"M1\"), led 0 "
       "(id 1) (labels are not case-sensitive)"},
      {R"({"devices": [{"type": 1, "model": "K", "leds": [)" + keyA + R"(]},
                       {"type": 2, "model": "M", "leds": [)" +
           keyA + "]}]}",
       "device 1 (\"M\"), led 0 (id 1): member \"key\": the label \"A\" is already used by device "
       "0"},
      {device(
           R"("leds": [{"id": 1, "key": "A", "left": 0, "top": 0, "width": 5, "height": 5, "vendorKey": 9},
                          {"id": 2, "left": 6, "top": 0, "width": 5, "height": 5, "vendorKey": 9}])"),
       "led 1 (id 2): member \"vendorKey\": key id 9 is already the key id of device 0 (\"M1\"), "
       "led 0 "
       "(id 1)"},
      {device(
           R"("leds": [{"id": 1, "key": "A", "left": 0, "top": 0, "width": 5, "height": 5, "vendorKey": 2},
                          {"id": 2, "key": "B", "left": 6, "top": 0, "width": 5, "height": 5}])"),
       "led 1 (id 2): member \"vendorKey\": key id 2 (the LED id) is already the key id of"},
      {device(R"("channels": [{"devices": []}])"),
       "device 0 (\"M1\"), channel 0: member \"devices\" must be an array"},
      {device(R"("channels": [{"devices": [{"type": "fan"}]}])"),
       "channel 0, device 0: member \"leds\" must be an array"},
      {device(R"("channels": [{"devices": [{"type": "fan", "leds": [)" + led +
              "]}]}], \"leds\": [" + led + "]"),
       "channel 0, device 0, led 0 (id 1): LED id 1 appears twice"},
  };
  for (const Case& c : cases) {
    Profile p;
    std::string error;
    EXPECT_FALSE(parseProfile(c.text, &p, &error)) << c.text;
    EXPECT_NE(error.find(c.expected), std::string::npos)
        << "text: " << c.text << "\nerror: " << error << "\nexpected: " << c.expected;
  }
}

TEST(HostProfile, FilesThatCannotBeReadAreNamedWithTheReason) {
  const std::string directory = ::testing::TempDir();
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"/nonexistent/desk.json", "/nonexistent/desk.json: cannot be opened (No such file"},
      {directory, directory + ": is a directory, not a file"},
  };
  for (const auto& c : cases) {
    Profile p;
    std::string error;
    EXPECT_FALSE(loadProfileFile(c.path, &p, &error));
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << error;
  }
}

TEST(HostProfile, BuiltinProfilesLoadByNameAndUnknownNamesAreRefused) {
  ASSERT_FALSE(builtinProfiles().empty());
  EXPECT_STREQ(builtinProfiles()[0].name, "desk");
  for (const BuiltinProfile& builtin : builtinProfiles()) {
    Profile p;
    std::string error;
    EXPECT_TRUE(loadProfileFile(std::string("builtin:") + builtin.name, &p, &error))
        << builtin.name << ": " << error;
    EXPECT_FALSE(p.devices.empty()) << builtin.name;
  }
  Profile p;
  std::string error;
  EXPECT_FALSE(loadProfileFile("builtin:nope", &p, &error));
  EXPECT_EQ(error, "builtin:nope: no such built-in profile (lumhost --list-profiles names them)");
}

TEST(HostJsonSyntax, AcceptsWhatTheReaderReadsBack) {
  const char* good[] = {"0", "-1.5e3", "true", " [1, {\"a\": null}] ", "\"\\\"\\n\\t\"", "{}"};
  for (const char* text : good) {
    std::string error;
    EXPECT_TRUE(checkJsonSyntax(text, &error)) << text << ": " << error;
  }
  const char* bad[] = {"01",    "1.",          "-",          "tru", "[1 2]",   "{\"a\" 1}",
                       "\"abc", "\"\\u0041\"", "{\"a\":1,}", "nul", "\"a\tb\""};
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(checkJsonSyntax(text, &error)) << text;
    EXPECT_EQ(error.rfind("line 1, column ", 0), 0u) << error;
  }
  std::string deep(300, '[');
  std::string error;
  EXPECT_FALSE(checkJsonSyntax(deep, &error));
  EXPECT_NE(error.find("nested too deeply"), std::string::npos);
}

}  // namespace
}  // namespace lumhost
