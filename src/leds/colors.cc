// Synchronous colour calls: set, read, and read per device.
#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/hot.h"
#include "json/json_text.h"
#include "json/request.h"
#include "leds/led_colors.h"

namespace sdk {
namespace {

// Copies the colours of the answer's "ledsColors" into the caller's records,
// matched by position. Nothing is written unless the answer holds exactly one
// record per requested LED.
LUMSDK_HOT bool readColors(std::string_view answerText, int size, VelmoraLedColor* colors) {
  // Named in the order hosts answer, so that the usual answer is matched
  // member by member; only "ledsColors" is used.
  static const char* const kNames[3] = {"result", "ledsColors", "errorCode"};
  JsonScalar values[3];
  JsonScalar& list = values[1];
  JsonHandle parsed;  // only for an answer the flat reader declines
  if (!readFlatObject(answerText.data(), answerText.size(), kNames, values, 3)) {
    parsed = parseJsonText(answerText.data(), answerText.size());
    if (parsed.isNull()) return fail(VelmoraErrorBadArgument, false);
    list = JsonScalar::of(parsed.getRef(kNames[1]));
  }
  if (list.type == kJsonNull || list.type == kJsonInvalid) {
    return fail(VelmoraErrorBadArgument, false);
  }
  // The request's ids are distinct and below 500, so size is at most 500: the
  // records are decoded on the stack, and a longer list is refused as soon as
  // it is seen. A list that is no string holds no records.
  VelmoraLedColor decoded[500];
  const size_t capacity = static_cast<size_t>(size) < 500 ? static_cast<size_t>(size) : 500;
  const size_t count =
      list.text != nullptr ? decodeLedColors(list.text, list.textSize, decoded, capacity) : 0;
  if (count != static_cast<size_t>(size)) return fail(VelmoraErrorBadArgument, false);
  for (int i = 0; i < size; ++i) {
    colors[i].r = decoded[i].r;
    colors[i].g = decoded[i].g;
    colors[i].b = decoded[i].b;
  }
  setLastError(VelmoraErrorNone);
  return true;
}

// Sends the request and reads the colours of its answer as above.
bool exchangeColors(TerminatedText request, int size, VelmoraLedColor* colors) {
  return withAnswerText(request, [size, colors](std::string_view answerText) {
    return readColors(answerText, size, colors);
  });
}

}  // namespace

LUMSDK_HOT bool setLedsColors(int size, const VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  // The arguments are checked while the request is written.
  ColorsRequestBuffer buffer;
  const TerminatedText request = checkedColorsRequest(method::kSetLedsColors, -1, size, colors,
                                                      kCheckLedIds | kCheckComponents, &buffer);
  if (request.size() == 0) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  if (!exchangeShort(request, &answer)) return false;
  return readBoolAnswer(answer);
}

LUMSDK_HOT bool getLedsColors(int size, VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kGetLedsColors)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Only the ids are checked: the request carries the records as they are.
  ColorsRequestBuffer buffer;
  const TerminatedText request =
      checkedColorsRequest(method::kGetLedsColors, -1, size, colors, kCheckLedIds, &buffer);
  if (request.size() == 0) return fail(VelmoraErrorBadArgument, false);
  return exchangeColors(request, size, colors);
}

LUMSDK_HOT bool getLedsColorsByDeviceIndex(int deviceIndex, int size, VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kGetLedsColorsByDeviceIndex)
    return fail(VelmoraErrorProtocolMismatch, false);
  if (deviceIndex < 0) return fail(VelmoraErrorBadArgument, false);
  ColorsRequestBuffer buffer;
  const TerminatedText request = checkedColorsRequest(
      method::kGetLedsColorsByDeviceIndex, deviceIndex, size, colors, kCheckLedIds, &buffer);
  if (request.size() == 0) return fail(VelmoraErrorBadArgument, false);
  return exchangeColors(request, size, colors);
}

}  // namespace sdk
