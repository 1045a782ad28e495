// Fuzz target for the frame reader: the library's framing code reads a byte
// stream from a peer that the input scripts (fuzz/memory_pipe_io.h). Input:
//   byte 0      the read limit, in steps of 257 bytes (0 to 65,535)
//   byte 1      bits 0-4: the length of the plan; bits 5-7: which reads go
//               through the text path (bit i of the read's number mod 3)
//   plan        how the bytes arrive, one step per read
//   the rest    the bytes the peer sends before it closes
// Besides memory and undefined behaviour errors it checks every outcome
// against a plain reading of the same bytes: each frame within the limit
// arrives whole and in order, each one over it is skipped with
// kErrorInsufficientBuffer and the stream stays usable, a length over
// kMaxFrameBytes breaks the stream, the end of the bytes breaks it, and a
// read cut short by a time-out changes nothing of that.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "memory_pipe_io.h"
#include "transport/pipe_stream.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "frame_fuzz: %s\n", what);
    std::abort();
  }
}

struct Expected {
  int result;  // 0, kErrorInsufficientBuffer, or a breaking error
  const uint8_t* body;
  size_t size;
};

// The outcomes of reading bytes frame by frame, up to the first that
// breaks the stream.
std::vector<Expected> ReadPlainly(const uint8_t* bytes, size_t size, uint32_t limit) {
  std::vector<Expected> out;
  size_t at = 0;
  for (;;) {
    if (size - at < 4) {
      out.push_back({sdk::kErrorBrokenPipe, nullptr, 0});
      return out;
    }
    const uint32_t length =
        static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
        static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    at += 4;
    if (length > sdk::kMaxFrameBytes) {
      out.push_back({sdk::kErrorInvalidData, nullptr, 0});
      return out;
    }
    if (size - at < length) {
      out.push_back({sdk::kErrorBrokenPipe, nullptr, 0});
      return out;
    }
    out.push_back({length > limit ? sdk::kErrorInsufficientBuffer : 0, bytes + at, length});
    at += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t limit = data[0] * 257u;
  const size_t planSize = std::min<size_t>(data[1] & 0x1F, size - 2);
  const unsigned textReads = data[1] >> 5;
  const uint8_t* plan = data + 2;
  const uint8_t* bytes = plan + planSize;
  const size_t byteCount = size - 2 - planSize;

  sdk::fuzzing::SetNextMemoryPeer({bytes, byteCount, plan, planSize});
  std::shared_ptr<sdk::IStream> stream = sdk::OpenPipeInputStream(L"\\\\.\\pipe\\fuzz", 1000);
  check(stream != nullptr, "the stream did not open");
  stream->SetReadLimit(limit);

  const std::vector<Expected> expected = ReadPlainly(bytes, byteCount, limit);
  size_t next = 0;
  // Every read either times out (at most once per plan step) or has an
  // outcome; this bounds the loop whatever the reader does.
  for (size_t reads = 0; reads <= planSize + expected.size(); ++reads) {
    std::vector<uint8_t> frame = {0xEE};
    std::string text = "\xEE";
    const bool asText = (textReads >> (reads % 3)) & 1;
    const int result = asText ? stream->ReadText(text, 1000) : stream->Read(frame, 1000);
    if (result == sdk::kErrorSemTimeout) {
      check(!stream->IsBroken(), "a time-out broke the stream");
      check(asText ? text == "\xEE" : frame == std::vector<uint8_t>{0xEE},
            "a read that timed out changed its output");
      continue;
    }
    check(next < expected.size(), "more outcomes than frames");
    const Expected& want = expected[next++];
    check(result == want.result, "an outcome differs from the plain reading");
    if (result == 0) {
      const uint8_t* got = asText ? reinterpret_cast<const uint8_t*>(text.data()) : frame.data();
      const size_t gotSize = asText ? text.size() : frame.size();
      check(gotSize == want.size && (gotSize == 0 || std::memcmp(got, want.body, gotSize) == 0),
            "a frame arrived changed");
      check(!stream->IsBroken(), "a good frame broke the stream");
    } else if (result == sdk::kErrorInsufficientBuffer) {
      check(asText ? text == "\xEE" : frame == std::vector<uint8_t>{0xEE},
            "a skipped frame changed the output");
      check(!stream->IsBroken(), "a skipped frame broke the stream");
    } else {
      check(stream->IsBroken(), "the end of the stream did not break it");
      check(next == expected.size(), "outcomes after the stream broke");
      return 0;
    }
  }
  check(false, "the reader did not reach the end of the bytes");
  return 0;
}
