// Frame round trips with bare operating-system calls and no library code,
// the yardstick for the library's own round trip. One peer per pipe name
// serves one client: it reads a frame (4-byte length, body) from
// name + "_in" and writes a frame on name + "_out" (the echo peer the same
// frame, the canned peer a fixed answer); name + "_callback" is created and
// left idle, so that the library can connect to the same kind of peer.
#ifndef LUMSDK_BENCH_BARE_PIPE_H_
#define LUMSDK_BENCH_BARE_PIPE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

// body as one frame on the wire: its length, little-endian, then the bytes.
inline void PutWireFrame(const std::vector<uint8_t>& body, std::vector<uint8_t>& wire) {
  const auto n = static_cast<uint32_t>(body.size());
  wire.resize(body.size() + 4);
  wire[0] = static_cast<uint8_t>(n);
  wire[1] = static_cast<uint8_t>(n >> 8);
  wire[2] = static_cast<uint8_t>(n >> 16);
  wire[3] = static_cast<uint8_t>(n >> 24);
  if (n > 0) std::memcpy(wire.data() + 4, body.data(), body.size());
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Size of the read-ahead buffer of the frame reads: every answer and
// request of the benchmarks arrives in one read when the pipe allows it.
constexpr size_t kReadAheadBytes = 64 * 1024;

class BareEchoPeer {
 public:
  // Creates the three pipes and starts the echo thread.
  explicit BareEchoPeer(const std::wstring& name);
  ~BareEchoPeer();  // ends once the client has closed its pipes
  struct State;

 private:
  std::unique_ptr<State> state_;
};

// What a canned peer answers and what it has seen. Shared between the peer's
// thread and the benchmark; mutex guards nextAnswerWire, captured and
// arrivals, and is never held while the peer reads or writes a pipe.
struct CannedScript {
  // The answer frame in use, length included: read and replaced only by the
  // peer's thread, which takes a new one from nextAnswerWire when
  // answerVersion has moved past answerSeen (one atomic load per request).
  std::vector<uint8_t> answerWire;
  uint64_t answerSeen = 0;
  std::atomic<uint64_t> answerVersion{0};
  std::vector<uint8_t> nextAnswerWire;
  std::atomic<int> delayMs{0};
  std::atomic<uint64_t> requests{0};
  std::atomic<bool> capture{false};
  std::atomic<bool> stamp{false};
  std::mutex mutex;
  std::vector<uint8_t> captured;
  std::vector<std::chrono::steady_clock::time_point> arrivals;

  // Called by the benchmark: the answer to the requests read from now on.
  void SetAnswer(const std::vector<uint8_t>& body) {
    std::lock_guard<std::mutex> lock(mutex);
    PutWireFrame(body, nextAnswerWire);
    answerVersion.fetch_add(1, std::memory_order_release);
  }

  // Called by the peer's thread before each answer: the frame to send.
  const std::vector<uint8_t>& CurrentAnswer() {
    if (answerVersion.load(std::memory_order_acquire) != answerSeen) {
      std::lock_guard<std::mutex> lock(mutex);
      answerWire = nextAnswerWire;
      answerSeen = answerVersion.load(std::memory_order_relaxed);
    }
    return answerWire;
  }

  // Called by the peer's thread for each request frame read.
  void Note(const uint8_t* body, size_t size) {
    requests.fetch_add(1);
    if (!capture.load() && !stamp.load()) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (capture.load()) captured.assign(body, body + size);
    if (stamp.load()) arrivals.push_back(now);
  }
};

// A peer that serves one client's three pipes directly (no name exchange)
// and answers every request frame with the same answer frame, after an
// optional delay. The same peer serves the library and the bare client, so
// that only the client side differs between the two.
class BareCannedPeer {
 public:
  // Creates the three pipes and starts the answering thread; answer is the
  // frame body (text and its 0 byte) sent for every request.
  BareCannedPeer(const std::wstring& name, const std::vector<uint8_t>& answer);
  ~BareCannedPeer();  // ends once the client has closed its pipes

  // Answers every later request with answer (frame body: text and 0 byte).
  // Set it between exchanges: a request already read may still get the
  // earlier answer.
  void SetAnswer(const std::vector<uint8_t>& answer) { script_->SetAnswer(answer); }
  // Holds each later answer back for ms milliseconds (0: answer at once).
  void SetDelayMs(int ms) { script_->delayMs.store(ms); }
  // Requests read so far.
  uint64_t requests() const { return script_->requests.load(); }
  // While on, the body of each request is kept (costs a copy per request).
  void SetCapture(bool on) { script_->capture.store(on); }
  std::vector<uint8_t> LastRequest() const {
    std::lock_guard<std::mutex> lock(script_->mutex);
    return script_->captured;
  }
  // While on, the arrival time of each request is kept; TakeArrivals hands
  // them over and starts a new list.
  void SetStamping(bool on) { script_->stamp.store(on); }
  std::vector<std::chrono::steady_clock::time_point> TakeArrivals() {
    std::lock_guard<std::mutex> lock(script_->mutex);
    std::vector<std::chrono::steady_clock::time_point> taken;
    taken.swap(script_->arrivals);
    return taken;
  }
  struct State;

 private:
  std::shared_ptr<CannedScript> script_;
  std::unique_ptr<State> state_;
};

class BareClient {
 public:
  // overlapped: Windows only, use overlapped I/O with an event wait per
  // operation, as a client with time-outs must.
  BareClient(const std::wstring& name, bool overlapped);
  ~BareClient();
  bool ok() const;
  // Sends body as one frame and reads the echo into reply.
  bool RoundTrip(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply);
  // Sends body as one frame and reads one answer frame of any length into
  // reply, taking whatever has arrived in one read where it can.
  bool Exchange(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply);
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace bench

#endif  // LUMSDK_BENCH_BARE_PIPE_H_
