#include "transport/rpc_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/test_host.h"
#include "transport/binary_io.h"
#include "transport/pipe_stream.h"

namespace sdk {
namespace {

using test_support::Bytes;
using test_support::TestHost;
using test_support::ToBytes;
using test_support::UniquePipeName;
using test_support::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 10000;
const std::string kIdentity = ":pid:4242";

// Each test gets well-known pipes of its own.
class RpcConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = UniquePipeName("rpc");
    SetWellKnownPipeBaseForTesting(base_);
  }
  void TearDown() override { SetWellKnownPipeBaseForTesting(L""); }

  std::shared_ptr<IRpcConnection> Connect(TestHost& host) {
    std::shared_ptr<IRpcConnection> c = CreateRpcConnection(kIdentity);
    EXPECT_TRUE(c);
    EXPECT_TRUE(host.WaitUntilServing(kWaitMs));
    return c;
  }

  std::wstring base_;
};

std::string Text(const std::string& s) { return s + std::string(1, '\0'); }

TEST(RpcNames, WellKnownBaseAndLatin1Widening) {
  EXPECT_EQ(WellKnownPipeBase(),
            L"\\\\.\\pipe\\VelmoraLumenHub\\{4A48E328-2134-4D19-B31F-764ADEFB844C}");
  SetWellKnownPipeBaseForTesting(L"x");
  EXPECT_EQ(WellKnownPipeBase(), L"x");
  SetWellKnownPipeBaseForTesting(L"");
  EXPECT_EQ(WellKnownPipeBase().substr(0, 25), L"\\\\.\\pipe\\VelmoraLumenHub\\");
  EXPECT_EQ(widen(std::string("a\xE9\xFF", 3)), std::wstring(L"a\u00E9\u00FF"));
  EXPECT_EQ(narrow(L"a\u00E9\u0100"), std::string("a\xE9?", 3));
  // Names given on a command line or in LUMSDK_PIPE_BASE.
  EXPECT_EQ(PipePathFromName(L"demo1"), L"\\\\.\\pipe\\demo1");
  EXPECT_EQ(PipePathFromName(L"\\\\.\\PIPE\\a\\b"), L"\\\\.\\PIPE\\a\\b");
}

TEST_F(RpcConnectionTest, NoHostMeansNoConnectionAtOnce) {
  const auto start = Clock::now();
  EXPECT_FALSE(CreateRpcConnection(kIdentity));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(RpcConnectionTest, UnusableNameReplyOrMissingPipeMeansNoConnection) {
  {
    TestHost::Options options;
    options.nameReply = [](const std::string&) { return Bytes{0}; };
    TestHost host(base_, options);
    EXPECT_FALSE(CreateRpcConnection(kIdentity));
  }
  SetWellKnownPipeBaseForTesting(base_ + L"_2");
  {
    TestHost::Options options;
    options.createNotificationPipe = false;
    TestHost host(base_ + L"_2", options);
    EXPECT_FALSE(CreateRpcConnection(kIdentity));
  }
}

TEST_F(RpcConnectionTest, ResponsesMatchRequestsByOrder) {
  TestHost::Options options;
  int count = 0;
  options.respond = [&count](const Bytes& request, Bytes& response) {
    response = ToBytes("r" + std::to_string(++count) + ":");
    response.insert(response.end(), request.begin(), request.end());
    return true;
  };
  TestHost host(base_, options);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  EXPECT_EQ(host.identity(), kIdentity);
  // No SetCallMutex: the connection falls back on a lock of its own.
  EXPECT_EQ(c->Call("first"), Text("r1:first"));
  EXPECT_EQ(c->Call(""), Text("r2:"));
  EXPECT_EQ(c->Call("third"), Text("r3:third"));
  EXPECT_FALSE(c->IsBroken());
  EXPECT_EQ(host.requests().size(), 3u);
}

// Answers read in place: each is exactly its own, whatever came before (a
// longer answer, one assembled from several reads in the storage, or
// nothing), and a failed call leaves it empty.
TEST_F(RpcConnectionTest, CallIntoReadsEachAnswerInPlaceAndLeavesNothingStale) {
  TestHost::Options options;
  options.respond = [](const Bytes& request, Bytes& response) {
    const std::string text(request.begin(), request.end() - 1);
    // "big": an answer longer than one read-ahead buffer.
    response = ToBytes(text == "big" ? std::string(200000, 'b') : "a:" + text);
    response.push_back(0);
    return true;
  };
  TestHost host(base_, options);
  // A CallInto caller holds the call mutex, as the session does (declared
  // first, so that it outlives the connection).
  std::recursive_mutex callMutex;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  c->SetCallMutex(&callMutex);
  std::lock_guard<std::recursive_mutex> lock(callMutex);
  std::string_view answer;
  std::string storage = "left over from before";
  const struct {
    const char* request;
    std::string expected;
  } kCalls[] = {
      {"x", Text("a:x")},
      {"big", Text(std::string(200000, 'b'))},
      {"y", Text("a:y")},
      {"a much longer request than the one before",
       Text("a:a much longer request than the one before")},
      {"z", Text("a:z")},
  };
  for (const auto& call : kCalls) {
    EXPECT_EQ(c->CallInto(std::string(call.request), &answer, &storage), CallOutcome::kAnswered)
        << call.request;
    EXPECT_EQ(std::string(answer), call.expected) << call.request;
  }
  // A refused call (too long for one frame) and one on a connection shut down.
  EXPECT_EQ(c->CallInto(std::string(kMaxFrameBytes, 'x'), &answer, &storage), CallOutcome::kFailed);
  EXPECT_TRUE(answer.empty());
  c->Shutdown();
  EXPECT_EQ(c->CallInto(std::string("after"), &answer, &storage), CallOutcome::kNotSent);
  EXPECT_TRUE(answer.empty());
}

TEST_F(RpcConnectionTest, CallsFromManyThreadsEachGetTheirOwnAnswer) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  std::recursive_mutex sessionMutex;
  c->SetCallMutex(&sessionMutex);
  std::vector<std::future<bool>> workers;
  for (int t = 0; t < 4; ++t) {
    workers.push_back(std::async(std::launch::async, [&c, t] {
      bool ok = true;
      for (int i = 0; i < 25; ++i) {
        const std::string request = std::to_string(t) + "/" + std::to_string(i);
        ok = ok && c->Call(request) == Text(request);
      }
      return ok;
    }));
  }
  for (auto& w : workers) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
}

TEST_F(RpcConnectionTest, UnansweredCallBreaksTheConnection) {
  TestHost::Options options;
  options.respond = [](const Bytes&, Bytes&) { return false; };
  TestHost host(base_, options);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Call("hello"), "");
  EXPECT_TRUE(c->IsBroken());
  // The next call does not touch the pipes.
  const auto start = Clock::now();
  EXPECT_EQ(c->Call("again"), "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(host.requests().size(), 1u);
}

TEST_F(RpcConnectionTest, HostClosingAnyPipeBreaksTheConnection) {
  for (const wchar_t* suffix : {kRequestPipeSuffix, kResponsePipeSuffix, kNotificationPipeSuffix}) {
    SCOPED_TRACE(narrow(suffix));
    SetWellKnownPipeBaseForTesting(base_ + suffix);
    TestHost host(base_ + suffix);
    auto c = Connect(host);
    ASSERT_TRUE(c);
    c->SetNotificationHandler([](const std::string&) {});
    ASSERT_EQ(c->Call("before"), Text("before"));
    host.ClosePipe(suffix);
    if (std::wstring(suffix) != kNotificationPipeSuffix) {
      // The exchange notices, and the connection drops its exchange pipes.
      EXPECT_EQ(c->Call("after"), "");
      EXPECT_TRUE(c->IsBroken());
      EXPECT_EQ(c->Call("later"), "");
    } else {
      // The notification reader notices on its own; calls still work.
      EXPECT_TRUE(WaitUntil([&c] { return c->IsBroken(); }, kWaitMs));
      EXPECT_EQ(c->Call("later"), Text("later"));
    }
  }
}

TEST_F(RpcConnectionTest, NotificationsArriveInOrderAndEmptyOnesAreDropped) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> seen;
  bool release = false;
  c->SetNotificationHandler([&](const std::string& text) {
    std::unique_lock<std::mutex> lock(m);
    seen.push_back(text);
    cv.notify_all();
    // The first delivery holds the dispatcher while more arrive.
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
  });
  EXPECT_TRUE(c->HasNotificationHandler());
  ASSERT_EQ(host.Notify(ToBytes(Text("one"))), 0);
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 1; }));
  }
  for (const Bytes& body : {ToBytes(Text("two")), Bytes{0}, Bytes{}, ToBytes(Text("three"))}) {
    ASSERT_EQ(host.Notify(body), 0);
  }
  // A call goes on meanwhile: notifications do not touch the exchange pipes.
  EXPECT_EQ(c->Call("busy"), Text("busy"));
  {
    std::unique_lock<std::mutex> lock(m);
    release = true;
    cv.notify_all();
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 3; }));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
  c->StopNotifications();
  EXPECT_FALSE(c->HasNotificationHandler());
}

TEST_F(RpcConnectionTest, DestructionStopsAWaitingNotificationRead) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  c->SetNotificationHandler([](const std::string&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the reader block
  auto destroying = std::async(std::launch::async, [&c] { c.reset(); });
  EXPECT_EQ(destroying.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(RpcConnectionTest, LastOwnerMayReleaseItOnTheDispatcherThread) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  // The handler holds the only other reference, as an exported call made
  // from a key-press callback would while a handshake replaces the session's.
  std::mutex m;
  std::shared_ptr<IRpcConnection> slot = c;
  std::promise<std::string> done;
  c->SetNotificationHandler([&](const std::string& text) {
    std::shared_ptr<IRpcConnection> last;
    {
      std::lock_guard<std::mutex> lock(m);
      last.swap(slot);
    }
    if (!last) return;
    const std::string answer = last->Call(text);
    last.reset();  // destroys the connection on this, its own dispatcher, thread
    done.set_value(answer);
  });
  c.reset();
  ASSERT_EQ(host.Notify(ToBytes(Text("ping"))), 0);
  auto result = done.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), Text("ping"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the thread finish
}

TEST_F(RpcConnectionTest, HandlerMayStopNotificationsItself) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  std::promise<bool> stopped;
  c->SetNotificationHandler([&](const std::string&) {
    c->StopNotifications();
    stopped.set_value(c->HasNotificationHandler());
  });
  ASSERT_EQ(host.Notify(ToBytes(Text("stop"))), 0);
  auto result = stopped.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(result.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST_F(RpcConnectionTest, StoppingRightAfterStartingNeverHangs) {
  TestHost host(base_);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  auto cycling = std::async(std::launch::async, [&c] {
    for (int i = 0; i < 50; ++i) {
      c->SetNotificationHandler([](const std::string&) {});
      c->StopNotifications();
    }
  });
  EXPECT_EQ(cycling.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(c->HasNotificationHandler());
  // Cancelling is final for the notification stream.
  c->SetNotificationHandler([](const std::string&) {});
  EXPECT_TRUE(WaitUntil([&c] { return c->IsBroken(); }, kWaitMs));
}

TEST_F(RpcConnectionTest, PipeNameBytesAboveAsciiAreWidenedAsLatin1) {
  TestHost::Options options;
  options.clientBase = base_ + L"_\u00E9\u00FF";
  TestHost host(base_, options);
  auto c = Connect(host);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Call("x"), Text("x"));
}

}  // namespace
}  // namespace sdk

namespace sdk {
namespace {

// A reader whose first read fails without breaking the stream (as one
// failed recv does), and whose later reads wait until cancelled.
class FailingOnceReader : public IStream {
 public:
  void Close() override {}
  bool OpenForReading(int) override { return true; }
  bool OpenForWriting(int) override { return false; }
  int Write(const std::vector<uint8_t>&, int) override { return kStreamNotReady; }
  int Read(std::vector<uint8_t>&, int) override {
    if (!failed_.exchange(true)) return kErrorGenFailure;
    std::unique_lock<std::mutex> lock(mutex_);
    cancelled_.wait(lock, [this] { return cancel_; });
    return kErrorOperationAborted;
  }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
    cancelled_.notify_all();
  }
  bool IsBroken() override { return false; }

 private:
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::condition_variable cancelled_;
  bool cancel_ = false;
};

class IdleWriter : public IStream {
 public:
  void Close() override {}
  bool OpenForReading(int) override { return false; }
  bool OpenForWriting(int) override { return true; }
  int Read(std::vector<uint8_t>&, int) override { return kStreamNotReady; }
  int Write(const std::vector<uint8_t>&, int) override { return 0; }
  void Cancel() override {}
  bool IsBroken() override { return false; }
};

TEST(RpcConnectionReader, ANotificationReaderThatEndsOnItsOwnBreaksTheConnection) {
  RpcConnection connection(std::make_shared<FailingOnceReader>(), std::make_shared<IdleWriter>(),
                           std::make_shared<FailingOnceReader>());
  EXPECT_FALSE(connection.IsBroken());
  connection.SetNotificationHandler([](const std::string&) {});
  // Nothing can be delivered any more: the application must see it.
  EXPECT_TRUE(WaitUntil([&] { return connection.IsBroken(); }, kWaitMs));
}

}  // namespace
}  // namespace sdk
