// A tiny in-test host for the transport tests: serves the pipe-name exchange
// on a well-known pair of pipes for one client, then answers its requests
// and sends notifications, all through the library's listening streams.
#ifndef LUMSDK_TESTS_SUPPORT_TEST_HOST_H_
#define LUMSDK_TESTS_SUPPORT_TEST_HOST_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/pipe_stream.h"

namespace sdk {
namespace test_support {

// A pipe path no other test process uses.
std::wstring UniquePipeName(const std::string& tag);

// Polls cond every few milliseconds; false if it is still false after
// timeoutMs.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs);

using Bytes = std::vector<uint8_t>;
Bytes ToBytes(const std::string& text);

class TestHost {
 public:
  struct Options {
    // Base name of the client's pipes; default: the well-known base + "_c".
    std::wstring clientBase;
    // Body of the reply to the identity; default: clientBase narrowed
    // (Latin-1) and a 0 byte.
    std::function<Bytes(const std::string& identity)> nameReply;
    bool createNotificationPipe = true;
    // Sets the response to one request; false sends none. Default: echo.
    std::function<bool(const Bytes& request, Bytes& response)> respond;
  };

  TestHost(const std::wstring& wellKnownBase, Options options);
  explicit TestHost(const std::wstring& wellKnownBase) : TestHost(wellKnownBase, Options()) {}
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // True once the client has connected its three pipes.
  bool WaitUntilServing(int timeoutMs);
  std::string identity();
  std::vector<Bytes> requests();
  // Writes one frame on "_callback".
  int Notify(const Bytes& body);
  // Closes the host's end of "_in", "_out" or "_callback".
  void ClosePipe(const std::wstring& suffix);

 private:
  void Serve();

  const std::wstring wellKnownBase_;
  Options options_;

  // Guards every member below; streams are used without it only by the
  // serving thread (Cancel is allowed meanwhile). Writes to "_out" and
  // "_callback" take it, so ClosePipe cannot overlap them.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool serving_ = false;
  bool closeRequests_ = false;
  bool requestsClosed_ = false;
  std::string identity_;
  std::vector<Bytes> requests_;
  std::shared_ptr<IStream> wellKnownIn_, wellKnownOut_;
  std::shared_ptr<IStream> requestsIn_, responsesOut_, notificationsOut_;

  // Serving thread: owned by the host; waits in reads of the well-known
  // "_in" and then the client's "_in"; stopped by cancelling the streams.
  std::thread thread_;
};

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_TEST_HOST_H_
