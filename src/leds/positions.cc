// LED positions and the LED id of a letter key.
#include <memory>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/hot.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {
namespace {

// Converts a positions list into one block: the record, then its array.
// Positions carry ids 1 to 499; geometry is read as integers.
RecordBlock positionsBlock(const JsonHandle& list) {
  const int n = list.size();  // -1 for anything but a list
  // Counted first and written straight into the block: a list of things
  // that are no positions costs nothing per element.
  const auto keeps = [](const JsonHandle& entry) {
    return static_cast<unsigned>(entry.getRef("ledId").asInt()) - 1u <= 498u;
  };
  size_t count = 0;
  for (int i = 0; i < n; ++i) count += keeps(list.getRef(i)) ? 1 : 0;
  BlockLayout layout;
  const size_t head = layout.reserve<VelmoraLedPositions>(1);
  const size_t array = layout.reserve<VelmoraLedPosition>(count);
  std::unique_ptr<unsigned char[]> block = layout.allocate();
  auto* positions = BlockLayout::place<VelmoraLedPositions>(block.get(), head, 1);
  // A list, even one the filter emptied, gets an array (of zero length);
  // anything else gets none.
  if (n > 0) {
    VelmoraLedPosition* leds = BlockLayout::place<VelmoraLedPosition>(block.get(), array, count);
    size_t k = 0;
    for (int i = 0; i < n; ++i) {
      const JsonHandle& entry = list.getRef(i);
      if (!keeps(entry)) continue;
      VelmoraLedPosition& p = leds[k++];
      p.ledId = entry.getRef("ledId").asInt();
      p.top = entry.getRef("top").asInt();
      p.left = entry.getRef("left").asInt();
      p.height = entry.getRef("height").asInt();
      p.width = entry.getRef("width").asInt();
    }
    positions->positionsCount = static_cast<int>(count);
    positions->positions = leds;
  }
  return RecordBlock{std::move(block), layout.size()};
}

// Sends the request and returns the record of its answer: the kept one of
// an identical earlier answer, or a new one. resultRequired: a null
// "result" is a bad argument (an unknown device) rather than no positions.
VelmoraLedPositions* positionsCall(const std::string& request, bool resultRequired) {
  std::string answerText;
  if (!exchangeForText(request, &answerText)) return nullptr;
  Session& s = session();
  RecordStore& store = resultRequired ? s.devicePositionRecords : s.positionRecords;
  if (void* kept = store.find(answerText)) {
    setLastError(VelmoraErrorNone);
    return static_cast<VelmoraLedPositions*>(kept);
  }
  RecordBlock block;
  {
    const JsonHandle answer = parseJsonText(answerText);
    const JsonHandle& result = answer.getRef("result");
    if (resultRequired && result.isNull()) {
      return fail<VelmoraLedPositions*>(VelmoraErrorBadArgument, nullptr);
    }
    block = positionsBlock(result);
  }  // the parsed answer goes before its text is kept, so a large one is not held twice
  auto* positions = static_cast<VelmoraLedPositions*>(
      store.keep(std::move(answerText), std::move(block.bytes), block.size));
  setLastError(VelmoraErrorNone);
  return positions;
}

}  // namespace

VelmoraLedPositions* getLedPositions() {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraLedPositions*>(VelmoraErrorHandshakeRequired, nullptr);
  if (!s.isConnectionAlive()) {
    return fail<VelmoraLedPositions*>(VelmoraErrorHostUnreachable, nullptr);
  }
  return positionsCall(requestText(method::kGetLedPositions), false);
}

VelmoraLedPositions* getLedPositionsByDeviceIndex(int deviceIndex) {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraLedPositions*>(VelmoraErrorHandshakeRequired, nullptr);
  if (deviceIndex < 0) return fail<VelmoraLedPositions*>(VelmoraErrorBadArgument, nullptr);
  if (!s.isConnectionAlive()) {
    return fail<VelmoraLedPositions*>(VelmoraErrorHostUnreachable, nullptr);
  }
  if (s.hostProtocolVersion() < min_protocol::kGetLedPositionsByDeviceIndex) {
    return fail<VelmoraLedPositions*>(VelmoraErrorProtocolMismatch, nullptr);
  }
  return positionsCall(
      requestText(method::kGetLedPositionsByDeviceIndex, "deviceIndex", deviceIndex), true);
}

LUMSDK_HOT int getLedIdForKeyName(char keyName) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, 0);
  const unsigned char key = static_cast<unsigned char>(keyName);
  // ASCII letters only; case is not folded, so 'A' and 'a' are different keys.
  if (!((key >= 'A' && key <= 'Z') || (key >= 'a' && key <= 'z'))) {
    return fail(VelmoraErrorBadArgument, 0);
  }
  ShortAnswer answer;
  const IntParamRequest request(method::kGetLedIdForKeyName, "keyName", key);
  if (!exchangeShort(request.text(), &answer)) return 0;
  setLastError(VelmoraErrorNone);
  return answer.result.asInt();
}

}  // namespace sdk
