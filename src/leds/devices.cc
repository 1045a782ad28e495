// Device count and device descriptions.
#include <cstring>
#include <memory>

#include "api/calls.h"
#include "api/exchange.h"
#include "json/request.h"

namespace sdk {
namespace {

// Converts one "devices" list of a channel into a retained array.
void convertChannel(const JsonHandle& value, VelmoraChannelInfo* channel) {
  channel->totalLedsCount = value.getRef("totalLedsCount").asInt();
  const JsonHandle& devices = value.getRef("devices");
  channel->devicesCount = devices.isNull() ? 0 : devices.size();  // -1 for a non-list
  channel->devices = nullptr;
  if (channel->devicesCount <= 0) return;
  std::unique_ptr<VelmoraChannelDeviceInfo[]> array(
      new VelmoraChannelDeviceInfo[static_cast<size_t>(channel->devicesCount)]());
  for (int j = 0; j < channel->devicesCount; ++j) {
    const JsonHandle& device = devices.getRef(j);
    array[static_cast<size_t>(j)].type = device.getRef("type").asInt();
    array[static_cast<size_t>(j)].deviceLedCount = device.getRef("deviceLedCount").asInt();
  }
  channel->devices = retainReturned(std::move(array));
}

void convertDeviceInfo(const JsonHandle& value, VelmoraDeviceInfo* info) {
  *info = VelmoraDeviceInfo{};
  if (value.isNull()) return;
  info->type = value.getRef("type").asInt();
  info->physicalLayout = value.getRef("physicalLayout").asInt();
  info->logicalLayout = value.getRef("logicalLayout").asInt();
  info->capsMask = value.getRef("capsMask").asInt();
  info->ledsCount = value.getRef("ledsCount").asInt();
  const std::string* model = value.getRef("model").stringRef();
  info->model = retainText(model ? *model : std::string());
  if (!value.hasMember("channels")) return;
  const JsonHandle& channels = value.getRef("channels");
  info->channels.channelsCount = channels.isNull() ? 0 : channels.size();  // -1 for a non-list
  if (info->channels.channelsCount <= 0) return;
  std::unique_ptr<VelmoraChannelInfo[]> array(
      new VelmoraChannelInfo[static_cast<size_t>(info->channels.channelsCount)]());
  for (int i = 0; i < info->channels.channelsCount; ++i) {
    convertChannel(channels.getRef(i), &array[static_cast<size_t>(i)]);
  }
  info->channels.channels = retainReturned(std::move(array));
}

}  // namespace

int getDeviceCount() {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, -1);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, -1);
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetDeviceCount), &answer)) return -1;
  setLastError(VelmoraErrorNone);
  return answer.getRef("result").asInt();
}

VelmoraDeviceInfo* getDeviceInfo(int deviceIndex) {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraDeviceInfo*>(VelmoraErrorHandshakeRequired, nullptr);
  if (deviceIndex < 0) return fail<VelmoraDeviceInfo*>(VelmoraErrorBadArgument, nullptr);
  if (!s.isConnectionAlive()) return fail<VelmoraDeviceInfo*>(VelmoraErrorHostUnreachable, nullptr);
  JsonHandle params;
  params.member("deviceIndex") = JsonHandle(deviceIndex);
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetDeviceInfo, std::move(params)), &answer)) {
    return nullptr;
  }
  const JsonHandle& result = answer.getRef("result");
  if (result.isNull()) return fail<VelmoraDeviceInfo*>(VelmoraErrorBadArgument, nullptr);
  VelmoraDeviceInfo* info = retainReturned(std::make_unique<VelmoraDeviceInfo>());
  convertDeviceInfo(result, info);
  setLastError(VelmoraErrorNone);
  return info;
}

}  // namespace sdk
