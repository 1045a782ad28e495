// What a developer sees of the stand-in host: the console commands, the SVG
// snapshot and the terminal picture.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/console/host_commands.h"
#include "host/server/host_server.h"
#include "host/views/desk_picture.h"
#include "core/platform.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(HostPicture, SvgShowsEveryLedInItsColour) {
  Profile profile = defaultProfile();
  DeskColors colors;
  for (const Device& d : profile.devices) colors.emplace_back(d.leds.size());
  colors[0][0] = Rgb{255, 128, 0};  // Esc
  colors[4][75] = Rgb{1, 2, 3};     // the last LED of the hub
  std::string svg = renderSvg(profile, colors, "desk <&> \"test\"");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_EQ(count(svg, "<rect id=\"led-"), static_cast<size_t>(profile.totalLeds()));
  EXPECT_NE(svg.find("id=\"led-0-1\" x=\"8.53\" y=\"8.53\" width=\"18\" height=\"18\" rx=\"1.2\" "
                     "fill=\"#ff8000\""),
            std::string::npos);
  EXPECT_NE(svg.find("id=\"led-4-499\""), std::string::npos);
  EXPECT_NE(svg.find("fill=\"#010203\""), std::string::npos);
  EXPECT_NE(svg.find("desk &lt;&amp;&gt; &quot;test&quot;"), std::string::npos);
  EXPECT_NE(svg.find(">Esc</text>"), std::string::npos);
  EXPECT_EQ(count(svg, "<g id=\"device-"), 5u);
}

TEST(HostPicture, TerminalFrameDrawsLitLedsInTrueColour) {
  Profile profile = defaultProfile();
  DeskColors colors;
  for (const Device& d : profile.devices) colors.emplace_back(d.leds.size());
  TerminalPicture picture(profile, 120);
  EXPECT_EQ(picture.columns(), 120);
  EXPECT_GT(picture.rows(), 10);
  EXPECT_LT(picture.rows(), 60);
  std::string dark = picture.render(colors);
  EXPECT_EQ(count(dark, "\n"), static_cast<size_t>(picture.rows()));
  EXPECT_EQ(count(dark, "\x1b[0m\n"), static_cast<size_t>(picture.rows()));
  EXPECT_EQ(dark.find("38;2;250;10;20"), std::string::npos);
  // Space bar lit: its colour appears; so does a 4 mm mouse LED, smaller
  // than a pixel.
  int space = 0;
  int device = 0;
  ASSERT_TRUE(profile.findKeyLabel("Space", &device, &space));
  colors[0][space] = Rgb{250, 10, 20};
  colors[1][2] = Rgb{7, 8, 9};
  std::string lit = picture.render(colors);
  EXPECT_NE(lit.find(";2;250;10;20m"), std::string::npos);
  EXPECT_NE(lit.find(";2;7;8;9m"), std::string::npos);
  // Each text row holds one glyph per column.
  std::istringstream lines(lit);
  std::string line;
  while (std::getline(lines, line)) {
    size_t glyphs = count(line, "\xE2\x96\x80") + count(line, "\xE2\x96\x84") + count(line, " ");
    EXPECT_EQ(glyphs, 120u);
  }
}

TEST(HostCommands, KeysResolveByLabelOrNumber) {
  Profile profile = defaultProfile();
  profile.devices[1].leds[0].key = "Wheel";
  profile.devices[1].leds[0].vendorKey = 900;
  struct Case {
    const char* name;
    bool ok;
    int key;
  };
  int a = 0;
  int device = 0;
  ASSERT_TRUE(profile.findLetterKey('A', &device, &a));
  const Case cases[] = {{"A", true, a},      {"a", true, a},     {"wheel", true, 900},
                        {"#7", true, 7},     {"250", true, 250}, {"#x", false, 0},
                        {"nokey", false, 0}, {"-3", false, 0},   {"#99999999999", false, 0},
                        {"#0", false, 0}};
  for (const Case& c : cases) {
    int key = -1;
    std::string label;
    EXPECT_EQ(resolveKey(profile, c.name, &key, &label), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(key, c.key) << c.name;
    }
  }
  // A label wins over the number it looks like: "1" is the key labelled 1.
  int key = 0;
  std::string label;
  ASSERT_TRUE(resolveKey(profile, "1", &key, &label));
  EXPECT_EQ(label, "1");
  EXPECT_NE(key, 1);
}

TEST(HostCommands, ConsoleSession) {
  ServerOptions options;
  options.pipeBase = std::wstring(sdk::kPipePathPrefix) + L"lumhost-console-" +
                     std::to_wstring(sdk::platform::currentProcessId());
  HostServer server(options);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  sdk::SetWellKnownPipeBaseForTesting(options.pipeBase);
  // An identity with an escape sequence, which the console must not pass on.
  auto client = sdk::CreateRpcConnection(":pid:77\x1b[2J");
  ASSERT_TRUE(client);
  client->Call(R"({"method":"VelmoraRegisterKeypressCallback"})");
  client->Call(R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,255,0,0"}})");

  std::string snapshot = ::testing::TempDir() + "lumhost_console.svg";
  EXPECT_EQ(runCommand(server, "   ", snapshot).output, "");
  EXPECT_NE(runCommand(server, "help", snapshot).output.find("press KEY"), std::string::npos);
  EXPECT_EQ(runCommand(server, "press Esc", snapshot).output,
            "key 1 (Esc) pressed: sent to 1 registered client");
  EXPECT_EQ(runCommand(server, "tap #5", snapshot).output,
            "key 5 tapped: sent to 1 registered client");
  EXPECT_EQ(runCommand(server, "release", snapshot).output, "usage: release KEY");
  EXPECT_EQ(runCommand(server, "press Nope", snapshot).output,
            "no key \"Nope\" (give a key label, or #N for key id N of 1 or more)");
  std::string clients = runCommand(server, "clients", snapshot).output;
  EXPECT_NE(clients.find("1 client connected"), std::string::npos) << clients;
  EXPECT_NE(clients.find(":pid:77\\x1b[2J"), std::string::npos) << clients;
  EXPECT_NE(clients.find("registered for keys"), std::string::npos);
  std::string state = runCommand(server, "state", snapshot).output;
  EXPECT_NE(state.find("control: nobody"), std::string::npos) << state;
  EXPECT_NE(state.find("layer priority 128, 1 LEDs set"), std::string::npos) << state;
  EXPECT_NE(state.find("1 of 105 LEDs lit"), std::string::npos) << state;
  EXPECT_NE(state.find("1(Esc) #ff0000"), std::string::npos) << state;
  EXPECT_EQ(runCommand(server, "trace on", snapshot).output, "trace is on");
  EXPECT_TRUE(server.tracing());
  EXPECT_EQ(runCommand(server, "frobnicate", snapshot).output,
            "unknown command \"frobnicate\" (type help)");
  EXPECT_EQ(runCommand(server, "snapshot", snapshot).output, "snapshot written to " + snapshot);
  std::ifstream in(snapshot);
  std::stringstream svg;
  svg << in.rdbuf();
  EXPECT_NE(svg.str().find("id=\"led-0-1\""), std::string::npos);
  EXPECT_NE(svg.str().find("fill=\"#ff0000\""), std::string::npos);
  std::remove(snapshot.c_str());
  EXPECT_EQ(runCommand(server, "snapshot /nonexistent/dir/x.svg", snapshot).output,
            "/nonexistent/dir/x.svg: cannot be written (No such file or directory)");
  EXPECT_TRUE(runCommand(server, "quit", snapshot).quit);
  EXPECT_TRUE(runCommand(server, "EXIT", snapshot).quit);
}

TEST(HostCommands, MistypedCommandsAreRefusedAndNotEchoedRaw) {
  ServerOptions options;
  options.pipeBase = std::wstring(sdk::kPipePathPrefix) + L"lumhost-mistyped-" +
                     std::to_wstring(sdk::platform::currentProcessId());
  HostServer server(options);
  const struct {
    const char* line;
    const char* expected;  // the start of the output
  } cases[] = {
      {"PRESS esc", "key 1 (Esc) pressed: sent to 0 registered clients"},
      {"Trace ON", "trace is on"},
      {"trace maybe", "usage: trace on|off (trace is on)"},
      {"trace on off", "usage: trace on|off"},
      {"snapshot a b", "usage: snapshot [FILE] (one file name, without spaces)"},
      {"press #0", "no key \"#0\" (give a key label, or #N for key id N of 1 or more)"},
      {"press \x1b[2J", "no key \"\\x1b[2J\""},
      {"\x1b]0;title\x07", "unknown command \"\\x1b]0;title\\x07\" (type help)"},
      {"Show", "control: nobody holds exclusive control"},
      {"help", "commands:"},
  };
  for (const auto& c : cases) {
    std::string output = runCommand(server, c.line, "unused.svg").output;
    EXPECT_EQ(output.rfind(c.expected, 0), 0u) << c.line << "\n" << output;
  }
  EXPECT_NE(runCommand(server, "help", "unused.svg").output.find("state, show"), std::string::npos);
}

TEST(HostCommands, BannerNamesTheProfileWhenItHasAName) {
  Profile unnamed;
  Profile one;
  one.name = "Desk";
  one.devices.resize(1);
  EXPECT_EQ(servingText(unnamed, 5), "serving 0 devices as a protocol 5 host");
  EXPECT_EQ(servingText(one, 3), "serving 1 device of \"Desk\" as a protocol 3 host");
  EXPECT_EQ(servingText(defaultProfile(), 5),
            "serving 5 devices of \"Built-in desk\" as a protocol 5 host");
}

}  // namespace
}  // namespace lumhost
