// lumhost: a stand-in lighting host for developing and testing applications
// without hardware. See docs/lumhost.md.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/console/host_commands.h"
#include "host/console/scenario.h"
#include "host/platform/terminal.h"
#include "host/profile/builtin_profiles.h"
#include "host/profile/device_profile.h"
#include "host/server/host_server.h"
#include "host/views/desk_picture.h"
#include "host/views/live_view.h"
#include "host/views/web/web_access.h"
#include "host/views/web/web_view.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

const char kUsage[] =
    "usage: lumhost [options]\n"
    "  --protocol N        answer as a host of protocol version N (1 to 6, default 5)\n"
    "  --profile FILE      serve the devices of a profile file (docs/host-profile.md),\n"
    "                      or builtin:NAME for a built-in one (default builtin:desk)\n"
    "  --list-profiles     name the built-in profiles and exit\n"
    "  --dump-profile FILE write the profile in use to FILE (- for standard output) and exit\n"
    "  --trace             print every request and answer\n"
    "  --view / --no-view  draw the desk live (default: when standard output is a terminal)\n"
    "  --snapshot FILE     keep an SVG picture of the desk in FILE\n"
    "  --http [ADDR:]PORT  serve a live, clickable page of the desk (address: 127.0.0.1)\n"
    "  --http-token TOKEN  the page's and the API's secret (default: a new random one each run)\n"
    "  --http-no-token     serve the page without a secret (anyone who reaches it may use it)\n"
    "  --max-clients N     serve at most N clients at once (default 64)\n"
    "  --script FILE       run the console commands of a scenario script at their times\n"
    "  --exit-after-script stop after the script's last line (exit code 3 if one failed)\n"
    "  --pipe-base NAME    serve these well-known pipes instead of the standard ones\n"
    "  --no-input          ignore standard input (stop with Ctrl-C only)\n"
    "  --help, --version\n";

struct Arguments {
  int protocol = kDefaultProtocol;
  std::string profilePath;
  std::string dumpPath;
  bool trace = false;
  int view = -1;  // -1: when standard output is a terminal
  std::string snapshotPath;
  bool http = false;
  ListenAddress httpAddress;
  std::string httpToken;  // empty: a random one
  bool httpNoToken = false;
  int maxClients = kDefaultMaxClients;
  std::string scriptPath;
  bool exitAfterScript = false;
  std::wstring pipeBase;
  bool noInput = false;
};

int usageError(const std::string& message) {
  std::fprintf(stderr, "lumhost: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// A whole number from low to high, the whole text.
bool parseInRange(const std::string& text, long low, long high, int* value) {
  char* end = nullptr;
  long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < low || n > high) return false;
  *value = static_cast<int>(n);
  return true;
}

// Returns -1 to go on, else the exit code.
int parseArguments(int argc, char** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("%s (protocol %d to %d)\n", kHostVersionText, kMinProtocol, kMaxProtocol);
      return 0;
    } else if (a == "--protocol") {
      if (!value(&v)) return usageError("--protocol needs a number");
      if (!parseInRange(v, kMinProtocol, kMaxProtocol, &args->protocol)) {
        return usageError("--protocol must be 1 to 6, not \"" + v + "\"");
      }
    } else if (a == "--profile") {
      if (!value(&args->profilePath)) return usageError("--profile needs a file name");
    } else if (a == "--list-profiles") {
      for (const BuiltinProfile& builtin : builtinProfiles()) {
        Profile profile;
        std::string error;
        loadProfileFile(std::string(kBuiltinPrefix) + builtin.name, &profile, &error);
        std::printf("%s%s  %s\n", kBuiltinPrefix, builtin.name, profile.name.c_str());
      }
      return 0;
    } else if (a == "--dump-profile") {
      if (!value(&args->dumpPath)) return usageError("--dump-profile needs a file name or -");
    } else if (a == "--trace") {
      args->trace = true;
    } else if (a == "--view") {
      args->view = 1;
    } else if (a == "--no-view") {
      args->view = 0;
    } else if (a == "--snapshot") {
      if (!value(&args->snapshotPath)) return usageError("--snapshot needs a file name");
    } else if (a == "--http") {
      if (!value(&v)) return usageError("--http needs [ADDRESS:]PORT, such as 8731");
      std::string error;
      if (!parseListenAddress(v, &args->httpAddress, &error)) return usageError(error);
      args->http = true;
    } else if (a == "--http-token") {
      if (!value(&args->httpToken)) return usageError("--http-token needs a token");
      if (!validToken(args->httpToken)) {
        return usageError("--http-token: use 1 to 256 of the characters A-Z a-z 0-9 - . _ ~");
      }
    } else if (a == "--http-no-token") {
      args->httpNoToken = true;
    } else if (a == "--max-clients") {
      if (!value(&v)) return usageError("--max-clients needs a number");
      if (!parseInRange(v, 1, kMaxMaxClients, &args->maxClients)) {
        return usageError("--max-clients must be 1 to " + std::to_string(kMaxMaxClients) +
                          ", not \"" + v + "\"");
      }
    } else if (a == "--script") {
      if (!value(&args->scriptPath)) return usageError("--script needs a file name");
    } else if (a == "--exit-after-script") {
      args->exitAfterScript = true;
    } else if (a == "--pipe-base") {
      if (!value(&v)) return usageError("--pipe-base needs a name");
      args->pipeBase.assign(v.begin(), v.end());
    } else if (a == "--no-input") {
      args->noInput = true;
    } else {
      return usageError("unknown option \"" + a + "\"");
    }
  }
  if (args->httpNoToken && !args->httpToken.empty()) {
    return usageError("--http-token and --http-no-token exclude each other");
  }
  if (args->exitAfterScript && args->scriptPath.empty()) {
    return usageError("--exit-after-script needs --script");
  }
  return -1;
}

// A new secret for the page: 24 random bytes as 48 hex digits.
bool newToken(std::string* token) {
  unsigned char bytes[24];
  if (!secureRandomBytes(bytes, sizeof bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  token->clear();
  for (unsigned char b : bytes) {
    *token += kHex[b >> 4];
    *token += kHex[b & 15];
  }
  return true;
}

// Lines typed on standard input, handed from the reader thread to main.
// Shared by both, so that the reader (which cannot be interrupted while it
// waits for input, and is left behind at exit) never touches freed memory.
struct InputQueue {
  std::mutex mutex;  // guards lines and ended
  std::condition_variable changed;
  std::deque<std::string> lines;
  bool ended = false;
};

void readInput(std::shared_ptr<InputQueue> queue) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->lines.push_back(line);
    queue->changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->ended = true;
  queue->changed.notify_all();
}

int run(int argc, char** argv) {
  Arguments args;
  int code = parseArguments(argc, argv, &args);
  if (code >= 0) return code;

  ServerOptions options;
  options.protocol = args.protocol;
  options.trace = args.trace;
  options.keepRequests = false;
  options.maxClients = args.maxClients;
  // Each client holds three pipes; on POSIX a pipe end is a socket and a
  // pair of descriptors to cancel its waits, and a listening socket until
  // the client connects: at most 12 descriptors. The rest: the well-known
  // pipes and their exchanges, the web page's connections, the terminal.
  constexpr long kDescriptorsPerClient = 12;
  constexpr long kDescriptorsBesides = 256;
  const long wanted = kDescriptorsBesides + kDescriptorsPerClient * args.maxClients;
  const long room = ensureDescriptorRoom(wanted);
  if (room > 0 && room < wanted) {
    const long fit = std::max(1L, (room - kDescriptorsBesides) / kDescriptorsPerClient);
    std::fprintf(stderr,
                 "lumhost: the descriptor limit (%ld) leaves room for %ld clients, not %d; "
                 "serving at most %ld\n",
                 room, fit, args.maxClients, fit);
    options.maxClients = static_cast<int>(fit);
  }
  if (args.http) options.keepTraffic = kWebTrafficLines;
  if (!args.profilePath.empty()) {
    std::string error;
    if (!loadProfileFile(args.profilePath, &options.profile, &error)) {
      std::fprintf(stderr, "lumhost: bad profile: %s\n", error.c_str());
      return 2;
    }
  }
  if (!args.dumpPath.empty()) {
    std::string text = profileToText(options.profile);
    if (args.dumpPath == "-") {
      std::fputs(text.c_str(), stdout);
      return 0;
    }
    std::string error;
    if (!writeTextFile(args.dumpPath, text, &error)) {
      std::fprintf(stderr, "lumhost: --dump-profile %s\n", error.c_str());
      return 2;
    }
    return 0;
  }
  std::vector<ScenarioStep> script;
  if (!args.scriptPath.empty()) {
    std::string error;
    if (!loadScenario(args.scriptPath, &script, &error)) {
      std::fprintf(stderr, "lumhost: --script %s\n", error.c_str());
      return 2;
    }
  }
  options.pipeBase =
      args.pipeBase.empty() ? sdk::WellKnownPipeBase() : sdk::PipePathFromName(args.pipeBase);

  installStopHandlers();
  bool view = args.view == 1 || (args.view == -1 && stdoutIsTerminal());
  if (view && stdoutIsTerminal() && !prepareTerminal()) view = false;
  ConsoleOutput output(stdout);
  options.log = [&output](const std::string& line) { output.print(line); };

  std::string banner = "lumhost: " + servingText(options.profile, args.protocol);
  HostServer server(std::move(options));
  std::string error;
  // A snapshot file that cannot be written is a mistake in the command line:
  // say so now, not twice a second while serving.
  if (!args.snapshotPath.empty() && !writeSnapshot(server, args.snapshotPath, &error)) {
    std::fprintf(stderr, "lumhost: --snapshot %s\n", error.c_str());
    return 2;
  }
  const std::string snapshotPath =
      args.snapshotPath.empty() ? std::string(kDefaultSnapshotPath) : args.snapshotPath;
  // Set by "quit" from the API or a script, and by the script's end with
  // --exit-after-script; the main loop stops on it.
  std::atomic<bool> quitRequested{false};
  std::atomic<bool> scriptFailed{false};
  std::unique_ptr<WebView> web;
  if (args.http) {
    std::string token = args.httpToken;
    if (!args.httpNoToken && token.empty() && !newToken(&token)) {
      std::fprintf(stderr, "lumhost: --http: no random source for the page's token\n");
      return 2;
    }
    WebView::Options webOptions;
    webOptions.listen = args.httpAddress;
    webOptions.token = token;
    webOptions.log = [&output](const std::string& line) { output.print("lumhost: " + line); };
    webOptions.snapshotPath = snapshotPath;
    webOptions.quit = [&quitRequested] { quitRequested = true; };
    web = std::make_unique<WebView>(&server, std::move(webOptions));
    if (!web->start(&error)) {
      std::fprintf(stderr, "lumhost: %s\n", error.c_str());
      return 2;
    }
  }
  if (!server.start(&error)) {
    std::fprintf(stderr, "lumhost: %s\n", error.c_str());
    return 1;
  }
  LiveView live(&server, &output, LiveView::Options{view, args.snapshotPath});
  live.start();
  // The page's address comes first: whoever waits for the banner finds it.
  if (web) {
    output.print("lumhost: the desk page is at " + web->urlWithToken());
    if (args.httpNoToken) {
      output.print(
          "lumhost: --http-no-token: any program or user of this machine that reaches the page "
          "can press keys in your applications and read what they send");
    }
    if (!args.httpAddress.loopback) {
      output.print(
          "lumhost: the page is reachable from other machines: whoever reaches it can "
          "press keys in your applications");
    }
  }
  output.print(banner + (args.noInput ? "; Ctrl-C stops" : "; type help for commands"));

  std::unique_ptr<ScenarioRunner> scenario;
  if (!args.scriptPath.empty()) {
    ScenarioRunner::Options scenarioOptions;
    scenarioOptions.snapshotPath = snapshotPath;
    scenarioOptions.log = [&output](const std::string& line) { output.print(line); };
    const bool exitAfter = args.exitAfterScript;
    scenarioOptions.done = [&, exitAfter](bool quit, bool failed) {
      scriptFailed = failed;
      if (quit || exitAfter) {
        output.print(std::string("lumhost: the script has ended") +
                     (failed ? "; a line of it failed" : ""));
        quitRequested = true;
      }
    };
    scenario = std::make_unique<ScenarioRunner>(&server, std::move(script), scenarioOptions);
    scenario->start();
  }

  auto input = std::make_shared<InputQueue>();
  if (!args.noInput) std::thread(readInput, input).detach();

  bool quit = false;
  while (!quit && !stopRequested() && !quitRequested) {
    std::string line;
    {
      std::unique_lock<std::mutex> lock(input->mutex);
      input->changed.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return !input->lines.empty() || input->ended; });
      if (input->lines.empty()) {
        if (input->ended) break;
        continue;
      }
      line = input->lines.front();
      input->lines.pop_front();
    }
    CommandResult result = runCommand(server, line, snapshotPath);
    if (!result.output.empty()) output.print(result.output);
    quit = result.quit;
  }

  if (scenario) scenario->stop();
  live.stop();
  if (web) web->stop();
  // The last picture shows the desk as the clients left it.
  if (!args.snapshotPath.empty() && !writeSnapshot(server, args.snapshotPath, &error)) {
    std::fprintf(stderr, "lumhost: %s\n", error.c_str());
  }
  server.stop();
  output.print("lumhost: stopped");
  return args.exitAfterScript && scriptFailed ? 3 : 0;
}

}  // namespace
}  // namespace lumhost

int main(int argc, char** argv) { return lumhost::run(argc, argv); }
