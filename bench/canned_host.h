// A stand-in host inside the benchmark process that answers every request
// with one fixed answer, so that what is timed is the client: the library's
// exports on one side, bare OS calls on the other.
#ifndef LUMSDK_BENCH_CANNED_HOST_H_
#define LUMSDK_BENCH_CANNED_HOST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bare_pipe.h"

namespace bench {

// The answer to every request, the handshake included: it carries both the
// members the colour and count calls read and those the handshake reads.
extern const char kCannedAnswer[];

// A text as a frame body: its bytes and a 0 byte.
std::vector<uint8_t> TextBody(const std::string& text);

// A pipe base name that no other process uses.
std::wstring UniquePipeName(const std::wstring& tag);

// Points the library at a well-known pair of pipes of this process, serves
// the pipe-name exchange there with the library's listening streams, hands
// the client's three pipes to a BareCannedPeer and performs the handshake
// through the export. Returns that peer, or null when the handshake failed.
// The peer is never destroyed: the session keeps its connection until the
// process ends, and the peer's thread ends only when that connection closes.
// handshakeUs, when given, receives the time the handshake export took: the
// first handshake of the process, connection set-up included.
BareCannedPeer* ConnectSessionToCannedPeer(double* handshakeUs = nullptr);

}  // namespace bench

#endif  // LUMSDK_BENCH_CANNED_HOST_H_
