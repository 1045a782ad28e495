#include "api/exchange.h"

#include "core/hot.h"
#include "json/json_text.h"
#include "json/request.h"
#include "transport/pipe_stream.h"

namespace sdk {

bool exchangeForText(const std::string& requestText, std::string* answerText) {
  if (requestText.size() >= kMaxFrameBytes) return fail(VelmoraErrorBadArgument, false);
  *answerText = session().exchange(requestText);
  if (answerText->empty()) return fail(VelmoraErrorHostUnreachable, false);
  return true;
}

bool exchangeText(const std::string& requestText, JsonHandle* answer) {
  std::string answerText;
  if (!exchangeForText(requestText, &answerText)) return false;
  *answer = parseJsonText(answerText);
  return true;
}

LUMSDK_HOT bool exchangeShort(TerminatedText requestText, ShortAnswer* answer) {
  return withAnswerText(requestText, [answer](std::string_view answerText) {
    *answer = ShortAnswer();
    if (!readFlatPair(answerText, "{\"result\":", ",\"errorCode\":", &answer->result,
                      &answer->errorCode)) {
      static const char* const kNames[2] = {"result", "errorCode"};
      JsonScalar values[2];
      if (!readFlatObject(answerText.data(), answerText.size(), kNames, values, 2)) {
        const JsonHandle parsed = parseJsonText(answerText.data(), answerText.size());
        values[0] = JsonScalar::of(parsed.getRef(kNames[0]));
        values[1] = JsonScalar::of(parsed.getRef(kNames[1]));
      }
      answer->result = values[0];
      answer->errorCode = values[1];
    }
    // Only the numbers and flags are read once the lock is gone, never the
    // text.
    answer->result.text = answer->errorCode.text = nullptr;
    answer->result.textSize = answer->errorCode.textSize = 0;
    return true;
  });
}

LUMSDK_HOT IntParamRequest::IntParamRequest(const char* method, const char* member, int value)
    : text_("", 0) {
  char* const start = bytes_ + kFrameHeaderBytes;
  // One byte kept for the 0 after the text.
  const size_t size =
      writeRequestText(start, sizeof bytes_ - kFrameHeaderBytes - 1, method, member, value);
  if (size > 0) {
    text_ = FrameText(start, size);
  } else {
    longer_ = requestText(method, member, value);
    text_ = longer_;
  }
}

bool exchangeRequest(const JsonHandle& request, JsonHandle* answer) {
  return exchangeText(toJsonText(request), answer);
}

JsonHandle makeRequest(const char* method) {
  JsonHandle request;
  buildRequest(request, method);
  return request;
}

JsonHandle makeRequest(const char* method, JsonHandle&& params) {
  JsonHandle request = makeRequest(method);
  attachParams(request, std::move(params));
  return request;
}

bool readBoolAnswer(const JsonHandle& answer) {
  setLastError(answer.getRef("errorCode").asInt());
  return answer.getRef("result").asBool();
}

LUMSDK_HOT bool readBoolAnswer(const ShortAnswer& answer) {
  setLastError(answer.errorCode.asInt());
  return answer.result.asBool();
}

}  // namespace sdk
