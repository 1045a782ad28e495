// Loads the built library at run time, as an application does, and checks
// the behaviour that needs no host.
#include <gtest/gtest.h>

#include <thread>

#include "LUMSDK.h"

#ifdef _WIN32
#include <windows.h>
using Module = HMODULE;
static Module openLibrary() { return LoadLibraryA(LUMSDK_LIBRARY_NAME); }
static void* symbol(Module m, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(m, name));
}
static void closeLibrary(Module m) { FreeLibrary(m); }
#else
#include <dlfcn.h>
using Module = void*;
static Module openLibrary() { return dlopen(LUMSDK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
static void* symbol(Module m, const char* name) { return dlsym(m, name); }
static void closeLibrary(Module m) { dlclose(m); }
#endif

namespace {

const char* const kExports[] = {
    "VelmoraGetDeviceCount",         "VelmoraGetDeviceInfo",
    "VelmoraGetLastError",           "VelmoraGetLedIdForKeyName",
    "VelmoraGetLedPositions",        "VelmoraGetLedPositionsByDeviceIndex",
    "VelmoraGetLedsColors",          "VelmoraGetLedsColorsByDeviceIndex",
    "VelmoraPerformProtocolHandshake", "VelmoraRegisterKeypressCallback",
    "VelmoraReleaseControl",         "VelmoraRequestControl",
    "VelmoraSetLayerPriority",       "VelmoraSetLedsColors",
    "VelmoraSetLedsColorsAsync",     "VelmoraSetLedsColorsBufferByDeviceIndex",
    "VelmoraSetLedsColorsFlushBuffer", "VelmoraSetLedsColorsFlushBufferAsync",
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
