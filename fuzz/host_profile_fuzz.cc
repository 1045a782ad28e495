// Fuzz target for lumhost's profile reader: any profile text. Besides memory
// and undefined behaviour errors it checks that a profile read is written
// back as a text that reads again into the same profile, that its request
// bound stays within the host's ceiling, and that its desk can be drawn.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/profile/device_profile.h"
#include "host/server/request_handler.h"
#include "host/state/lighting_state.h"
#include "host/views/desk_picture.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "host_profile_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lumhost::Profile profile;
  std::string error;
  if (!lumhost::parseProfile(text, &profile, &error)) {
    check(!error.empty(), "a profile refused without a reason");
    return 0;
  }
  const std::string written = lumhost::profileToText(profile);
  lumhost::Profile again;
  check(lumhost::parseProfile(written, &again, &error), "a written profile did not read back");
  check(lumhost::profileToText(again) == written, "a written profile read back differently");
  const std::size_t limit = lumhost::requestLimitFor(profile);
  check(limit >= (64u << 10) && limit <= lumhost::kMaxRequestBytes, "a request bound out of range");
  lumhost::LightingState state(profile);
  check(!lumhost::renderSvg(profile, state.composed(), "fuzz").empty(), "no picture");
  return 0;
}
