// Turns one request text from a client into the host's answer text, reading
// and changing the lighting state. No I/O and no threads of its own: the
// server calls it on the client's thread.
#ifndef LUMSDK_HOST_SERVER_REQUEST_HANDLER_H_
#define LUMSDK_HOST_SERVER_REQUEST_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/profile/device_profile.h"
#include "host/server/faults.h"
#include "host/state/lighting_state.h"

namespace lumhost {

// Codes the host puts in "errorCode".
constexpr int kHostErrorNone = 0;
constexpr int kHostErrorRefused = 2;        // another client holds exclusive control
constexpr int kHostErrorUnknownMethod = 4;  // unknown to the protocol version spoken
constexpr int kHostErrorBadRequest = 5;     // malformed request or bad parameter

// The protocol versions a host can speak; 5 is the library's own.
constexpr int kMinProtocol = 1;
constexpr int kMaxProtocol = 6;
constexpr int kDefaultProtocol = 5;

// No request is ever read whole above this, whatever the desk (see
// requestLimitFor); larger ones are refused with kHostErrorBadRequest.
constexpr size_t kMaxRequestBytes = 1 << 20;

// The longest request a client of this desk can need, at most
// kMaxRequestBytes. A colour list names each LED id (0 to kMaxLedId) at most
// once per device, in records of at most 16 bytes ("499,255,255,255#"); a
// buffer flush carries such a list for every device at once, with some 64
// bytes of members per device, plus the envelope. A longer request can only
// repeat LEDs: it is read in pieces, thrown away and refused, so what one
// client costs the host stays below this bound (64 KiB at least: about 50 KB
// for the built-in desk of five devices).
size_t requestLimitFor(const Profile& profile);

// Reported as "serverVersion".
extern const char kHostVersionText[];

// One record of the colour list text "id,r,g,b#id,r,g,b".
struct ColorRecord {
  int ledId = 0;
  int r = 0;
  int g = 0;
  int b = 0;
};

// Strict reading of a colour list text: records of four decimal integers
// separated by ',', records separated by '#', nothing else. The empty text
// is the empty list. False for anything else.
bool parseColorList(const std::string& text, std::vector<ColorRecord>* records);
std::string formatColorList(const std::vector<ColorRecord>& records);

// The lowest protocol version whose host knows the method, or 0 when no
// version does.
int methodMinimumProtocol(const std::string& method);
// Every method some protocol version knows, in alphabetical order.
std::vector<std::string> knownMethods();

struct RequestOutcome {
  std::string method;           // empty when the request names none
  std::string answer;           // JSON text, without the terminating 0 byte
  bool registersKeys = false;   // the client is now registered for key presses
  int sdkProtocolVersion = -1;  // sent with the handshake; -1 for other requests
};

class RequestHandler {
 public:
  // The profile, the state and the faults must outlive the handler. faults
  // may be null: a host that never misbehaves.
  RequestHandler(const Profile& profile, LightingState* state, int protocolVersion,
                 Faults* faults = nullptr);

  int protocolVersion() const { return protocolVersion_; }
  // requestLimitFor(profile): longer requests are refused.
  size_t requestLimit() const { return requestLimit_; }

  // The answer to one request of the client (text without the 0 byte).
  RequestOutcome handle(int clientId, const std::string& requestText) const;

  // The answer to a request over requestLimit(), which was not kept.
  static std::string oversizedAnswer();

  // The "method" text of a request, or "" when it has none.
  static std::string methodOf(const std::string& requestText);

 private:
  // Requests about the devices (count, descriptions, positions, key names)
  // have answers that depend on the request text alone while the profile and
  // the plugged devices stay as they are: they are composed once and then
  // looked up by that text, until a device is unplugged or plugged.
  static bool answerIsConstant(const std::string& method);
  static constexpr size_t kMaxConstantAnswers = 512;  // whatever clients ask

  const Profile& profile_;
  LightingState* state_;
  int protocolVersion_;
  Faults* faults_;
  size_t requestLimit_;
  // Guards constantAnswers_ and constantGeneration_; taken alone.
  mutable std::mutex constantMutex_;
  mutable std::unordered_map<std::string, std::pair<std::string, std::string>>
      constantAnswers_;                      // request text -> (method, answer)
  mutable uint64_t constantGeneration_ = 0;  // the plug generation they were composed in
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_SERVER_REQUEST_HANDLER_H_
