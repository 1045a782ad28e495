#include "host/host_fixture.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "host/host_server.h"
#include "transport/platform.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

std::atomic<int> g_fixtureNumber{0};

std::wstring uniquePipeBase() {
  return std::wstring(sdk::kPipePathPrefix) + L"lumhost-test-" +
         std::to_wstring(sdk::platform::currentProcessId()) + L"-" +
         std::to_wstring(++g_fixtureNumber);
}

}  // namespace

HostFixture::HostFixture(Options options) {
  if (options.protocol < kMinProtocol || options.protocol > kMaxProtocol) {
    throw std::runtime_error("lumhost fixture: protocol must be 1 to 6");
  }
  ServerOptions server;
  server.protocol = options.protocol;
  if (!options.profilePath.empty()) {
    std::string error;
    if (!loadProfileFile(options.profilePath, &server.profile, &error)) {
      throw std::runtime_error("lumhost fixture: " + error);
    }
  }
  if (options.useUniquePipeBase) {
    server.pipeBase = uniquePipeBase();
    sdk::SetWellKnownPipeBaseForTesting(server.pipeBase);
  } else {
    server.pipeBase = sdk::WellKnownPipeBase();
  }
  server_ = std::make_unique<HostServer>(std::move(server));
  std::string error;
  if (!server_->start(&error)) throw std::runtime_error("lumhost fixture: " + error);
}

HostFixture::~HostFixture() { server_->stop(); }

void HostFixture::replaceAnswer(const std::string& method, std::string rawText) {
  server_->replaceAnswer(method, std::move(rawText));
}

void HostFixture::withholdAnswers(const std::string& method, bool withhold) {
  server_->withholdAnswers(method, withhold);
}

void HostFixture::delayAnswers(const std::string& method, int milliseconds) {
  server_->delayAnswers(method, milliseconds);
}

void HostFixture::closeClientPipes(const std::string& suffix) { server_->closeClientPipes(suffix); }

void HostFixture::refuseIdentity(bool refuse) { server_->refuseIdentity(refuse); }

void HostFixture::omitClientPipe(const std::string& suffix) { server_->omitClientPipe(suffix); }

void HostFixture::sendNotification(const std::string& rawText) {
  server_->sendNotification(std::vector<uint8_t>(rawText.begin(), rawText.end()));
}

void HostFixture::pressKey(int vendorKey, bool pressed) { server_->pressKey(vendorKey, pressed); }

std::vector<std::string> HostFixture::requests() { return server_->requests(); }

bool HostFixture::waitForRequests(const std::string& method, size_t count, int timeoutMs) {
  return server_->waitForRequests(method, count, timeoutMs);
}

int HostFixture::clientCount() { return server_->clientCount(); }

int HostFixture::registeredClientCount() { return server_->registeredClientCount(); }

bool HostFixture::waitForClientCount(int count, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (server_->clientCount() == count) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool HostFixture::ledColor(int ledId, int* r, int* g, int* b) {
  return ledColorOnDevice(-1, ledId, r, g, b);
}

bool HostFixture::ledColorOnDevice(int deviceIndex, int ledId, int* r, int* g, int* b) {
  Rgb c;
  if (!server_->state().color(deviceIndex, ledId, &c)) return false;
  *r = c.r;
  *g = c.g;
  *b = c.b;
  return true;
}

void HostFixture::stop() { server_->stop(); }

void HostFixture::restart() {
  server_->stop();
  std::string error;
  if (!server_->start(&error)) throw std::runtime_error("lumhost fixture: " + error);
}

bool HostFixture::running() { return server_->running(); }

const Profile& HostFixture::profile() const { return server_->profile(); }

std::wstring HostFixture::pipeBase() const { return server_->pipeBase(); }

int HostFixture::protocol() const { return server_->protocol(); }

}  // namespace lumhost
