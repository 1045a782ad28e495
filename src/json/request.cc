#include "json/request.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "json/json_format.h"

namespace sdk {

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
  std::string text(40 + std::strlen(method) + std::strlen(member), '\0');
  text.resize(writeRequestText(&text[0], text.size(), method, member, value));
  return text;
}

std::size_t writeRequestText(char* out, std::size_t size, const char* method, const char* member,
                             int value) {
  const std::string_view methodName(method);
  const std::string_view memberName(member);
  // 28 characters around the names, and the number takes at most 12.
  if (size < 40 + methodName.size() + memberName.size()) return 0;
  const auto put = [](char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
  };
  // Members in the writer's order: "params" first.
  char* p = put(put(put(out, "{\"params\":{\""), memberName), "\":");
  // Numbers as the writer writes them: whole numbers of up to six digits
  // are their digits; larger ones take the writer's six significant digits.
  if (value > -1000000 && value < 1000000) {
    p = std::to_chars(p, p + 7, value).ptr;
  } else {
    std::string number;  // short enough to need no allocation
    appendJsonNumber(number, value);
    p = put(p, number);
  }
  p = put(put(put(p, "},\"method\":\""), methodName), "\"}");
  return static_cast<std::size_t>(p - out);
}

void attachParams(JsonHandle& request, JsonHandle&& params) {
  request.member("params") = std::move(params);
}

void attachParamsCopy(JsonHandle& request, const JsonHandle& params) {
  request.member("params") = params;
}

}  // namespace sdk
