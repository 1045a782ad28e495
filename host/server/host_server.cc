#include "host/server/host_server.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include "core/platform.h"
#include "host/platform/terminal.h"
#include "json/json_text.h"
#include "transport/binary_io.h"
#include "transport/pipe_stream.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

// How long the host waits for a pipe instance to be made, and for a write.
constexpr int kConnectTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;
// A client connects the well-known "_out" right after "_in"; the acceptor
// waits this long for it (the next pair can only be made once this one is
// complete). Longer than the identity time-out: a loaded machine (or Wine)
// may take a while between the two, and a real client must not fail there.
constexpr int kPairTimeoutMs = 1000;
// After answering an identity, how long the pair is kept for the client to
// read the answer and close its ends.
constexpr int kIdentityCloseWaitMs = 1000;
// Bodies are read in pieces of at most this much.
constexpr size_t kReadPieceBytes = 64 << 10;
constexpr int kNotificationTimeoutMs = 2000;
// A probe for another host waits this long on a busy pipe.
constexpr int kProbeTimeoutMs = 300;
constexpr size_t kMaxIdentityBytes = 1024;
// A client that does not read its notifications loses the oldest ones.
constexpr size_t kMaxQueuedNotifications = 1024;
// Longer texts are shortened in trace lines.
constexpr size_t kTraceTextLimit = 400;

// Client numbers are unique in the process, across restarts and servers, so
// a restarted host never hands out the name of a pipe that may linger.
std::atomic<int> g_nextClientId{1};

std::string bodyText(const std::vector<uint8_t>& body) {
  std::string text(body.begin(), body.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::vector<uint8_t> textBody(const std::string& text) { return sdk::TextToMessage(text); }

// What readFrameAsItArrives found.
enum class FrameResult {
  Read,        // a whole frame (its body thrown away when over the limit)
  NotBegun,    // no byte within the first wait, or the stream failed first
  Unfinished,  // begun, then not finished in time or the stream failed
  OutOfStep,   // a length no frame may have
};

// Reads one frame as its bytes arrive, so that what a peer costs follows what
// it has sent, never the length it announced. Waits up to firstByteMs (-1:
// no limit) for the frame to begin; once begun, the whole frame must be
// there within frameMs. A body over limit is read in pieces and thrown away
// (*oversized), so the stream stays in step. The body comes without the
// terminating 0 byte.
FrameResult readFrameAsItArrives(sdk::IStream& stream, int firstByteMs, int frameMs, size_t limit,
                                 std::string* body, bool* oversized, uint32_t* length) {
  body->clear();
  *oversized = false;
  *length = 0;
  std::vector<uint8_t> bytes;
  // ReadRawBytes takes 0 or less as no limit; a wait that is up takes 1 ms.
  if (sdk::ReadRawBytes(stream, 1, bytes, firstByteMs < 0 ? 0 : std::max(firstByteMs, 1)) != 0) {
    return FrameResult::NotBegun;
  }
  const sdk::Deadline deadline(frameMs);
  auto waitMs = [&] { return std::max(deadline.RemainingMs(), 1); };
  uint32_t n = bytes[0];
  if (sdk::ReadRawBytes(stream, 3, bytes, waitMs()) != 0) return FrameResult::Unfinished;
  n |= static_cast<uint32_t>(bytes[0]) << 8 | static_cast<uint32_t>(bytes[1]) << 16 |
       static_cast<uint32_t>(bytes[2]) << 24;
  *length = n;
  if (n > sdk::kMaxFrameBytes) return FrameResult::OutOfStep;
  *oversized = n > limit;
  for (uint32_t have = 0; have < n;) {
    if (deadline.RemainingMs() == 0) return FrameResult::Unfinished;
    const size_t piece = std::min<size_t>(kReadPieceBytes, n - have);
    if (sdk::ReadRawBytes(stream, piece, bytes, waitMs()) != 0) return FrameResult::Unfinished;
    if (!*oversized) body->append(bytes.begin(), bytes.end());
    have += static_cast<uint32_t>(piece);
  }
  if (!body->empty() && body->back() == '\0') body->pop_back();
  return FrameResult::Read;
}

}  // namespace

std::string printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  size_t limit = std::min(text.size(), kTraceTextLimit);
  for (size_t i = 0; i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > limit) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// One connected client: its three pipes and the two threads serving them.
class ClientSession {
 public:
  ClientSession(HostServer* server, std::shared_ptr<Desk> desk, int id, std::string identity,
                std::wstring base, std::shared_ptr<sdk::IStream> in,
                std::shared_ptr<sdk::IStream> out, std::shared_ptr<sdk::IStream> callback)
      : server_(server),
        desk_(std::move(desk)),
        id_(id),
        name_("client-" + std::to_string(id)),
        identity_(std::move(identity)),
        base_(sdk::narrow(base)),
        in_(std::move(in)),
        out_(std::move(out)),
        callback_(std::move(callback)),
        firstRequest_(server->options_.firstRequestTimeoutMs) {}

  ~ClientSession() {
    requestStop();
    join();
  }

  void start() {
    thread_ = std::thread([this] { run(); });
  }

  // Ends every wait of the session's threads; join() then returns soon.
  void requestStop() {
    stop_ = true;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      notifierStop_ = true;
    }
    queueChanged_.notify_all();
    cancelStreams(true, true, true);
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

  bool finished() const { return finished_; }
  // Waits until the session thread has done its last act.
  void waitFinished() {
    std::unique_lock<std::mutex> lock(lifeMutex_);
    lifeChanged_.wait(lock, [this] { return finished_.load(); });
  }
  bool serving() const { return serving_ && !finished_; }
  bool registered() const { return registered_; }
  const std::string& name() const { return name_; }

  ClientInfo info() const {
    ClientInfo i;
    i.id = id_;
    i.name = name_;
    i.identity = identity_;
    i.pipeBase = base_;
    i.sdkProtocolVersion = sdkProtocolVersion_;
    i.registered = registered_;
    i.requests = requests_;
    return i;
  }

  bool queueNotification(const std::vector<uint8_t>& body) {
    if (!registered_ || !serving()) return false;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (queue_.size() >= kMaxQueuedNotifications) queue_.pop_front();
      queue_.push_back(body);
    }
    queueChanged_.notify_all();
    return true;
  }

  void closePipe(const std::string& suffix) {
    if (suffix == "_in") {
      // The session thread is the one user of "_in": it notices the
      // cancelled read, sees the flag and ends the session. The hook returns
      // once that has happened, so that the client meets a closed pipe.
      inClosedByHook_ = true;
      cancelStreams(true, false, false);
      std::unique_lock<std::mutex> lock(lifeMutex_);
      lifeChanged_.wait_for(lock, std::chrono::milliseconds(kWriteTimeoutMs),
                            [this] { return inClosed_ || !serving(); });
    } else if (suffix == "_out") {
      std::lock_guard<std::mutex> lock(outMutex_);
      closeStream(&outClosed_, out_);
    } else if (suffix == "_callback") {
      std::lock_guard<std::mutex> lock(callbackMutex_);
      closeStream(&callbackClosed_, callback_);
    }
  }

 private:
  void run() {
    if (connect()) {
      serving_ = true;
      server_->note(name_ + " connected (identity \"" + printable(identity_) + "\")");
      serve();
    } else if (!stop_) {
      server_->note(name_ + " did not connect its pipes");
    }
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      notifierStop_ = true;
    }
    queueChanged_.notify_all();
    cancelStreams(false, false, true);
    if (notifier_.joinable()) notifier_.join();
    desk_->state.removeClient(id_);
    {
      std::lock_guard<std::mutex> lock(outMutex_);
      closeStream(&outClosed_, out_);
    }
    {
      std::lock_guard<std::mutex> lock(callbackMutex_);
      closeStream(&callbackClosed_, callback_);
    }
    closeStream(&inClosed_, in_);
    if (serving_ && !stop_) server_->note(name_ + " disconnected");
    {
      std::lock_guard<std::mutex> lock(lifeMutex_);
      finished_ = true;
    }
    lifeChanged_.notify_all();
    server_->sessionFinished();
  }

  // What is left of the time for the first request: -1 without limit, at
  // least 1 (a wait of 0 would be one without limit).
  int firstRequestWaitMs() const {
    const int left = firstRequest_.RemainingMs();
    return left < 0 ? -1 : std::max(left, 1);
  }

  // Waits for the client to connect every pipe that exists, within the time
  // for the first request. A pipe left out on purpose fails the session once
  // the others are settled.
  bool connect() {
    auto waitMs = [this] { return std::max(firstRequestWaitMs(), 0); };
    if (in_ && !in_->OpenForReading(waitMs())) return false;
    if (out_ && !out_->OpenForWriting(waitMs())) return false;
    if (callback_ && !callback_->OpenForWriting(waitMs())) return false;
    return in_ && out_ && callback_ && !stop_;
  }

  // The notifier runs only for a client registered for key presses: an idle
  // client costs one thread.
  void startNotifier() {
    if (callback_ && !notifier_.joinable()) notifier_ = std::thread([this] { notifierLoop(); });
  }

  void serve() {
    const ServerOptions& options = server_->options_;
    for (;;) {
      std::string text;
      bool oversized = false;
      uint32_t length = 0;
      const int firstByteMs = requests_ == 0 ? firstRequestWaitMs() : -1;
      FrameResult got =
          readFrameAsItArrives(*in_, firstByteMs, options.frameTimeoutMs,
                               desk_->handler.requestLimit(), &text, &oversized, &length);
      if (stop_) return;
      if (inClosedByHook_) {
        // Whatever was read after the hook counts as never received.
        closeStream(&inClosed_, in_);
        server_->note(name_ + ": \"_in\" closed on request");
        return;
      }
      if (got == FrameResult::NotBegun) {
        if (requests_ == 0 && firstRequest_.RemainingMs() == 0) {
          server_->note(name_ + " sent no request within " +
                        std::to_string(options.firstRequestTimeoutMs) + " ms; dropped");
        }
        return;
      }
      if (got == FrameResult::Unfinished) {
        server_->note(name_ + " left a request of " + std::to_string(length) +
                      " bytes unfinished (the pipe broke, or " +
                      std::to_string(options.frameTimeoutMs) + " ms passed); dropped");
        return;
      }
      if (got == FrameResult::OutOfStep) {
        server_->note(name_ + " announced a frame of " + std::to_string(length) +
                      " bytes; dropped");
        return;
      }
      ++requests_;
      if (oversized) {
        // Read and thrown away: answered without being kept.
        server_->trace(name_, "->", "(a request of " + std::to_string(length) + " bytes)");
        if (!writeAnswer(RequestHandler::oversizedAnswer())) return;
        continue;
      }
      // The method is read from the text only when a request log or a hook
      // wants it: the handler reads the request anyway, and reading it twice
      // made a colour set cost lumhost twice what a device count does.
      std::string method;
      bool methodRead = false;
      auto methodOfText = [&]() -> const std::string& {
        if (!methodRead) method = RequestHandler::methodOf(text);
        methodRead = true;
        return method;
      };
      if (options.keepRequests) server_->recordRequest(text, methodOfText());
      server_->trace(name_, "->", text);
      if (!server_->faults_.waitBeforeAnswer([this] { return stop_.load(); })) return;
      HostServer::Hooks hooks = server_->hooks();
      if (hooks.shapeAnswers()) methodOfText();
      if (hooks.withheld.count(method) != 0) {
        server_->trace(name_, "<-", "(answer withheld)");
        continue;
      }
      auto delay = hooks.delays.find(method);
      if (delay != hooks.delays.end() && !server_->sleepUnlessStopping(delay->second)) return;
      auto wire = hooks.wire.find(method);
      if (wire != hooks.wire.end()) {
        if (!writeWire(wire->second)) return;
        continue;
      }
      std::string answer;
      auto replaced = hooks.replaced.find(method);
      if (replaced != hooks.replaced.end()) {
        answer = replaced->second;
      } else {
        RequestOutcome outcome = desk_->handler.handle(id_, text);
        if (outcome.sdkProtocolVersion >= 0) sdkProtocolVersion_ = outcome.sdkProtocolVersion;
        if (outcome.registersKeys) {
          startNotifier();
          registered_ = true;
        }
        answer = std::move(outcome.answer);
      }
      if (!writeAnswer(answer)) return;
    }
  }

  // False when the session ends here.
  bool writeAnswer(const std::string& answer) {
    int rc = 0;
    {
      std::lock_guard<std::mutex> lock(outMutex_);
      if (outClosed_) {
        server_->note(name_ + ": \"_out\" is closed; the session ends");
        return false;
      }
      rc = out_->Write(textBody(answer), kWriteTimeoutMs);
    }
    server_->trace(name_, "<-", answer);
    if (rc != 0) {
      server_->note(name_ + ": the answer could not be written (error " + std::to_string(rc) + ")");
      return false;
    }
    return true;
  }

  // Writes a scripted answer's raw bytes piece by piece; false when the
  // session ends here (on purpose, or because the pipe failed).
  bool writeWire(const HostServer::WireScript& script) {
    for (size_t i = 0; i < script.pieces.size(); ++i) {
      if (i > 0 && !server_->sleepUnlessStopping(script.pauseMs)) return false;
      std::vector<uint8_t> bytes(script.pieces[i].begin(), script.pieces[i].end());
      std::lock_guard<std::mutex> lock(outMutex_);
      if (outClosed_ || sdk::WriteRawBytes(*out_, bytes, kWriteTimeoutMs) != 0) return false;
    }
    server_->trace(name_, "<-", "(scripted bytes)");
    if (script.endSession) server_->note(name_ + ": the session ends after scripted bytes");
    return !script.endSession;
  }

  void notifierLoop() {
    for (;;) {
      std::deque<std::vector<uint8_t>> batch;
      {
        std::unique_lock<std::mutex> lock(queueMutex_);
        queueChanged_.wait(lock, [this] { return notifierStop_ || !queue_.empty(); });
        if (notifierStop_) return;
        batch.swap(queue_);
      }
      for (const std::vector<uint8_t>& body : batch) {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        if (callbackClosed_) break;
        int rc = callback_->Write(body, kNotificationTimeoutMs);
        if (rc != 0) {
          server_->note(name_ + ": a notification could not be written (error " +
                        std::to_string(rc) + ")");
          break;
        }
        server_->trace(name_, "<=", bodyText(body));
      }
    }
  }

  // Cancel may come from any thread while an operation waits; Close only
  // from a stream's one user. lifeMutex_ keeps the two apart.
  void cancelStreams(bool in, bool out, bool callback) {
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (in && in_ && !inClosed_) in_->Cancel();
    if (out && out_ && !outClosed_) out_->Cancel();
    if (callback && callback_ && !callbackClosed_) callback_->Cancel();
  }

  void closeStream(bool* closed, const std::shared_ptr<sdk::IStream>& stream) {
    {
      std::lock_guard<std::mutex> lock(lifeMutex_);
      if (*closed || !stream) return;
      stream->Close();
      *closed = true;
    }
    lifeChanged_.notify_all();
  }

  HostServer* server_;
  const std::shared_ptr<Desk> desk_;  // the desk served when the client came
  const int id_;
  const std::string name_;
  const std::string identity_;
  const std::string base_;
  // Set at construction, never reassigned. in_ is used by the session
  // thread only, out_ under outMutex_, callback_ under callbackMutex_.
  const std::shared_ptr<sdk::IStream> in_;
  const std::shared_ptr<sdk::IStream> out_;
  const std::shared_ptr<sdk::IStream> callback_;
  // Counts from the session's making: the pipes are connected and the first
  // request has arrived by then.
  const sdk::Deadline firstRequest_;

  std::thread thread_;    // the session thread; joined by join()
  std::thread notifier_;  // started, owned and joined by the session thread

  std::atomic<bool> stop_{false};
  std::atomic<bool> serving_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> registered_{false};
  std::atomic<bool> inClosedByHook_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> sdkProtocolVersion_{0};

  // Held across each write to "_out" and its closing.
  std::mutex outMutex_;
  // Held across each write to "_callback" and its closing.
  std::mutex callbackMutex_;
  // Guards the closed flags: Cancel and Close never overlap. Innermost.
  std::mutex lifeMutex_;
  std::condition_variable lifeChanged_;
  bool inClosed_ = false;
  bool outClosed_ = false;
  bool callbackClosed_ = false;

  // Guards queue_ and notifierStop_; taken after callbackMutex_ if both.
  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<std::vector<uint8_t>> queue_;
  bool notifierStop_ = false;
};

HostServer::HostServer(ServerOptions options)
    : options_(std::move(options)),
      trace_(options_.trace),
      desk_(std::make_shared<Desk>(std::move(options_.profile), options_.protocol, &faults_)) {}

std::shared_ptr<Desk> HostServer::desk() const {
  std::lock_guard<std::mutex> lock(deskMutex_);
  return desk_;
}

std::shared_ptr<const Profile> HostServer::profile() const {
  std::shared_ptr<Desk> d = desk();
  return std::shared_ptr<const Profile>(d, &d->profile);
}

std::shared_ptr<LightingState> HostServer::state() const {
  std::shared_ptr<Desk> d = desk();
  return std::shared_ptr<LightingState>(d, &d->state);
}

uint64_t HostServer::deskNumber() const {
  std::lock_guard<std::mutex> lock(deskMutex_);
  return deskNumber_;
}

HostServer::~HostServer() { stop(); }

bool HostServer::running() const { return running_; }

bool HostServer::createWellKnown(std::shared_ptr<sdk::IStream>* in,
                                 std::shared_ptr<sdk::IStream>* out) {
  // "_out" first: a client that finds the new "_in" must find its "_out".
  *out =
      sdk::CreatePipeOutputStream(options_.pipeBase + sdk::kResponsePipeSuffix, kConnectTimeoutMs);
  *in = sdk::CreatePipeInputStream(options_.pipeBase + sdk::kRequestPipeSuffix, kConnectTimeoutMs);
  return *in && *out;
}

bool HostServer::start(std::string* error) {
  if (running_) return true;
  const std::string name = sdk::narrow(options_.pipeBase) + "_in";
  // Pipes of one name may have many instances, so creating them does not
  // tell whether another host is there; connecting to them does.
  auto begin = std::chrono::steady_clock::now();
  std::shared_ptr<sdk::IStream> probe =
      sdk::OpenPipeOutputStream(options_.pipeBase + sdk::kRequestPipeSuffix, kProbeTimeoutMs);
  auto waited = std::chrono::steady_clock::now() - begin;
  if (probe || waited >= std::chrono::milliseconds(kProbeTimeoutMs - 50)) {
    *error = "another host already serves the pipe " + name;
    return false;
  }
  std::shared_ptr<sdk::IStream> in;
  std::shared_ptr<sdk::IStream> out;
  if (!createWellKnown(&in, &out)) {
    *error = "cannot create the pipes " + name + " and " + sdk::narrow(options_.pipeBase) + "_out";
    return false;
  }
  stopping_ = false;
  running_ = true;
  reaper_ = std::thread([this] { reapLoop(); });
  acceptor_ = std::thread([this, in, out] { acceptLoop(in, out); });
  return true;
}

void HostServer::stop() {
  if (!running_) return;
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopSignal_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(acceptMutex_);
    if (acceptIn_) acceptIn_->Cancel();
    if (acceptOut_) acceptOut_->Cancel();
  }
  { std::lock_guard<std::mutex> lock(exchangesMutex_); }
  exchangeEnded_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  joinExchanges(true);
  {
    // Taken so that the reaper cannot miss the flag between its check and
    // its wait.
    std::lock_guard<std::mutex> lock(sessionsMutex_);
  }
  reapSignal_.notify_all();
  if (reaper_.joinable()) reaper_.join();
  std::vector<std::shared_ptr<ClientSession>> sessions;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions.swap(sessions_);
  }
  for (auto& s : sessions) s->requestStop();
  for (auto& s : sessions) s->join();
  desk()->state.clear();
  running_ = false;
}

// One well-known pair handed over by the acceptor, and the thread that reads
// its identity.
struct HostServer::IdentityExchange {
  std::shared_ptr<sdk::IStream> in;
  std::shared_ptr<sdk::IStream> out;
  std::thread thread;
  std::atomic<bool> done{false};
};

void HostServer::acceptLoop(std::shared_ptr<sdk::IStream> in, std::shared_ptr<sdk::IStream> out) {
  while (!stopping_) {
    if (!in || !out) {
      // Creating failed last time; try again shortly.
      if (!sleepUnlessStopping(200) || !createWellKnown(&in, &out)) continue;
    }
    {
      std::lock_guard<std::mutex> lock(acceptMutex_);
      acceptIn_ = in;
      acceptOut_ = out;
    }
    // stop() cancels the published streams; checking after publishing means
    // a stop that came before cannot be missed.
    if (stopping_) break;
    // A client connects both pipes before it writes. One that connects
    // "_in" alone and stays (a client that hangs) is given up after
    // kPairTimeoutMs; one already gone when it is taken (a probe for a
    // running host) is passed over by the pipe itself.
    bool connected = in->OpenForReading(0) && !stopping_ && out->OpenForWriting(kPairTimeoutMs);
    if (!connected) {
      // An unpaired "_out" still takes connections. Left beside the next
      // pair's, it could be the one the next client finds, and lose when it
      // is closed, so it goes before the next pair is offered. Unpublished
      // first, so that stop() cannot cancel it while it closes; not
      // disconnected, as a peer may still read it.
      std::lock_guard<std::mutex> lock(acceptMutex_);
      acceptOut_.reset();
      out->Close();
    }
    {
      // Room for one more exchange: at most kMaxIdentityExchanges at once.
      std::unique_lock<std::mutex> lock(exchangesMutex_);
      exchangeEnded_.wait(lock, [this] {
        size_t running = 0;
        for (const auto& e : exchanges_) running += e->done ? 0 : 1;
        return stopping_ || running < static_cast<size_t>(kMaxIdentityExchanges);
      });
    }
    joinExchanges(false);
    // The next pair is made while this one still holds the name (its "_in"
    // is taken), so that an arriving client finds the pipe busy and retries
    // instead of finding no pipe.
    std::shared_ptr<sdk::IStream> nextIn;
    std::shared_ptr<sdk::IStream> nextOut;
    if (!stopping_) createWellKnown(&nextIn, &nextOut);
    {
      std::lock_guard<std::mutex> lock(acceptMutex_);
      acceptIn_ = nextIn;
      acceptOut_ = nextOut;
    }
    if (connected && !stopping_) {
      auto exchange = std::make_unique<IdentityExchange>();
      exchange->in = std::move(in);
      exchange->out = std::move(out);
      IdentityExchange* raw = exchange.get();
      std::lock_guard<std::mutex> lock(exchangesMutex_);
      exchanges_.push_back(std::move(exchange));
      raw->thread = std::thread([this, raw] { exchangeIdentity(raw); });
    } else {
      in->Close();
    }
    in = std::move(nextIn);
    out = std::move(nextOut);
  }
  {
    std::lock_guard<std::mutex> lock(acceptMutex_);
    acceptIn_.reset();
    acceptOut_.reset();
  }
  if (in) in->Close();
  if (out) out->Close();
}

void HostServer::exchangeIdentity(IdentityExchange* exchange) {
  std::string identity;
  bool oversized = false;
  uint32_t length = 0;
  FrameResult got =
      readFrameAsItArrives(*exchange->in, options_.identityTimeoutMs, options_.identityTimeoutMs,
                           kMaxIdentityBytes, &identity, &oversized, &length);
  if (got == FrameResult::Read && !stopping_) {
    std::string reply;
    if (!oversized) {
      reply = admitClient(identity);
    } else {
      note("an identity of " + std::to_string(length) + " bytes was refused");
    }
    exchange->out->Write(textBody(reply), kWriteTimeoutMs);
    // Closing a pipe may discard what the peer has not read yet, so the
    // pair is kept until the client has closed its ends (the read fails)
    // or the time is up.
    std::vector<uint8_t> rest;
    sdk::ReadRawBytes(*exchange->in, 1, rest, kIdentityCloseWaitMs);
  } else if (got != FrameResult::Read && !stopping_) {
    note("a client connected the well-known pipes and sent no identity within " +
         std::to_string(options_.identityTimeoutMs) + " ms; let go");
  }
  {
    // Cancel (from stop) and Close never overlap.
    std::lock_guard<std::mutex> lock(exchangesMutex_);
    exchange->out->Close();
    exchange->in->Close();
    exchange->done = true;
  }
  exchangeEnded_.notify_all();
}

void HostServer::joinExchanges(bool all) {
  std::list<std::unique_ptr<IdentityExchange>> finished;
  {
    std::lock_guard<std::mutex> lock(exchangesMutex_);
    for (auto it = exchanges_.begin(); it != exchanges_.end();) {
      if (all || (*it)->done) {
        if (!(*it)->done) {
          (*it)->in->Cancel();
          (*it)->out->Cancel();
        }
        finished.push_back(std::move(*it));
        it = exchanges_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& e : finished) e->thread.join();
}

std::string HostServer::admitClient(const std::string& identity) {
  Hooks h = hooks();
  if (h.refuseIdentity) {
    note("identity \"" + printable(identity) + "\" refused on request");
    return std::string();
  }
  std::lock_guard<std::mutex> admitting(admitMutex_);
  const int held = sessionCount();
  if (held >= options_.maxClients) {
    note("identity \"" + printable(identity) + "\" refused: " + std::to_string(held) +
         " clients are served, the most allowed (--max-clients)");
    return std::string();
  }
  int id = g_nextClientId++;
  std::wstring base = options_.pipeBase + L".client-" +
                      std::to_wstring(sdk::platform::currentProcessId()) + L"-" +
                      std::to_wstring(id);
  std::shared_ptr<sdk::IStream> out;
  std::shared_ptr<sdk::IStream> in;
  std::shared_ptr<sdk::IStream> callback;
  bool ok = true;
  if (h.omittedPipe != "_out") {
    out = sdk::CreatePipeOutputStream(base + sdk::kResponsePipeSuffix, kConnectTimeoutMs);
    ok = ok && out;
  }
  if (h.omittedPipe != "_in") {
    in = sdk::CreatePipeInputStream(base + sdk::kRequestPipeSuffix, kConnectTimeoutMs);
    ok = ok && in;
  }
  if (h.omittedPipe != "_callback") {
    callback = sdk::CreatePipeOutputStream(base + sdk::kNotificationPipeSuffix, kConnectTimeoutMs);
    ok = ok && callback;
  }
  if (!ok) {
    note("the pipes of client-" + std::to_string(id) + " could not be created");
    return std::string();
  }
  std::shared_ptr<Desk> served = desk();
  served->state.addClient(id);
  auto session =
      std::make_shared<ClientSession>(this, served, id, identity, base, in, out, callback);
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.push_back(session);
  }
  session->start();
  return sdk::narrow(base);
}

void HostServer::sessionFinished() {
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    reapPending_ = true;
  }
  reapSignal_.notify_all();
}

void HostServer::reapLoop() {
  for (;;) {
    std::vector<std::shared_ptr<ClientSession>> done;
    {
      std::unique_lock<std::mutex> lock(sessionsMutex_);
      reapSignal_.wait(lock, [this] { return reapPending_ || stopping_; });
      if (stopping_) return;
      reapPending_ = false;
      for (auto it = sessions_.begin(); it != sessions_.end();) {
        if ((*it)->finished()) {
          done.push_back(*it);
          it = sessions_.erase(it);
        } else {
          ++it;
        }
      }
    }
    // A finished session's thread has nothing left to do but return.
    for (auto& s : done) s->join();
  }
}

std::vector<std::shared_ptr<ClientSession>> HostServer::liveSessions() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  std::vector<std::shared_ptr<ClientSession>> live;
  for (auto& s : sessions_) {
    if (s->serving()) live.push_back(s);
  }
  return live;
}

HostServer::Hooks HostServer::hooks() {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  return hooks_;
}

void HostServer::replaceAnswer(const std::string& method, std::string rawText) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  if (rawText.empty()) {
    hooks_.replaced.erase(method);
  } else {
    hooks_.replaced[method] = std::move(rawText);
  }
}

void HostServer::scriptAnswerBytes(const std::string& method, WireScript script) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  if (script.pieces.empty()) {
    hooks_.wire.erase(method);
  } else {
    hooks_.wire[method] = std::move(script);
  }
}

void HostServer::withholdAnswers(const std::string& method, bool withhold) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  if (withhold) {
    hooks_.withheld.insert(method);
  } else {
    hooks_.withheld.erase(method);
  }
}

void HostServer::delayAnswers(const std::string& method, int milliseconds) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  if (milliseconds > 0) {
    hooks_.delays[method] = milliseconds;
  } else {
    hooks_.delays.erase(method);
  }
}

void HostServer::refuseIdentity(bool refuse) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.refuseIdentity = refuse;
}

void HostServer::omitClientPipe(const std::string& suffix) {
  std::lock_guard<std::mutex> lock(hooksMutex_);
  hooks_.omittedPipe = suffix;
}

int HostServer::dropClients(int clientId) {
  std::vector<std::shared_ptr<ClientSession>> dropped;
  for (auto& s : liveSessions()) {
    if (clientId == 0 || s->info().id == clientId) dropped.push_back(s);
  }
  // The reaper joins them; waiting here for each to finish means the
  // caller's next look at the clients no longer shows them.
  for (auto& s : dropped) s->requestStop();
  for (auto& s : dropped) s->waitFinished();
  for (auto& s : dropped) note(s->name() + " dropped on request");
  return static_cast<int>(dropped.size());
}

int HostServer::restartSessions() {
  std::lock_guard<std::mutex> admit(admitMutex_);
  int dropped = dropClients(0);
  desk()->state.clear();
  return dropped;
}

int HostServer::swapProfile(Profile profile) {
  auto next = std::make_shared<Desk>(std::move(profile), options_.protocol, &faults_);
  std::lock_guard<std::mutex> admit(admitMutex_);
  int dropped = dropClients(0);
  // Device numbers of the old desk mean nothing on the new one.
  faults_.plugAll();
  {
    std::lock_guard<std::mutex> lock(deskMutex_);
    desk_ = std::move(next);
    ++deskNumber_;
  }
  note("now serving \"" + desk()->profile.name + "\"");
  return dropped;
}

void HostServer::closeClientPipes(const std::string& suffix) {
  for (auto& s : liveSessions()) s->closePipe(suffix);
}

int HostServer::sendNotification(const std::vector<uint8_t>& body) {
  int sent = 0;
  for (auto& s : liveSessions()) sent += s->queueNotification(body) ? 1 : 0;
  return sent;
}

int HostServer::pressKey(int vendorKey, bool pressed) {
  sdk::JsonHandle n;
  n.member("vendorKey") = vendorKey;
  n.member("pressed") = pressed;
  return sendNotification(textBody(sdk::toJsonText(n)));
}

void HostServer::recordRequest(const std::string& text, const std::string& method) {
  if (!options_.keepRequests) return;
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.emplace_back(method, text);
  }
  logChanged_.notify_all();
}

std::vector<std::string> HostServer::requests() {
  std::lock_guard<std::mutex> lock(logMutex_);
  std::vector<std::string> texts;
  for (const auto& entry : log_) texts.push_back(entry.second);
  return texts;
}

bool HostServer::waitForRequests(const std::string& method, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(logMutex_);
  return logChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (const auto& entry : log_) seen += method.empty() || entry.first == method ? 1 : 0;
    return seen >= count;
  });
}

int HostServer::clientCount() { return static_cast<int>(liveSessions().size()); }

int HostServer::sessionCount() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  int held = 0;
  for (auto& s : sessions_) held += s->finished() ? 0 : 1;
  return held;
}

int HostServer::registeredClientCount() {
  int count = 0;
  for (auto& s : liveSessions()) count += s->registered() ? 1 : 0;
  return count;
}

std::vector<ClientInfo> HostServer::clients() {
  std::vector<ClientInfo> result;
  for (auto& s : liveSessions()) result.push_back(s->info());
  return result;
}

void HostServer::note(const std::string& line) {
  if (options_.log) options_.log(wallClockText() + " " + line);
}

void HostServer::trace(const std::string& client, const char* direction, const std::string& text) {
  bool print = trace_ && options_.log;
  if (!print && options_.keepTraffic == 0) return;
  TrafficLine line;
  line.time = wallClockText();
  line.text = client + " " + direction + " " + printable(text);
  if (print) options_.log(line.time + " " + line.text);
  if (options_.keepTraffic == 0) return;
  std::lock_guard<std::mutex> lock(trafficMutex_);
  line.number = ++trafficCount_;
  traffic_.push_back(std::move(line));
  if (traffic_.size() > options_.keepTraffic) traffic_.pop_front();
}

std::vector<TrafficLine> HostServer::recentTraffic(uint64_t after) {
  std::lock_guard<std::mutex> lock(trafficMutex_);
  std::vector<TrafficLine> lines;
  for (const TrafficLine& line : traffic_) {
    if (line.number > after) lines.push_back(line);
  }
  return lines;
}

uint64_t HostServer::trafficCount() {
  std::lock_guard<std::mutex> lock(trafficMutex_);
  return trafficCount_;
}

bool HostServer::sleepUnlessStopping(int milliseconds) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopSignal_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [this] { return stopping_.load(); });
}

}  // namespace lumhost
