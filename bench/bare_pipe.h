// Frame round trips with bare operating-system calls and no library code,
// the yardstick for the library's own round trip. One echo peer per pipe
// name serves one client: it reads a frame (4-byte length, body) from
// name + "_in" and writes it back on name + "_out"; name + "_callback" is
// created and left idle, so that the library can connect to the same peer.
#ifndef LUMSDK_BENCH_BARE_PIPE_H_
#define LUMSDK_BENCH_BARE_PIPE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class BareEchoPeer {
 public:
  // Creates the three pipes and starts the echo thread.
  explicit BareEchoPeer(const std::wstring& name);
  ~BareEchoPeer();  // ends once the client has closed its pipes
  struct State;

 private:
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
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace bench

#endif  // LUMSDK_BENCH_BARE_PIPE_H_
