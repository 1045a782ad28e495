#include "json/request.h"

#include <charconv>
#include <cstring>
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
  std::string text;
  text.reserve(40 + std::strlen(method) + std::strlen(member));
  // Members in the writer's order: "params" first.
  text.append("{\"params\":{\"").append(member).append("\":");
  // Numbers as the writer writes them: whole numbers of up to six digits
  // are their digits; larger ones take the writer's six significant digits.
  if (value > -1000000 && value < 1000000) {
    char number[8];
    text.append(number, std::to_chars(number, number + sizeof number, value).ptr);
  } else {
    appendJsonNumber(text, value);
  }
  text.append("},\"method\":\"").append(method).append("\"}");
  return text;
}

void attachParams(JsonHandle& request, JsonHandle&& params) {
  request.member("params") = std::move(params);
}

void attachParamsCopy(JsonHandle& request, const JsonHandle& params) {
  request.member("params") = params;
}

}  // namespace sdk
