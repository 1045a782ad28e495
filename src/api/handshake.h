// Connection set-up and the protocol handshake.
#ifndef LUMSDK_API_HANDSHAKE_H_
#define LUMSDK_API_HANDSHAKE_H_

#include <functional>
#include <memory>
#include <string>

#include "api/session.h"

namespace sdk {

// ":pid:" followed by the process id in decimal.
std::string clientIdentity();

// Replaces CreateRpcConnection for tests that script the host side in
// memory; an empty function restores the real factory.
void setConnectionFactoryForTesting(ConnectionFactory factory);

}  // namespace sdk

#endif  // LUMSDK_API_HANDSHAKE_H_
