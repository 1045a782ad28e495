#include "transport/binary_io.h"

#include <cstring>

namespace sdk {

std::vector<uint8_t> TextToMessage(std::string_view text) {
  // Zero-filled, so the last byte is the terminator; memcpy because a copy
  // between iterators of different character types goes byte by byte.
  std::vector<uint8_t> message(text.size() + 1);
  if (!text.empty()) std::memcpy(message.data(), text.data(), text.size());
  return message;
}

}  // namespace sdk
