#include "memory_pipe_io.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "transport/pipe_stream.h"

namespace sdk {
namespace fuzzing {
namespace {
MemoryPeer g_next{};
}  // namespace

void SetNextMemoryPeer(const MemoryPeer& peer) { g_next = peer; }

}  // namespace fuzzing

struct PipeStreamBase::Io {
  fuzzing::MemoryPeer peer{};
  size_t at = 0;
  size_t step = 0;
  bool open = false;
  std::atomic<bool> cancelled{false};
};

PipeStreamBase::PipeStreamBase() : io_(new Io) {}

PipeStreamBase::~PipeStreamBase() = default;

void PipeStreamBase::Cancel() { io_->cancelled.store(true); }

bool PipeStreamBase::PlatformCancelRequested() const { return io_->cancelled.load(); }

bool PipeStreamBase::PlatformHasPipe() const { return io_->open; }

int PipeStreamBase::PlatformOpenClient(const std::wstring&, bool, int) {
  io_->peer = fuzzing::g_next;
  io_->open = true;
  return 0;
}

int PipeStreamBase::PlatformCreate(const std::wstring&, bool, int) { return kErrorAccessDenied; }

int PipeStreamBase::PlatformAwaitClient(int) { return kErrorPipeNotConnected; }

int PipeStreamBase::PlatformReadSome(uint8_t* data, size_t size, const Deadline&, size_t* got) {
  *got = 0;
  Io& io = *io_;
  if (io.cancelled.load()) return kErrorOperationAborted;
  const size_t left = io.peer.size - io.at;
  size_t give = size;
  bool timedOut = false;
  if (io.step < io.peer.planSize) {
    const uint8_t step = io.peer.plan[io.step++];
    timedOut = (step & 0x80) != 0;
    give = timedOut ? (step & 0x3F) : 1 + static_cast<size_t>(step & 0x7F) * 97;
  }
  give = std::min({give, size, left});
  if (give > 0) std::memcpy(data, io.peer.bytes + io.at, give);
  io.at += give;
  *got = give;
  if (timedOut) return kErrorSemTimeout;
  if (give == 0) return kErrorBrokenPipe;  // the peer has closed
  return 0;
}

int PipeStreamBase::PlatformWriteAll(const ByteSpan*, size_t, const Deadline&) {
  return kErrorAccessDenied;
}

void PipeStreamBase::PlatformClose(bool) { io_->open = false; }

void PipeStreamBase::PlatformFlush() {}

std::string PipeSocketDirectory(const std::wstring&) { return {}; }

}  // namespace sdk
