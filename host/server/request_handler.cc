#include "host/server/request_handler.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "json/json_text.h"
#include "json/json_value.h"

namespace lumhost {

const char kHostVersionText[] = "lumhost 1.0";

namespace {

using sdk::JsonHandle;

// Method names, matched byte for byte.
const char kHandshake[] = "VelomraHandshakeMethod";
const char kGetDeviceCount[] = "VelmoraGetDeviceCount";
const char kGetDeviceInfo[] = "VelmoraGetDeviceInfo";
const char kGetLedPositions[] = "VelmoraGetLedPositions";
const char kGetLedPositionsByDeviceIndex[] = "VelmoraGetLedPositionsByDeviceIndex";
const char kGetLedIdForKeyName[] = "VelmoraGetLedIdForKeyName";
const char kGetLedsColors[] = "VelmoraGetLedsColors";
const char kGetLedsColorsByDeviceIndex[] = "VelmoraGetLedsColorsByDeviceIndex";
const char kSetLedsColors[] = "VelmoraSetLedsColors";
const char kSetLedsColorsFlushBuffer[] = "VelmoraSetLedsColorsFlushBuffer";
const char kRequestControl[] = "InternalAquireAccessMode";
const char kReleaseControl[] = "VelomraReleaseControlMethod";
const char kSetLayerPriority[] = "VelmoraSetLayerPriority";
const char kRegisterKeypressCallback[] = "VelmoraRegisterKeypressCallback";

// The protocol version that introduced each method. Never destroyed: a
// host inside a test process may still answer while the process exits.
const std::map<std::string, int>& minimumProtocols() {
  static const auto* kTable = new std::map<std::string, int>{
      {kHandshake, 1},
      {kGetDeviceCount, 1},
      {kGetDeviceInfo, 1},
      {kGetLedPositions, 1},
      {kGetLedIdForKeyName, 1},
      {kRequestControl, 1},
      {kSetLedsColors, 1},
      {kReleaseControl, 2},
      {kGetLedPositionsByDeviceIndex, 3},
      {kGetLedsColors, 4},
      {kSetLayerPriority, 4},
      {kRegisterKeypressCallback, 4},
      {kGetLedsColorsByDeviceIndex, 5},
      {kSetLedsColorsFlushBuffer, 5},
  };
  return *kTable;
}

JsonHandle emptyArray() { return JsonHandle(std::make_unique<sdk::JsonArrayValue>()); }

JsonHandle failure(int code, const std::string& why) {
  JsonHandle answer;
  answer.member("errorCode") = code;
  answer.member("result") = false;
  answer.member("error") = why;
  return answer;
}

JsonHandle success(JsonHandle result) {
  JsonHandle answer;
  answer.member("errorCode") = kHostErrorNone;
  answer.member("result") = std::move(result);
  return answer;
}

// Reads an integral number parameter that fits an int.
bool intParam(const JsonHandle& params, const char* name, int* out, std::string* why) {
  const JsonHandle& value = params.getRef(name);
  if (value.type() != sdk::kJsonNumber) {
    *why = std::string("parameter \"") + name + "\" must be a number";
    return false;
  }
  double v = value.asDouble();
  if (!std::isfinite(v) || v != std::floor(v) || v < -2147483648.0 || v > 2147483647.0) {
    *why = std::string("parameter \"") + name + "\" must be a whole number";
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

bool textParam(const JsonHandle& params, const char* name, std::string* out, std::string* why) {
  const JsonHandle& value = params.getRef(name);
  if (value.type() != sdk::kJsonString) {
    *why = std::string("parameter \"") + name + "\" must be a text";
    return false;
  }
  *out = value.asString();
  return true;
}

bool inRange(int value, int low, int high) { return value >= low && value <= high; }

}  // namespace

bool parseColorList(const std::string& text, std::vector<ColorRecord>* records) {
  records->clear();
  size_t pos = 0;
  const size_t n = text.size();
  auto readInt = [&](int* out) {
    bool negative = false;
    if (pos < n && text[pos] == '-') {
      negative = true;
      ++pos;
    }
    size_t start = pos;
    long long value = 0;
    while (pos < n && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + (text[pos] - '0');
      if (value > 2147483648LL) return false;
      ++pos;
    }
    if (pos == start) return false;
    if (negative) value = -value;
    if (value > 2147483647LL) return false;
    *out = static_cast<int>(value);
    return true;
  };
  while (pos < n) {
    ColorRecord r;
    if (!readInt(&r.ledId)) return false;
    int* fields[] = {&r.r, &r.g, &r.b};
    for (int* field : fields) {
      if (pos >= n || text[pos] != ',') return false;
      ++pos;
      if (!readInt(field)) return false;
    }
    records->push_back(r);
    if (pos < n) {
      if (text[pos] != '#') return false;
      ++pos;
      if (pos == n) return false;  // a trailing '#'
    }
  }
  return true;
}

std::string formatColorList(const std::vector<ColorRecord>& records) {
  std::string text;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) text += '#';
    const ColorRecord& r = records[i];
    text += std::to_string(r.ledId) + ',' + std::to_string(r.r) + ',' + std::to_string(r.g) + ',' +
            std::to_string(r.b);
  }
  return text;
}

int methodMinimumProtocol(const std::string& method) {
  auto found = minimumProtocols().find(method);
  return found == minimumProtocols().end() ? 0 : found->second;
}

std::vector<std::string> knownMethods() {
  std::vector<std::string> methods;
  for (const auto& entry : minimumProtocols()) methods.push_back(entry.first);
  return methods;
}

size_t requestLimitFor(const Profile& profile) {
  constexpr size_t kRecordBytes = 16;      // "499,255,255,255#"
  constexpr size_t kDeviceBytes = 64;      // {"deviceIndex":N,"ledColors":"..."},
  constexpr size_t kEnvelopeBytes = 4096;  // method, params, member names
  constexpr size_t kFloor = 64 << 10;
  const size_t devices = profile.devices.size();
  const size_t list = (kMaxLedId + 1) * kRecordBytes;
  size_t limit = (devices + 1) * list + devices * kDeviceBytes + kEnvelopeBytes;
  return std::min(std::max(limit, kFloor), kMaxRequestBytes);
}

RequestHandler::RequestHandler(const Profile& profile, LightingState* state, int protocolVersion,
                               Faults* faults)
    : profile_(profile),
      state_(state),
      protocolVersion_(protocolVersion),
      faults_(faults),
      requestLimit_(requestLimitFor(profile)) {}

std::string RequestHandler::methodOf(const std::string& requestText) {
  if (requestText.size() > kMaxRequestBytes) return std::string();  // no reading it
  JsonHandle request = sdk::parseJsonText(requestText);
  const std::string* method = request.getRef("method").stringRef();
  return method != nullptr ? *method : std::string();
}

namespace {

// The per-method work, with the request already read.
class Exchange {
 public:
  // plugged: the profile indexes of the devices the client sees, in order.
  Exchange(const Profile& profile, LightingState* state, int protocol, int clientId,
           const JsonHandle& params, std::vector<int> plugged, RequestOutcome* outcome)
      : profile_(profile),
        state_(state),
        protocol_(protocol),
        clientId_(clientId),
        params_(params),
        plugged_(std::move(plugged)),
        outcome_(outcome) {}

  JsonHandle run(const std::string& method) {
    if (method == kHandshake) return handshake();
    if (method == kGetDeviceCount) return success(static_cast<int>(plugged_.size()));
    if (method == kGetDeviceInfo) return deviceInfo();
    if (method == kGetLedPositions) return positions(-1);
    if (method == kGetLedPositionsByDeviceIndex) return positionsOfDevice();
    if (method == kGetLedIdForKeyName) return ledIdForKey();
    if (method == kGetLedsColors) return readColors(false);
    if (method == kGetLedsColorsByDeviceIndex) return readColors(true);
    if (method == kSetLedsColors) return setColors();
    if (method == kSetLedsColorsFlushBuffer) return flush();
    if (method == kRequestControl) return requestControl();
    if (method == kReleaseControl) return releaseControl();
    if (method == kSetLayerPriority) return layerPriority();
    if (method == kRegisterKeypressCallback) {
      outcome_->registersKeys = true;
      return success(true);
    }
    return failure(kHostErrorUnknownMethod, "unknown method");
  }

 private:
  JsonHandle handshake() {
    int sdkVersion = 0;
    std::string why;
    outcome_->sdkProtocolVersion =
        intParam(params_, "sdkProtocolVersion", &sdkVersion, &why) ? sdkVersion : 0;
    JsonHandle answer;
    answer.member("serverVersion") = kHostVersionText;
    answer.member("serverProtocolVersion") = protocol_;
    answer.member("breakingChanges") = protocol_ > kDefaultProtocol;
    answer.member("errorCode") = kHostErrorNone;
    return answer;
  }

  bool deviceIndex(int* index, std::string* why) { return deviceIndex(index, why, params_); }

  // Reads a device index as the client counts (plugged devices only) and
  // gives the profile's index.
  bool deviceIndex(int* index, std::string* why, const JsonHandle& from) {
    if (!intParam(from, "deviceIndex", index, why)) return false;
    if (!inRange(*index, 0, static_cast<int>(plugged_.size()) - 1)) {
      *why = "no device with index " + std::to_string(*index);
      return false;
    }
    *index = plugged_[*index];
    return true;
  }

  // Refusals of the calls that return a structure carry "result": null,
  // the value the library tests for.
  static JsonHandle nullResult(const std::string& why) {
    JsonHandle answer = failure(kHostErrorBadRequest, why);
    answer.member("result") = JsonHandle();
    return answer;
  }

  JsonHandle deviceInfo() {
    int index = 0;
    std::string why;
    if (!deviceIndex(&index, &why)) return nullResult(why);
    const Device& d = profile_.devices[index];
    JsonHandle info;
    info.member("type") = d.type;
    info.member("model") = d.model;
    info.member("physicalLayout") = d.physicalLayout;
    info.member("logicalLayout") = d.logicalLayout;
    info.member("capsMask") = d.capsMask;
    info.member("ledsCount") = static_cast<int>(d.leds.size());
    JsonHandle channels = emptyArray();
    for (const Channel& c : d.channels) {
      JsonHandle channel;
      channel.member("totalLedsCount") = c.totalLeds();
      JsonHandle devices = emptyArray();
      for (const ChannelDevice& attached : c.devices) {
        JsonHandle entry;
        entry.member("type") = attached.type;
        entry.member("deviceLedCount") = attached.ledCount;
        devices.append(std::move(entry));
      }
      channel.member("devices") = std::move(devices);
      channels.append(std::move(channel));
    }
    info.member("channels") = std::move(channels);
    return success(std::move(info));
  }

  static void appendPositions(const Device& d, JsonHandle* list) {
    for (const Led& led : d.leds) {
      JsonHandle p;
      p.member("ledId") = led.id;
      p.member("top") = led.top;
      p.member("left") = led.left;
      p.member("height") = led.height;
      p.member("width") = led.width;
      list->append(std::move(p));
    }
  }

  JsonHandle positions(int onlyDevice) {
    JsonHandle list = emptyArray();
    for (int d : plugged_) {
      if (onlyDevice < 0 || d == onlyDevice) appendPositions(profile_.devices[d], &list);
    }
    return success(std::move(list));
  }

  JsonHandle positionsOfDevice() {
    int index = 0;
    std::string why;
    if (!deviceIndex(&index, &why)) return nullResult(why);
    return positions(index);
  }

  JsonHandle ledIdForKey() {
    int code = 0;
    std::string why;
    if (!intParam(params_, "keyName", &code, &why)) return failure(kHostErrorBadRequest, why);
    int device = 0;
    int ledId = 0;
    if (!inRange(code, 1, 127) ||
        !profile_.findLetterKey(static_cast<char>(code), &device, &ledId, &plugged_)) {
      JsonHandle answer =
          failure(kHostErrorBadRequest, "no key for character code " + std::to_string(code));
      answer.member("result") = 0;
      return answer;
    }
    return success(ledId);
  }

  JsonHandle readColors(bool byDevice) {
    int device = -1;
    std::string why;
    if (byDevice && !deviceIndex(&device, &why)) return failure(kHostErrorBadRequest, why);
    std::string text;
    std::vector<ColorRecord> records;
    if (!textParam(params_, "ledsColors", &text, &why)) return failure(kHostErrorBadRequest, why);
    if (!parseColorList(text, &records)) {
      return failure(kHostErrorBadRequest, "parameter \"ledsColors\" is not a colour list");
    }
    // Each LED reads as shown; an id the device does not have reads dark.
    for (ColorRecord& r : records) {
      Rgb c;
      state_->color(device, r.ledId, &c);
      r.r = c.r;
      r.g = c.g;
      r.b = c.b;
    }
    JsonHandle answer = success(true);
    answer.member("ledsColors") = formatColorList(records);
    return answer;
  }

  // Reads a colour list meant for setting: ids 0 to 499, components 0 to 255.
  static bool colorsToWrite(const std::string& text, int device, std::vector<LedWrite>* writes,
                            std::string* why) {
    std::vector<ColorRecord> records;
    if (!parseColorList(text, &records)) {
      *why = "not a colour list";
      return false;
    }
    for (const ColorRecord& r : records) {
      if (!inRange(r.ledId, 0, kMaxLedId) || !inRange(r.r, 0, 255) || !inRange(r.g, 0, 255) ||
          !inRange(r.b, 0, 255)) {
        *why = "colour record for LED " + std::to_string(r.ledId) + " is out of range";
        return false;
      }
      writes->push_back(LedWrite{device, r.ledId, Rgb{r.r, r.g, r.b}});
    }
    return true;
  }

  JsonHandle setColors() {
    std::string text;
    std::string why;
    std::vector<LedWrite> writes;
    if (!textParam(params_, "ledsColors", &text, &why)) return failure(kHostErrorBadRequest, why);
    if (!colorsToWrite(text, -1, &writes, &why)) {
      return failure(kHostErrorBadRequest, "parameter \"ledsColors\": " + why);
    }
    state_->apply(clientId_, writes);
    return success(true);
  }

  // The whole flush is checked before any colour is applied.
  JsonHandle flush() {
    const JsonHandle& list = params_.getRef("ledsColorsByDeviceIndex");
    if (list.isNull()) return success(true);  // nothing was buffered
    if (list.type() != sdk::kJsonArray) {
      return failure(kHostErrorBadRequest,
                     "parameter \"ledsColorsByDeviceIndex\" must be an array or null");
    }
    std::vector<LedWrite> writes;
    for (int i = 0; i < list.size(); ++i) {
      const JsonHandle& entry = list.getRef(i);
      std::string at = "ledsColorsByDeviceIndex[" + std::to_string(i) + "]: ";
      int device = 0;
      std::string text;
      std::string why;
      if (!deviceIndex(&device, &why, entry) || !textParam(entry, "ledColors", &text, &why) ||
          !colorsToWrite(text, device, &writes, &why)) {
        return failure(kHostErrorBadRequest, at + why);
      }
    }
    state_->apply(clientId_, writes);
    return success(true);
  }

  bool accessMode(std::string* why) {
    int mode = 0;
    if (!intParam(params_, "accessMode", &mode, why)) return false;
    if (mode != 0) {
      *why = "access mode " + std::to_string(mode) + " is not supported";
      return false;
    }
    return true;
  }

  JsonHandle requestControl() {
    std::string why;
    if (!accessMode(&why)) return failure(kHostErrorBadRequest, why);
    int holder = 0;
    if (!state_->requestControl(clientId_, &holder)) {
      return failure(kHostErrorRefused,
                     "client-" + std::to_string(holder) + " holds exclusive control");
    }
    return success(true);
  }

  JsonHandle releaseControl() {
    std::string why;
    if (!accessMode(&why)) return failure(kHostErrorBadRequest, why);
    state_->releaseControl(clientId_);
    return success(true);
  }

  JsonHandle layerPriority() {
    int priority = 0;
    std::string why;
    if (!intParam(params_, "layerPriority", &priority, &why)) {
      return failure(kHostErrorBadRequest, why);
    }
    if (!inRange(priority, 0, kMaxLayerPriority)) {
      return failure(kHostErrorBadRequest, "layer priority must be 0 to 255");
    }
    state_->setPriority(clientId_, priority);
    return success(true);
  }

  const Profile& profile_;
  LightingState* state_;
  int protocol_;
  int clientId_;
  const JsonHandle& params_;
  const std::vector<int> plugged_;
  RequestOutcome* outcome_;
};

}  // namespace

std::string RequestHandler::oversizedAnswer() {
  return sdk::toJsonText(failure(kHostErrorBadRequest, "request too large"));
}

bool RequestHandler::answerIsConstant(const std::string& method) {
  return method == kGetDeviceCount || method == kGetDeviceInfo || method == kGetLedPositions ||
         method == kGetLedPositionsByDeviceIndex || method == kGetLedIdForKeyName;
}

RequestOutcome RequestHandler::handle(int clientId, const std::string& requestText) const {
  RequestOutcome outcome;
  int injected = 0;
  if (faults_ != nullptr && faults_->anyFailures() &&
      faults_->takeFailure(outcome.method = methodOf(requestText), &injected)) {
    JsonHandle answer = failure(injected, "failure injected with the fail command");
    answer.member("result") = JsonHandle();
    outcome.answer = sdk::toJsonText(answer);
    return outcome;
  }
  const uint64_t plugGeneration = faults_ != nullptr ? faults_->plugGeneration() : 0;
  {
    std::lock_guard<std::mutex> lock(constantMutex_);
    if (constantGeneration_ != plugGeneration) {
      constantAnswers_.clear();
      constantGeneration_ = plugGeneration;
    }
    auto known = constantAnswers_.find(requestText);
    if (known != constantAnswers_.end()) {
      outcome.method = known->second.first;
      outcome.answer = known->second.second;
      return outcome;
    }
  }
  // Read after the generation: an answer composed from a newer list than
  // its generation says is dropped from the cache at the next request.
  std::vector<int> plugged;
  const int deviceCount = static_cast<int>(profile_.devices.size());
  if (faults_ != nullptr) {
    plugged = faults_->pluggedDevices(deviceCount);
  } else {
    for (int d = 0; d < deviceCount; ++d) plugged.push_back(d);
  }
  JsonHandle answer;
  if (requestText.size() > requestLimit_) {
    answer = failure(kHostErrorBadRequest, "request too large");
  } else {
    JsonHandle request = sdk::parseJsonText(requestText);
    const std::string* method = request.getRef("method").stringRef();
    if (request.type() != sdk::kJsonObject || method == nullptr) {
      answer = failure(kHostErrorBadRequest, "not a JSON object with a \"method\" text");
    } else {
      outcome.method = *method;
      int minimum = methodMinimumProtocol(*method);
      if (minimum == 0 || minimum > protocolVersion_) {
        answer = failure(kHostErrorUnknownMethod, "unknown method");
      } else {
        Exchange exchange(profile_, state_, protocolVersion_, clientId, request.getRef("params"),
                          std::move(plugged), &outcome);
        answer = exchange.run(*method);
      }
    }
  }
  outcome.answer = sdk::toJsonText(answer);
  if (answerIsConstant(outcome.method)) {
    std::lock_guard<std::mutex> lock(constantMutex_);
    // An answer composed before a device came or went is not kept.
    if (constantGeneration_ == plugGeneration && constantAnswers_.size() < kMaxConstantAnswers) {
      constantAnswers_.emplace(requestText, std::make_pair(outcome.method, outcome.answer));
    }
  }
  return outcome;
}

}  // namespace lumhost
