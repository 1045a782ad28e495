#include "transport/binary_io.h"

#include <cstring>

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
  // Zero-filled, so the last byte is the terminator; memcpy because a copy
  // between iterators of different character types goes byte by byte.
  std::vector<uint8_t> message(text.size() + 1);
  if (!text.empty()) std::memcpy(message.data(), text.data(), text.size());
  return message;
}

}  // namespace sdk
