#include "transport/binary_io.h"

namespace sdk {

int BinaryReader::Read(std::vector<uint8_t>& message, int timeoutMs) {
  if (!stream_->OpenForReading(timeoutMs)) return kStreamNotReady;
  return stream_->Read(message, timeoutMs);
}

int BinaryWriter::Write(const std::vector<uint8_t>& message, int timeoutMs) {
  if (!stream_->OpenForWriting(timeoutMs)) return kStreamNotReady;
  return stream_->Write(message, timeoutMs);
}

std::vector<uint8_t> TextToMessage(const std::string& text) {
  std::vector<uint8_t> message;
  message.reserve(text.size() + 1);
  message.assign(text.begin(), text.end());
  message.push_back(0);
  return message;
}

}  // namespace sdk
