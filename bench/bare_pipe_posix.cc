// Bare round trips over Unix domain sockets, blocking calls only. The peer's
// sockets go where the library looks for a pipe's instances, so the library
// can connect to the same peer.
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "bare_pipe.h"
#include "transport/pipe_stream.h"

namespace bench {
namespace {

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Reads one whole frame into buf (length first) in as few reads as the data
// allows; *size is the frame's size. A strict request/answer exchange never
// has a second frame behind the first, so bytes beyond it count as failure.
bool ReadFrame(int fd, std::vector<uint8_t>& buf, size_t* size) {
  if (buf.size() < kReadAheadBytes) buf.resize(kReadAheadBytes);
  size_t have = 0;
  size_t need = 4;
  bool header = false;
  while (have < need) {
    const ssize_t r = recv(fd, buf.data() + have, buf.size() - have, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    have += static_cast<size_t>(r);
    if (!header && have >= 4) {
      header = true;
      need = 4 + static_cast<size_t>(LoadLe32(buf.data()));
      if (buf.size() < need) buf.resize(need);
    }
  }
  *size = need;
  return have == need;
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un a;
  std::memset(&a, 0, sizeof(a));
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  return a;
}

std::string SocketPath(const std::wstring& name) {
  const std::string dir = sdk::PipeSocketDirectory(name);  // set-up only
  mkdir(dir.c_str(), 0700);
  return dir + "/" + std::to_string(getpid()) + ".bench";
}

// A listening socket for one pipe of name, at the place the library looks.
int Listen(const std::wstring& name, const wchar_t* suffix, std::string* path) {
  *path = SocketPath(name + suffix);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a = Address(*path);
  unlink(path->c_str());
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(fd, 1);
  return fd;
}

}  // namespace

struct BareEchoPeer::State {
  int listenIn = -1, listenOut = -1, listenCallback = -1;
  std::string paths[3];
  std::thread thread;
};

BareEchoPeer::BareEchoPeer(const std::wstring& name) : state_(new State) {
  state_->listenIn = Listen(name, L"_in", &state_->paths[0]);
  state_->listenOut = Listen(name, L"_out", &state_->paths[1]);
  state_->listenCallback = Listen(name, L"_callback", &state_->paths[2]);
  State* s = state_.get();
  s->thread = std::thread([s] {
    // Accepted in the order clients connect: the library opens "_out",
    // "_in", "_callback"; the bare client "_out" then "_in" and "_callback".
    const int out = accept(s->listenOut, nullptr, nullptr);
    const int in = accept(s->listenIn, nullptr, nullptr);
    const int callback = accept(s->listenCallback, nullptr, nullptr);
    std::vector<uint8_t> frame;
    for (;;) {
      uint8_t header[4];
      if (!ReadAll(in, header, 4)) break;
      const uint32_t n =
          header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
      frame.resize(n + 4);
      std::memcpy(frame.data(), header, 4);
      if (!ReadAll(in, frame.data() + 4, n) || !WriteAll(out, frame.data(), frame.size())) break;
    }
    close(in);
    close(out);
    close(callback);
  });
}

BareEchoPeer::~BareEchoPeer() {
  state_->thread.join();
  for (int fd : {state_->listenIn, state_->listenOut, state_->listenCallback}) close(fd);
  for (const std::string& p : state_->paths) unlink(p.c_str());
}

struct BareCannedPeer::State {
  int listenIn = -1, listenOut = -1, listenCallback = -1;
  std::string paths[3];
  std::thread thread;
};

BareCannedPeer::BareCannedPeer(const std::wstring& name, const std::vector<uint8_t>& answer)
    : script_(std::make_shared<CannedScript>()), state_(new State) {
  script_->SetAnswer(answer);
  state_->listenIn = Listen(name, L"_in", &state_->paths[0]);
  state_->listenOut = Listen(name, L"_out", &state_->paths[1]);
  state_->listenCallback = Listen(name, L"_callback", &state_->paths[2]);
  State* s = state_.get();
  std::shared_ptr<CannedScript> script = script_;
  // Answering thread: owned by the peer; waits in reads of "_in"; ends when
  // the client closes its pipes.
  s->thread = std::thread([s, script] {
    const int out = accept(s->listenOut, nullptr, nullptr);
    const int in = accept(s->listenIn, nullptr, nullptr);
    const int callback = accept(s->listenCallback, nullptr, nullptr);
    std::vector<uint8_t> buf;
    size_t size = 0;
    while (ReadFrame(in, buf, &size)) {
      script->Note(buf.data() + 4, size - 4);
      const int delay = script->delayMs.load();
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      const std::vector<uint8_t>& reply = script->CurrentAnswer();
      if (!WriteAll(out, reply.data(), reply.size())) break;
    }
    close(in);
    close(out);
    close(callback);
  });
}

BareCannedPeer::~BareCannedPeer() {
  state_->thread.join();
  for (int fd : {state_->listenIn, state_->listenOut, state_->listenCallback}) close(fd);
  for (const std::string& p : state_->paths) unlink(p.c_str());
}

struct BareClient::State {
  int in = -1, out = -1, callback = -1;  // named from the peer's side
  std::vector<uint8_t> wire;
  std::vector<uint8_t> readAhead;
};

BareClient::BareClient(const std::wstring& name, bool) : state_(new State) {
  int* fds[3] = {&state_->out, &state_->in, &state_->callback};
  const wchar_t* suffixes[3] = {L"_out", L"_in", L"_callback"};
  for (int i = 0; i < 3; ++i) {
    *fds[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = Address(SocketPath(name + suffixes[i]));
    if (connect(*fds[i], reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
}

BareClient::~BareClient() {
  for (int fd : {state_->in, state_->out, state_->callback}) {
    if (fd >= 0) close(fd);
  }
}

bool BareClient::ok() const { return state_->in >= 0 && state_->out >= 0; }

bool BareClient::RoundTrip(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply) {
  const auto n = static_cast<uint32_t>(body.size());
  std::vector<uint8_t>& wire = state_->wire;
  wire.resize(n + 4);
  const uint8_t header[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  std::memcpy(wire.data(), header, 4);
  std::memcpy(wire.data() + 4, body.data(), n);
  if (!WriteAll(state_->in, wire.data(), wire.size())) return false;
  // The reply's length is known: read it whole.
  if (!ReadAll(state_->out, wire.data(), wire.size())) return false;
  reply.assign(wire.begin() + 4, wire.end());
  return true;
}

bool BareClient::Exchange(const std::vector<uint8_t>& body, std::vector<uint8_t>& reply) {
  PutWireFrame(body, state_->wire);
  if (!WriteAll(state_->in, state_->wire.data(), state_->wire.size())) return false;
  size_t size = 0;
  if (!ReadFrame(state_->out, state_->readAhead, &size)) return false;
  reply.assign(state_->readAhead.begin() + 4,
               state_->readAhead.begin() + static_cast<ptrdiff_t>(size));
  return true;
}

}  // namespace bench
