// Bare round trips over Win32 named pipes. The peer uses synchronous calls;
// the client either synchronous calls or overlapped ones with one event wait
// per operation (what a client with time-outs needs at the least).
#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "bare_pipe.h"

namespace bench {
namespace {

bool SyncWriteAll(HANDLE h, const uint8_t* p, size_t n) {
  while (n > 0) {
    DWORD w = 0;
    if (!WriteFile(h, p, static_cast<DWORD>(n), &w, nullptr) || w == 0) return false;
    p += w;
    n -= w;
  }
  return true;
}

bool SyncReadAll(HANDLE h, uint8_t* p, size_t n) {
  while (n > 0) {
    DWORD r = 0;
    if (!ReadFile(h, p, static_cast<DWORD>(n), &r, nullptr) || r == 0) return false;
    p += r;
    n -= r;
  }
  return true;
}

// One overlapped transfer, waited for with the event.
bool Overlapped(HANDLE h, OVERLAPPED* ov, bool write, uint8_t* p, size_t n, DWORD* done) {
  HANDLE event = ov->hEvent;
  *ov = OVERLAPPED{};
  ov->hEvent = event;
  const BOOL started = write ? WriteFile(h, p, static_cast<DWORD>(n), nullptr, ov)
                             : ReadFile(h, p, static_cast<DWORD>(n), nullptr, ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (!started && WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return false;
  return GetOverlappedResult(h, ov, done, FALSE) && *done > 0;
}

HANDLE CreatePeerPipe(const std::wstring& path, DWORD access) {
  return CreateNamedPipeW(path.c_str(), access, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                          4096, 4096, 0, nullptr);
}

// One read of at most size bytes, synchronous or overlapped.
bool ReadSome(HANDLE h, OVERLAPPED* ov, uint8_t* p, size_t size, DWORD* got) {
  if (ov != nullptr) return Overlapped(h, ov, false, p, size, got);
  *got = 0;
  return ReadFile(h, p, static_cast<DWORD>(size), got, nullptr) && *got > 0;
}

// Reads one whole frame into buf (length first) in as few reads as the data
// allows; *size is the frame's size. A strict request/answer exchange never
// has a second frame behind the first, so bytes beyond it count as failure.
bool ReadFrame(HANDLE h, OVERLAPPED* ov, std::vector<uint8_t>& buf, size_t* size) {
  if (buf.size() < kReadAheadBytes) buf.resize(kReadAheadBytes);
  size_t have = 0;
  size_t need = 4;
  bool header = false;
  while (have < need) {
    DWORD got = 0;
    if (!ReadSome(h, ov, buf.data() + have, buf.size() - have, &got)) return false;
    have += got;
    if (!header && have >= 4) {
      header = true;
      need = 4 + static_cast<size_t>(LoadLe32(buf.data()));
      if (buf.size() < need) buf.resize(need);
    }
  }
  *size = need;
  return have == need;
}

}  // namespace

struct BareEchoPeer::State {
  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE, callback = INVALID_HANDLE_VALUE;
  std::thread thread;
};

BareEchoPeer::BareEchoPeer(const std::wstring& name) : state_(new State) {
  state_->in = CreatePeerPipe(name + L"_in", PIPE_ACCESS_INBOUND);
  state_->out = CreatePeerPipe(name + L"_out", PIPE_ACCESS_OUTBOUND);
  state_->callback = CreatePeerPipe(name + L"_callback", PIPE_ACCESS_OUTBOUND);
  State* s = state_.get();
  s->thread = std::thread([s] {
    for (HANDLE h : {s->out, s->in, s->callback}) ConnectNamedPipe(h, nullptr);
    std::vector<uint8_t> frame;
    for (;;) {
      uint8_t header[4];
      if (!SyncReadAll(s->in, header, 4)) break;
      const uint32_t n =
          header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
      frame.resize(n + 4);
      std::memcpy(frame.data(), header, 4);
      if (!SyncReadAll(s->in, frame.data() + 4, n) ||
          !SyncWriteAll(s->out, frame.data(), frame.size())) {
        break;
      }
    }
  });
}

BareEchoPeer::~BareEchoPeer() {
  state_->thread.join();
  for (HANDLE h : {state_->in, state_->out, state_->callback}) CloseHandle(h);
}

struct BareCannedPeer::State {
  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE, callback = INVALID_HANDLE_VALUE;
  std::thread thread;
};

BareCannedPeer::BareCannedPeer(const std::wstring& name, const std::vector<uint8_t>& answer)
    : script_(std::make_shared<CannedScript>()), state_(new State) {
  script_->SetAnswer(answer);
  state_->in = CreatePeerPipe(name + L"_in", PIPE_ACCESS_INBOUND);
  state_->out = CreatePeerPipe(name + L"_out", PIPE_ACCESS_OUTBOUND);
  state_->callback = CreatePeerPipe(name + L"_callback", PIPE_ACCESS_OUTBOUND);
  State* s = state_.get();
  std::shared_ptr<CannedScript> script = script_;
  // Answering thread: owned by the peer; waits in reads of "_in"; ends when
  // the client closes its pipes.
  s->thread = std::thread([s, script] {
    for (HANDLE h : {s->out, s->in, s->callback}) ConnectNamedPipe(h, nullptr);
    std::vector<uint8_t> buf;
    size_t size = 0;
    while (ReadFrame(s->in, nullptr, buf, &size)) {
      script->Note(buf.data() + 4, size - 4);
      const int delay = script->delayMs.load();
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      const std::vector<uint8_t>& reply = script->CurrentAnswer();
      if (!SyncWriteAll(s->out, reply.data(), reply.size())) break;
    }
  });
}

BareCannedPeer::~BareCannedPeer() {
  state_->thread.join();
  for (HANDLE h : {state_->in, state_->out, state_->callback}) CloseHandle(h);
}

struct BareClient::State {
  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE, callback = INVALID_HANDLE_VALUE;
  bool overlapped = false;
  OVERLAPPED ov{};
  std::vector<uint8_t> wire;
  std::vector<uint8_t> readAhead;
};

BareClient::BareClient(const std::wstring& name, bool overlapped) : state_(new State) {
  state_->overlapped = overlapped;
  state_->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD flags = overlapped ? FILE_FLAG_OVERLAPPED : 0;
  auto open = [flags](const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  };
  state_->out = open(name + L"_out", GENERIC_READ);
  state_->in = open(name + L"_in", GENERIC_WRITE);
  state_->callback = open(name + L"_callback", GENERIC_READ);
}

BareClient::~BareClient() {
  for (HANDLE h : {state_->in, state_->out, state_->callback}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  CloseHandle(state_->ov.hEvent);
}

bool BareClient::ok() const {
  return state_->in != INVALID_HANDLE_VALUE && state_->out != INVALID_HANDLE_VALUE;
}

bool BareClient::RoundTrip(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply) {
  const auto n = static_cast<uint32_t>(body.size());
  std::vector<uint8_t>& wire = state_->wire;
  wire.resize(n + 4);
  const uint8_t header[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  std::memcpy(wire.data(), header, 4);
  std::memcpy(wire.data() + 4, body.data(), n);
  if (!state_->overlapped) {
    if (!SyncWriteAll(state_->in, wire.data(), wire.size()) ||
        !SyncReadAll(state_->out, wire.data(), wire.size())) {
      return false;
    }
  } else {
    for (size_t sent = 0; sent < wire.size();) {
      DWORD done = 0;
      if (!Overlapped(state_->in, &state_->ov, true, wire.data() + sent, wire.size() - sent,
                      &done)) {
        return false;
      }
      sent += done;
    }
    for (size_t got = 0; got < wire.size();) {
      DWORD done = 0;
      if (!Overlapped(state_->out, &state_->ov, false, wire.data() + got, wire.size() - got,
                      &done)) {
        return false;
      }
      got += done;
    }
  }
  reply.assign(wire.begin() + 4, wire.end());
  return true;
}

bool BareClient::Exchange(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply) {
  std::vector<uint8_t>& wire = state_->wire;
  PutWireFrame(body, wire);
  OVERLAPPED* ov = state_->overlapped ? &state_->ov : nullptr;
  if (ov == nullptr) {
    if (!SyncWriteAll(state_->in, wire.data(), wire.size())) return false;
  } else {
    for (size_t sent = 0; sent < wire.size();) {
      DWORD done = 0;
      if (!Overlapped(state_->in, ov, true, wire.data() + sent, wire.size() - sent, &done)) {
        return false;
      }
      sent += done;
    }
  }
  size_t size = 0;
  if (!ReadFrame(state_->out, ov, state_->readAhead, &size)) return false;
  reply.assign(state_->readAhead.begin() + 4,
               state_->readAhead.begin() + static_cast<ptrdiff_t>(size));
  return true;
}

}  // namespace bench
