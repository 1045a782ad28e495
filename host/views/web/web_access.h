// Who may use lumhost's web page. The page can press keys in applications,
// so the server listens on a loopback address unless told otherwise, and
// every request passes two checks:
// - its Host header must name this server by an address or "localhost",
//   never by another name, so that a site whose name a DNS server rebinds to
//   this machine cannot reach it from a browser;
// - a request that changes something (a key press, the live connection)
//   must come from the page itself: its Origin is the server's own.
// Pure functions, so that every rule is tested without a network.
#ifndef LUMSDK_HOST_VIEWS_WEB_WEB_ACCESS_H_
#define LUMSDK_HOST_VIEWS_WEB_WEB_ACCESS_H_

#include <string>

namespace lumhost {

// Where the page is served.
struct ListenAddress {
  std::string address = "127.0.0.1";  // an IP address: "127.0.0.1", "::1", "0.0.0.0"
  int port = 0;                       // 0: a free port chosen by the system
  bool loopback = true;               // reachable from this machine only
  bool everyInterface = false;        // "0.0.0.0" or "::"
};

// Reads "[ADDR:]PORT". PORT alone listens on 127.0.0.1. ADDR is an IPv4
// address, an IPv6 address in brackets ("[::1]:8731") or "localhost"
// (127.0.0.1). False with a message for anything else.
bool parseListenAddress(const std::string& text, ListenAddress* out, std::string* error);

// "127.0.0.1:8731", "[::1]:8731": the address and port as a URL writes them.
std::string urlAuthority(const std::string& address, int port);

// True when a Host header names this server: "localhost" or a loopback
// address when it listens on loopback, the address it listens on, and any
// IP address when it listens on every interface. Any port is allowed, so
// that the page also works through a forwarded port (ssh -L).
bool hostAllowed(const std::string& hostHeader, const ListenAddress& served);

// True when a request's Origin is the page's own: "http://" followed by the
// request's Host header (which hostAllowed has accepted).
bool originAllowed(const std::string& origin, const std::string& hostHeader);

// True when an Authorization header is "Bearer " followed by the token
// (the scheme in any case). The comparison takes as long whatever matches.
bool bearerTokenMatches(const std::string& authorization, const std::string& token);

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_WEB_WEB_ACCESS_H_
