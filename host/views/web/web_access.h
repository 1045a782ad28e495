// Who may use lumhost's web page. The page can press keys in applications,
// so the server listens on a loopback address unless told otherwise, and
// every request passes two checks:
// - its Host header must name this server by an address or "localhost",
//   never by another name, so that a site whose name a DNS server rebinds to
//   this machine cannot reach it from a browser;
// - unless switched off, it must carry the server's secret token: as
//   "Authorization: Bearer TOKEN" (scripts), as the page's cookie (set when
//   the address lumhost printed, with "?token=TOKEN", was opened), or in the
//   query. The Host and Origin checks stop browsers; the token stops other
//   programs and other users of the machine, which can forge any header;
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

// What a request presented of the token.
enum class TokenCheck {
  Missing,   // no token anywhere: 401
  Wrong,     // a token, not this one: 403
  Accepted,  // the token
};

// The parts of a request that may carry the token.
struct TokenCarriers {
  std::string authorization;  // the Authorization header
  std::string cookies;        // the Cookie header
  std::string query;          // the URL after '?'
};

// Looks for the token in the Authorization header ("Bearer TOKEN"), in the
// cookie named cookieName, then in the query's "token" parameter; the first
// one present decides. *fromQuery tells whether the query did. Compares in
// time independent of where the texts differ.
TokenCheck checkToken(const std::string& expected, const TokenCarriers& request,
                      const std::string& cookieName, bool* fromQuery);

// The name of the cookie that holds the token of the server on this port:
// cookies are kept per host, not per port, so two lumhosts on one machine
// keep one each.
std::string tokenCookieName(int port);

// True for a token that goes into a URL, a header and a cookie as it is:
// 1 to 256 of the characters A-Z a-z 0-9 - . _ ~
bool validToken(const std::string& token);

// A key press as the page posts it: {"device": N, "led": ID, "pressed": B}
// with numbers and a bool. False for a body of any other shape.
bool readKeyPress(const std::string& body, int* device, int* led, bool* pressed);

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_WEB_WEB_ACCESS_H_
