// Until the pipe transport is in place no host can be reached.
#include "transport/rpc_connection.h"

namespace sdk {
std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string&) { return nullptr; }
}  // namespace sdk
