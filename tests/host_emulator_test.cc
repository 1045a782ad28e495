// lumhost as a test tool: the fault commands as clients meet them, scenario
// scripts, and the built-in keyboard layouts.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "host/console/scenario.h"
#include "host/fixture/host_fixture.h"
#include "host/profile/builtin_profiles.h"
#include "host/profile/device_profile.h"
#include "json/json_text.h"
#include "support/host_calls.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

using sdk::JsonHandle;
using Connection = sdk::test_support::HostConnection;
using sdk::test_support::ask;
using sdk::test_support::call;
const auto& kCount = sdk::test_support::kDeviceCountRequest;

std::string deviceInfo(int index) {
  return R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":)" + std::to_string(index) +
         "}}";
}

std::string keyName(char letter) {
  return R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":)" +
         std::to_string(static_cast<int>(letter)) + "}}";
}

// One command, and what a connected client then meets.
struct CommandCase {
  const char* line;
  bool ok;
  const char* output;  // a part of the output
  std::function<void(HostFixture&, const Connection&)> then;
};

TEST(HostCommands, EachCommandAsAClientMeetsIt) {
  const std::vector<CommandCase> cases = {
      {"stall 300", true, "every answer waits 300 ms",
       [](HostFixture&, const Connection& c) {
         auto begin = std::chrono::steady_clock::now();
         EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
         EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
       }},
      {"freeze", true, "frozen",
       [](HostFixture& host, const Connection& c) {
         auto answer = std::async(std::launch::async, [&] { return ask(c, kCount); });
         EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
         host.command("thaw");
         EXPECT_EQ(answer.get().get("result").asInt(), 5);
       }},
      {"fail VelmoraGetDeviceCount 1 2", true, "the next 2 answers",
       [](HostFixture&, const Connection& c) {
         EXPECT_EQ(ask(c, kCount).get("errorCode").asInt(), 1);
         EXPECT_EQ(ask(c, kCount).get("errorCode").asInt(), 1);
         EXPECT_EQ(ask(c, kCount).get("errorCode").asInt(), 0);
       }},
      {"fail velmoragetdeviceinfo 7", true, "the next 1 answer of VelmoraGetDeviceInfo",
       [](HostFixture&, const Connection& c) {
         JsonHandle failed = ask(c, deviceInfo(0));
         EXPECT_EQ(failed.get("errorCode").asInt(), 7);
         EXPECT_TRUE(failed.get("result").isNull());
         EXPECT_EQ(ask(c, deviceInfo(0)).get("errorCode").asInt(), 0);
       }},
      {"unplug 1", true, "clients see 4 devices",
       [](HostFixture& host, const Connection& c) {
         EXPECT_EQ(ask(c, kCount).get("result").asInt(), 4);
         // The others move up: index 1 is now the mousepad.
         EXPECT_EQ(ask(c, deviceInfo(1)).get("result").get("model").asString(),
                   "Demo Mousepad P20");
         EXPECT_TRUE(ask(c, deviceInfo(4)).get("result").isNull());
         host.command("plug 1");
         EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
         EXPECT_EQ(ask(c, deviceInfo(1)).get("result").get("model").asString(), "Demo Mouse M4");
       }},
      {"unplug 0", true, "unplugged",
       [](HostFixture&, const Connection& c) {
         // The letters were on the keyboard that left.
         EXPECT_EQ(ask(c, keyName('A')).get("errorCode").asInt(), 5);
       }},
      {"drop", true, "dropped 1 client",
       [](HostFixture&, const Connection& c) { EXPECT_EQ(call(c, kCount), ""); }},
      {"restart", true, "restarted: dropped 1 client",
       [](HostFixture& host, const Connection& c) {
         EXPECT_EQ(call(c, kCount), "");
         int r = -1, g = -1, b = -1;
         ASSERT_TRUE(host.ledColor(1, &r, &g, &b));
         EXPECT_EQ(r + g + b, 0);
         // The host still serves: a new connection is answered.
         Connection again = sdk::CreateRpcConnection(":pid:2");
         ASSERT_TRUE(again);
         EXPECT_EQ(ask(again, kCount).get("result").asInt(), 5);
       }},
      {"profile builtin:iso-de", true, "dropped 1 client; now serving",
       [](HostFixture& host, const Connection& c) {
         EXPECT_EQ(call(c, kCount), "");
         Connection again = sdk::CreateRpcConnection(":pid:2");
         ASSERT_TRUE(again);
         // The new desk answers: 'Z' is where the default desk has 'Y'.
         EXPECT_EQ(ask(again, keyName('Z')).get("result").asInt(), 44);
         Profile isoDe;
         std::string error;
         ASSERT_TRUE(loadProfileFile("builtin:iso-de", &isoDe, &error));
         EXPECT_EQ(host.profile()->name, isoDe.name);
         EXPECT_NE(host.command("profile").find(isoDe.name), std::string::npos);
       }},
      {"unplug 1", true, "clients see 4 devices",
       [](HostFixture& host, const Connection&) {
         // A new desk has every device plugged.
         host.command("profile builtin:desk");
         Connection again = sdk::CreateRpcConnection(":pid:2");
         ASSERT_TRUE(again);
         EXPECT_EQ(ask(again, kCount).get("result").asInt(), 5);
       }},
      {"profile builtin:no-such-desk", false, "bad profile", nullptr},
      {"profile a b", false, "usage: profile", nullptr},
      {"drop client-999999", false, "no client-999999", nullptr},
      {"stall -1", false, "usage: stall", nullptr},
      {"stall soon", false, "usage: stall", nullptr},
      {"fail NoSuchMethod 1", false, "no method \"NoSuchMethod\"", nullptr},
      {"fail VelmoraGetDeviceCount", false, "usage: fail", nullptr},
      {"fail VelmoraGetDeviceCount 1 -3", false, "usage: fail", nullptr},
      {"unplug 5", false, "0 to 4", nullptr},
      {"plug", false, "usage: plug N", nullptr},
      {"drop someone", false, "usage: drop", nullptr},
      {"freeze now", false, "usage: freeze", nullptr},
      {"frobnicate", false, "unknown command", nullptr},
  };
  for (const CommandCase& test : cases) {
    SCOPED_TRACE(test.line);
    HostFixture host;
    Connection c = sdk::CreateRpcConnection(":pid:1");
    ASSERT_TRUE(c);
    EXPECT_TRUE(ask(c, R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,9,9,9"}})")
                    .get("result")
                    .asBool());
    bool ok = !test.ok;
    std::string output = host.command(test.line, &ok);
    EXPECT_EQ(ok, test.ok);
    EXPECT_NE(output.find(test.output), std::string::npos) << output;
    if (test.then) test.then(host, c);
  }
}

TEST(HostCommands, StateNamesTheFaultsInForce) {
  HostFixture host;
  EXPECT_EQ(host.command("state").find("faults:"), std::string::npos);
  host.command("stall 50");
  host.command("unplug 2");
  host.command("fail VelmoraGetDeviceCount 3");
  std::string state = host.command("state");
  EXPECT_NE(state.find("answers stalled 50 ms"), std::string::npos) << state;
  EXPECT_NE(state.find("device 2 unplugged"), std::string::npos) << state;
  EXPECT_NE(state.find("VelmoraGetDeviceCount fails with 3 1 more time"), std::string::npos)
      << state;
}

TEST(HostCommands, DroppingAFrozenClientDoesNotWaitForTheThaw) {
  HostFixture host;
  Connection c = sdk::CreateRpcConnection(":pid:1");
  ASSERT_TRUE(c);
  host.command("freeze");
  auto answer = std::async(std::launch::async, [&] { return call(c, kCount); });
  ASSERT_TRUE(host.waitForRequests("VelmoraGetDeviceCount", 1, 10000));
  EXPECT_NE(host.command("drop").find("dropped 1 client"), std::string::npos);
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(answer.get(), "");
}

struct ScenarioCase {
  const char* text;
  bool ok;
  std::vector<std::pair<long long, std::string>> steps;  // or the error's part
  const char* error;
};

TEST(Scenario, ReadsTimedCommands) {
  const std::vector<ScenarioCase> cases = {
      {"# comment\n\nat 1.5s restart\nat 200ms press A\r\nat 0s stall 10\n",
       true,
       {{0, "stall 10"}, {200, "press A"}, {1500, "restart"}},
       ""},
      {"at 1s  tap   Esc  \n", true, {{1000, "tap   Esc  "}}, ""},
      {"at 2s b\nat 2s a\n", true, {{2000, "b"}, {2000, "a"}}, ""},
      {"at 1.5 restart\n", false, {}, "line 1"},
      {"press A\n", false, {}, "line 1"},
      {"at 1s\n", false, {}, "line 1"},
      {"at 1s quit\nat -1s quit\n", false, {}, "line 2"},
      {"at 1..5s quit\n", false, {}, "line 1"},
      {"at 99999999s quit\n", false, {}, "line 1"},
  };
  for (const ScenarioCase& test : cases) {
    SCOPED_TRACE(test.text);
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_EQ(parseScenario(test.text, &steps, &error), test.ok) << error;
    if (!test.ok) {
      EXPECT_NE(error.find(test.error), std::string::npos) << error;
      continue;
    }
    ASSERT_EQ(steps.size(), test.steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(steps[i].atMs, test.steps[i].first);
      EXPECT_EQ(steps[i].command, test.steps[i].second);
    }
  }
}

// The built-in layouts: the LED of a letter, and where it is.
struct LayoutCase {
  const char* profile;
  char letter;
  int ledId;
  const char* sameSpotOnAnsi;  // the ANSI key at the same place
};

TEST(Layouts, LettersFollowTheLayout) {
  const std::vector<LayoutCase> cases = {
      {"ansi-us", 'Z', 76, "Z"},   {"ansi-us", 'Y', 44, "Y"},   {"ansi-us", 'Q', 39, "Q"},
      {"iso-de", 'Z', 44, "Y"},    {"iso-de", 'Y', 76, "Z"},    {"iso-de", 'A', 60, "A"},
      {"iso-uk", 'Z', 76, "Z"},    {"iso-uk", 'Q', 39, "Q"},    {"azerty-fr", 'A', 39, "Q"},
      {"azerty-fr", 'Q', 60, "A"}, {"azerty-fr", 'Z', 40, "W"}, {"azerty-fr", 'W', 76, "Z"},
      {"azerty-fr", 'M', 69, ";"}, {"jis", 'Z', 76, "Z"},       {"jis", 'A', 60, "A"},
  };
  Profile ansi;
  std::string error;
  ASSERT_TRUE(loadProfileFile("builtin:ansi-us", &ansi, &error)) << error;
  for (const LayoutCase& test : cases) {
    SCOPED_TRACE(std::string(test.profile) + " " + test.letter);
    Profile profile;
    ASSERT_TRUE(loadProfileFile(std::string("builtin:") + test.profile, &profile, &error)) << error;
    int device = -1;
    int ledId = 0;
    ASSERT_TRUE(profile.findLetterKey(test.letter, &device, &ledId));
    EXPECT_EQ(ledId, test.ledId);
    int ansiDevice = 0;
    int ansiIndex = 0;
    ASSERT_TRUE(ansi.findKeyLabel(test.sameSpotOnAnsi, &ansiDevice, &ansiIndex));
    const Led& there = ansi.devices[ansiDevice].leds[ansiIndex];
    const Led& here = profile.devices[device].leds[profile.devices[device].ledIndex(ledId)];
    EXPECT_DOUBLE_EQ(here.left, there.left);
    EXPECT_DOUBLE_EQ(here.top, there.top);
  }
}

TEST(Layouts, IsoHasTheKeysAnsiLacks) {
  const struct {
    const char* profile;
    const char* label;  // beside the left Shift, and left of Enter
    const char* hash;
  } cases[] = {{"iso-de", "<", "#"}, {"iso-uk", "Backslash", "#"}, {"azerty-fr", "<", "*"}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.profile);
    Profile profile;
    std::string error;
    ASSERT_TRUE(loadProfileFile(std::string("builtin:") + test.profile, &profile, &error));
    int d = 0, shift = 0, angle = 0, hash = 0, enter = 0;
    ASSERT_TRUE(profile.findKeyLabel("LShift", &d, &shift));
    ASSERT_TRUE(profile.findKeyLabel(test.label, &d, &angle));
    ASSERT_TRUE(profile.findKeyLabel(test.hash, &d, &hash));
    ASSERT_TRUE(profile.findKeyLabel("Enter", &d, &enter));
    const std::vector<Led>& leds = profile.devices[d].leds;
    EXPECT_EQ(leds[angle].top, leds[shift].top);
    EXPECT_GT(leds[angle].left, leds[shift].left + leds[shift].width);
    EXPECT_EQ(leds[angle].id, 107);
    EXPECT_EQ(leds[hash].id, 106);
    // The ISO Enter spans two rows and ends right of the key left of it.
    EXPECT_GT(leds[enter].height, 2 * leds[hash].height);
    EXPECT_GT(leds[enter].left, leds[hash].left);
  }
}

TEST(Layouts, EveryBuiltInProfileLoadsAndIsNamed) {
  for (const BuiltinProfile& builtin : builtinProfiles()) {
    SCOPED_TRACE(builtin.name);
    Profile profile;
    std::string error;
    ASSERT_TRUE(loadProfileFile(std::string("builtin:") + builtin.name, &profile, &error)) << error;
    EXPECT_FALSE(profile.name.empty());
  }
}

TEST(Layouts, TheHostAnswersZOnIsoDeWithTheAnsiYLed) {
  HostFixture::Options options;
  options.profilePath = "builtin:iso-de";
  HostFixture host(options);
  Connection c = sdk::CreateRpcConnection(":pid:1");
  ASSERT_TRUE(c);
  int z = ask(c, keyName('Z')).get("result").asInt();
  JsonHandle positions = ask(c, R"({"method":"VelmoraGetLedPositions"})").get("result");
  Profile ansi;
  std::string error;
  ASSERT_TRUE(loadProfileFile("builtin:ansi-us", &ansi, &error));
  int d = 0, y = 0;
  ASSERT_TRUE(ansi.findKeyLabel("Y", &d, &y));
  bool found = false;
  for (int i = 0; i < positions.size(); ++i) {
    if (positions.getRef(i).get("ledId").asInt() != z) continue;
    found = true;
    EXPECT_DOUBLE_EQ(positions.getRef(i).get("left").asDouble(), ansi.devices[d].leds[y].left);
    EXPECT_DOUBLE_EQ(positions.getRef(i).get("top").asDouble(), ansi.devices[d].leds[y].top);
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace lumhost
