// Synchronous colour calls: set, read, and read per device.
#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "json/json_text.h"
#include "json/request.h"
#include "leds/led_colors.h"

namespace sdk {
namespace {

// Copies the colours of the answer's "ledsColors" into the caller's records,
// matched by position. Nothing is written unless the answer holds exactly
// one record per requested LED.
bool readColorsAnswer(const JsonHandle& answer, int size, VelmoraLedColor* colors) {
  if (answer.isNull()) return fail(VelmoraErrorBadArgument, false);
  const JsonHandle& list = answer.getRef("ledsColors");
  if (list.isNull()) return fail(VelmoraErrorBadArgument, false);
  const std::string* text = list.stringRef();
  // The request's ids are distinct and below 500, so size is at most 500: the
  // records are decoded on the stack, and a longer list is refused as soon as
  // it is seen.
  VelmoraLedColor decoded[500];
  const size_t capacity = static_cast<size_t>(size) < 500 ? static_cast<size_t>(size) : 500;
  const size_t count =
      text != nullptr ? decodeLedColors(text->data(), text->size(), decoded, capacity) : 0;
  if (count != static_cast<size_t>(size)) return fail(VelmoraErrorBadArgument, false);
  for (int i = 0; i < size; ++i) {
    colors[i].r = decoded[i].r;
    colors[i].g = decoded[i].g;
    colors[i].b = decoded[i].b;
  }
  setLastError(VelmoraErrorNone);
  return true;
}

}  // namespace

bool setLedsColors(int size, const VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  // The arguments are checked while the request is written.
  const std::string request = checkedSetColorsRequest(size, colors, method::kSetLedsColors);
  if (request.empty()) return fail(VelmoraErrorBadArgument, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  ShortAnswer answer;
  if (!exchangeShort(request, &answer)) return false;
  return readBoolAnswer(answer);
}

bool getLedsColors(int size, VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kGetLedsColors)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Only the ids are checked: the request carries the records as they are.
  if (!acceptableColorList(size, colors, kCheckLedIds)) return fail(VelmoraErrorBadArgument, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  JsonHandle answer;
  if (!exchangeText(buildLedsColorsRequest(size, colors, method::kGetLedsColors), &answer)) {
    return false;
  }
  return readColorsAnswer(answer, size, colors);
}

bool getLedsColorsByDeviceIndex(int deviceIndex, int size, VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kGetLedsColorsByDeviceIndex)
    return fail(VelmoraErrorProtocolMismatch, false);
  if (deviceIndex < 0 || !acceptableColorList(size, colors, kCheckLedIds)) {
    return fail(VelmoraErrorBadArgument, false);
  }
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  JsonHandle params;
  params.member("deviceIndex") = JsonHandle(deviceIndex);
  params.member("ledsColors") = JsonHandle(encodeLedColors(size, colors));
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetLedsColorsByDeviceIndex, std::move(params)),
                       &answer)) {
    return false;
  }
  return readColorsAnswer(answer, size, colors);
}

}  // namespace sdk
