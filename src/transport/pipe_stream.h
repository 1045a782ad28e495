// Frame streams over named pipes: one direction per stream, every wait bounded
// by a time-out and breakable from another thread by Cancel.
//
// A frame on the wire is a 4-byte little-endian body length followed by the
// body. Streams come only from the four factories at the bottom, as a
// shared pointer to IStream that owns the whole stream.
//
// Platforms. On Windows a stream is a Win32 named pipe with overlapped I/O
// (src/transport/win/). Elsewhere (src/transport/posix/) a pipe path maps onto
// Unix domain stream sockets:
//   - The path "\\.\pipe\" + rest (prefix matched without regard to case) is
//     named by rest alone; ASCII letters are lowered (pipe names ignore case),
//     '\' becomes '+', the characters [a-z0-9._{}-] stay, anything else becomes
//     "%" followed by the character's code in hex and "_". A result longer than
//     64 characters becomes its first 40 characters, "~" and a 16-digit FNV-1a
//     hash of the whole encoded text, so paths stay within sun_path.
//   - The pipe is the directory /tmp/.lumsdk-<effective uid>/<encoded name>/
//     (the run-time directory is created 0700 and refused unless it belongs to
//     the user); each instance that a listening stream creates is a socket file
//     "<pid>.<n>" inside it, listening with room for one pending peer.
//   - A client connects to any instance. No directory, or no instance file: the
//     pipe does not exist and opening fails at once (2). Instance files present
//     but none accepting (taken, or its one pending slot used): the pipe is
//     busy, and opening retries until the time-out (121). Files of processes
//     that no longer exist are removed on the way.
//   - Result codes are the Windows ones (the constants below), so that the
//     code above the streams and its tests are the same everywhere.
//   - Cancel shuts the socket down to wake a blocked call, so unlike on
//     Windows the peer notices: its next write to a cancelled stream fails.
#ifndef LUMSDK_TRANSPORT_PIPE_STREAM_H_
#define LUMSDK_TRANSPORT_PIPE_STREAM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/hot.h"

namespace sdk {

// A text followed in memory by a 0 byte, as a std::string's text is. A text
// frame's body is the text and that byte, so it is written straight from the
// text, in one part. A framed text also has its frame's length in the
// kFrameHeaderBytes before it (see FrameText): its whole frame then lies in
// memory as it goes out, and is written with no copy.
constexpr size_t kFrameHeaderBytes = 4;
class TerminatedText {
 public:
  // Implicit: every std::string is one.
  TerminatedText(const std::string& text)  // NOLINT(google-explicit-constructor)
      : data_(text.c_str()), size_(text.size()) {}
  // data[size] must be 0.
  TerminatedText(const char* data, size_t size) : data_(data), size_(size) {}
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_, size_); }
  // True when the frame's header lies in the kFrameHeaderBytes before data().
  bool framed() const { return framed_; }

 private:
  friend TerminatedText FrameText(char* text, size_t size);
  const char* data_;
  size_t size_;
  bool framed_ = false;
};

// Makes the size bytes at text a framed text: writes the frame's length into
// the kFrameHeaderBytes before text, which must be the caller's, and the 0
// byte after it.
TerminatedText FrameText(char* text, size_t size);

// A framed copy of a text that is sent again and again: its frame is made
// once.
class FramedText {
 public:
  explicit FramedText(std::string_view text);
  TerminatedText text() const { return text_; }

 private:
  std::unique_ptr<char[]> bytes_;
  TerminatedText text_;
};

// Results of stream operations: 0 success, kStreamNotReady when the stream
// could not be made ready in the needed direction, else a Windows error code.
constexpr int kStreamNotReady = -1;
constexpr int kErrorFileNotFound = 2;
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorInvalidData = 13;
constexpr int kErrorGenFailure = 31;
constexpr int kErrorBrokenPipe = 109;
constexpr int kErrorSemTimeout = 121;
// A frame over the stream's read limit: read and thrown away, the stream is
// still in step and the next read gets the next frame.
constexpr int kErrorInsufficientBuffer = 122;
constexpr int kErrorPipeBusy = 231;
constexpr int kErrorNoData = 232;
constexpr int kErrorPipeNotConnected = 233;
constexpr int kErrorPipeConnected = 535;
constexpr int kErrorOperationAborted = 995;
constexpr int kErrorIoPending = 997;

// Largest frame a stream carries: no writer sends a longer one (writes refuse
// it before sending a byte), so a longer announced length means the stream is
// out of step or the peer is hostile; it is not allocated and the stream is
// marked broken. A frame over a lower limit set with SetReadLimit is instead
// read in bounded pieces and thrown away (kErrorInsufficientBuffer).
constexpr uint32_t kMaxFrameBytes = 16u << 20;

// The stream states.
enum class StreamState : int {
  Unopened = -1,
  Opened = 1,
  Created = 2,
  Closed = 3,
  Connected = 4,
  Listening = 5,
  ReadyToRead = 6,
  ReadyToWrite = 7,
};

// The interface everything above the streams uses.
class IStream {
 public:
  virtual ~IStream() = default;
  virtual void Close() = 0;
  virtual bool OpenForReading(int timeoutMs) = 0;
  // True when bytes of a next frame have already been read ahead: on a
  // stream where answers only follow requests, they mean it is out of step.
  // Costs no system call (asking the system would cost more than the rest
  // of a call's own work).
  virtual bool QueryInput() { return false; }
  // Lowers (or raises, up to kMaxFrameBytes) the largest frame body that Read
  // hands out; a longer one is skipped. Set before the stream is used.
  virtual void SetReadLimit(uint32_t) {}
  virtual bool OpenForWriting(int timeoutMs) = 0;
  // Replaces frame with the next frame's body; leaves it untouched on failure.
  virtual int Read(std::vector<uint8_t>& frame, int timeoutMs) = 0;
  virtual int Write(const std::vector<uint8_t>& frame, int timeoutMs) = 0;
  // The same for a text: its frame body is the text's bytes and its 0 byte
  // (written without copying the text); a text read is the whole body.
  virtual int ReadText(std::string& text, int timeoutMs);
  virtual int WriteText(TerminatedText text, int timeoutMs);
  // ReadText without the copy where it can: *text is the body where it lies
  // in the stream's read-ahead buffer, valid until the stream's next read,
  // or in *storage.
  virtual int ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs);
  // The one call allowed from another thread while an operation waits: ends
  // that wait and every later one. Final for the stream.
  virtual void Cancel() = 0;
  virtual bool IsBroken() = 0;
  virtual void Flush() {}
};

// A point in time by which a whole frame must have moved.
class Deadline {
 public:
  // 0 or less: no limit. The clock starts now.
  explicit Deadline(int timeoutMs);
  // The clock starts at the first RemainingMs(), which then costs no clock
  // read: a frame that moves in one system call reads the clock once less.
  // For the frame paths, where that first call comes right before the wait.
  static Deadline StartingAtFirstWait(int timeoutMs);
  // -1 without limit, else the milliseconds left, rounded up (0 once passed).
  int RemainingMs() const;

 private:
  Deadline(int timeoutMs, bool started);
  void Start() const;

  int timeoutMs_;
  mutable bool started_;
  mutable int64_t endMs_ = 0;
};

// Bytes to write as one run: the parts of a frame (length, body, and the
// 0 byte that ends a text), gathered by the system where it can.
struct ByteSpan {
  const uint8_t* data;
  size_t size;
};

// The pipe, its I/O machinery and the state machine shared by both
// directions. The operating-system part lives in Io, defined per platform.
class PipeStreamBase {
 public:
  PipeStreamBase(const PipeStreamBase&) = delete;
  PipeStreamBase& operator=(const PipeStreamBase&) = delete;
  virtual ~PipeStreamBase();

  virtual int ReadFrame(std::vector<uint8_t>& frame, int timeoutMs);
  virtual int WriteFrame(const std::vector<uint8_t>& frame, int timeoutMs);
  virtual void Cancel();

  // The next frame's body, at *body (valid until the next read on the
  // stream) with *size bytes.
  int NextFrame(const uint8_t** body, size_t* size, int timeoutMs);
  int ReadFrameText(std::string& text, int timeoutMs);
  int ReadFrameTextInPlace(std::string_view* text, std::string* storage, int timeoutMs);
  // Writes size bytes at body as one frame; with headerBefore, the frame's
  // header is already in the kFrameHeaderBytes before body (see FrameText).
  int WriteFrameBody(const uint8_t* body, size_t size, bool headerBefore, int timeoutMs);

 protected:
  PipeStreamBase();

  bool CanEnter(StreamState next) const;
  void Enter(StreamState next) { state_.store(static_cast<int>(next)); }
  bool InState(StreamState s) const { return state_.load() == static_cast<int>(s); }
  // Sets the sticky broken flag for the codes that mean the pipe is gone or
  // out of step. Inline for success, which every call has.
  void NoteError(int error) {
    if (error != 0) NoteFailure(error);
  }
  void NoteFailure(int error);
  bool Broken() const { return broken_.load(); }

  // Enters ready (ReadyToRead or ReadyToWrite) once a peer is there,
  // waiting up to timeoutMs for one on a listening pipe; true when ready.
  // Every read and write asks first: a ready stream has its pipe (closing it
  // leaves the ready state), so that answer is one load, inline.
  bool OpenFor(StreamState ready, int timeoutMs) {
    return InState(ready) || BecomeReady(ready, timeoutMs);
  }
  bool BecomeReady(StreamState ready, int timeoutMs);

  // Connecting mode: Unopened -> Opened.
  bool OpenClient(const std::wstring& name, bool forReading, int timeoutMs);
  // Listening mode: Unopened -> Created.
  bool CreateListening(const std::wstring& name, bool forReading, int timeoutMs);
  // Listening mode: Listening -> Connected once a peer has connected.
  bool WaitForClient(int timeoutMs);
  // Closes the pipe; disconnect first ends a listening pipe's connection.
  void CloseStream(bool disconnect);

  // Reads exactly count raw bytes (buffered ones first).
  int ReadExact(uint8_t* data, size_t count, const Deadline& deadline);
  // Bytes read ahead or of a frame under way.
  bool InputWaiting() const { return inEnd_ > inBegin_ || bodyPending_ || skipLeft_ > 0; }
  void SetFrameLimit(uint32_t maxBytes) {
    readLimit_ = maxBytes < kMaxFrameBytes ? maxBytes : kMaxFrameBytes;
  }

  // --- Platform part (win/win_pipe_stream.cc, posix/posix_pipe_stream.cc).
  struct Io;
  int PlatformOpenClient(const std::wstring& name, bool forReading, int timeoutMs);
  int PlatformCreate(const std::wstring& name, bool forReading, int timeoutMs);
  // 0 once a peer is connected; on failure nothing is left pending.
  int PlatformAwaitClient(int timeoutMs);
  // One read of at most size bytes. *got counts the bytes that arrived, also
  // on failure (a read cut short by a time-out or cancel may still have
  // delivered some); nothing is left pending on return.
  int PlatformReadSome(uint8_t* data, size_t size, const Deadline& deadline, size_t* got);
  // Writes the parts as one run of bytes (one system call when the pipe
  // takes them at once), so a frame's length never travels alone.
  int PlatformWriteAll(const ByteSpan* parts, size_t count, const Deadline& deadline);
  bool PlatformHasPipe() const;
  bool PlatformCancelRequested() const;
  void PlatformClose(bool disconnect);
  void PlatformFlush();

 private:
  friend int WriteRawBytes(IStream& stream, const std::vector<uint8_t>& bytes, int timeoutMs);
  friend int ReadRawBytes(IStream& stream, size_t count, std::vector<uint8_t>& bytes,
                          int timeoutMs);

  // Moves buffered bytes to the front, makes room for at least need bytes
  // and reads more behind them.
  int Fill(size_t need, const Deadline& deadline);
  // Reads and drops the rest of a frame over the read limit, a read-ahead
  // buffer at a time; bytes past its end stay buffered for the next frame.
  int SkipRest(const Deadline& deadline);
  uint8_t* bodyBytes() { return reinterpret_cast<uint8_t*>(&body_[0]); }

  std::atomic<int> state_{static_cast<int>(StreamState::Unopened)};
  std::atomic<bool> broken_{false};
  std::unique_ptr<Io> io_;

  // Bytes read but not yet handed out, and the body of a frame still being
  // assembled. A read cut short keeps what arrived here, so the stream stays
  // in step for the next read. Used only by the stream's one reader.
  std::vector<uint8_t> inbuf_;
  size_t inBegin_ = 0;
  size_t inEnd_ = 0;
  bool bodyPending_ = false;
  // A string, so that a large answer read as text is handed over, not
  // copied: it is never held twice.
  std::string body_;
  size_t bodyHave_ = 0;
  // Bytes still to drop of a frame over the read limit; a skip cut short
  // goes on at the next read.
  size_t skipLeft_ = 0;
  uint32_t readLimit_ = kMaxFrameBytes;
};

// IStream first, so that a call through it needs no adjusted "this".
class PipeInputStream final : public IStream, public PipeStreamBase {
 public:
  ~PipeInputStream() override;
  void Close() override;
  bool OpenForReading(int timeoutMs) override;
  bool OpenForWriting(int) override { return false; }
  int Read(std::vector<uint8_t>& frame, int timeoutMs) override;
  int Write(const std::vector<uint8_t>&, int) override { return kStreamNotReady; }
  int ReadText(std::string& text, int timeoutMs) override;
  int ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs) override;
  int WriteText(TerminatedText, int) override { return kStreamNotReady; }
  void Cancel() override { PipeStreamBase::Cancel(); }
  LUMSDK_HOT bool IsBroken() override { return Broken(); }
  LUMSDK_HOT bool QueryInput() override { return InputWaiting(); }
  void SetReadLimit(uint32_t maxBytes) override { SetFrameLimit(maxBytes); }

  const std::wstring& name() const { return name_; }

 private:
  friend std::shared_ptr<IStream> OpenPipeInputStream(const std::wstring&, int);
  friend std::shared_ptr<IStream> CreatePipeInputStream(const std::wstring&, int);
  explicit PipeInputStream(std::wstring name) : name_(std::move(name)) {}

  bool listening_ = false;
  const std::wstring name_;
};

class PipeOutputStream final : public IStream, public PipeStreamBase {
 public:
  ~PipeOutputStream() override;
  void Close() override;
  bool OpenForReading(int) override { return false; }
  bool OpenForWriting(int timeoutMs) override;
  int Read(std::vector<uint8_t>&, int) override { return kStreamNotReady; }
  int Write(const std::vector<uint8_t>& frame, int timeoutMs) override;
  int ReadText(std::string&, int) override { return kStreamNotReady; }
  int WriteText(TerminatedText text, int timeoutMs) override;
  void Cancel() override { PipeStreamBase::Cancel(); }
  LUMSDK_HOT bool IsBroken() override { return Broken(); }
  void Flush() override;

  const std::wstring& name() const { return name_; }

 private:
  friend std::shared_ptr<IStream> OpenPipeOutputStream(const std::wstring&, int);
  friend std::shared_ptr<IStream> CreatePipeOutputStream(const std::wstring&, int);
  explicit PipeOutputStream(std::wstring name) : name_(std::move(name)) {}

  bool listening_ = false;
  const std::wstring name_;
};

// Connecting mode: open an existing pipe as a client. A missing pipe fails at
// once; a busy one is retried until the time-out. Empty on failure.
std::shared_ptr<IStream> OpenPipeInputStream(const std::wstring& path, int timeoutMs);
std::shared_ptr<IStream> OpenPipeOutputStream(const std::wstring& path, int timeoutMs);

// Listening mode: create one instance of the pipe; the first OpenForReading
// (OpenForWriting) waits for its peer. Instances of one name are unlimited, so
// a host creates a fresh one for the next client once one has connected; each
// stream serves one peer and never goes back to listening. A host that pairs
// two pipes per client (as the well-known pair is) should create the next
// instances only after the current exchange is over, so that one client gets
// both ends of a pair. Empty on failure.
std::shared_ptr<IStream> CreatePipeInputStream(const std::wstring& path, int timeoutMs);
std::shared_ptr<IStream> CreatePipeOutputStream(const std::wstring& path, int timeoutMs);

// The wire form of one frame: the body's length, little-endian, then the body.
std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& body);

// Raw access below the framing, for tests and for a stand-in host that
// injects faults: bytes go out as they stand, or exactly count bytes are read
// (buffered bytes first). Results as for Read and Write; the broken flag is
// updated the same way. Other stream types give kStreamNotReady.
int WriteRawBytes(IStream& stream, const std::vector<uint8_t>& bytes, int timeoutMs);
int ReadRawBytes(IStream& stream, size_t count, std::vector<uint8_t>& bytes, int timeoutMs);

// Runs in a listening stream's wait once its peer is taken and before the
// listener is closed (on POSIX it already refuses new peers), so that a test
// can open the pipe at that moment.
// Null, the default, does nothing; set while no stream is listening.
void SetPeerTakenHookForTesting(void (*hook)());
void PeerTakenHookForTesting();

// POSIX only: the directory that stands for a pipe path (see above); empty
// where the name cannot be mapped.
std::string PipeSocketDirectory(const std::wstring& path);

}  // namespace sdk

#endif  // LUMSDK_TRANSPORT_PIPE_STREAM_H_
