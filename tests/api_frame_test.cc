// Behaviour every export shares before any handshake has succeeded.
#include <gtest/gtest.h>

#include <thread>

#include "LUMSDK.h"

namespace {

void expectHandshakeRequired() { EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHandshakeRequired); }

void VELMORA_CALL ignoreDone(void*, bool, VelmoraError) {}
void VELMORA_CALL ignoreKey(void*, int, bool) {}

TEST(ApiFrame, EveryExportButTwoNeedsTheHandshakeFirst) {
  VelmoraLedColor colors[2] = {{1, 255, 0, 0}, {1, 999, 0, 0}};  // invalid on purpose
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  expectHandshakeRequired();
  EXPECT_EQ(VelmoraGetDeviceInfo(-1), nullptr);
  expectHandshakeRequired();
  EXPECT_EQ(VelmoraGetLedPositions(), nullptr);
  expectHandshakeRequired();
  EXPECT_EQ(VelmoraGetLedPositionsByDeviceIndex(-1), nullptr);
  expectHandshakeRequired();
  EXPECT_EQ(VelmoraGetLedIdForKeyName('1'), 0);
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraRequestControl(1));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraReleaseControl(1));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLayerPriority(256));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLedsColors(2, colors));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraGetLedsColors(0, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraGetLedsColorsByDeviceIndex(-1, 0, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLedsColorsAsync(0, nullptr, ignoreDone, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLedsColorsBufferByDeviceIndex(-1, 0, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLedsColorsFlushBuffer());
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraSetLedsColorsFlushBufferAsync(nullptr, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(nullptr, nullptr));
  expectHandshakeRequired();
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(ignoreKey, nullptr));
  expectHandshakeRequired();
}

TEST(ApiFrame, LastErrorIsPerThreadAndStartsAtNone) {
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  VelmoraError other = VelmoraErrorReserved;
  std::thread([&] { other = VelmoraGetLastError(); }).join();
  EXPECT_EQ(other, VelmoraErrorNone);
  std::thread([&] {
    VelmoraGetLedPositions();
    other = VelmoraGetLastError();
  }).join();
  EXPECT_EQ(other, VelmoraErrorHandshakeRequired);
  // Reading never changes it.
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHandshakeRequired);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHandshakeRequired);
}

}  // namespace
