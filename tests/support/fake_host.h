// An in-memory host for API tests: the session's connections are fake ones
// whose answers the test scripts, and every request text is recorded.
#ifndef LUMSDK_TESTS_SUPPORT_FAKE_HOST_H_
#define LUMSDK_TESTS_SUPPORT_FAKE_HOST_H_

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "json/json_value.h"
#include "transport/rpc_connection.h"

namespace sdk {
namespace test_support {

class FakeHost {
 public:
  // Answers a request (parsed) with a text; an empty text is no answer.
  using Answer = std::function<std::string(const JsonHandle& request)>;

  FakeHost();   // installs itself as the session's connection factory
  ~FakeHost();  // restores the real factory

  // Script.
  void setProtocol(int version, const std::string& serverVersion = "4.2.0",
                   bool breakingChanges = false);
  void setAnswer(Answer answer);              // for every method but the handshake
  void setHandshakeAnswer(std::string text);  // raw handshake answer text
  void setRefuseConnections(bool refuse);     // the factory returns null
  void breakConnections();                    // every connection made so far reports broken
  void breakAfterNextCall();                  // the next Call answers, then the connection breaks
  void dropNextAnswers(int count);            // the next count calls return no answer (and break)

  // Sends a notification text to the handler of the newest connection.
  bool notify(const std::string& text);

  // What was sent.
  std::vector<std::string> requests();  // every request text, in order
  std::vector<std::string> requests(const std::string& method);
  std::string lastRequest();
  int connectionsCreated();
  std::string lastIdentity();
  // Waits (up to 5 s) until count requests with the method have arrived.
  bool waitForRequests(const std::string& method, size_t count);

  // Blocks answers to method until release() (used to hold a worker mid-pass).
  void holdAnswers(const std::string& method);
  void release();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// The "method" member of a request text.
std::string methodOf(const std::string& requestText);
// The "params" member written compactly, or "" when there is none.
std::string paramsOf(const std::string& requestText);

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_FAKE_HOST_H_
