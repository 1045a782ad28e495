// One frame's round trip through RpcConnection::Call against a bare echo
// peer, and the same round trip with bare OS calls against the same kind of
// peer. Run with --interleaved-only to skip the Google Benchmark cases. All
// threads run on one CPU unless --no-pin is given (bench_process.h says why).
//
// The interleaved loop runs one block of each kind per round, starting with
// another kind each round so that none always runs first, and reports
// medians, so that the ratio holds up on a machine shared with other work.
// No goal of its own: api_bench judges the library's work per call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bare_pipe.h"
#include "bench_process.h"
#include "core/platform.h"
#include "transport/pipe_stream.h"
#include "transport/rpc_connection.h"

#ifdef LUMSDK_HAVE_GBENCH
#include <benchmark/benchmark.h>
#endif

namespace {

int g_nameCount = 0;

std::wstring UniqueName() {
  return L"\\\\.\\pipe\\LumsdkBench\\" + std::to_wstring(sdk::platform::currentProcessId()) + L"_" +
         std::to_wstring(g_nameCount++);
}

// The library's connection over the peer's three pipes (no name exchange).
std::unique_ptr<sdk::IRpcConnection> ConnectLibrary(const std::wstring& name) {
  auto responses = sdk::OpenPipeInputStream(name + L"_out", 2000);
  auto requests = sdk::OpenPipeOutputStream(name + L"_in", 2000);
  auto notifications = sdk::OpenPipeInputStream(name + L"_callback", 2000);
  if (!responses || !requests || !notifications) return nullptr;
  return std::unique_ptr<sdk::IRpcConnection>(
      new sdk::RpcConnection(responses, requests, notifications));
}

// A request text whose frame body (text and 0 byte) has size bytes.
std::string Request(size_t size) { return std::string(size - 1, 'x'); }

struct LibrarySide {
  explicit LibrarySide(size_t size)
      : name(UniqueName()), peer(name), connection(ConnectLibrary(name)), request(Request(size)) {
    if (connection) connection->SetCallMutex(&mutex);
  }
  bool Once() { return connection->Call(request).size() == request.size() + 1; }

  std::wstring name;
  bench::BareEchoPeer peer;
  std::recursive_mutex mutex;
  std::unique_ptr<sdk::IRpcConnection> connection;  // closed before the peer ends
  std::string request;
};

struct BareSide {
  BareSide(size_t size, bool overlapped)
      : name(UniqueName()), peer(name), client(name, overlapped), body(size, 'x') {
    body.back() = 0;
  }
  bool Once() { return client.RoundTrip(body, reply) && reply.size() == body.size(); }

  std::wstring name;
  bench::BareEchoPeer peer;
  bench::BareClient client;
  std::vector<uint8_t> body, reply;
};

#ifdef LUMSDK_HAVE_GBENCH
void BM_CallRoundTrip(benchmark::State& state) {
  LibrarySide side(static_cast<size_t>(state.range(0)));
  if (!side.connection) return state.SkipWithError("no connection");
  for (auto _ : state) {
    if (!side.Once()) return state.SkipWithError("bad echo");
  }
}
BENCHMARK(BM_CallRoundTrip)->Arg(64)->Arg(8192)->UseRealTime();

void BM_BareRoundTrip(benchmark::State& state) {
  BareSide side(static_cast<size_t>(state.range(0)), false);
  if (!side.client.ok()) return state.SkipWithError("no pipes");
  for (auto _ : state) {
    if (!side.Once()) return state.SkipWithError("bad echo");
  }
}
BENCHMARK(BM_BareRoundTrip)->Arg(64)->Arg(8192)->UseRealTime();
#endif

double Median(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Appends the times of blockSize round trips, in microseconds.
template <typename Side>
bool TimeBlock(Side& side, int blockSize, std::vector<double>& samples) {
  for (int i = 0; i < blockSize; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!side.Once()) return false;
    samples.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  return true;
}

int Interleaved(int rounds, int blockSize) {
#ifdef _WIN32
  const bool kinds[] = {false, true};  // bare synchronous, bare overlapped
#else
  const bool kinds[] = {false};
#endif
  for (size_t size : {size_t{64}, size_t{8192}}) {
    LibrarySide library(size);
    if (!library.connection) {
      std::printf("no library connection\n");
      return 1;
    }
    std::vector<std::unique_ptr<BareSide>> bare;
    for (bool overlapped : kinds) bare.emplace_back(new BareSide(size, overlapped));
    std::vector<double> callSamples;
    std::vector<std::vector<double>> bareSamples(bare.size());
    // Warm-up, then one block of each kind per round, kind 0 being the
    // library and kind k the bare client k - 1; round r starts with kind r.
    std::vector<double> ignored;
    bool ok = TimeBlock(library, blockSize, ignored);
    for (auto& b : bare) ok = ok && TimeBlock(*b, blockSize, ignored);
    const size_t n = 1 + bare.size();
    for (int r = 0; r < rounds && ok; ++r) {
      for (size_t i = 0; i < n && ok; ++i) {
        const size_t k = (static_cast<size_t>(r) + i) % n;
        ok = k == 0 ? TimeBlock(library, blockSize, callSamples)
                    : TimeBlock(*bare[k - 1], blockSize, bareSamples[k - 1]);
      }
    }
    if (!ok) {
      std::printf("round trip failed\n");
      return 1;
    }
    const double call = Median(callSamples);
    for (size_t k = 0; k < bare.size(); ++k) {
      const double b = Median(bareSamples[k]);
      std::printf("size %5zu  Call median %8.1f us  bare %-11s median %8.1f us  ratio %.3f\n", size,
                  call, kinds[k] ? "overlapped" : "blocking", b, call / b);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool interleavedOnly = false;
  bool pin = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--interleaved-only") == 0) interleavedOnly = true;
    if (std::strcmp(argv[i], "--no-pin") == 0) pin = false;
  }
  if (pin) {
    std::printf("All threads of this process on CPU %d (--no-pin: let the system place them).\n",
                bench::PinToOneCpu());
  } else {
    std::printf("Threads placed by the system (--no-pin).\n");
  }
#ifdef LUMSDK_HAVE_GBENCH
  if (!interleavedOnly) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
#else
  (void)interleavedOnly;
#endif
#ifdef _WIN32
  return Interleaved(10, 200);
#else
  return Interleaved(20, 1000);
#endif
}
