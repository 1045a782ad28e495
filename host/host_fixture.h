// The stand-in host inside a test process: the same host as the lumhost
// program, serving real pipes on its own threads, with hooks that script
// how it misbehaves.
//
//   lumhost::HostFixture host;                 // serving from here on
//   VelmoraPerformProtocolHandshake();          // the library finds it
//   host.withholdAnswers("VelmoraGetDeviceCount", true);
//
// With useUniquePipeBase (the default) the fixture serves pipes whose names
// are unique to this process and fixture, and points the library of the same
// process at them (sdk::SetWellKnownPipeBaseForTesting), so tests can run in
// parallel with each other and with a real host.
//
// Hooks take effect for requests read after the call. They last until
// changed, across stop() and restart(). A request whose answer is replaced
// or withheld is not carried out: the scripted answer (or silence) stands for
// the host's whole reaction. A delayed request is carried out after the
// delay.
//
// Every method is safe to call from any thread. Errors in setting up (a bad
// profile, pipes that cannot be created) throw std::runtime_error.
#ifndef LUMSDK_HOST_HOST_FIXTURE_H_
#define LUMSDK_HOST_HOST_FIXTURE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/device_profile.h"

namespace lumhost {

class HostServer;

struct HostFixtureOptions {
  int protocol = 5;         // 1 to 6: the version the host answers as
  std::string profilePath;  // empty: the built-in desk
  bool useUniquePipeBase = true;
};

class HostFixture {
 public:
  using Options = HostFixtureOptions;

  explicit HostFixture(Options options = {});
  // Stops: closes every pipe, disconnects the clients, joins every thread.
  ~HostFixture();
  HostFixture(const HostFixture&) = delete;
  HostFixture& operator=(const HostFixture&) = delete;

  // Answers the method with this raw text (a 0 byte is appended, as to every
  // text the host sends); anything goes: malformed JSON, missing members,
  // wrong types. "" restores the real answer.
  void replaceAnswer(const std::string& method, std::string rawText);
  // Never answers the method (the client runs into its time-out).
  void withholdAnswers(const std::string& method, bool withhold);
  // Answers the method only after this many milliseconds; 0 restores.
  void delayAnswers(const std::string& method, int milliseconds);
  // Closes this pipe ("_in", "_out" or "_callback") of every connected
  // client. Closing "_in" ends the client's session (the host can no longer
  // hear it) and so closes its other pipes too; "_out" ends it at the next
  // request; after "_callback" the client is still served.
  void closeClientPipes(const std::string& suffix);
  // Answers every identity with an empty name (a body of one 0 byte).
  void refuseIdentity(bool refuse);
  // Clients that arrive from now on are missing this pipe ("_in", "_out" or
  // "_callback"); "" restores.
  void omitClientPipe(const std::string& suffix);
  // Sends this raw frame body, exactly as given (no 0 byte is appended), to
  // every client registered for key presses.
  void sendNotification(const std::string& rawText);
  // Sends {"vendorKey": n, "pressed": b} to every registered client.
  void pressKey(int vendorKey, bool pressed);

  // Every request text received, in order, without its 0 byte.
  std::vector<std::string> requests();
  // Waits until at least count requests with that method ("" for any) have
  // arrived since the fixture started.
  bool waitForRequests(const std::string& method, size_t count, int timeoutMs);
  // Clients whose pipes are connected and served, and those of them that
  // registered for key presses.
  int clientCount();
  int registeredClientCount();
  // Waits until clientCount() equals count.
  bool waitForClientCount(int count, int timeoutMs);

  // The composed colour of an LED as a user would see it, on the first
  // device that has the id; false when no device has it. An LED nobody set
  // is (0, 0, 0).
  bool ledColor(int ledId, int* r, int* g, int* b);
  bool ledColorOnDevice(int deviceIndex, int ledId, int* r, int* g, int* b);

  // The host goes away (pipes closed, clients dropped, state forgotten) and
  // comes back with a fresh state under the same pipe names.
  void stop();
  void restart();
  bool running();

  const Profile& profile() const;
  // The base name of the well-known pipes served.
  std::wstring pipeBase() const;
  int protocol() const;

 private:
  std::unique_ptr<HostServer> server_;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_HOST_FIXTURE_H_
