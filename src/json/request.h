// The request envelope sent to the host: {"method": <name>, "params": {...}}.
#ifndef LUMSDK_JSON_REQUEST_H_
#define LUMSDK_JSON_REQUEST_H_

#include <cstddef>
#include <string>

#include "json/json_value.h"

namespace sdk {

// Sets request.member("method") to the method name (a null holder becomes an
// object) and returns the same holder.
JsonHandle& buildRequest(JsonHandle& request, const std::string& method);

// Sets request.member("params"): the move form takes the parameter holder
// over, the copy form copies it deeply. Calls without parameters send no
// "params" member at all, so these are called only when there are some.
void attachParams(JsonHandle& request, JsonHandle&& params);
void attachParamsCopy(JsonHandle& request, const JsonHandle& params);

// The text that toJsonText gives for a request without "params", and for one
// whose "params" hold one integer member, composed directly: request texts
// are on the path of every call, and neither a method name nor a member
// name here needs escaping.
std::string requestText(const char* method);
std::string requestText(const char* method, const char* member, int value);
// The second text written at out, which has room for size bytes: its
// length, or 0 (and nothing written) when it might not fit.
std::size_t writeRequestText(char* out, std::size_t size, const char* method, const char* member,
                             int value);

}  // namespace sdk

#endif  // LUMSDK_JSON_REQUEST_H_
