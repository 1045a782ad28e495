// The steps every synchronous export shares after its checks: send one
// request on the session's connection and read the answer.
#ifndef LUMSDK_API_EXCHANGE_H_
#define LUMSDK_API_EXCHANGE_H_

#include <string>

#include "api/session.h"
#include "json/json_text.h"
#include "json/json_value.h"
#include "transport/pipe_stream.h"

namespace sdk {

// Stores code as the calling thread's last error and returns failure, so
// that a failing check reads as one statement.
template <typename Result>
Result fail(int code, Result failure) {
  setLastError(code);
  return failure;
}

// Writes the request as text and sends it. On an empty answer (no
// connection, time-out, broken pipe) stores VelmoraErrorHostUnreachable and
// returns false; otherwise parses the answer into *answer.
bool exchangeRequest(const JsonHandle& request, JsonHandle* answer);
bool exchangeText(const std::string& requestText, JsonHandle* answer);
// The same, leaving the answer as text (for calls that look it up before
// parsing it). A request too long to be sent as one frame is refused with
// VelmoraErrorBadArgument, and nothing is sent.
bool exchangeForText(const std::string& requestText, std::string* answerText);

// The two members that most answers are read for.
struct ShortAnswer {
  JsonScalar result;
  JsonScalar errorCode;
};
// exchangeText for calls that read only those two: an answer of plain
// members (the usual one) is read without building a document. The
// connection is checked under the same lock as the exchange, so a caller
// needs no check of its own right before.
bool exchangeShort(TerminatedText requestText, ShortAnswer* answer);

// requestText(method, member, value) written on the caller's stack and
// framed in place (see FrameText): no allocation, and no copy to send it.
class IntParamRequest {
 public:
  IntParamRequest(const char* method, const char* member, int value);
  IntParamRequest(const IntParamRequest&) = delete;
  IntParamRequest& operator=(const IntParamRequest&) = delete;
  TerminatedText text() const { return text_; }

 private:
  char bytes_[kFrameHeaderBytes + 128];
  std::string longer_;  // names too long for bytes_
  TerminatedText text_;
};

// The same, for calls that read more of the answer: read(answerText) runs
// with the session mutex held (the text lies where the connection read it, and
// is valid only until read returns) and its result is returned. Fails with
// VelmoraErrorHostUnreachable, without calling read, when the connection is
// broken or the exchange fails.
template <typename Read>
bool withAnswerText(TerminatedText requestText, Read&& read) {
  if (requestText.size() >= kMaxFrameBytes) return fail(VelmoraErrorBadArgument, false);
  bool answered = false;
  const bool result = session().withAnswer(requestText, [&](std::string_view answerText) {
    answered = true;
    return read(answerText);
  });
  return answered ? result : fail(VelmoraErrorHostUnreachable, false);
}

// A request with the given method and no "params" member.
JsonHandle makeRequest(const char* method);
// A request with the given method and "params".
JsonHandle makeRequest(const char* method, JsonHandle&& params);

// The answer of a call that reports success as a bool: "errorCode" becomes
// the last error, "result" the return value.
bool readBoolAnswer(const JsonHandle& answer);
bool readBoolAnswer(const ShortAnswer& answer);

}  // namespace sdk

#endif  // LUMSDK_API_EXCHANGE_H_
