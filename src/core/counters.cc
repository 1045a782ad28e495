#include "core/counters.h"

namespace sdk {

Counters& counters() {
  static Counters instance;  // constant-initialised; trivially destructible
  return instance;
}

}  // namespace sdk
