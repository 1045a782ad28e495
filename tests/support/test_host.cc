#include "support/test_host.h"

#include <atomic>
#include <chrono>

#include "core/platform.h"
#include "support/eventually.h"
#include "transport/rpc_connection.h"

namespace sdk {
namespace test_support {
namespace {
constexpr int kHostWaitMs = 10000;
std::atomic<int> g_nameCount{0};
}  // namespace

std::wstring UniquePipeName(const std::string& tag) {
  return L"\\\\.\\pipe\\LumsdkTest\\" + widen(tag) + L"_" +
         std::to_wstring(platform::currentProcessId()) + L"_" +
         std::to_wstring(g_nameCount.fetch_add(1));
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  return eventually(cond, timeoutMs);
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TestHost::TestHost(const std::wstring& wellKnownBase, Options options)
    : wellKnownBase_(wellKnownBase), options_(std::move(options)) {
  if (options_.clientBase.empty()) options_.clientBase = wellKnownBase + L"_c";
  // Created before the constructor returns, so a client may connect at once.
  wellKnownIn_ = CreatePipeInputStream(wellKnownBase_ + kRequestPipeSuffix, kHostWaitMs);
  wellKnownOut_ = CreatePipeOutputStream(wellKnownBase_ + kResponsePipeSuffix, kHostWaitMs);
  thread_ = std::thread([this] { Serve(); });
}

TestHost::~TestHost() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (auto* s :
         {&wellKnownIn_, &wellKnownOut_, &requestsIn_, &responsesOut_, &notificationsOut_}) {
      if (*s) (*s)->Cancel();
    }
  }
  thread_.join();
}

bool TestHost::WaitUntilServing(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return serving_; });
}

std::string TestHost::identity() {
  std::lock_guard<std::mutex> lock(mutex_);
  return identity_;
}

std::vector<Bytes> TestHost::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int TestHost::Notify(const Bytes& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!notificationsOut_) return kStreamNotReady;
  return notificationsOut_->Write(body, kHostWaitMs);
}

void TestHost::ClosePipe(const std::wstring& suffix) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (suffix == kRequestPipeSuffix) {
    // The serving thread reads it: let that thread close it, and wait until
    // it has.
    closeRequests_ = true;
    if (requestsIn_) requestsIn_->Cancel();
    changed_.wait_for(lock, std::chrono::milliseconds(kHostWaitMs),
                      [this] { return requestsClosed_; });
  } else if (suffix == kResponsePipeSuffix) {
    if (responsesOut_) responsesOut_->Close();
  } else if (notificationsOut_) {
    notificationsOut_->Close();
  }
}

void TestHost::Serve() {
  if (!wellKnownIn_ || !wellKnownOut_) return;
  Bytes identity;
  if (wellKnownIn_->Read(identity, kHostWaitMs) != 0 || identity.empty()) return;
  std::shared_ptr<IStream> responses, requests, notifications;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    identity_.assign(identity.begin(), identity.end() - 1);
    const std::wstring& base = options_.clientBase;
    responses = responsesOut_ = CreatePipeOutputStream(base + kResponsePipeSuffix, kHostWaitMs);
    requests = requestsIn_ = CreatePipeInputStream(base + kRequestPipeSuffix, kHostWaitMs);
    if (options_.createNotificationPipe) {
      notifications = notificationsOut_ =
          CreatePipeOutputStream(base + kNotificationPipeSuffix, kHostWaitMs);
    }
  }
  Bytes reply;
  if (options_.nameReply) {
    reply = options_.nameReply(identity_);
  } else {
    reply = ToBytes(narrow(options_.clientBase));
    reply.push_back(0);
  }
  if (wellKnownOut_->Write(reply, kHostWaitMs) != 0) return;
  if (!responses || !requests || !responses->OpenForWriting(kHostWaitMs) ||
      !requests->OpenForReading(kHostWaitMs)) {
    return;
  }
  if (notifications && !notifications->OpenForWriting(kHostWaitMs)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = true;
  }
  changed_.notify_all();

  Bytes request;
  while (requests->Read(request, 0) == 0) {
    Bytes response = request;
    const bool answer = !options_.respond || options_.respond(request, response);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (answer) responses->Write(response, kHostWaitMs);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (closeRequests_) requests->Close();
  requestsClosed_ = true;
  changed_.notify_all();
}

}  // namespace test_support
}  // namespace sdk
