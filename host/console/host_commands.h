// The commands a developer types into a running lumhost, or sends through
// the web page's API or a scenario script: press and release keys, list
// clients, show the lighting state, write a snapshot, inject faults (stall,
// freeze, fail, drop, restart, unplug), quit. One table serves all three.
#ifndef LUMSDK_HOST_CONSOLE_HOST_COMMANDS_H_
#define LUMSDK_HOST_CONSOLE_HOST_COMMANDS_H_

#include <string>

#include "host/server/host_server.h"

namespace lumhost {

struct CommandResult {
  std::string output;  // text to show, lines separated by "\n", no final line end
  bool ok = true;      // false: unknown command, wrong arguments, or it failed
  bool quit = false;
};

// The longest stall a command may set: ten minutes.
constexpr long kMaxStallMs = 600000;

// Where "snapshot" without a file name writes.
constexpr char kDefaultSnapshotPath[] = "lumhost-snapshot.svg";

// Runs one command line. snapshotPath is the file "snapshot" writes when no
// name is given.
CommandResult runCommand(HostServer& server, const std::string& line,
                         const std::string& snapshotPath);

// The key id a command names: a key label of the profile ("A", "Esc",
// case-insensitive) gives that key's id; "#N" or a number that is no label
// gives N. False when neither.
bool resolveKey(const Profile& profile, const std::string& name, int* vendorKey,
                std::string* label);

// The "state" text: who holds control, each client's layer, and the lit
// LEDs of each device.
std::string describeState(HostServer& server);

// The faults in force, "" when none: "answers stalled 200 ms, frozen, ...".
std::string describeFaults(HostServer& server);

// "serving 5 devices of \"Built-in desk\" as a protocol 5 host": what the
// banner says about the profile.
std::string servingText(const Profile& profile, int protocol);

// Writes an SVG picture of the desk with its current colours.
bool writeSnapshot(HostServer& server, const std::string& path, std::string* error);

}  // namespace lumhost

#endif  // LUMSDK_HOST_CONSOLE_HOST_COMMANDS_H_
