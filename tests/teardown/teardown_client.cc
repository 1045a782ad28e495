// A program that ends while the library is busy: a key-press callback calls
// an export for every press of a host that presses keys nonstop, and the
// program returns from main (or unloads the library) in the middle of it.
//   teardown_client MODE END [CYCLES]
// MODE: set_async, flush_async, set or device_info (the export the callback
// calls); END: return (main returns with the library loaded) or unload (the
// library is unloaded, CYCLES times in a row, then main returns).
// Exits 0 when every cycle saw key presses; a hang or a crash is the
// failure the caller looks for.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "LUMSDK.h"
#include "support/dynamic_library.h"

namespace {

struct Exports {
  VelmoraProtocolDetails(VELMORA_CALL* handshake)(void);
  VelmoraError(VELMORA_CALL* lastError)(void);
  bool(VELMORA_CALL* registerKeys)(VelmoraKeypressCallback, void*);
  bool(VELMORA_CALL* setAsync)(int, VelmoraLedColor*, VelmoraAsyncCallback, void*);
  bool(VELMORA_CALL* buffer)(int, int, VelmoraLedColor*);
  bool(VELMORA_CALL* flushAsync)(VelmoraAsyncCallback, void*);
  bool(VELMORA_CALL* set)(int, VelmoraLedColor*);
  VelmoraDeviceInfo*(VELMORA_CALL* deviceInfo)(int);
};

Exports g_exports;
std::string g_mode;
std::atomic<int> g_presses{0};

template <typename F>
bool resolve(Module module, const char* name, F* out) {
  *out = reinterpret_cast<F>(symbol(module, name));
  return *out != nullptr;
}

void VELMORA_CALL onDone(void*, bool, VelmoraError) {}

void VELMORA_CALL onKey(void*, int vendorKey, bool pressed) {
  VelmoraLedColor color{vendorKey > 0 && vendorKey < 500 ? vendorKey : 1, pressed ? 255 : 0, 0, 0};
  if (g_mode == "set_async") {
    g_exports.setAsync(1, &color, onDone, nullptr);
  } else if (g_mode == "flush_async") {
    g_exports.buffer(0, 1, &color);
    g_exports.flushAsync(onDone, nullptr);
  } else if (g_mode == "set") {
    g_exports.set(1, &color);
  } else {
    g_exports.deviceInfo(0);
  }
  ++g_presses;
}

// Loads the library and gets key presses flowing into the callback.
bool start(Module* module) {
  *module = openLibrary();
  if (*module == nullptr) return false;
  Module m = *module;
  if (!resolve(m, "VelmoraPerformProtocolHandshake", &g_exports.handshake) ||
      !resolve(m, "VelmoraGetLastError", &g_exports.lastError) ||
      !resolve(m, "VelmoraRegisterKeypressCallback", &g_exports.registerKeys) ||
      !resolve(m, "VelmoraSetLedsColorsAsync", &g_exports.setAsync) ||
      !resolve(m, "VelmoraSetLedsColorsBufferByDeviceIndex", &g_exports.buffer) ||
      !resolve(m, "VelmoraSetLedsColorsFlushBufferAsync", &g_exports.flushAsync) ||
      !resolve(m, "VelmoraSetLedsColors", &g_exports.set) ||
      !resolve(m, "VelmoraGetDeviceInfo", &g_exports.deviceInfo)) {
    return false;
  }
  g_exports.handshake();
  if (g_exports.lastError() != VelmoraErrorNone) return false;
  g_presses = 0;
  if (!g_exports.registerKeys(onKey, nullptr)) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_presses.load() < 3) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: teardown_client MODE return|unload [CYCLES]\n");
    return 2;
  }
  g_mode = argv[1];
  const bool unload = std::strcmp(argv[2], "unload") == 0;
  const int cycles = unload && argc > 3 ? std::atoi(argv[3]) : 1;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    Module module = nullptr;
    if (!start(&module)) {
      std::fprintf(stderr, "teardown_client: cycle %d: no key presses arrived\n", cycle);
      return 3;
    }
    if (unload) {
      const auto before = std::chrono::steady_clock::now();
      closeLibrary(module);
      if (std::chrono::steady_clock::now() - before > std::chrono::seconds(2)) {
        std::fprintf(stderr, "teardown_client: cycle %d: the unload took over 2 s\n", cycle);
        return 4;
      }
    }
  }
  // The moment the program ends, for the caller to see how long the rest
  // took (wall clock, as the caller's own).
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  std::printf(
      "ending at %lld\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  std::fflush(stdout);
  return 0;
}
