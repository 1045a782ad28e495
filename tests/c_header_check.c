/* The public header must compile as plain C99 with every warning on. */
#include "LUMSDK.h"

static void VELMORA_CALL onDone(void *context, bool result, VelmoraError error) {
  (void)context;
  (void)result;
  (void)error;
}

static void VELMORA_CALL onKey(void *context, int vendorKey, bool pressed) {
  (void)context;
  (void)vendorKey;
  (void)pressed;
}

int lumsdk_c_header_check(void);
int lumsdk_c_header_check(void) {
  VelmoraAsyncCallback done = onDone;
  VelmoraKeypressCallback key = onKey;
  VelmoraLedColor color = {1, 2, 3, 4};
  VelmoraProtocolDetails details = {0, 0, 0, 0, false};
  return (done != 0) + (key != 0) + color.ledId + details.sdkProtocolVersion;
}
