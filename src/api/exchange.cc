#include "api/exchange.h"

#include "json/json_text.h"
#include "json/request.h"

namespace sdk {

bool exchangeText(const std::string& requestText, JsonHandle* answer) {
  const std::string answerText = session().exchange(requestText);
  if (answerText.empty()) return fail(VelmoraErrorHostUnreachable, false);
  *answer = parseJsonText(answerText);
  return true;
}

bool exchangeRequest(const JsonHandle& request, JsonHandle* answer) {
  return exchangeText(toJsonText(request), answer);
}

JsonHandle makeRequest(const std::string& method) {
  JsonHandle request;
  buildRequest(request, method);
  return request;
}

JsonHandle makeRequest(const std::string& method, JsonHandle&& params) {
  JsonHandle request = makeRequest(method);
  attachParams(request, std::move(params));
  return request;
}

bool readBoolAnswer(const JsonHandle& answer) {
  setLastError(answer.getRef("errorCode").asInt());
  return answer.getRef("result").asBool();
}

}  // namespace sdk
