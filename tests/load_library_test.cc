// Loads the built library at run time, as an application does, and checks
// the behaviour that needs no host.
#include <gtest/gtest.h>

#include <thread>

#include "LUMSDK.h"
#include "support/dynamic_library.h"

namespace {

const char* const kExports[] = {
    "VelmoraGetDeviceCount",
    "VelmoraGetDeviceInfo",
    "VelmoraGetLastError",
    "VelmoraGetLedIdForKeyName",
    "VelmoraGetLedPositions",
    "VelmoraGetLedPositionsByDeviceIndex",
    "VelmoraGetLedsColors",
    "VelmoraGetLedsColorsByDeviceIndex",
    "VelmoraPerformProtocolHandshake",
    "VelmoraRegisterKeypressCallback",
    "VelmoraReleaseControl",
    "VelmoraRequestControl",
    "VelmoraSetLayerPriority",
    "VelmoraSetLedsColors",
    "VelmoraSetLedsColorsAsync",
    "VelmoraSetLedsColorsBufferByDeviceIndex",
    "VelmoraSetLedsColorsFlushBuffer",
    "VelmoraSetLedsColorsFlushBufferAsync",
};

template <typename F>
F resolve(Module m, const char* name) {
  return reinterpret_cast<F>(symbol(m, name));
}

TEST(DynamicLoad, ResolvesAllEighteenNames) {
  Module m = openLibrary();
  ASSERT_TRUE(m != nullptr);
  for (const char* name : kExports) EXPECT_TRUE(symbol(m, name) != nullptr) << name;
  closeLibrary(m);
}

TEST(DynamicLoad, HandshakeCheckComesFirstAndErrorsArePerThread) {
  Module m = openLibrary();
  ASSERT_TRUE(m != nullptr);
  auto getDeviceInfo = resolve<VelmoraDeviceInfo*(VELMORA_CALL*)(int)>(m, "VelmoraGetDeviceInfo");
  auto getDeviceCount = resolve<int(VELMORA_CALL*)(void)>(m, "VelmoraGetDeviceCount");
  auto getLastError = resolve<VelmoraError(VELMORA_CALL*)(void)>(m, "VelmoraGetLastError");
  ASSERT_TRUE(getDeviceInfo && getDeviceCount && getLastError);

  EXPECT_EQ(getDeviceInfo(-1), nullptr);
  EXPECT_EQ(getLastError(), VelmoraErrorHandshakeRequired);
  EXPECT_EQ(getDeviceCount(), -1);
  EXPECT_EQ(getLastError(), VelmoraErrorHandshakeRequired);

  VelmoraError seenByNewThread = VelmoraErrorReserved;
  std::thread([&] { seenByNewThread = getLastError(); }).join();
  EXPECT_EQ(seenByNewThread, VelmoraErrorNone);
  EXPECT_EQ(getLastError(), VelmoraErrorHandshakeRequired);
  closeLibrary(m);
}

TEST(DynamicLoad, LoadsAndUnloadsRepeatedly) {
  // Well below the emulated-TLS slot limit of MinGW DLLs.
  for (int i = 0; i < 50; ++i) {
    Module m = openLibrary();
    ASSERT_TRUE(m != nullptr);
    auto getDeviceCount = resolve<int(VELMORA_CALL*)(void)>(m, "VelmoraGetDeviceCount");
    EXPECT_EQ(getDeviceCount(), -1);
    closeLibrary(m);
  }
}

}  // namespace
