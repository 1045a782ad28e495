// The platform part of the pipe streams over bytes in memory, for the frame
// reader's fuzz target: the framing code above it is the library's own,
// unchanged, and the peer's behaviour (how the bytes arrive, when a read
// runs out of time, when the peer closes) comes from the fuzz input.
#ifndef LUMSDK_FUZZ_MEMORY_PIPE_IO_H_
#define LUMSDK_FUZZ_MEMORY_PIPE_IO_H_

#include <cstddef>
#include <cstdint>

namespace sdk {
namespace fuzzing {

// What the peer of the next stream opened does. Each read takes the next
// step of the plan (once the plan is used up, reads get all they ask for):
// a step with the high bit set runs out of time (a time-out that leaves the
// stream usable) after delivering step & 0x3F bytes; any other step
// delivers up to 1 + (step & 0x7F) * 97 bytes. After the last byte the
// peer has closed.
struct MemoryPeer {
  const uint8_t* bytes;
  size_t size;
  const uint8_t* plan;
  size_t planSize;
};

// Used by the next OpenPipeInputStream; the bytes must outlive the stream.
void SetNextMemoryPeer(const MemoryPeer& peer);

}  // namespace fuzzing
}  // namespace sdk

#endif  // LUMSDK_FUZZ_MEMORY_PIPE_IO_H_
