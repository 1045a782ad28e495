#include "json/request.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "json/json_format.h"

namespace sdk {
namespace {

// The most a request with one int parameter holds besides its two names:
// 28 characters around them, and the number.
constexpr std::size_t kIntParamRequestExtra = 28 + kMaxJsonIntChars;

}  // namespace

JsonHandle& buildRequest(JsonHandle& request, const std::string& method) {
  request.member("method") = JsonHandle(method);
  return request;
}

std::string requestText(const char* method) {
  std::string text;
  text.reserve(16 + std::strlen(method));
  text.append("{\"method\":\"").append(method).append("\"}");
  return text;
}

std::string requestText(const char* method, const char* member, int value) {
  std::string text(kIntParamRequestExtra + std::strlen(method) + std::strlen(member), '\0');
  text.resize(writeRequestText(&text[0], text.size(), method, member, value));
  return text;
}

std::size_t writeRequestText(char* out, std::size_t size, const char* method, const char* member,
                             int value) {
  const std::string_view methodName(method);
  const std::string_view memberName(member);
  if (size < kIntParamRequestExtra + methodName.size() + memberName.size()) return 0;
  // Members in the writer's order: "params" first.
  char* p = putText(putText(putText(out, "{\"params\":{\""), memberName), "\":");
  p = putJsonInt(p, value);
  p = putText(putText(putText(p, "},\"method\":\""), methodName), "\"}");
  return static_cast<std::size_t>(p - out);
}

void attachParams(JsonHandle& request, JsonHandle&& params) {
  request.member("params") = std::move(params);
}

void attachParamsCopy(JsonHandle& request, const JsonHandle& params) {
  request.member("params") = params;
}

}  // namespace sdk
