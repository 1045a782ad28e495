// A text as a message: each message is one frame, and a text's frame body
// is its bytes and one 0 byte.
#ifndef LUMSDK_TRANSPORT_BINARY_IO_H_
#define LUMSDK_TRANSPORT_BINARY_IO_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "transport/pipe_stream.h"

namespace sdk {

// A text as a message body: its bytes, unchanged, then one 0 byte.
std::vector<uint8_t> TextToMessage(std::string_view text);

}  // namespace sdk

#endif  // LUMSDK_TRANSPORT_BINARY_IO_H_
