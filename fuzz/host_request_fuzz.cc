// Fuzz target for lumhost's request handler: any request text, answered by a
// host of the built-in desk with a client of its own. Besides memory and
// undefined behaviour errors it checks that every answer is a JSON object
// with a numeric "errorCode" (what the library reads first), that a refused
// request changes no colour, and that the method found agrees with the one
// the handler answered.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/profile/device_profile.h"
#include "host/server/request_handler.h"
#include "host/state/lighting_state.h"
#include "json/json_text.h"
#include "json/json_value.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "host_request_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const lumhost::Profile profile = lumhost::defaultProfile();
  const std::string text(reinterpret_cast<const char*>(data), size);
  lumhost::LightingState state(profile);
  state.addClient(1);
  lumhost::RequestHandler handler(profile, &state, lumhost::kDefaultProtocol);
  const auto before = state.composed();
  const lumhost::RequestOutcome outcome = handler.handle(1, text);
  const sdk::JsonHandle answer = sdk::parseJsonText(outcome.answer);
  check(answer.type() == sdk::kJsonObject, "an answer that is no JSON object");
  const sdk::JsonHandle& code = answer.getRef("errorCode");
  check(code.type() == sdk::kJsonNumber, "an answer without a numeric errorCode");
  if (code.asInt() != 0) check(state.composed() == before, "a refused request changed colours");
  if (size <= lumhost::kMaxRequestBytes) {
    check(lumhost::RequestHandler::methodOf(text) == outcome.method || outcome.method.empty(),
          "the method read differs from the one answered");
  }
  return 0;
}
