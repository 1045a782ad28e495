// The portable part of the pipe streams: the state machine, framing and
// reassembly of frames from short reads. The OS calls are in win/ and posix/.
#include "transport/pipe_stream.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "core/hot.h"
#include "core/platform.h"

namespace sdk {
namespace {
// Size of the read-ahead buffer: small frames arrive in one read, larger
// bodies are read straight into their own vector.
constexpr size_t kReadChunk = 64 * 1024;

// A frame's header: its body's length, little-endian.
uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(uint8_t* p, uint32_t n) {
  p[0] = static_cast<uint8_t>(n);
  p[1] = static_cast<uint8_t>(n >> 8);
  p[2] = static_cast<uint8_t>(n >> 16);
  p[3] = static_cast<uint8_t>(n >> 24);
}

PipeStreamBase* AsPipeStream(IStream& stream) { return dynamic_cast<PipeStreamBase*>(&stream); }

std::atomic<void (*)()> g_peerTakenHook{nullptr};
}  // namespace

void SetPeerTakenHookForTesting(void (*hook)()) { g_peerTakenHook.store(hook); }

void PeerTakenHookForTesting() {
  if (void (*hook)() = g_peerTakenHook.load()) hook();
}

LUMSDK_HOT TerminatedText FrameText(char* text, size_t size) {
  StoreLe32(reinterpret_cast<uint8_t*>(text) - kFrameHeaderBytes, static_cast<uint32_t>(size + 1));
  text[size] = '\0';
  TerminatedText framed(text, size);
  framed.framed_ = true;
  return framed;
}

FramedText::FramedText(std::string_view text)
    : bytes_(new char[kFrameHeaderBytes + text.size() + 1]), text_("", 0) {
  char* const body = bytes_.get() + kFrameHeaderBytes;
  if (!text.empty()) std::memcpy(body, text.data(), text.size());
  text_ = FrameText(body, text.size());
}

Deadline::Deadline(int timeoutMs) : Deadline(timeoutMs, true) {}

Deadline::Deadline(int timeoutMs, bool started)
    : timeoutMs_(timeoutMs), started_(started || timeoutMs <= 0) {
  if (timeoutMs > 0 && started) Start();
}

LUMSDK_HOT void Deadline::Start() const {
  // One tick more, as the coarse clock may lag: a time-out is never cut short.
  endMs_ = platform::coarseMonotonicMs() + timeoutMs_ + platform::coarseClockTickMs();
}

LUMSDK_HOT Deadline Deadline::StartingAtFirstWait(int timeoutMs) {
  return Deadline(timeoutMs, false);
}

LUMSDK_HOT int Deadline::RemainingMs() const {
  if (timeoutMs_ <= 0) return -1;
  if (!started_) {
    started_ = true;
    Start();
    return timeoutMs_;
  }
  const int64_t left = endMs_ - platform::coarseMonotonicMs();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
}

bool PipeStreamBase::CanEnter(StreamState next) const {
  const auto now = static_cast<StreamState>(state_.load());
  switch (next) {
    case StreamState::Opened:
    case StreamState::Created:
      return now == StreamState::Unopened;
    case StreamState::Connected:
      return now == StreamState::Listening;
    case StreamState::Listening:
      return now == StreamState::Created;
    case StreamState::ReadyToRead:
    case StreamState::ReadyToWrite:
      return now == StreamState::Connected || now == StreamState::Opened;
    default:
      return false;
  }
}

void PipeStreamBase::NoteFailure(int error) {
  switch (error) {
    case kErrorBrokenPipe:
    case kErrorNoData:
    case kErrorPipeNotConnected:
    case kErrorOperationAborted:
    case kErrorIoPending:
      broken_.store(true);
      break;
    default:
      break;
  }
}

bool PipeStreamBase::OpenClient(const std::wstring& name, bool forReading, int timeoutMs) {
  if (!CanEnter(StreamState::Opened)) return false;
  if (PlatformOpenClient(name, forReading, timeoutMs) != 0) return false;
  Enter(StreamState::Opened);
  return true;
}

bool PipeStreamBase::CreateListening(const std::wstring& name, bool forReading, int timeoutMs) {
  if (!CanEnter(StreamState::Created)) return false;
  if (PlatformCreate(name, forReading, timeoutMs) != 0) return false;
  Enter(StreamState::Created);
  return true;
}

bool PipeStreamBase::WaitForClient(int timeoutMs) {
  if (!PlatformHasPipe() || !CanEnter(StreamState::Connected)) {
    return InState(StreamState::Connected);
  }
  const int error = PlatformAwaitClient(timeoutMs);
  if (error == 0) {
    Enter(StreamState::Connected);
  } else if (error != kErrorIoPending || PlatformCancelRequested()) {
    // No peer yet within the time-out says nothing about the pipe, which can
    // still be waited on again; a cancel or a real error ends it.
    NoteError(error);
  }
  return InState(StreamState::Connected);
}

bool PipeStreamBase::BecomeReady(StreamState ready, int timeoutMs) {
  if (WaitForClient(timeoutMs) && CanEnter(ready)) Enter(ready);
  // Ready means a connected pipe: a listening pipe without its peer is not.
  return InState(ready) && PlatformHasPipe();
}

void PipeStreamBase::CloseStream(bool disconnect) {
  if (!PlatformHasPipe()) return;
  PlatformClose(disconnect);
  Enter(StreamState::Closed);
}

LUMSDK_HOT int PipeStreamBase::Fill(size_t need, const Deadline& deadline) {
  if (inBegin_ == inEnd_) {
    inBegin_ = inEnd_ = 0;  // the usual case: every byte read was used
  } else if (inBegin_ > 0) {
    std::memmove(inbuf_.data(), inbuf_.data() + inBegin_, inEnd_ - inBegin_);
    inEnd_ -= inBegin_;
    inBegin_ = 0;
  }
  if (inbuf_.size() < std::max(need, kReadChunk)) inbuf_.resize(std::max(need, kReadChunk));
  size_t got = 0;
  const int error =
      PlatformReadSome(inbuf_.data() + inEnd_, inbuf_.size() - inEnd_, deadline, &got);
  inEnd_ += got;
  return error;
}

int PipeStreamBase::ReadExact(uint8_t* data, size_t count, const Deadline& deadline) {
  // Whatever arrives stays buffered until the whole count is there, so a read
  // cut short leaves the stream in step.
  while (inEnd_ - inBegin_ < count) {
    const int error = Fill(count, deadline);
    if (error != 0) return error;
  }
  std::memcpy(data, inbuf_.data() + inBegin_, count);
  inBegin_ += count;
  return 0;
}

int PipeStreamBase::ReadFrame(std::vector<uint8_t>& frame, int timeoutMs) {
  const uint8_t* body = nullptr;
  size_t size = 0;
  const int error = NextFrame(&body, &size, timeoutMs);
  if (error != 0) return error;
  frame.assign(body, body + size);
  if (body == bodyBytes()) std::string().swap(body_);
  return 0;
}

int PipeStreamBase::ReadFrameText(std::string& text, int timeoutMs) {
  // A body assembled in its own buffer is handed over into text, not copied;
  // one read in place is copied out of the read-ahead buffer.
  std::string_view body;
  const int error = ReadFrameTextInPlace(&body, &text, timeoutMs);
  if (error == 0 && body.data() != text.data()) text.assign(body);
  return error;
}

LUMSDK_HOT int PipeStreamBase::ReadFrameTextInPlace(std::string_view* text, std::string* storage,
                                                    int timeoutMs) {
  const uint8_t* body = nullptr;
  size_t size = 0;
  const int error = NextFrame(&body, &size, timeoutMs);
  if (error != 0) return error;
  if (body == bodyBytes()) {
    storage->swap(body_);
    std::string().swap(body_);
    *text = *storage;
  } else {
    *text = std::string_view(reinterpret_cast<const char*>(body), size);
  }
  return 0;
}

int PipeStreamBase::SkipRest(const Deadline& deadline) {
  const size_t buffered = std::min(inEnd_ - inBegin_, skipLeft_);
  inBegin_ += buffered;
  skipLeft_ -= buffered;
  while (skipLeft_ > 0) {
    // Nothing is buffered here: read into the whole read-ahead buffer.
    if (inbuf_.size() < kReadChunk) inbuf_.resize(kReadChunk);
    size_t got = 0;
    const int error = PlatformReadSome(inbuf_.data(), inbuf_.size(), deadline, &got);
    const size_t dropped = std::min(got, skipLeft_);
    skipLeft_ -= dropped;
    inBegin_ = dropped;
    inEnd_ = got;
    // A read cut short that still brought the frame's last bytes has done
    // the skip; a failure that lasts shows again at the next read.
    if (error != 0 && skipLeft_ > 0) return error;
  }
  return kErrorInsufficientBuffer;
}

LUMSDK_HOT int PipeStreamBase::NextFrame(const uint8_t** frame, size_t* frameSize, int timeoutMs) {
  const Deadline deadline = Deadline::StartingAtFirstWait(timeoutMs);
  if (skipLeft_ > 0) return SkipRest(deadline);
  if (!bodyPending_) {
    while (inEnd_ - inBegin_ < 4) {
      const int error = Fill(4, deadline);
      if (error != 0) return error;
    }
    const uint32_t length = LoadLe32(inbuf_.data() + inBegin_);
    // readLimit_ never exceeds kMaxFrameBytes: a frame within it costs one
    // comparison.
    if (length > readLimit_) {
      if (length > kMaxFrameBytes) {
        broken_.store(true);
        return kErrorInvalidData;
      }
      inBegin_ += 4;
      skipLeft_ = length;
      return SkipRest(deadline);
    }
    inBegin_ += 4;
    const size_t buffered = inEnd_ - inBegin_;
    if (buffered >= length) {
      *frame = inbuf_.data() + inBegin_;
      *frameSize = length;
      inBegin_ += length;
      return 0;
    }
    body_.assign(length, '\0');
    std::memcpy(&body_[0], inbuf_.data() + inBegin_, buffered);
    bodyHave_ = buffered;
    inBegin_ = inEnd_ = 0;
    bodyPending_ = true;
  }
  while (bodyHave_ < body_.size()) {
    size_t got = 0;
    const int error =
        PlatformReadSome(bodyBytes() + bodyHave_, body_.size() - bodyHave_, deadline, &got);
    bodyHave_ += got;
    if (error != 0) return error;
  }
  // The caller takes the body from body_ (or copies it and lets it go).
  *frame = bodyBytes();
  *frameSize = body_.size();
  bodyPending_ = false;
  bodyHave_ = 0;
  return 0;
}

std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> wire(kFrameHeaderBytes + body.size());
  StoreLe32(wire.data(), static_cast<uint32_t>(body.size()));
  if (!body.empty()) std::memcpy(wire.data() + kFrameHeaderBytes, body.data(), body.size());
  return wire;
}

int PipeStreamBase::WriteFrame(const std::vector<uint8_t>& frame, int timeoutMs) {
  return WriteFrameBody(frame.data(), frame.size(), false, timeoutMs);
}

LUMSDK_HOT int PipeStreamBase::WriteFrameBody(const uint8_t* body, size_t size, bool headerBefore,
                                              int timeoutMs) {
  if (size > kMaxFrameBytes) return kErrorInvalidData;
  const Deadline deadline = Deadline::StartingAtFirstWait(timeoutMs);
  if (headerBefore) {
    const ByteSpan whole = {body - kFrameHeaderBytes, kFrameHeaderBytes + size};
    return PlatformWriteAll(&whole, 1, deadline);
  }
  uint8_t header[kFrameHeaderBytes];
  StoreLe32(header, static_cast<uint32_t>(size));
  const ByteSpan parts[2] = {{header, sizeof header}, {body, size}};
  return PlatformWriteAll(parts, 2, deadline);
}

int IStream::ReadText(std::string& text, int timeoutMs) {
  std::vector<uint8_t> frame;
  const int error = Read(frame, timeoutMs);
  if (error == 0) text.assign(reinterpret_cast<const char*>(frame.data()), frame.size());
  return error;
}

int IStream::ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs) {
  const int error = ReadText(*storage, timeoutMs);
  if (error == 0) *text = *storage;
  return error;
}

int IStream::WriteText(TerminatedText text, int timeoutMs) {
  std::vector<uint8_t> frame(text.data(), text.data() + text.size());
  frame.push_back(0);
  return Write(frame, timeoutMs);
}

// --- Input stream.

PipeInputStream::~PipeInputStream() {
  PipeInputStream::Cancel();
  PipeInputStream::Close();
}

void PipeInputStream::Close() { CloseStream(listening_); }

bool PipeInputStream::OpenForReading(int timeoutMs) {
  return OpenFor(StreamState::ReadyToRead, timeoutMs);
}

int PipeInputStream::Read(std::vector<uint8_t>& frame, int timeoutMs) {
  if (!OpenForReading(timeoutMs)) return kStreamNotReady;
  const int error = ReadFrame(frame, timeoutMs);
  NoteError(error);
  return error;
}

int PipeInputStream::ReadText(std::string& text, int timeoutMs) {
  if (!OpenForReading(timeoutMs)) return kStreamNotReady;
  const int error = ReadFrameText(text, timeoutMs);
  NoteError(error);
  return error;
}

LUMSDK_HOT int PipeInputStream::ReadTextInPlace(std::string_view* text, std::string* storage,
                                                int timeoutMs) {
  if (!OpenForReading(timeoutMs)) return kStreamNotReady;
  const int error = ReadFrameTextInPlace(text, storage, timeoutMs);
  NoteError(error);
  return error;
}

// --- Output stream.

PipeOutputStream::~PipeOutputStream() {
  PipeOutputStream::Cancel();
  PipeOutputStream::Close();
}

// Not disconnected even in listening mode: disconnecting an outbound pipe
// throws away frames the peer has not read yet, while closing lets the peer
// read them before it sees the pipe end.
void PipeOutputStream::Close() { CloseStream(false); }

bool PipeOutputStream::OpenForWriting(int timeoutMs) {
  return OpenFor(StreamState::ReadyToWrite, timeoutMs);
}

int PipeOutputStream::Write(const std::vector<uint8_t>& frame, int timeoutMs) {
  if (!OpenForWriting(timeoutMs)) return kStreamNotReady;
  const int error = WriteFrame(frame, timeoutMs);
  NoteError(error);
  return error;
}

LUMSDK_HOT int PipeOutputStream::WriteText(TerminatedText text, int timeoutMs) {
  if (!OpenForWriting(timeoutMs)) return kStreamNotReady;
  // The text's own terminating 0 byte ends the frame's body; a framed text
  // has the header before it, so the whole frame goes out as it lies.
  const int error = WriteFrameBody(reinterpret_cast<const uint8_t*>(text.data()), text.size() + 1,
                                   text.framed(), timeoutMs);
  NoteError(error);
  return error;
}

void PipeOutputStream::Flush() {
  if (PlatformHasPipe()) PlatformFlush();
}

// --- Factories.

std::shared_ptr<IStream> OpenPipeInputStream(const std::wstring& path, int timeoutMs) {
  std::shared_ptr<PipeInputStream> stream(new PipeInputStream(path));
  if (!stream->OpenClient(path, true, timeoutMs) || !stream->CanEnter(StreamState::ReadyToRead)) {
    return nullptr;
  }
  stream->Enter(StreamState::ReadyToRead);
  return stream;
}

std::shared_ptr<IStream> OpenPipeOutputStream(const std::wstring& path, int timeoutMs) {
  std::shared_ptr<PipeOutputStream> stream(new PipeOutputStream(path));
  if (!stream->OpenClient(path, false, timeoutMs) || !stream->CanEnter(StreamState::ReadyToWrite)) {
    return nullptr;
  }
  stream->Enter(StreamState::ReadyToWrite);
  return stream;
}

std::shared_ptr<IStream> CreatePipeInputStream(const std::wstring& path, int timeoutMs) {
  std::shared_ptr<PipeInputStream> stream(new PipeInputStream(path));
  if (!stream->CreateListening(path, true, timeoutMs)) return nullptr;
  stream->listening_ = true;
  if (!stream->CanEnter(StreamState::Listening)) return nullptr;
  stream->Enter(StreamState::Listening);
  return stream;
}

std::shared_ptr<IStream> CreatePipeOutputStream(const std::wstring& path, int timeoutMs) {
  std::shared_ptr<PipeOutputStream> stream(new PipeOutputStream(path));
  if (!stream->CreateListening(path, false, timeoutMs)) return nullptr;
  stream->listening_ = true;
  if (!stream->CanEnter(StreamState::Listening)) return nullptr;
  stream->Enter(StreamState::Listening);
  return stream;
}

// --- Raw access.

int WriteRawBytes(IStream& stream, const std::vector<uint8_t>& bytes, int timeoutMs) {
  PipeStreamBase* pipe = AsPipeStream(stream);
  if (pipe == nullptr || !stream.OpenForWriting(timeoutMs)) return kStreamNotReady;
  const ByteSpan part = {bytes.data(), bytes.size()};
  const int error = pipe->PlatformWriteAll(&part, 1, Deadline(timeoutMs));
  pipe->NoteError(error);
  return error;
}

int ReadRawBytes(IStream& stream, size_t count, std::vector<uint8_t>& bytes, int timeoutMs) {
  PipeStreamBase* pipe = AsPipeStream(stream);
  if (pipe == nullptr || pipe->bodyPending_ || pipe->skipLeft_ > 0 ||
      !stream.OpenForReading(timeoutMs)) {
    return kStreamNotReady;
  }
  std::vector<uint8_t> raw(count);
  const int error = pipe->ReadExact(raw.data(), count, Deadline(timeoutMs));
  pipe->NoteError(error);
  if (error == 0) bytes.swap(raw);
  return error;
}

}  // namespace sdk
