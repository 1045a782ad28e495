// The profiles built into lumhost: the files in host/profile/builtin/,
// embedded as texts by host/embed_texts.cmake. "--profile builtin:NAME"
// serves one of them; the desk is the default.
#ifndef LUMSDK_HOST_PROFILE_BUILTIN_PROFILES_H_
#define LUMSDK_HOST_PROFILE_BUILTIN_PROFILES_H_

#include <string>
#include <vector>

namespace lumhost {

extern const char kDeskJson[];
// Keyboard layouts, written by host/profile/builtin/make_layouts.py.
extern const char kAnsiUsJson[];
extern const char kIsoDeJson[];
extern const char kIsoUkJson[];
extern const char kAzertyFrJson[];
extern const char kJisJson[];

struct BuiltinProfile {
  const char* name;  // as in "builtin:NAME"
  const char* text;  // the profile file's text
};

// Every built-in profile, the default desk first.
const std::vector<BuiltinProfile>& builtinProfiles();

// The prefix that names a built-in profile where a file name is expected.
constexpr char kBuiltinPrefix[] = "builtin:";

}  // namespace lumhost

#endif  // LUMSDK_HOST_PROFILE_BUILTIN_PROFILES_H_
