// Fuzz target for what lumhost's web page reads from a request: the bytes of
// an HTTP request, parsed as the server parses them, then every check a
// request passes (Host, token, Origin) and the key-press body. Besides memory
// and undefined behaviour errors it checks that a token is accepted only
// when the request holds it, that an Origin is accepted only with an
// accepted Host, and that parseListenAddress gives only addresses it can
// write back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <websocketpp/http/request.hpp>

#include "host/views/web/web_access.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "host_http_fuzz: %s\n", what);
    std::abort();
  }
}

const char kToken[] = "0123456789abcdef0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  lumhost::ListenAddress listen;
  std::string error;
  if (lumhost::parseListenAddress(bytes, &listen, &error)) {
    check(listen.port >= 0 && listen.port <= 65535, "a port out of range");
    check(!lumhost::urlAuthority(listen.address, listen.port).empty(), "no authority");
  } else {
    check(!error.empty(), "an address refused without a reason");
  }

  websocketpp::http::parser::request request;
  try {
    request.consume(bytes.data(), bytes.size());
  } catch (const std::exception&) {
    return 0;  // refused by the parser, as the server refuses it
  }
  if (!request.ready()) return 0;
  const std::string& host = request.get_header("Host");
  const std::string& uri = request.get_uri();
  lumhost::ListenAddress loopback;
  lumhost::ListenAddress every;
  every.address = "0.0.0.0";
  every.loopback = false;
  every.everyInterface = true;
  const bool hostOk = lumhost::hostAllowed(host, loopback);
  if (hostOk)
    check(lumhost::hostAllowed(host, every), "a loopback name refused on every interface");
  if (lumhost::originAllowed(request.get_header("Origin"), host)) {
    check(!host.empty(), "an Origin accepted without a Host");
  }
  lumhost::TokenCarriers carriers;
  carriers.authorization = request.get_header("Authorization");
  carriers.cookies = request.get_header("Cookie");
  const std::size_t mark = uri.find('?');
  if (mark != std::string::npos) carriers.query = uri.substr(mark + 1);
  bool fromQuery = false;
  if (lumhost::checkToken(kToken, carriers, lumhost::tokenCookieName(8731), &fromQuery) ==
      lumhost::TokenCheck::Accepted) {
    check(bytes.find(kToken) != std::string::npos, "a token accepted that the request lacks");
  }
  int device = 0;
  int led = 0;
  bool pressed = false;
  lumhost::readKeyPress(request.get_body(), &device, &led, &pressed);
  return 0;
}
