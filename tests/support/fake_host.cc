#include "support/fake_host.h"

#include <atomic>
#include <chrono>

#include "api/handshake.h"
#include "json/json_text.h"

namespace sdk {
namespace test_support {

struct FakeHost::State {
  std::mutex mutex;
  std::condition_variable changed;
  int protocol = 5;
  std::string serverVersion = "4.2.0";
  bool breakingChanges = false;
  std::string handshakeAnswer;  // overrides the generated one when set
  Answer answer;
  bool refuse = false;
  bool breakAfterNext = false;
  int dropAnswers = 0;
  std::string heldMethod;
  bool holding = false;
  std::vector<std::string> requests;
  std::vector<std::shared_ptr<std::atomic<bool>>> brokenFlags;
  int created = 0;
  std::string identity;
  NotificationHandler newestHandler;
  std::mutex* handlerMutex = nullptr;
};

namespace {

class FakeConnection : public IRpcConnection {
 public:
  FakeConnection(std::shared_ptr<FakeHost::State> state, std::shared_ptr<std::atomic<bool>> broken)
      : state_(std::move(state)), broken_(std::move(broken)) {}

  std::string Call(const std::string& request) override {
    std::unique_lock<std::recursive_mutex> callLock;
    if (callMutex_) callLock = std::unique_lock<std::recursive_mutex>(*callMutex_);
    if (broken_->load()) return std::string();
    const JsonHandle parsed = parseJsonText(request);
    const std::string method = parsed.get("method").asString();
    FakeHost::Answer answer;
    std::string text;
    {
      std::unique_lock<std::mutex> lock(state_->mutex);
      state_->requests.push_back(request);
      state_->changed.notify_all();
      state_->changed.wait_for(lock, std::chrono::seconds(10),
                               [&] { return !(state_->holding && state_->heldMethod == method); });
      if (state_->dropAnswers > 0) {
        --state_->dropAnswers;
        broken_->store(true);
        return std::string();
      }
      if (method == "VelomraHandshakeMethod") {
        text = state_->handshakeAnswer;
        if (text.empty()) {
          text = "{\"serverVersion\":\"" + state_->serverVersion +
                 "\",\"serverProtocolVersion\":" + std::to_string(state_->protocol) +
                 ",\"breakingChanges\":" + (state_->breakingChanges ? "true" : "false") + "}";
        }
      } else {
        answer = state_->answer;
      }
      if (state_->breakAfterNext) {
        state_->breakAfterNext = false;
        broken_->store(true);
      }
    }
    if (answer) text = answer(parsed);
    if (text.empty()) return text;
    text.push_back('\0');  // as the host ends every message
    return text;
  }

  void SetNotificationHandler(NotificationHandler handler) override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    handler_ = handler;
    state_->newestHandler = std::move(handler);
  }
  void StopNotifications() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    handler_ = nullptr;
    state_->newestHandler = nullptr;
  }
  bool HasNotificationHandler() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<bool>(handler_);
  }
  bool IsBroken() override { return broken_->load(); }
  void SetCallMutex(std::recursive_mutex* callMutex) override { callMutex_ = callMutex; }

  ~FakeConnection() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (handler_) state_->newestHandler = nullptr;
  }

 private:
  std::shared_ptr<FakeHost::State> state_;
  std::shared_ptr<std::atomic<bool>> broken_;
  std::recursive_mutex* callMutex_ = nullptr;
  NotificationHandler handler_;
};

}  // namespace

FakeHost::FakeHost() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  setConnectionFactoryForTesting(
      [state](const std::string& identity) -> std::unique_ptr<IRpcConnection> {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->identity = identity;
        if (state->refuse) return nullptr;
        ++state->created;
        auto broken = std::make_shared<std::atomic<bool>>(false);
        state->brokenFlags.push_back(broken);
        return std::make_unique<FakeConnection>(state, broken);
      });
}

FakeHost::~FakeHost() {
  release();
  setConnectionFactoryForTesting(nullptr);
}

void FakeHost::setProtocol(int version, const std::string& serverVersion, bool breakingChanges) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->protocol = version;
  state_->serverVersion = serverVersion;
  state_->breakingChanges = breakingChanges;
}
void FakeHost::setAnswer(Answer answer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->answer = std::move(answer);
}
void FakeHost::setHandshakeAnswer(std::string text) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->handshakeAnswer = std::move(text);
}
void FakeHost::setRefuseConnections(bool refuse) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->refuse = refuse;
}
void FakeHost::breakConnections() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (auto& flag : state_->brokenFlags) flag->store(true);
}
void FakeHost::breakAfterNextCall() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->breakAfterNext = true;
}
void FakeHost::dropNextAnswers(int count) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->dropAnswers = count;
}

bool FakeHost::notify(const std::string& text) {
  NotificationHandler handler;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    handler = state_->newestHandler;
  }
  if (!handler) return false;
  handler(text);
  return true;
}

std::vector<std::string> FakeHost::requests() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

std::vector<std::string> FakeHost::requests(const std::string& method) {
  std::vector<std::string> matching;
  for (const std::string& r : requests()) {
    if (methodOf(r) == method) matching.push_back(r);
  }
  return matching;
}

std::string FakeHost::lastRequest() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests.empty() ? std::string() : state_->requests.back();
}

int FakeHost::connectionsCreated() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->created;
}

std::string FakeHost::lastIdentity() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->identity;
}

bool FakeHost::waitForRequests(const std::string& method, size_t count) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::seconds(5), [&] {
    size_t n = 0;
    for (const std::string& r : state_->requests) n += methodOf(r) == method;
    return n >= count;
  });
}

void FakeHost::holdAnswers(const std::string& method) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->heldMethod = method;
  state_->holding = true;
}

void FakeHost::release() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->holding = false;
  state_->changed.notify_all();
}

std::string methodOf(const std::string& requestText) {
  return parseJsonText(requestText).get("method").asString();
}

std::string paramsOf(const std::string& requestText) {
  const JsonHandle params = parseJsonText(requestText).get("params");
  return params.isValid() ? toJsonText(params) : std::string();
}

}  // namespace test_support
}  // namespace sdk
