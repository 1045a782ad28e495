#include "canned_host.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "LUMSDK.h"
#include "transport/pipe_stream.h"
#include "core/platform.h"
#include "transport/rpc_connection.h"

namespace bench {
namespace {
constexpr int kHostWaitMs = 10000;
std::atomic<int> g_nameCount{0};
}  // namespace

const char kCannedAnswer[] =
    "{\"result\":true,\"errorCode\":0,\"serverVersion\":\"bench\",\"serverProtocolVersion\":5}";

std::vector<uint8_t> TextBody(const std::string& text) {
  std::vector<uint8_t> body(text.begin(), text.end());
  body.push_back(0);
  return body;
}

std::wstring UniquePipeName(const std::wstring& tag) {
  return L"\\\\.\\pipe\\LumsdkBench\\" + tag + L"_" +
         std::to_wstring(sdk::platform::currentProcessId()) + L"_" +
         std::to_wstring(g_nameCount.fetch_add(1));
}

BareCannedPeer* ConnectSessionToCannedPeer(double* handshakeUs) {
  const std::wstring wellKnown = UniquePipeName(L"wk");
  const std::wstring client = UniquePipeName(L"client");
  sdk::SetWellKnownPipeBaseForTesting(wellKnown);
  // Created before the handshake starts, so the library finds them at once.
  std::shared_ptr<sdk::IStream> names =
      sdk::CreatePipeInputStream(wellKnown + sdk::kRequestPipeSuffix, kHostWaitMs);
  std::shared_ptr<sdk::IStream> replies =
      sdk::CreatePipeOutputStream(wellKnown + sdk::kResponsePipeSuffix, kHostWaitMs);
  if (!names || !replies) return nullptr;

  BareCannedPeer* peer = nullptr;
  // Exchange thread: serves the one pipe-name request of the handshake below
  // (waits in the read of the identity, bounded by kHostWaitMs) and ends;
  // joined right after the handshake.
  std::thread exchange([&] {
    std::vector<uint8_t> identity;
    if (names->Read(identity, kHostWaitMs) != 0) return;
    // The client's pipes exist before their name goes out.
    peer = new BareCannedPeer(client, TextBody(kCannedAnswer));
    replies->Write(TextBody(sdk::narrow(client)), kHostWaitMs);
  });
  const auto start = std::chrono::steady_clock::now();
  const VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  const auto end = std::chrono::steady_clock::now();
  exchange.join();
  if (handshakeUs != nullptr) {
    *handshakeUs = std::chrono::duration<double, std::micro>(end - start).count();
  }
  if (VelmoraGetLastError() != VelmoraErrorNone || details.serverProtocolVersion != 5) {
    return nullptr;
  }
  return peer;
}

}  // namespace bench
