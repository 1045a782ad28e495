#include "host/console/host_commands.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
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

bool parseNumber(const std::string& text, int* value) {
  if (text.empty() || text.size() > 10) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  // Key ids are 1 or more, as profiles give them.
  if (*end != '\0' || v < 1 || v > 0x7FFFFFFF) return false;
  *value = static_cast<int>(v);
  return true;
}

std::string hex(const Rgb& c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", c.r, c.g, c.b);
  return buffer;
}

const char kHelp[] =
    "commands:\n"
    "  press KEY      send a key press to every registered client\n"
    "  release KEY    send a key release\n"
    "  tap KEY        press and release\n"
    "                 KEY: a key label of the profile (A, Esc, F5, Space) or #N for key id N\n"
    "  clients        list the connected clients\n"
    "  state, show    who holds control, each client's layer, the lit LEDs\n"
    "  snapshot [F]   write an SVG picture of the desk (default: the --snapshot file)\n"
    "  trace on|off   print every request and answer; trace alone tells which\n"
    "  help           this list\n"
    "  quit, exit     stop the host (so do Ctrl-C and the end of input)\n"
    "commands and key labels may be typed in any case";

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

std::string describeState(HostServer& server) {
  std::ostringstream out;
  const Profile& profile = server.profile();
  int controller = server.state().controller();
  out << "control: " << (controller == 0 ? "nobody" : "client-" + std::to_string(controller))
      << " holds exclusive control";
  for (const ClientLayerSummary& s : server.state().clients()) {
    out << "\n  client-" << s.clientId << ": layer priority " << s.priority << ", " << s.ledsSet
        << " LEDs set" << (s.holdsControl ? ", holds control" : "");
  }
  DeskColors colors = server.state().composed();
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
  const Profile& profile = server.profile();
  std::string title = "lumhost: " + profile.name + ", protocol " +
                      std::to_string(server.protocol()) + ", " +
                      std::to_string(server.clientCount()) + " clients";
  return writeTextFile(path, renderSvg(profile, server.state().composed(), title), error);
}

CommandResult runCommand(HostServer& server, const std::string& line,
                         const std::string& snapshotPath) {
  CommandResult result;
  std::vector<std::string> w = words(line);
  if (w.empty()) return result;
  // Echoed words are escaped: a typed control character must not reach the
  // terminal as one.
  const std::string command = lowerCase(w[0]);
  if (command == "help" || command == "?") {
    result.output = kHelp;
  } else if (command == "quit" || command == "exit") {
    result.quit = true;
  } else if (command == "press" || command == "release" || command == "tap") {
    if (w.size() != 2) {
      result.output = "usage: " + command + " KEY";
      return result;
    }
    int key = 0;
    std::string label;
    if (!resolveKey(server.profile(), w[1], &key, &label)) {
      result.output =
          "no key \"" + printable(w[1]) + "\" (give a key label, or #N for key id N of 1 or more)";
      return result;
    }
    int sent = 0;
    if (command != "release") sent = server.pressKey(key, true);
    if (command != "press") sent = server.pressKey(key, false);
    std::string what = command == "press"     ? "pressed"
                       : command == "release" ? "released"
                                              : "tapped";
    result.output = "key " + std::to_string(key) + (label.empty() ? "" : " (" + label + ")") + " " +
                    what + ": sent to " + std::to_string(sent) + " registered client" +
                    (sent == 1 ? "" : "s");
  } else if (command == "clients") {
    std::vector<ClientInfo> clients = server.clients();
    std::ostringstream out;
    out << clients.size() << " client" << (clients.size() == 1 ? "" : "s") << " connected";
    for (const ClientInfo& c : clients) {
      out << "\n  " << c.name << "  identity " << printable(c.identity) << "  protocol "
          << c.sdkProtocolVersion << "  " << c.requests << " requests"
          << (c.registered ? "  registered for keys" : "") << "\n    pipes " << c.pipeBase;
    }
    result.output = out.str();
  } else if (command == "state" || command == "show") {
    result.output = describeState(server);
  } else if (command == "snapshot") {
    if (w.size() > 2) {
      result.output = "usage: snapshot [FILE] (one file name, without spaces)";
      return result;
    }
    std::string path = w.size() > 1 ? w[1] : snapshotPath;
    std::string error;
    result.output = writeSnapshot(server, path, &error) ? "snapshot written to " + printable(path)
                                                        : printable(error);
  } else if (command == "trace") {
    std::string state = w.size() == 2 ? lowerCase(w[1]) : std::string();
    if (w.size() > 2 || (w.size() == 2 && state != "on" && state != "off")) {
      result.output =
          std::string("usage: trace on|off (trace is ") + (server.tracing() ? "on" : "off") + ")";
      return result;
    }
    if (w.size() == 2) server.setTrace(state == "on");
    result.output = std::string("trace is ") + (server.tracing() ? "on" : "off");
  } else {
    result.output = "unknown command \"" + printable(w[0]) + "\" (type help)";
  }
  return result;
}

}  // namespace lumhost
