#include "transport/binary_io.h"

#include <cstring>

namespace sdk {

// The streams check that they are open for the direction asked (and say
// kStreamNotReady otherwise) themselves: the adapters only forward.
int BinaryReader::Read(std::vector<uint8_t>& message, int timeoutMs) {
  return stream_->Read(message, timeoutMs);
}

int BinaryWriter::Write(const std::vector<uint8_t>& message, int timeoutMs) {
  return stream_->Write(message, timeoutMs);
}

int BinaryReader::ReadText(std::string& text, int timeoutMs) {
  return stream_->ReadText(text, timeoutMs);
}

int BinaryWriter::WriteText(TerminatedText text, int timeoutMs) {
  return stream_->WriteText(text, timeoutMs);
}

int IBinaryReader::ReadText(std::string& text, int timeoutMs) {
  std::vector<uint8_t> message;
  const int error = Read(message, timeoutMs);
  if (error == 0) text.assign(reinterpret_cast<const char*>(message.data()), message.size());
  return error;
}

int IBinaryReader::ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs) {
  const int error = ReadText(*storage, timeoutMs);
  if (error == 0) *text = *storage;
  return error;
}

int IBinaryWriter::WriteText(TerminatedText text, int timeoutMs) {
  return Write(TextToMessage(text.view()), timeoutMs);
}

std::vector<uint8_t> TextToMessage(std::string_view text) {
  // Zero-filled, so the last byte is the terminator; memcpy because a copy
  // between iterators of different character types goes byte by byte.
  std::vector<uint8_t> message(text.size() + 1);
  if (!text.empty()) std::memcpy(message.data(), text.data(), text.size());
  return message;
}

}  // namespace sdk
