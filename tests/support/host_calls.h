// Requests to a host over a library connection, for the tests that talk to
// lumhost: the call, the answer read as JSON, and the requests they share.
#ifndef LUMSDK_TESTS_SUPPORT_HOST_CALLS_H_
#define LUMSDK_TESTS_SUPPORT_HOST_CALLS_H_

#include <memory>
#include <string>

#include "json/json_text.h"
#include "transport/rpc_connection.h"

namespace sdk {
namespace test_support {

using HostConnection = std::unique_ptr<IRpcConnection>;

constexpr char kDeviceCountRequest[] = R"({"method":"VelmoraGetDeviceCount"})";

// The answer text without the host's terminating 0 byte.
inline std::string call(const HostConnection& c, const std::string& request) {
  std::string answer = c->Call(request);
  if (!answer.empty() && answer.back() == '\0') answer.pop_back();
  return answer;
}

inline JsonHandle ask(const HostConnection& c, const std::string& request) {
  return parseJsonText(call(c, request));
}

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_HOST_CALLS_H_
