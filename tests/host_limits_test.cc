// What one client can cost the stand-in host, and whom it can hold up: a
// request is held only as far as its bytes have arrived, a frame begun must
// be finished, clients that never speak are let go, the number of clients is
// capped, and a client silent on the well-known pipes blocks nobody. In a
// program that counts every byte allocated (support/alloc_counter).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/platform.h"
#include "host/server/host_server.h"
#include "support/alloc_counter.h"
#include "support/eventually.h"
#include "support/host_calls.h"
#include "transport/binary_io.h"
#include "transport/pipe_stream.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

constexpr int kWaitMs = 15000;
const auto& kCount = sdk::test_support::kDeviceCountRequest;

// True when the client is answered: the device count of the built-in desk.
bool served(const std::unique_ptr<sdk::IRpcConnection>& c) {
  return c->Call(kCount).find("\"result\":5") != std::string::npos;
}

using sdk::test_support::eventually;

// A host on pipes of its own, with the options a test sets, and the notes
// it logs.
class LimitedHost {
 public:
  explicit LimitedHost(ServerOptions options) {
    static int serial = 0;
    options.pipeBase = std::wstring(sdk::kPipePathPrefix) + L"lumhost-limits-" +
                       std::to_wstring(sdk::platform::currentProcessId()) + L"-" +
                       std::to_wstring(++serial);
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    };
    server_ = std::make_unique<HostServer>(options);
    std::string error;
    started_ = server_->start(&error);
    EXPECT_TRUE(started_) << error;
    sdk::SetWellKnownPipeBaseForTesting(options.pipeBase);
  }
  ~LimitedHost() { server_->stop(); }

  HostServer& server() { return *server_; }
  const std::wstring& pipeBase() const { return server_->pipeBase(); }

  // Lines logged so far that contain the text.
  int notes(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const std::string& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  std::unique_ptr<HostServer> server_;
  bool started_ = false;
  std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

// A client's three pipes, opened by hand so that a test can send what the
// library never would.
struct RawClient {
  std::shared_ptr<sdk::IStream> fromHost;
  std::shared_ptr<sdk::IStream> toHost;
  std::shared_ptr<sdk::IStream> notes;

  bool open(const std::string& identity) {
    std::wstring base = sdk::RequestClientPipeName(identity);
    if (base.empty()) return false;
    fromHost = sdk::OpenPipeInputStream(base + sdk::kResponsePipeSuffix, 2000);
    toHost = sdk::OpenPipeOutputStream(base + sdk::kRequestPipeSuffix, 2000);
    notes = sdk::OpenPipeInputStream(base + sdk::kNotificationPipeSuffix, 2000);
    return fromHost && toHost && notes;
  }
};

// Clients that announce 16 MiB and send a few bytes cost the host what they
// sent, not what they announced; and a frame begun and left unfinished ends
// the session once the frame time-out has passed.
TEST(HostLimits, AnnouncedLengthsCostNothingAndUnfinishedFramesEnd) {
  ServerOptions options;
  options.keepRequests = false;
  options.frameTimeoutMs = 500;
  LimitedHost host(options);
  constexpr int kClients = 8;
  std::vector<RawClient> clients(kClients);
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(clients[i].open(":pid:" + std::to_string(i + 1)));
  sdk::test_support::ResetPeak();
  const size_t before = sdk::test_support::LiveBytes();
  for (RawClient& c : clients) {
    // 16 MiB announced (the most a frame may have), 5 bytes sent.
    ASSERT_EQ(
        sdk::WriteRawBytes(*c.toHost, {0x00, 0x00, 0x00, 0x01, '{', '"', 'm', 'e', 't'}, 5000), 0);
  }
  ASSERT_TRUE(eventually([&] { return host.notes("unfinished") == kClients; }));
  EXPECT_EQ(host.notes("left a request of 16777216 bytes unfinished"), kClients);
  const size_t peak = sdk::test_support::PeakBytes() - before;
  std::printf("%d sessions announcing 16 MiB each: the host's peak grew by %zu bytes\n", kClients,
              peak);
  EXPECT_LT(peak, size_t{4} << 20);
  EXPECT_TRUE(eventually([&] { return host.server().sessionCount() == 0; }));
}

// A request over the desk's bound is read in pieces, refused, and the
// session goes on in step; the bound itself follows the desk.
TEST(HostLimits, OversizedRequestsAreRefusedInStep) {
  ServerOptions options;
  LimitedHost host(options);
  RawClient c;
  ASSERT_TRUE(c.open(":pid:9"));
  const size_t limit = requestLimitFor(options.profile);
  EXPECT_GE(limit, size_t{64} << 10);
  EXPECT_LE(limit, kMaxRequestBytes);
  Profile big = options.profile;
  while (big.devices.size() < 200) big.devices.push_back(big.devices[0]);
  EXPECT_GT(requestLimitFor(big), limit);
  // Twelve times the bound. The client's side costs the frame and, where the
  // stream gathers it into one buffer, a copy; the host holds a piece or two
  // of 64 KiB, never the whole request.
  const size_t size = 12 * limit;
  sdk::test_support::ResetPeak();
  const size_t before = sdk::test_support::LiveBytes();
  ASSERT_EQ(c.toHost->Write(std::vector<uint8_t>(size, ' '), 5000), 0);
  std::vector<uint8_t> answer;
  ASSERT_EQ(c.fromHost->Read(answer, 5000), 0);
  EXPECT_NE(std::string(answer.begin(), answer.end()).find("too large"), std::string::npos);
  EXPECT_LT(sdk::test_support::PeakBytes() - before, 2 * size + 4 * limit);
  ASSERT_EQ(c.toHost->Write(sdk::TextToMessage(kCount), 5000), 0);
  ASSERT_EQ(c.fromHost->Read(answer, 5000), 0);
  EXPECT_NE(std::string(answer.begin(), answer.end()).find("\"result\":5"), std::string::npos);
}

// Sessions that never speak are let go: pipes given and never connected,
// and pipes connected with no request sent.
TEST(HostLimits, ClientsThatNeverSpeakAreDropped) {
  ServerOptions options;
  options.firstRequestTimeoutMs = 300;
  LimitedHost host(options);
  struct Case {
    const char* what;
    bool connectPipes;
    const char* note;
  };
  for (const Case& c : {Case{"pipes never connected", false, "did not connect its pipes"},
                        Case{"no request sent", true, "sent no request within 300 ms; dropped"}}) {
    SCOPED_TRACE(c.what);
    RawClient raw;
    if (c.connectPipes) {
      ASSERT_TRUE(raw.open(":pid:77"));
    } else {
      ASSERT_FALSE(sdk::RequestClientPipeName(":pid:77").empty());
    }
    EXPECT_TRUE(eventually([&] { return host.notes(c.note) == 1; }));
    EXPECT_TRUE(eventually([&] { return host.server().sessionCount() == 0; }));
  }
  // A client that speaks in time is served as ever.
  auto c = sdk::CreateRpcConnection(":pid:78");
  ASSERT_TRUE(c);
  EXPECT_TRUE(served(c));
}

// No more than maxClients sessions; the next client is refused with a line in
// the log, and served again once one has gone.
TEST(HostLimits, ClientsAreCappedAndRefusedCleanly) {
  ServerOptions options;
  options.maxClients = 3;
  LimitedHost host(options);
  std::vector<std::unique_ptr<sdk::IRpcConnection>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(sdk::CreateRpcConnection(":pid:" + std::to_string(500 + i)));
    ASSERT_TRUE(held.back()) << i;
  }
  EXPECT_FALSE(sdk::CreateRpcConnection(":pid:503"));
  EXPECT_EQ(host.notes("\":pid:503\" refused: 3 clients are served"), 1);
  EXPECT_EQ(host.server().sessionCount(), 3);
  for (auto& c : held) EXPECT_TRUE(served(c));
  held.pop_back();
  ASSERT_TRUE(eventually([&] { return host.server().sessionCount() == 2; }));
  auto again = sdk::CreateRpcConnection(":pid:504");
  ASSERT_TRUE(again);
  EXPECT_TRUE(served(again));
}

// A peer that connects the well-known pipes and sends nothing (or connects
// only "_in") holds up no other client.
TEST(HostLimits, SilentPeerOnTheWellKnownPipesBlocksNobody) {
  ServerOptions options;
  LimitedHost host(options);
  for (bool both : {true, false}) {
    SCOPED_TRACE(both ? "both pipes connected" : "only \"_in\" connected");
    auto toHost = sdk::OpenPipeOutputStream(host.pipeBase() + sdk::kRequestPipeSuffix, 2000);
    ASSERT_TRUE(toHost);
    std::shared_ptr<sdk::IStream> fromHost;
    if (both) {
      fromHost = sdk::OpenPipeInputStream(host.pipeBase() + sdk::kResponsePipeSuffix, 2000);
      ASSERT_TRUE(fromHost);
    }
    int failed = 0;
    for (int i = 0; i < 6; ++i) {
      auto c = sdk::CreateRpcConnection(":pid:" + std::to_string(600 + i));
      failed += c && served(c) ? 0 : 1;
    }
    EXPECT_EQ(failed, 0);
  }
}

#ifdef __linux__
int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// An idle client costs the host one thread; a client registered for key
// presses, two.
TEST(HostLimits, IdleClientsCostOneThreadEach) {
  ServerOptions options;
  LimitedHost host(options);
  auto settled = [&](int clients) {
    return eventually([&] { return host.server().clientCount() == clients; });
  };
  ASSERT_TRUE(settled(0));
  const int before = threadCount();
  std::vector<std::unique_ptr<sdk::IRpcConnection>> held;
  for (int i = 0; i < 10; ++i) {
    held.push_back(sdk::CreateRpcConnection(":pid:" + std::to_string(700 + i)));
    ASSERT_TRUE(held.back());
    held.back()->Call(kCount);
  }
  ASSERT_TRUE(settled(10));
  // The identity exchanges' threads end once their clients have closed the
  // well-known pipes.
  EXPECT_TRUE(eventually([&] { return threadCount() - before == 10; })) << threadCount() - before;
  held[0]->Call(R"({"method":"VelmoraRegisterKeypressCallback"})");
  EXPECT_TRUE(eventually([&] { return threadCount() - before == 11; }));
}
#endif

}  // namespace
}  // namespace lumhost
