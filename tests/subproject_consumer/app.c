/* With no host on its pipes, the handshake must fail cleanly with
 * "host unreachable", and the version must be the generated one. */
#include <stdio.h>
#include <string.h>

#include "LUMSDK.h"
#include "lumsdk_version.h"

int main(void) {
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  if (strcmp(details.sdkVersion, LUMSDK_VERSION_STRING) != 0) return 2;
  if (VelmoraGetLastError() != VelmoraErrorHostUnreachable) return 3;
  printf("app_c: version %s, no host: error %d\n", details.sdkVersion, (int)VelmoraGetLastError());
  return 0;
}
