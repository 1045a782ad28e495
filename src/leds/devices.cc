// Device count and device descriptions.
#include <cstring>
#include <memory>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/hot.h"
#include "core/no_destructor.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {
namespace {

// "channelsCount" and "devicesCount" as the host's member reads: 0 when
// absent or null, -1 for anything but a list, else the list's length.
int listCount(const JsonHandle& value) { return value.isNull() ? 0 : value.size(); }

// Converts a device description into one block: the record, its channels,
// every channel's devices, then the model text.
RecordBlock deviceInfoBlock(const JsonHandle& value) {
  const std::string* modelText = value.getRef("model").stringRef();
  const std::string model = modelText ? *modelText : std::string();
  const bool hasChannels = value.hasMember("channels");
  const JsonHandle& channels = value.getRef("channels");
  const int channelCount = hasChannels ? listCount(channels) : 0;
  size_t deviceTotal = 0;
  for (int i = 0; i < channelCount; ++i) {
    const int n = listCount(channels.getRef(i).getRef("devices"));
    if (n > 0) deviceTotal += static_cast<size_t>(n);
  }

  BlockLayout layout;
  const size_t infoAt = layout.reserve<VelmoraDeviceInfo>(1);
  const size_t channelsAt = layout.reserve<VelmoraChannelInfo>(channelCount > 0 ? channelCount : 0);
  const size_t devicesAt = layout.reserve<VelmoraChannelDeviceInfo>(deviceTotal);
  const size_t modelAt = layout.reserve<char>(model.size() + 1);
  std::unique_ptr<unsigned char[]> block = layout.allocate();

  auto* info = BlockLayout::place<VelmoraDeviceInfo>(block.get(), infoAt, 1);
  info->type = value.getRef("type").asInt();
  info->physicalLayout = value.getRef("physicalLayout").asInt();
  info->logicalLayout = value.getRef("logicalLayout").asInt();
  info->capsMask = value.getRef("capsMask").asInt();
  info->ledsCount = value.getRef("ledsCount").asInt();
  char* modelCopy = BlockLayout::place<char>(block.get(), modelAt, model.size() + 1);
  std::memcpy(modelCopy, model.data(), model.size());
  info->model = modelCopy;

  info->channels.channelsCount = channelCount;
  if (channelCount > 0) {
    auto* channelArray = BlockLayout::place<VelmoraChannelInfo>(block.get(), channelsAt,
                                                                static_cast<size_t>(channelCount));
    auto* devices =
        BlockLayout::place<VelmoraChannelDeviceInfo>(block.get(), devicesAt, deviceTotal);
    for (int i = 0; i < channelCount; ++i) {
      const JsonHandle& channel = channels.getRef(i);
      VelmoraChannelInfo& out = channelArray[i];
      out.totalLedsCount = channel.getRef("totalLedsCount").asInt();
      const JsonHandle& list = channel.getRef("devices");
      out.devicesCount = listCount(list);
      if (out.devicesCount <= 0) continue;
      out.devices = devices;
      for (int j = 0; j < out.devicesCount; ++j) {
        const JsonHandle& device = list.getRef(j);
        devices[j].type = device.getRef("type").asInt();
        devices[j].deviceLedCount = device.getRef("deviceLedCount").asInt();
      }
      devices += out.devicesCount;
    }
    info->channels.channels = channelArray;
  }
  return RecordBlock{std::move(block), layout.size()};
}

}  // namespace

LUMSDK_HOT int getDeviceCount() {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, -1);
  // The same text every time; never destroyed, as a late call may still
  // read it while the library unloads.
  static NoDestructor<const FramedText> request(requestText(method::kGetDeviceCount));
  ShortAnswer answer;
  if (!exchangeShort(request.get().text(), &answer)) return -1;
  setLastError(VelmoraErrorNone);
  return answer.result.asInt();
}

VelmoraDeviceInfo* getDeviceInfo(int deviceIndex) {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraDeviceInfo*>(VelmoraErrorHandshakeRequired, nullptr);
  if (deviceIndex < 0) return fail<VelmoraDeviceInfo*>(VelmoraErrorBadArgument, nullptr);
  if (!s.isConnectionAlive()) return fail<VelmoraDeviceInfo*>(VelmoraErrorHostUnreachable, nullptr);
  std::string answerText;
  if (!exchangeForText(requestText(method::kGetDeviceInfo, "deviceIndex", deviceIndex),
                       &answerText)) {
    return nullptr;
  }
  if (void* kept = s.deviceRecords.find(answerText)) {
    setLastError(VelmoraErrorNone);
    return static_cast<VelmoraDeviceInfo*>(kept);
  }
  RecordBlock block;
  {
    const JsonHandle answer = parseJsonText(answerText);
    const JsonHandle& result = answer.getRef("result");
    if (result.isNull()) return fail<VelmoraDeviceInfo*>(VelmoraErrorBadArgument, nullptr);
    block = deviceInfoBlock(result);
  }  // the parsed answer goes before its text is kept, so a large one is not held twice
  auto* info = static_cast<VelmoraDeviceInfo*>(
      s.deviceRecords.keep(std::move(answerText), std::move(block.bytes), block.size));
  setLastError(VelmoraErrorNone);
  return info;
}

}  // namespace sdk
