// Pipe streams over Win32 named pipes with overlapped I/O. Each stream has one
// OVERLAPPED record (reads, writes and the connect wait use it in turn; a
// stream has one user at a time) and a manual-reset cancel event that Cancel
// sets and nothing resets. Every wait that ends without completion cancels the
// operation and waits for its completion before returning, so the kernel
// never writes into a buffer after the call that lent it has returned.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/hot.h"
#include "transport/pipe_stream.h"

namespace sdk {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "error code");
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED, "error code");
static_assert(kErrorInvalidData == ERROR_INVALID_DATA, "error code");
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE, "error code");
static_assert(kErrorBrokenPipe == ERROR_BROKEN_PIPE, "error code");
static_assert(kErrorSemTimeout == ERROR_SEM_TIMEOUT, "error code");
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER, "error code");
static_assert(kErrorPipeBusy == ERROR_PIPE_BUSY, "error code");
static_assert(kErrorNoData == ERROR_NO_DATA, "error code");
static_assert(kErrorPipeNotConnected == ERROR_PIPE_NOT_CONNECTED, "error code");
static_assert(kErrorPipeConnected == ERROR_PIPE_CONNECTED, "error code");
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED, "error code");
static_assert(kErrorIoPending == ERROR_IO_PENDING, "error code");

namespace {
constexpr DWORD kPipeBufferBytes = 4096;
// One ReadFile or WriteFile moves at most this much; longer runs loop.
constexpr DWORD kMaxTransfer = 1u << 30;
// A write buffer up to this size is kept for the next frame.
constexpr size_t kScratchKeep = 64 * 1024;

DWORD ToWaitMs(int ms) { return ms < 0 ? INFINITE : static_cast<DWORD>(ms); }
}  // namespace

std::string PipeSocketDirectory(const std::wstring&) { return {}; }

struct PipeStreamBase::Io {
  std::vector<uint8_t> scratch;  // a frame being written; its one writer's
  HANDLE cancelEvent = nullptr;
  OVERLAPPED overlapped{};
  HANDLE pipe = INVALID_HANDLE_VALUE;

  // Clears the record for the next operation. ReadFile and WriteFile reset
  // the event themselves; ConnectNamedPipe may not, so it asks for a reset
  // (each one is a round trip to the wine server under Wine).
  void Rearm(bool resetEvent) {
    HANDLE event = overlapped.hEvent;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    if (resetEvent) ResetEvent(event);
  }

  // Waits for the overlapped operation or the cancel event, at most waitMs
  // (-1 without limit). True when the operation completed successfully;
  // else error holds the reason: ERROR_IO_PENDING after a time-out or a
  // cancel, as the wait started from that error.
  bool WaitForIo(int waitMs, int& error, DWORD* transferred) {
    HANDLE handles[2] = {overlapped.hEvent, cancelEvent};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, ToWaitMs(waitMs));
    if (r == WAIT_OBJECT_0) {
      if (GetOverlappedResult(pipe, &overlapped, transferred, FALSE)) return true;
      error = static_cast<int>(GetLastError());
      return false;
    }
    error = (r == WAIT_OBJECT_0 + 1 || r == WAIT_TIMEOUT) ? ERROR_IO_PENDING
                                                          : static_cast<int>(GetLastError());
    return false;
  }

  // Finishes an operation that started with result started. Nothing is left
  // pending on return; *transferred counts what moved, also on failure.
  int Complete(BOOL started, int waitMs, DWORD* transferred) {
    *transferred = 0;
    if (started) {
      return GetOverlappedResult(pipe, &overlapped, transferred, FALSE)
                 ? 0
                 : static_cast<int>(GetLastError());
    }
    const DWORD startError = GetLastError();
    if (startError != ERROR_IO_PENDING) return static_cast<int>(startError);
    int error = 0;
    if (WaitForIo(waitMs, error, transferred)) return 0;
    // Still pending: cancel it and wait for the kernel to let go of the
    // buffer. Data that arrived just before the cancel is counted.
    if (!HasOverlappedIoCompleted(&overlapped)) CancelIoEx(pipe, &overlapped);
    DWORD late = 0;
    if (GetOverlappedResult(pipe, &overlapped, &late, TRUE)) *transferred = late;
    return error;
  }
};

PipeStreamBase::PipeStreamBase() : io_(new Io) {
  io_->cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  io_->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

PipeStreamBase::~PipeStreamBase() {
  PipeStreamBase::Cancel();
  PlatformClose(false);
  if (io_->cancelEvent != nullptr) CloseHandle(io_->cancelEvent);
  if (io_->overlapped.hEvent != nullptr) CloseHandle(io_->overlapped.hEvent);
  io_->cancelEvent = io_->overlapped.hEvent = INVALID_HANDLE_VALUE;
}

void PipeStreamBase::Cancel() {
  if (io_->cancelEvent != nullptr) SetEvent(io_->cancelEvent);
  // CancelIo would only reach I/O of the calling thread; the waiting thread
  // cancels its own operation and waits for it once the event wakes it.
  if (io_->pipe != INVALID_HANDLE_VALUE) CancelIoEx(io_->pipe, nullptr);
}

bool PipeStreamBase::PlatformCancelRequested() const {
  return io_->cancelEvent != nullptr && WaitForSingleObject(io_->cancelEvent, 0) == WAIT_OBJECT_0;
}

bool PipeStreamBase::PlatformHasPipe() const { return io_->pipe != INVALID_HANDLE_VALUE; }

int PipeStreamBase::PlatformOpenClient(const std::wstring& name, bool forReading, int timeoutMs) {
  const DWORD access = forReading ? (GENERIC_READ | FILE_WRITE_ATTRIBUTES) : GENERIC_WRITE;
  const Deadline deadline(timeoutMs);
  for (;;) {
    // Identification only: whoever serves the pipe learns who we are but
    // cannot act as us.
    HANDLE pipe = CreateFileW(
        name.c_str(), access, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      io_->pipe = pipe;
      return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY) return static_cast<int>(error);
    const int left = deadline.RemainingMs();
    if (left == 0) return ERROR_SEM_TIMEOUT;
    if (!WaitNamedPipeW(name.c_str(), left < 0 ? NMPWAIT_WAIT_FOREVER : static_cast<DWORD>(left))) {
      return static_cast<int>(GetLastError());
    }
  }
}

int PipeStreamBase::PlatformCreate(const std::wstring& name, bool forReading, int timeoutMs) {
  const DWORD openMode =
      (forReading ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED;
  // Unlimited instances, so that a host can offer a fresh instance for the
  // next client while earlier ones are connected.
  HANDLE pipe =
      CreateNamedPipeW(name.c_str(), openMode,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes,
                       timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  io_->pipe = pipe;
  return 0;
}

int PipeStreamBase::PlatformAwaitClient(int timeoutMs) {
  io_->Rearm(true);
  int result = 0;
  BOOL connected = ConnectNamedPipe(io_->pipe, &io_->overlapped);
  if (!connected && GetLastError() == ERROR_NO_DATA) {
    // A client that opened the instance and closed it again before it was
    // taken: answering it would answer nobody. The instance is freed for
    // the next one.
    DisconnectNamedPipe(io_->pipe);
    io_->Rearm(true);
    connected = ConnectNamedPipe(io_->pipe, &io_->overlapped);
  }
  if (!connected) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      SetLastError(ERROR_IO_PENDING);
      DWORD ignored = 0;
      result = io_->Complete(FALSE, timeoutMs > 0 ? timeoutMs : -1, &ignored);
      // A peer that connected just as the wait gave up is connected all the
      // same.
      if (result != 0 && io_->overlapped.Internal == 0) result = 0;
    } else if (error != ERROR_PIPE_CONNECTED) {
      result = static_cast<int>(error);
    }
  }
  if (result == 0) PeerTakenHookForTesting();
  return result;
}

LUMSDK_HOT int PipeStreamBase::PlatformReadSome(uint8_t* data, size_t size,
                                                const Deadline& deadline, size_t* got) {
  *got = 0;
  if (io_->pipe == INVALID_HANDLE_VALUE) return ERROR_PIPE_NOT_CONNECTED;
  for (;;) {
    io_->Rearm(false);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer));
    const BOOL started = ReadFile(io_->pipe, data, want, nullptr, &io_->overlapped);
    DWORD n = 0;
    const int error = io_->Complete(started, deadline.RemainingMs(), &n);
    *got = n;
    if (error != 0 || n > 0) return error;
    // A zero-byte completion (a peer's empty write) carries nothing: read
    // again, unless the time is up or the stream was cancelled meanwhile.
    if (deadline.RemainingMs() == 0 || PlatformCancelRequested()) return ERROR_IO_PENDING;
  }
}

LUMSDK_HOT int PipeStreamBase::PlatformWriteAll(const ByteSpan* parts, size_t count,
                                                const Deadline& deadline) {
  if (io_->pipe == INVALID_HANDLE_VALUE) return ERROR_PIPE_NOT_CONNECTED;
  // Pipes have no gather write: join the parts, as one WriteFile costs less
  // than a copy (a wine server round trip under Wine).
  const uint8_t* data = count > 0 ? parts[0].data : nullptr;
  size_t size = count > 0 ? parts[0].size : 0;
  if (count > 1) {
    size = 0;
    for (size_t i = 0; i < count; ++i) size += parts[i].size;
    io_->scratch.resize(size);
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
      if (parts[i].size > 0) std::memcpy(io_->scratch.data() + at, parts[i].data, parts[i].size);
      at += parts[i].size;
    }
    data = io_->scratch.data();
  }
  // Overlapped like the reads (a handle opened for overlapped I/O needs an
  // OVERLAPPED record on every call), so the time-out bounds a write that a
  // peer does not drain.
  while (size > 0) {
    io_->Rearm(false);
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer));
    const BOOL started = WriteFile(io_->pipe, data, chunk, nullptr, &io_->overlapped);
    DWORD n = 0;
    const int error = io_->Complete(started, deadline.RemainingMs(), &n);
    if (error != 0) return error;
    if (n == 0) return ERROR_NO_DATA;
    data += n;
    size -= n;
  }
  if (io_->scratch.capacity() > kScratchKeep) std::vector<uint8_t>().swap(io_->scratch);
  return 0;
}

void PipeStreamBase::PlatformClose(bool disconnect) {
  if (io_->pipe == INVALID_HANDLE_VALUE) return;
  if (disconnect) DisconnectNamedPipe(io_->pipe);
  CloseHandle(io_->pipe);
  io_->pipe = INVALID_HANDLE_VALUE;
}

void PipeStreamBase::PlatformFlush() { FlushFileBuffers(io_->pipe); }

}  // namespace sdk
