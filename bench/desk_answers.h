// Answers as a host serving a realistic desk sends them, for the canned peer
// of api_bench: the devices, LED geometry and answer layout follow lumhost's
// built-in desk (a full-size keyboard, a mouse, a mousepad, a headset stand
// and an LED controller with two channels of fans and strips; 214 LEDs).
// The texts are built here, so that the benchmark does not depend on the
// host's code.
#ifndef LUMSDK_BENCH_DESK_ANSWERS_H_
#define LUMSDK_BENCH_DESK_ANSWERS_H_

#include <string>
#include <vector>

#include "LUMSDK.h"

namespace bench {

// Device indexes of the desk.
constexpr int kDeskKeyboard = 0;
constexpr int kDeskController = 4;
constexpr int kDeskDevices = 5;
constexpr int kDeskLeds = 214;
constexpr int kDeskKeyboardLeds = 105;

// The LED ids of one device (in the host's order), or of the whole desk for
// device -1.
std::vector<int> DeskLedIds(int device);

// {"errorCode":0,"breakingChanges":false,"serverProtocolVersion":5,...}
std::string DeskHandshakeAnswer();
// {"result":value,"errorCode":0}: device count, LED id, true of the set
// calls and of control and priority.
std::string DeskResultAnswer(const std::string& value);
// The description of the LED controller, with its two channels.
std::string DeskControllerInfoAnswer();
// The positions of the LEDs of one device, or of the whole desk for -1.
std::string DeskPositionsAnswer(int device);
// A colour read's answer for these LED ids, each with a colour of its own.
std::string DeskColorsAnswer(const std::vector<int>& ids);

// Records for these ids with colours that vary in width (1 to 3 digits).
std::vector<VelmoraLedColor> DeskColors(const std::vector<int>& ids);

}  // namespace bench

#endif  // LUMSDK_BENCH_DESK_ANSWERS_H_
