// The host's pipe side: it serves the well-known pipe pair, gives each client
// identity a set of three pipes of its own, answers every request on the
// client's "_in" pipe on its "_out" pipe, and sends key-press notifications
// on "_callback". Several clients are served at once, each on its own
// threads. Scripting hooks let tests make the host misbehave on purpose.
//
// Threads, all owned by the server and joined by stop():
// - the acceptor: waits on the well-known pipe pair for the next client,
//   hands the connected pair to an identity exchange and makes the next pair
//   at once, so a client that sends nothing holds up nobody; stopped by
//   cancelling the well-known streams it waits on.
// - per connected well-known pair, an identity exchange (at most
//   kMaxIdentityExchanges at once): reads the identity (within
//   identityTimeoutMs), creates the client's pipes and session unless
//   maxClients are served, and answers with their base name; stopped by
//   cancelling its streams.
// - per client, a session thread: connects the client's pipes, then reads
//   requests as their bytes arrive and writes answers until the client goes
//   away or stop(); stopped by cancelling the client's streams.
// - per client registered for key presses, a notifier: writes queued
//   notifications to "_callback", so that a client that does not read them
//   never holds up anybody else; stopped by its flag and by cancelling the
//   "_callback" stream; started and joined by the session thread.
// - the reaper: joins the thread of each session that has ended (so none
//   is left unjoined while the host runs); waits on reapSignal_; stopped by
//   stop().
//
// Locks, in the order in which they may be taken together:
//   1. admitMutex_ (admitting one client at a time), then sessionsMutex_
//      (the list of sessions), then a session's mutexes;
//   2. ClientSession::outMutex_ / callbackMutex_ (one stream each), then
//      ClientSession::queueMutex_;
//   hooksMutex_, logMutex_, trafficMutex_, acceptMutex_, exchangesMutex_,
//   deskMutex_, the faults' and the lighting state's mutex are leaves:
//   nothing else is locked while one of them is held.
#ifndef LUMSDK_HOST_SERVER_HOST_SERVER_H_
#define LUMSDK_HOST_SERVER_HOST_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/profile/device_profile.h"
#include "host/server/faults.h"
#include "host/server/request_handler.h"
#include "host/state/lighting_state.h"

namespace sdk {
class IStream;
}

namespace lumhost {

// Clients served at once unless told otherwise, and the most one may ask for.
constexpr int kDefaultMaxClients = 64;
constexpr int kMaxMaxClients = 4096;
// Well-known pairs whose identity is being read at once; the next client
// waits (on a busy pipe, as clients do) until one is done.
constexpr int kMaxIdentityExchanges = 16;

struct ServerOptions {
  int protocol = kDefaultProtocol;
  Profile profile = defaultProfile();
  // Base name of the well-known pipes ("_in" and "_out" are appended).
  std::wstring pipeBase;
  // Print every request and answer through log.
  bool trace = false;
  // Receives trace lines and notes about clients coming and going, from any
  // of the server's threads, one line at a time without a line end. May be
  // empty.
  std::function<void(const std::string&)> log;
  // Keep every request for requests() and waitForRequests(), as tests want.
  // A long-running host turns it off: the list would grow without end.
  bool keepRequests = true;
  // How many of the latest trace lines recentTraffic() keeps, whether the
  // trace is printed or not; 0: none.
  size_t keepTraffic = 0;
  // Clients served at once; more are refused (an empty pipe name, and a line
  // in the log) before the process runs out of descriptors or threads.
  int maxClients = kDefaultMaxClients;
  // A client that connected the well-known pipes sends its identity within
  // this time, or is let go.
  int identityTimeoutMs = 250;
  // A client connects its pipes and sends its first request (the library
  // sends its handshake) within this time after it was given its pipes, or
  // its session is dropped.
  int firstRequestTimeoutMs = 5000;
  // Once its first byte has arrived, a request arrives whole within this
  // time (the library writes one in one go), or the session is dropped.
  int frameTimeoutMs = 10000;
};

// One line of the trace, as recentTraffic() keeps it.
struct TrafficLine {
  uint64_t number = 0;  // 1 for the first line since the server was made
  std::string time;     // "HH:MM:SS.mmm"
  std::string text;     // "client-1 -> {...}", control bytes escaped
};

// What the client list and the console show about one client.
struct ClientInfo {
  int id = 0;
  std::string name;      // "client-<id>"
  std::string identity;  // as the client sent it
  std::string pipeBase;  // narrow form of its pipes' base name
  int sdkProtocolVersion = 0;
  bool registered = false;
  int requests = 0;
};

class ClientSession;

// What the host serves: a profile, the lighting state of its LEDs and the
// request handler that answers about them. The profile command replaces the
// whole desk at once; whoever holds a desk (a session, a view drawing a
// picture) keeps it alive and consistent until it lets go.
struct Desk {
  Desk(Profile deskProfile, int protocol, Faults* faults)
      : profile(std::move(deskProfile)),
        state(profile),
        handler(profile, &state, protocol, faults) {}
  const Profile profile;
  LightingState state;
  RequestHandler handler;
};

// The text with control bytes escaped (a line end as \n, ESC as \x1b), cut at
// 400 bytes: safe to print on a terminal as one line, whoever wrote it.
std::string printable(const std::string& text);

class HostServer {
 public:
  explicit HostServer(ServerOptions options);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Creates the well-known pipes and starts serving. Fails with a message
  // when another host already serves them or they cannot be created.
  bool start(std::string* error);
  // Stops serving: closes every pipe, forgets every client, joins every
  // thread. The request log and the hooks stay. start() may follow.
  void stop();
  bool running() const;

  // Switches the trace of requests and answers on or off.
  void setTrace(bool on) { trace_ = on; }
  bool tracing() const { return trace_; }

  // The desk served now. Hold the pointer while using what it points to:
  // swapProfile() may replace the desk meanwhile.
  std::shared_ptr<Desk> desk() const;
  std::shared_ptr<const Profile> profile() const;
  std::shared_ptr<LightingState> state() const;
  // Grows each time swapProfile() replaces the desk.
  uint64_t deskNumber() const;
  int protocol() const { return options_.protocol; }
  const std::wstring& pipeBase() const { return options_.pipeBase; }
  // The faults injected by commands (stall, freeze, fail, unplug).
  Faults& faults() { return faults_; }

  // Closes the pipes of the client with that id, or of every client (id 0),
  // and waits until their sessions have ended. Returns how many.
  int dropClients(int clientId);
  // As a restarted host: every client dropped, all lighting state forgotten.
  // The well-known pipes stay served, so clients can come back.
  int restartSessions();
  // As a restarted host with other devices: every client dropped, the
  // lighting state and the unplugged devices forgotten, and the profile
  // served from then on. Returns how many clients were dropped.
  int swapProfile(Profile profile);

  // --- Scripting hooks (see host/fixture/host_fixture.h for their meaning).
  void replaceAnswer(const std::string& method, std::string rawText);
  struct WireScript {
    std::vector<std::string> pieces;
    int pauseMs = 0;
    bool endSession = false;
  };
  void scriptAnswerBytes(const std::string& method, WireScript script);
  void withholdAnswers(const std::string& method, bool withhold);
  void delayAnswers(const std::string& method, int milliseconds);
  void closeClientPipes(const std::string& suffix);
  void refuseIdentity(bool refuse);
  void omitClientPipe(const std::string& suffix);
  // Queues a frame body for every registered client; returns how many.
  int sendNotification(const std::vector<uint8_t>& body);
  int pressKey(int vendorKey, bool pressed);

  // Every request text received, in order, without its 0 byte.
  std::vector<std::string> requests();
  // Waits until count requests with that method ("" for any) have arrived.
  bool waitForRequests(const std::string& method, size_t count, int timeoutMs);
  int clientCount();
  // Sessions held, served or still waiting for the client to connect.
  int sessionCount();
  int registeredClientCount();
  std::vector<ClientInfo> clients();
  // The kept trace lines numbered above `after`, oldest first; and the
  // number of the latest line (0: none yet).
  std::vector<TrafficLine> recentTraffic(uint64_t after);
  uint64_t trafficCount();

 private:
  friend class ClientSession;

  struct Hooks {
    std::map<std::string, std::string> replaced;
    std::map<std::string, WireScript> wire;
    std::set<std::string> withheld;
    std::map<std::string, int> delays;
    bool refuseIdentity = false;
    std::string omittedPipe;
    // Whether any hook changes the answer of some method.
    bool shapeAnswers() const {
      return !replaced.empty() || !wire.empty() || !withheld.empty() || !delays.empty();
    }
  };

  struct IdentityExchange;
  void acceptLoop(std::shared_ptr<sdk::IStream> in, std::shared_ptr<sdk::IStream> out);
  // Reads a connected pair's identity and answers it; on the exchange's
  // own thread.
  void exchangeIdentity(IdentityExchange* exchange);
  // Joins finished exchanges; with all, cancels and joins every one.
  void joinExchanges(bool all);
  bool createWellKnown(std::shared_ptr<sdk::IStream>* in, std::shared_ptr<sdk::IStream>* out);
  // Creates the client's pipes and its session; the reply text (empty when
  // refused or failed).
  std::string admitClient(const std::string& identity);
  // Called by a session's thread as its last act; the reaper joins it.
  void sessionFinished();
  void reapLoop();
  std::vector<std::shared_ptr<ClientSession>> liveSessions();
  Hooks hooks();

  // Called by sessions.
  void recordRequest(const std::string& text, const std::string& method);
  void note(const std::string& line);
  void trace(const std::string& client, const char* direction, const std::string& text);
  // Waits for the delay or until stop; false when stopping.
  bool sleepUnlessStopping(int milliseconds);

  ServerOptions options_;  // its profile was moved into the first desk
  std::atomic<bool> trace_{false};
  Faults faults_;

  // Guards desk_ and deskNumber_. Leaf.
  mutable std::mutex deskMutex_;
  std::shared_ptr<Desk> desk_;
  uint64_t deskNumber_ = 0;

  std::atomic<bool> stopping_{false};
  std::atomic<bool> running_{false};
  std::thread acceptor_;  // owned by start()/stop()
  std::thread reaper_;    // owned by start()/stop()

  // Guards the well-known streams the acceptor is waiting on, so that stop()
  // can cancel them. Leaf.
  std::mutex acceptMutex_;
  std::shared_ptr<sdk::IStream> acceptIn_;
  std::shared_ptr<sdk::IStream> acceptOut_;

  // Guards exchanges_ and wakes the acceptor when one ends. Leaf.
  std::mutex exchangesMutex_;
  std::condition_variable exchangeEnded_;
  std::list<std::unique_ptr<IdentityExchange>> exchanges_;

  // Held across admitClient: the count of sessions and the new one agree;
  // and across a restart or a profile swap, so that no client is admitted
  // between dropping the old ones and forgetting their state.
  std::mutex admitMutex_;

  // Guards sessions_ and reapPending_. Taken before any session's own
  // mutexes.
  std::mutex sessionsMutex_;
  std::condition_variable reapSignal_;
  std::vector<std::shared_ptr<ClientSession>> sessions_;
  bool reapPending_ = false;

  // Guards hooks_. Leaf.
  std::mutex hooksMutex_;
  Hooks hooks_;

  // Guards log_ and wakes waitForRequests. Leaf.
  std::mutex logMutex_;
  std::condition_variable logChanged_;
  std::vector<std::pair<std::string, std::string>> log_;  // (method, text)

  // Guards traffic_ and trafficCount_. Leaf.
  std::mutex trafficMutex_;
  std::deque<TrafficLine> traffic_;
  uint64_t trafficCount_ = 0;

  // Wakes delayed answers at stop(). Leaf.
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_SERVER_HOST_SERVER_H_
