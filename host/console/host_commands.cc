#include "host/console/host_commands.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "host/views/desk_picture.h"

namespace lumhost {
namespace {

constexpr int kLitLedsShown = 24;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> result;
  std::string word;
  while (in >> word) result.push_back(word);
  return result;
}

bool parseWhole(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

bool parseNumber(const std::string& text, int* value) {
  long v = 0;
  // Key ids are 1 or more, as profiles give them.
  if (!parseWhole(text, 1, 0x7FFFFFFF, &v)) return false;
  *value = static_cast<int>(v);
  return true;
}

std::string hex(const Rgb& c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", c.r, c.g, c.b);
  return buffer;
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool resolveKey(const Profile& profile, const std::string& name, int* vendorKey,
                std::string* label) {
  int device = 0;
  int index = 0;
  if (!name.empty() && name[0] == '#') {
    label->clear();
    return parseNumber(name.substr(1), vendorKey);
  }
  if (profile.findKeyLabel(name, &device, &index)) {
    const Led& led = profile.devices[device].leds[index];
    *vendorKey = led.pressKeyId();
    *label = led.key;
    return true;
  }
  label->clear();
  return parseNumber(name, vendorKey);
}

std::string describeFaults(HostServer& server) {
  Faults& faults = server.faults();
  std::vector<std::string> parts;
  if (faults.stall() > 0)
    parts.push_back("answers stalled " + std::to_string(faults.stall()) + " ms");
  if (faults.frozen()) parts.push_back("frozen");
  for (int d = 0; d < static_cast<int>(server.profile()->devices.size()); ++d) {
    if (!faults.plugged(d)) parts.push_back("device " + std::to_string(d) + " unplugged");
  }
  for (const auto& f : faults.pendingFailures()) {
    parts.push_back(f.first + " fails with " + std::to_string(f.second.first) + " " +
                    std::to_string(f.second.second) + " more time" +
                    (f.second.second == 1 ? "" : "s"));
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

std::string describeState(HostServer& server) {
  std::ostringstream out;
  std::shared_ptr<Desk> desk = server.desk();
  const Profile& profile = desk->profile;
  int controller = desk->state.controller();
  out << "control: " << (controller == 0 ? "nobody" : "client-" + std::to_string(controller))
      << " holds exclusive control";
  for (const ClientLayerSummary& s : desk->state.clients()) {
    out << "\n  client-" << s.clientId << ": layer priority " << s.priority << ", " << s.ledsSet
        << " LEDs set" << (s.holdsControl ? ", holds control" : "");
  }
  std::string faults = describeFaults(server);
  if (!faults.empty()) out << "\nfaults: " << faults;
  DeskColors colors = desk->state.composed();
  for (size_t d = 0; d < profile.devices.size(); ++d) {
    const Device& dev = profile.devices[d];
    std::vector<std::string> lit;
    for (size_t i = 0; i < dev.leds.size(); ++i) {
      if (colors[d][i] == Rgb()) continue;
      const Led& led = dev.leds[i];
      lit.push_back(std::to_string(led.id) + (led.key.empty() ? "" : "(" + led.key + ")") + " " +
                    hex(colors[d][i]));
    }
    out << "\ndevice " << d << " " << dev.model << ": " << lit.size() << " of " << dev.leds.size()
        << " LEDs lit";
    for (size_t i = 0; i < lit.size() && i < static_cast<size_t>(kLitLedsShown); ++i) {
      out << (i % 6 == 0 ? "\n    " : "  ") << lit[i];
    }
    if (lit.size() > static_cast<size_t>(kLitLedsShown)) {
      out << "\n    ... and " << lit.size() - kLitLedsShown << " more";
    }
  }
  return out.str();
}

std::string servingText(const Profile& profile, int protocol) {
  size_t n = profile.devices.size();
  std::string text = "serving " + std::to_string(n) + (n == 1 ? " device" : " devices");
  if (!profile.name.empty()) text += " of \"" + profile.name + "\"";
  return text + " as a protocol " + std::to_string(protocol) + " host";
}

bool writeSnapshot(HostServer& server, const std::string& path, std::string* error) {
  std::shared_ptr<Desk> desk = server.desk();
  std::string title = "lumhost: " + desk->profile.name + ", protocol " +
                      std::to_string(server.protocol()) + ", " +
                      std::to_string(server.clientCount()) + " clients";
  return writeTextFile(path, renderSvg(desk->profile, desk->state.composed(), title), error);
}

namespace {

// One command's arguments and where its answer goes.
struct Invocation {
  HostServer& server;
  const std::vector<std::string>& words;  // words[0] is the command as typed
  const std::string& snapshotPath;
  CommandResult* result;
  std::string command;  // words[0] in lower case
};

struct CommandEntry {
  const char* name;
  const char* alias;  // "" when none
  int minArgs;
  int maxArgs;
  const char* usage;  // after the name
  const char* help;
  void (*run)(Invocation& call);
};

void runKey(Invocation& call) {
  HostServer& server = call.server;
  int key = 0;
  std::string label;
  if (!resolveKey(*server.profile(), call.words[1], &key, &label)) {
    call.result->output = "no key \"" + printable(call.words[1]) +
                          "\" (give a key label, or #N for key id N of 1 or more)";
    call.result->ok = false;
    return;
  }
  int sent = 0;
  if (call.command != "release") sent = server.pressKey(key, true);
  if (call.command != "press") sent = server.pressKey(key, false);
  std::string what = call.command == "press"     ? "pressed"
                     : call.command == "release" ? "released"
                                                 : "tapped";
  call.result->output = "key " + std::to_string(key) + (label.empty() ? "" : " (" + label + ")") +
                        " " + what + ": sent to " + std::to_string(sent) + " registered client" +
                        (sent == 1 ? "" : "s");
}

void runClients(Invocation& call) {
  std::vector<ClientInfo> clients = call.server.clients();
  std::ostringstream out;
  out << clients.size() << " client" << (clients.size() == 1 ? "" : "s") << " connected";
  for (const ClientInfo& c : clients) {
    out << "\n  " << c.name << "  identity " << printable(c.identity) << "  protocol "
        << c.sdkProtocolVersion << "  " << c.requests << " requests"
        << (c.registered ? "  registered for keys" : "") << "\n    pipes " << c.pipeBase;
  }
  call.result->output = out.str();
}

void runState(Invocation& call) { call.result->output = describeState(call.server); }

void runSnapshot(Invocation& call) {
  if (call.words.size() > 2) {
    call.result->ok = false;
    call.result->output = "usage: snapshot [FILE] (one file name, without spaces)";
    return;
  }
  std::string path = call.words.size() > 1 ? call.words[1] : call.snapshotPath;
  std::string error;
  call.result->ok = writeSnapshot(call.server, path, &error);
  call.result->output =
      call.result->ok ? "snapshot written to " + printable(path) : printable(error);
}

void runTrace(Invocation& call) {
  HostServer& server = call.server;
  if (call.words.size() >= 2) {
    std::string state = lowerCase(call.words[1]);
    if (call.words.size() > 2 || (state != "on" && state != "off")) {
      call.result->ok = false;
      call.result->output =
          std::string("usage: trace on|off (trace is ") + (server.tracing() ? "on" : "off") + ")";
      return;
    }
    server.setTrace(state == "on");
  }
  call.result->output = std::string("trace is ") + (server.tracing() ? "on" : "off");
}

void runStall(Invocation& call) {
  Faults& faults = call.server.faults();
  if (call.words.size() == 2) {
    long ms = 0;
    if (!parseWhole(call.words[1], 0, kMaxStallMs, &ms)) {
      call.result->ok = false;
      call.result->output = "usage: stall MS (0 to " + std::to_string(kMaxStallMs) + ")";
      return;
    }
    faults.setStall(static_cast<int>(ms));
  }
  int ms = faults.stall();
  call.result->output = ms == 0 ? std::string("answers are not stalled")
                                : "every answer waits " + std::to_string(ms) + " ms";
}

void runFreeze(Invocation& call) {
  if (call.command == "freeze") {
    call.server.faults().freeze();
    call.result->output = "frozen: no request is answered until thaw";
  } else {
    call.server.faults().thaw();
    call.result->output = "thawed: requests are answered again";
  }
}

// "client-3", "3": a client id; 0 for none given.
bool clientId(const std::string& text, int* id) {
  std::string number = lowerCase(text);
  if (number.rfind("client-", 0) == 0) number = number.substr(7);
  long v = 0;
  if (!parseWhole(number, 1, 0x7FFFFFFF, &v)) return false;
  *id = static_cast<int>(v);
  return true;
}

void runDrop(Invocation& call) {
  int id = 0;
  if (call.words.size() == 2 && !clientId(call.words[1], &id)) {
    call.result->ok = false;
    call.result->output = "usage: drop [CLIENT] (client-N or N, as clients lists them)";
    return;
  }
  int dropped = call.server.dropClients(id);
  if (id != 0 && dropped == 0) {
    call.result->ok = false;
    call.result->output = "no client-" + std::to_string(id) + " is connected";
    return;
  }
  call.result->output =
      "dropped " + std::to_string(dropped) + " client" + (dropped == 1 ? "" : "s");
}

void runRestart(Invocation& call) {
  int dropped = call.server.restartSessions();
  call.result->output = "restarted: dropped " + std::to_string(dropped) + " client" +
                        (dropped == 1 ? "" : "s") + " and forgot the lighting state";
}

void runProfile(Invocation& call) {
  if (call.words.size() == 1) {
    call.result->output = servingText(*call.server.profile(), call.server.protocol());
    return;
  }
  Profile profile;
  std::string error;
  if (!loadProfileFile(call.words[1], &profile, &error)) {
    call.result->ok = false;
    call.result->output = "bad profile: " + printable(error);
    return;
  }
  int dropped = call.server.swapProfile(std::move(profile));
  call.result->output = "dropped " + std::to_string(dropped) + " client" +
                        (dropped == 1 ? "" : "s") + "; now " +
                        servingText(*call.server.profile(), call.server.protocol());
}

void runFail(Invocation& call) {
  Faults& faults = call.server.faults();
  if (call.words.size() == 1) {
    std::ostringstream out;
    auto pending = faults.pendingFailures();
    out << (pending.empty() ? "no failures pending" : "failures pending:");
    for (const auto& f : pending) {
      out << "\n  " << f.first << ": error " << f.second.first << ", " << f.second.second
          << " more";
    }
    call.result->output = out.str();
    return;
  }
  std::string method;
  for (const std::string& known : knownMethods()) {
    if (lowerCase(known) == lowerCase(call.words[1])) method = known;
  }
  long code = 0;
  long count = 1;
  if (method.empty() || call.words.size() < 3 ||
      !parseWhole(call.words[2], -2147483647L, 2147483647L, &code) ||
      (call.words.size() == 4 && !parseWhole(call.words[3], 0, 1000000, &count))) {
    call.result->ok = false;
    call.result->output = method.empty() && call.words.size() >= 2
                              ? "no method \"" + printable(call.words[1]) +
                                    "\" (such as VelmoraGetDeviceCount; see docs/lumhost.md)"
                              : "usage: fail METHOD CODE [COUNT] (COUNT 1 when left out, 0 "
                                "forgets)";
    return;
  }
  faults.failNext(method, static_cast<int>(code), static_cast<int>(count));
  call.result->output = count == 0 ? "no more failures of " + method
                                   : "the next " + std::to_string(count) + " answer" +
                                         (count == 1 ? "" : "s") + " of " + method +
                                         " carry error " + std::to_string(code);
}

void runPlug(Invocation& call) {
  std::shared_ptr<const Profile> served = call.server.profile();
  const Profile& profile = *served;
  long device = 0;
  if (!parseWhole(call.words[1], 0, static_cast<long>(profile.devices.size()) - 1, &device)) {
    call.result->ok = false;
    call.result->output = "usage: " + call.command + " N (a device index of the profile, 0 to " +
                          std::to_string(static_cast<long>(profile.devices.size()) - 1) + ")";
    return;
  }
  Faults& faults = call.server.faults();
  int d = static_cast<int>(device);
  bool unplug = call.command == "unplug";
  bool was = faults.plugged(d);
  if (unplug) {
    faults.unplug(d);
  } else {
    faults.plug(d);
  }
  int count =
      static_cast<int>(faults.pluggedDevices(static_cast<int>(profile.devices.size())).size());
  call.result->output =
      "device " + std::to_string(d) + " " + profile.devices[d].model +
      (was == !unplug ? (unplug ? " was already unplugged" : " was already plugged")
                      : (unplug ? " unplugged" : " plugged in")) +
      "; clients see " + std::to_string(count) + " device" + (count == 1 ? "" : "s");
}

void runHelp(Invocation& call);

void runQuit(Invocation& call) { call.result->quit = true; }

const std::vector<CommandEntry>& commands() {
  static const auto* kCommands = new std::vector<CommandEntry>{
      {"press", "", 1, 1, "KEY", "send a key press to every registered client", runKey},
      {"release", "", 1, 1, "KEY", "send a key release", runKey},
      {"tap", "", 1, 1, "KEY",
       "press and release\n"
       "                  KEY: a key label of the profile (A, Esc, F5, Space) or #N for key id N",
       runKey},
      {"clients", "", 0, 0, "", "list the connected clients", runClients},
      {"state", "show", 0, 0, "", "who holds control, each client's layer, the lit LEDs, faults",
       runState},
      {"snapshot", "", 0, 99, "[FILE]",
       "write an SVG picture of the desk (default: the --snapshot file)", runSnapshot},
      {"trace", "", 0, 99, "on|off", "print every request and answer; alone: tells which",
       runTrace},
      {"stall", "", 0, 1, "[MS]", "every answer waits MS ms (0: no more); alone: tells", runStall},
      {"freeze", "", 0, 0, "", "answer no request until thaw", runFreeze},
      {"thaw", "", 0, 0, "", "answer requests again", runFreeze},
      {"drop", "", 0, 1, "[CLIENT]", "close the pipes of a client (client-N or N), or of all",
       runDrop},
      {"restart", "", 0, 0, "", "drop every client and forget the lighting state", runRestart},
      {"fail", "", 0, 3, "[METHOD CODE [COUNT]]",
       "the next COUNT (1) answers of METHOD carry errorCode CODE; alone: lists", runFail},
      {"unplug", "", 1, 1, "N", "device N leaves the device list", runPlug},
      {"plug", "", 1, 1, "N", "device N comes back", runPlug},
      {"profile", "", 0, 1, "[FILE|builtin:NAME]",
       "serve another desk (every client dropped, as a restart); alone: tells which", runProfile},
      {"help", "?", 0, 0, "", "this list", runHelp},
      {"quit", "exit", 0, 0, "", "stop the host (so do Ctrl-C and the end of input)", runQuit},
  };
  return *kCommands;
}

void runHelp(Invocation& call) {
  std::ostringstream out;
  out << "commands:";
  for (const CommandEntry& c : commands()) {
    std::string head = std::string(c.name) + (c.usage[0] != '\0' ? " " : "") + c.usage;
    if (c.alias[0] != '\0') head += ", " + std::string(c.alias);
    out << "\n  " << head;
    if (head.size() < 16) {
      out << std::string(16 - head.size(), ' ');
    } else {
      out << "\n" << std::string(18, ' ');
    }
    out << c.help;
  }
  out << "\ncommands and key labels may be typed in any case";
  call.result->output = out.str();
}

}  // namespace

CommandResult runCommand(HostServer& server, const std::string& line,
                         const std::string& snapshotPath) {
  CommandResult result;
  std::vector<std::string> w = words(line);
  if (w.empty()) return result;
  const std::string command = lowerCase(w[0]);
  for (const CommandEntry& entry : commands()) {
    if (command != entry.name && command != entry.alias) continue;
    int args = static_cast<int>(w.size()) - 1;
    if (args < entry.minArgs || args > entry.maxArgs) {
      result.ok = false;
      result.output =
          std::string("usage: ") + entry.name + (entry.usage[0] != '\0' ? " " : "") + entry.usage;
      return result;
    }
    Invocation call{server, w, snapshotPath, &result, entry.name};
    entry.run(call);
    return result;
  }
  // Echoed words are escaped: a typed control character must not reach the
  // terminal as one.
  result.ok = false;
  result.output = "unknown command \"" + printable(w[0]) + "\" (type help)";
  return result;
}

}  // namespace lumhost
