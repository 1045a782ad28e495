// Pipe streams over Unix domain stream sockets. The mapping of pipe paths to
// socket files is described in transport/pipe_stream.h. A connected socket
// is blocking, with the socket time-out options bounding each call that
// waits (a frame's first send does not wait) and Cancel shutting the socket
// down to end a blocked call; a listening socket is
// waited on with poll together with the stream's cancel pipe.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/hot.h"
#include "transport/pipe_stream.h"

namespace sdk {
namespace {

constexpr size_t kMaxEncodedName = 64;
// Frames up to this size are joined into one buffer and sent with send().
constexpr size_t kJoinedWriteMax = 64 * 1024;
constexpr size_t kHashedNameKeep = 40;

// Process-wide count of created instances, for unique instance file names.
std::atomic<unsigned> g_instanceCount{0};

int MapErrno(int e) {
  switch (e) {
    case EPIPE:
      return kErrorNoData;
    case ECONNRESET:
      return kErrorBrokenPipe;
    case ENOTCONN:
      return kErrorPipeNotConnected;
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    default:
      return kErrorGenFailure;
  }
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string EncodeName(const std::wstring& path) {
  static const wchar_t kPrefix[] = L"\\\\.\\pipe\\";
  const size_t prefixLength = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
  size_t start = 0;
  if (path.size() >= prefixLength) {
    bool match = true;
    for (size_t i = 0; i < prefixLength && match; ++i) {
      wchar_t c = path[i];
      if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
      match = c == kPrefix[i];
    }
    if (match) start = prefixLength;
  }
  std::string out;
  for (size_t i = start; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.' || c == L'_' ||
        c == L'{' || c == L'}' || c == L'-') {
      out.push_back(static_cast<char>(c));
    } else if (c == L'\\') {
      out.push_back('+');
    } else {
      char hex[16];
      std::snprintf(hex, sizeof(hex), "%%%lx_", static_cast<unsigned long>(c));
      out += hex;
    }
  }
  // "." and ".." are not usable as directory names.
  if (out.empty() || out == "." || out == "..") out = "%" + out;
  if (out.size() > kMaxEncodedName) {
    char hash[24];
    std::snprintf(hash, sizeof(hash), "~%016llx", static_cast<unsigned long long>(Fnv1a(out)));
    out = out.substr(0, kHashedNameKeep) + hash;
  }
  return out;
}

// The per-user run-time directory, created on first use. Empty when it
// exists but is not a private directory of this user.
std::string RunDirectory() {
  const std::string dir = "/tmp/.lumsdk-" + std::to_string(static_cast<unsigned long>(geteuid()));
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    return {};
  }
  return dir;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when the instance file's owner (its name starts with the pid) is gone.
bool OwnerIsGone(const char* fileName) {
  char* end = nullptr;
  const unsigned long pid = std::strtoul(fileName, &end, 10);
  if (end == fileName || *end != '.' || pid == 0) return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// send and recv as plain system calls on Linux. The C library's wrappers are
// thread cancellation points, and switching cancellation on and off around
// the call costs each exchange about 100 instructions, a tenth of a short
// call's own work; no thread may be cancelled inside the library anyway (it
// would leave the session's lock held). Sanitizer builds keep the wrappers,
// which the sanitizers watch.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LUMSDK_SOCKET_WRAPPERS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__linux__)
#define LUMSDK_SOCKET_WRAPPERS 1
#endif

ssize_t SendBytes(int fd, const void* data, size_t size, int flags) {
#ifdef LUMSDK_SOCKET_WRAPPERS
  return send(fd, data, size, flags);
#else
  return syscall(SYS_sendto, fd, data, size, flags, nullptr, 0);
#endif
}

ssize_t ReceiveBytes(int fd, void* data, size_t size, int flags) {
#ifdef LUMSDK_SOCKET_WRAPPERS
  return recv(fd, data, size, flags);
#else
  return syscall(SYS_recvfrom, fd, data, size, flags, nullptr, nullptr);
#endif
}

int NewSocket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A new listening instance in dir: a socket bound to a file of its own.
int ListenInstance(const std::string& dir, int* listenFd, std::string* instancePath) {
  const std::string path = dir + "/" + std::to_string(static_cast<unsigned long>(getpid())) + "." +
                           std::to_string(g_instanceCount.fetch_add(1));
  sockaddr_un address;
  if (!FillAddress(path, &address)) return kErrorAccessDenied;
  int fd = NewSocket();
  if (fd < 0) return MapErrno(errno);
  // The directory can vanish between mkdir and bind when the last other
  // instance closes at that moment; try again then.
  int error = kErrorFileNotFound;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      error = MapErrno(errno);
      break;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      error = 0;
      break;
    }
    error = MapErrno(errno);
    if (errno != ENOENT) break;
  }
  // Backlog 0: one peer may wait to be accepted, as one client may connect to
  // a pipe instance before the host waits for it; the next one finds it busy.
  if (error == 0 && listen(fd, 0) != 0) {
    error = MapErrno(errno);
    unlink(path.c_str());
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  *listenFd = fd;
  *instancePath = path;
  return 0;
}

// True when a taken peer had closed its end with nothing sent: it gave up
// while it waited to be taken.
bool PeerHasGone(int fd) {
  char byte;
  return ReceiveBytes(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

std::string PipeSocketDirectory(const std::wstring& path) {
  const std::string run = RunDirectory();
  if (run.empty()) return {};
  return run + "/" + EncodeName(path);
}

struct PipeStreamBase::Io {
  // The connected socket, blocking: a read or write is one system call, like
  // the bare calls, with SO_RCVTIMEO / SO_SNDTIMEO as its time-out. Cancel
  // shuts it down, which wakes a blocked call; atomic because Cancel comes
  // from another thread while a peer is being accepted.
  std::atomic<int> fd{-1};
  std::atomic<bool> cancelled{false};
  // The time-outs last set on fd: -2 unknown, 0 none, else milliseconds.
  int recvTimeoutMs = -2;
  int sendTimeoutMs = -2;
  int listenFd = -1;    // listening mode, until the peer has connected
  int cancelRead = -1;  // readable once Cancel has been called; wakes an accept
  int cancelWrite = -1;
  std::string instancePath;  // listening mode: this instance's socket file
  std::string directory;     // listening mode: the pipe's directory
  // The parts of a short frame joined (see PlatformWriteAll); kept for the
  // next frame, so that it costs no allocation.
  std::vector<uint8_t> joined;

  // Sets the socket's time-out option to about ms (-1: none). A value within
  // 1/32 of the one already set is kept, so a run of exchanges with the same
  // time-out costs no extra system call.
  void SetTimeout(int option, int& current, int ms) {
    const int want = ms < 0 ? 0 : ms;
    if (current == want) return;
    if (want > 0 && current > 0 && current >= want - want / 32 && current <= want + want / 32) {
      return;
    }
    timeval tv;
    tv.tv_sec = want / 1000;
    tv.tv_usec = (want % 1000) * 1000;
    if (setsockopt(fd.load(), SOL_SOCKET, option, &tv, sizeof(tv)) == 0) current = want;
  }

  // Adopts a connected socket; one cancelled meanwhile is shut down at once.
  void Adopt(int socket) {
    fd.store(socket);
    if (cancelled.load()) shutdown(socket, SHUT_RDWR);
  }

  // The error for a failed call on fd: a cancel turns whatever the shutdown
  // caused into the error of an interrupted wait.
  int Failure(int error) const { return cancelled.load() ? kErrorIoPending : error; }
};

PipeStreamBase::PipeStreamBase() : io_(new Io) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    io_->cancelRead = fds[0];
    io_->cancelWrite = fds[1];
  }
}

PipeStreamBase::~PipeStreamBase() {
  PipeStreamBase::Cancel();
  PlatformClose(false);
  CloseFd(io_->cancelRead);
  CloseFd(io_->cancelWrite);
}

void PipeStreamBase::Cancel() {
  // Flag first, then the socket: Adopt stores the socket, then reads the flag,
  // so one of the two always shuts a new socket down.
  io_->cancelled.store(true);
  const int fd = io_->fd.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  if (io_->cancelWrite >= 0) {
    const char one = 1;
    // The pipe is never drained, so one byte is enough; a full pipe is fine.
    ssize_t ignored = write(io_->cancelWrite, &one, 1);
    (void)ignored;
  }
}

bool PipeStreamBase::PlatformCancelRequested() const { return io_->cancelled.load(); }

bool PipeStreamBase::PlatformHasPipe() const { return io_->fd.load() >= 0 || io_->listenFd >= 0; }

int PipeStreamBase::PlatformOpenClient(const std::wstring& name, bool, int timeoutMs) {
  const std::string dir = PipeSocketDirectory(name);
  if (dir.empty()) return kErrorAccessDenied;
  const Deadline deadline(timeoutMs);
  int pauseMs = 1;
  // A host replaces an instance by closing one and creating the next, so a
  // scan can fall between the two and find nothing: look once more after a
  // moment before reporting that the pipe does not exist.
  bool lookedAgain = false;
  for (;;) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
      if (errno != ENOENT || lookedAgain) return MapErrno(errno);
      lookedAgain = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    bool busy = false;
    while (dirent* entry = readdir(listing)) {
      if (entry->d_name[0] == '.') continue;
      const std::string path = dir + "/" + entry->d_name;
      sockaddr_un address;
      if (!FillAddress(path, &address)) continue;
      int fd = NewSocket();
      if (fd < 0) {
        closedir(listing);
        return MapErrno(errno);
      }
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        closedir(listing);
        // Non-blocking only to tell a busy instance from a free one.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        io_->Adopt(fd);
        return 0;
      }
      const int e = errno;
      close(fd);
      if (e == ECONNREFUSED && OwnerIsGone(entry->d_name)) {
        unlink(path.c_str());  // left behind by a process that died
      } else if (e == ECONNREFUSED || e == EAGAIN) {
        busy = true;  // taken, or its one pending slot is used
      }
    }
    closedir(listing);
    if (!busy) {
      // The empty directory is left to hosts: removing it here could race
      // with a host creating its next instance in it.
      if (lookedAgain) return kErrorFileNotFound;
      lookedAgain = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const int left = deadline.RemainingMs();
    if (left == 0) return kErrorSemTimeout;
    const int pause = left < 0 ? pauseMs : std::min(pauseMs, left);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    pauseMs = std::min(pauseMs * 2, 20);
  }
}

int PipeStreamBase::PlatformCreate(const std::wstring& name, bool, int) {
  const std::string dir = PipeSocketDirectory(name);
  if (dir.empty()) return kErrorAccessDenied;
  const int error = ListenInstance(dir, &io_->listenFd, &io_->instancePath);
  if (error == 0) io_->directory = dir;
  return error;
}

int PipeStreamBase::PlatformAwaitClient(int timeoutMs) {
  const Deadline deadline(timeoutMs);
  pollfd fds[2] = {{io_->listenFd, POLLIN, 0}, {io_->cancelRead, POLLIN, 0}};
  for (;;) {
    const int n = poll(fds, io_->cancelRead >= 0 ? 2 : 1, deadline.RemainingMs());
    if (n < 0 && errno != EINTR) return MapErrno(errno);
    // A peer that is there wins over a cancel, as a completed connect would.
    if (n > 0 && fds[0].revents != 0) {
      // The listener is shut for reading before its one waiting peer is
      // taken: a shut listener refuses a connect at once, as a taken pipe
      // instance is busy. Without it, a client connecting between the accept
      // and the close would see its connect succeed, be reset by the close,
      // and meanwhile may open the other pipe of a pair that a different
      // client began. The instance stays taken: its file remains.
      shutdown(io_->listenFd, SHUT_RD);
      int fd;
      do {
        fd = accept4(io_->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      } while (fd < 0 && errno == EINTR);
      if (fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
        const int error = MapErrno(errno);
        CloseFd(io_->listenFd);
        return error;
      }
      if (fd < 0 || PeerHasGone(fd)) {
        // No peer after all, or one that left with nothing sent: answering
        // it would answer nobody, and a client that pairs two pipes would
        // lose its exchange to it. A fresh instance takes this one's place
        // (made first, so that a client looking meanwhile finds one) and the
        // wait goes on.
        if (fd >= 0) close(fd);
        int listenFd = -1;
        std::string instancePath;
        const int error = ListenInstance(io_->directory, &listenFd, &instancePath);
        if (error != 0) return error;
        CloseFd(io_->listenFd);
        unlink(io_->instancePath.c_str());
        io_->listenFd = listenFd;
        io_->instancePath = instancePath;
        fds[0].fd = listenFd;
        continue;
      }
      PeerTakenHookForTesting();
      CloseFd(io_->listenFd);
      io_->Adopt(fd);
      return 0;
    }
    // Cancelled or timed out: the error that started the wait.
    if (n >= 0) return kErrorIoPending;
  }
}

LUMSDK_HOT int PipeStreamBase::PlatformReadSome(uint8_t* data, size_t size,
                                                const Deadline& deadline, size_t* got) {
  *got = 0;
  const int fd = io_->fd.load();
  if (fd < 0) return kErrorPipeNotConnected;
  for (;;) {
    const int left = deadline.RemainingMs();
    if (left != 0) io_->SetTimeout(SO_RCVTIMEO, io_->recvTimeoutMs, left);
    const ssize_t n = ReceiveBytes(fd, data, size, left == 0 ? MSG_DONTWAIT : 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 0;
    }
    // End of stream: the peer closed its end, or Cancel shut ours down.
    if (n == 0) return io_->Failure(kErrorBrokenPipe);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (io_->cancelled.load() || deadline.RemainingMs() == 0) return kErrorIoPending;
      continue;  // the socket's time-out was a little short of the deadline
    }
    return io_->Failure(MapErrno(errno));
  }
}

LUMSDK_HOT int PipeStreamBase::PlatformWriteAll(const ByteSpan* parts, size_t count,
                                                const Deadline& deadline) {
  const int fd = io_->fd.load();
  if (fd < 0) return kErrorPipeNotConnected;
  iovec vectors[3];
  size_t used = 0;
  if (count == 1) {
    // One part (a framed text, the usual case) goes as it lies.
    vectors[used++] = {const_cast<uint8_t*>(parts[0].data), parts[0].size};
  } else {
    // A short frame in parts is joined and sent with send(): copying a few
    // KB costs less than the kernel's handling of a gathered sendmsg (its
    // message header and vector are copied in and checked on every call).
    // A longer one is gathered by the kernel: one system call, no copy.
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += parts[i].size;
    if (total <= kJoinedWriteMax) {
      io_->joined.resize(total);
      uint8_t* at = io_->joined.data();
      for (size_t i = 0; i < count; ++i) {
        if (parts[i].size > 0) std::memcpy(at, parts[i].data, parts[i].size);
        at += parts[i].size;
      }
      vectors[used++] = {io_->joined.data(), total};
    } else {
      for (size_t i = 0; i < count && used < 3; ++i) {
        if (parts[i].size > 0) {
          vectors[used++] = {const_cast<uint8_t*>(parts[i].data), parts[i].size};
        }
      }
    }
  }
  iovec* part = vectors;
  // The first try never waits: a frame the socket takes at once, the usual
  // case, then costs no clock read and no time-out check. What is left after
  // it is sent with waits, and the deadline starts there.
  for (bool firstTry = true; used > 0; firstTry = false) {
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    if (!firstTry) {
      const int left = deadline.RemainingMs();
      if (left != 0) {
        io_->SetTimeout(SO_SNDTIMEO, io_->sendTimeoutMs, left);
        flags = MSG_NOSIGNAL;
      }
    }
    ssize_t n = 0;
    if (used == 1) {
      n = SendBytes(fd, part->iov_base, part->iov_len, flags);
    } else {
      msghdr message = {};
      message.msg_iov = part;
      message.msg_iovlen = used;
      n = sendmsg(fd, &message, flags);
    }
    // All of it in one go, the usual case.
    if (used == 1 && n > 0 && static_cast<size_t>(n) == part->iov_len) return 0;
    if (n > 0) {
      size_t sent = static_cast<size_t>(n);
      while (used > 0 && sent >= part->iov_len) {
        sent -= part->iov_len;
        ++part;
        --used;
      }
      if (used > 0) {
        part->iov_base = static_cast<uint8_t*>(part->iov_base) + sent;
        part->iov_len -= sent;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (io_->cancelled.load() || (!firstTry && deadline.RemainingMs() == 0))
        return kErrorIoPending;
      continue;
    }
    return io_->Failure(n < 0 ? MapErrno(errno) : kErrorNoData);
  }
  return 0;
}

void PipeStreamBase::PlatformClose(bool) {
  const int fd = io_->fd.exchange(-1);
  if (fd >= 0) close(fd);
  CloseFd(io_->listenFd);
  if (!io_->instancePath.empty()) {
    unlink(io_->instancePath.c_str());
    rmdir(io_->directory.c_str());  // fails while other instances remain
    io_->instancePath.clear();
  }
}

// Sockets have no buffers of their own to push out: send has handed the
// bytes to the peer's receive queue.
void PipeStreamBase::PlatformFlush() {}

}  // namespace sdk
