#include "json/request.h"

#include <utility>

namespace sdk {

JsonHandle& buildRequest(JsonHandle& request, const std::string& method) {
  request.member("method") = JsonHandle(method);
  return request;
}

void attachParams(JsonHandle& request, JsonHandle&& params) {
  request.member("params") = std::move(params);
}

void attachParamsCopy(JsonHandle& request, const JsonHandle& params) {
  request.member("params") = params;
}

}  // namespace sdk
