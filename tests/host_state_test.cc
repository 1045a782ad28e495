// The stand-in host's lighting state: layers, priorities, exclusive control
// and the composition a user sees.
#include <gtest/gtest.h>

#include <thread>

#include "host/state/lighting_state.h"

namespace lumhost {
namespace {

// Two devices that share LED id 1; id 2 only on the second.
Profile twoDevices() {
  Profile p;
  Device a;
  a.model = "A";
  a.leds.push_back(Led{1, "", 0, 0, 5, 5, 0});
  Device b;
  b.model = "B";
  b.leds.push_back(Led{1, "", 0, 0, 5, 5, 0});
  b.leds.push_back(Led{2, "", 6, 0, 5, 5, 0});
  p.devices = {a, b};
  return p;
}

const Rgb kRed{255, 0, 0};
const Rgb kGreen{0, 255, 0};
const Rgb kBlue{0, 0, 255};
const Rgb kDark{};

Rgb shown(const LightingState& s, int device, int id) {
  Rgb c{-1, -1, -1};
  EXPECT_TRUE(s.color(device, id, &c));
  return c;
}

TEST(HostLightingState, HighestPriorityWinsThenMostRecent) {
  Profile p = twoDevices();
  LightingState s(p);
  s.addClient(1);
  s.addClient(2);
  EXPECT_EQ(shown(s, 0, 1), kDark);
  s.apply(1, {{-1, 1, kRed}});
  s.apply(2, {{-1, 1, kGreen}});
  EXPECT_EQ(shown(s, 0, 1), kGreen);  // same priority: the later set
  s.apply(1, {{-1, 1, kBlue}});
  EXPECT_EQ(shown(s, 0, 1), kBlue);
  s.setPriority(2, 200);
  EXPECT_EQ(shown(s, 0, 1), kGreen);  // higher layer, although older
  s.setPriority(2, 0);
  EXPECT_EQ(shown(s, 1, 1), kBlue);
  s.removeClient(1);
  EXPECT_EQ(shown(s, 0, 1), kGreen);  // the remaining layer shows through
  s.removeClient(2);
  EXPECT_EQ(shown(s, 0, 1), kDark);
}

TEST(HostLightingState, DeviceWritesStayOnTheirDevice) {
  Profile p = twoDevices();
  LightingState s(p);
  s.addClient(1);
  EXPECT_EQ(s.apply(1, {{1, 1, kRed}}), 1);
  EXPECT_EQ(shown(s, 0, 1), kDark);
  EXPECT_EQ(shown(s, 1, 1), kRed);
  EXPECT_EQ(s.apply(1, {{-1, 1, kGreen}}), 2);  // every device with id 1
  EXPECT_EQ(shown(s, 0, 1), kGreen);
  EXPECT_EQ(shown(s, -1, 1), kGreen);
  EXPECT_EQ(s.apply(1, {{0, 2, kRed}, {-1, 77, kRed}}), 0);  // not on device 0; no such id
  Rgb c;
  EXPECT_FALSE(s.color(0, 2, &c));
  EXPECT_FALSE(s.color(-1, 77, &c));
  EXPECT_FALSE(s.color(5, 1, &c));
  EXPECT_EQ(s.apply(9, {{-1, 1, kRed}}), 0);  // unknown client
}

TEST(HostLightingState, ExclusiveControlHidesOtherLayers) {
  Profile p = twoDevices();
  LightingState s(p);
  s.addClient(1);
  s.addClient(2);
  s.apply(1, {{-1, 1, kRed}, {-1, 2, kRed}});
  int holder = 0;
  ASSERT_TRUE(s.requestControl(2, &holder));
  EXPECT_EQ(s.controller(), 2);
  EXPECT_EQ(shown(s, 1, 2), kDark);  // client 1's colours are hidden
  s.apply(2, {{-1, 1, kGreen}});
  s.apply(1, {{-1, 1, kBlue}});  // accepted, but stays hidden
  s.setPriority(1, 255);
  EXPECT_EQ(shown(s, 0, 1), kGreen);
  EXPECT_FALSE(s.requestControl(1, &holder));
  EXPECT_EQ(holder, 2);
  EXPECT_TRUE(s.requestControl(2, &holder));  // asking again while holding it
  s.releaseControl(1);                        // not the holder: no change
  EXPECT_EQ(s.controller(), 2);
  s.releaseControl(2);
  EXPECT_EQ(s.controller(), 0);
  EXPECT_EQ(shown(s, 0, 1), kBlue);  // the higher layer shows again
  EXPECT_EQ(shown(s, 1, 2), kRed);
  ASSERT_TRUE(s.requestControl(1, &holder));
  s.removeClient(1);  // a client that goes away gives control back
  EXPECT_EQ(s.controller(), 0);
  EXPECT_EQ(shown(s, 0, 1), kGreen);
}

TEST(HostLightingState, SummariesAndChangeNotification) {
  Profile p = twoDevices();
  LightingState s(p);
  s.addClient(4);
  s.setPriority(4, 9);
  uint64_t before = s.generation();
  std::thread writer([&] { s.apply(4, {{-1, 1, kRed}}); });
  uint64_t after = before;
  for (int i = 0; i < 100 && after == before; ++i) after = s.waitForChange(before, 100);
  writer.join();
  EXPECT_NE(after, before);
  auto clients = s.clients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].clientId, 4);
  EXPECT_EQ(clients[0].priority, 9);
  EXPECT_EQ(clients[0].ledsSet, 2);
  EXPECT_FALSE(clients[0].holdsControl);
  auto all = s.composed();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1][0], kRed);
  EXPECT_EQ(all[1][1], kDark);
  // Nothing changes: the wait ends by its time-out with the same number.
  EXPECT_EQ(s.waitForChange(s.generation(), 1), s.generation());
}

}  // namespace
}  // namespace lumhost
