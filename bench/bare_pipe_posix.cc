// Bare round trips over Unix domain sockets, blocking calls only. The peer's
// sockets go where the library looks for a pipe's instances, so the library
// can connect to the same peer.
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

}  // namespace

struct BareEchoPeer::State {
  int listenIn = -1, listenOut = -1, listenCallback = -1;
  std::string paths[3];
  std::thread thread;
};

BareEchoPeer::BareEchoPeer(const std::wstring& name) : state_(new State) {
  int* fds[3] = {&state_->listenIn, &state_->listenOut, &state_->listenCallback};
  const wchar_t* suffixes[3] = {L"_in", L"_out", L"_callback"};
  for (int i = 0; i < 3; ++i) {
    state_->paths[i] = SocketPath(name + suffixes[i]);
    *fds[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = Address(state_->paths[i]);
    unlink(state_->paths[i].c_str());
    bind(*fds[i], reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(*fds[i], 1);
  }
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

struct BareClient::State {
  int in = -1, out = -1, callback = -1;  // named from the peer's side
  std::vector<uint8_t> wire;
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

}  // namespace bench
