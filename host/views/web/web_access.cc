#include "host/views/web/web_access.h"

#include <cctype>
#include <vector>

#include "json/json_text.h"
#include "json/json_value.h"

namespace lumhost {
namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Four decimal numbers 0 to 255 separated by dots; the first in *first.
bool isIpv4(const std::string& text, int* first = nullptr) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (!allDigits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
  }
  if (first != nullptr) *first = std::stoi(parts[0]);
  return true;
}

// Hex groups and colons, at least two colons, perhaps ending in an IPv4
// address ("::ffff:127.0.0.1"). Loose, but nothing a DNS name can be.
bool isIpv6(const std::string& text) {
  if (text.size() < 2 || text.size() > 45) return false;
  int colons = 0;
  for (char c : text) {
    if (c == ':') {
      ++colons;
    } else if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.') {
      return false;
    }
  }
  return colons >= 2;
}

bool isLoopback(const std::string& address) {
  int first = 0;
  if (isIpv4(address, &first)) return first == 127;
  std::string a = lowerCase(address);
  return a == "::1" || a.rfind("::ffff:127.", 0) == 0;
}

bool isAnyAddress(const std::string& address) { return address == "0.0.0.0" || address == "::"; }

// Splits "host:port", "[v6]:port", "host" or "[v6]"; the host without
// brackets. False when the form is broken.
bool splitHostPort(const std::string& text, std::string* host, std::string* port, bool* bracketed) {
  *bracketed = !text.empty() && text[0] == '[';
  if (*bracketed) {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *host = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (rest.empty()) {
      port->clear();
      return true;
    }
    if (rest[0] != ':') return false;
    *port = rest.substr(1);
    return true;
  }
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *host = text;
    port->clear();
    return true;
  }
  if (text.find(':') != colon) return false;  // an IPv6 address needs brackets
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  return true;
}

bool validPort(const std::string& port, bool required) {
  if (port.empty()) return !required;
  return allDigits(port) && port.size() <= 5 && std::stoi(port) <= 65535;
}

}  // namespace

bool parseListenAddress(const std::string& text, ListenAddress* out, std::string* error) {
  ListenAddress result;
  std::string host;
  std::string port;
  bool bracketed = false;
  if (allDigits(text)) {
    port = text;
  } else if (!splitHostPort(text, &host, &port, &bracketed) || port.empty()) {
    *error = "--http wants [ADDRESS:]PORT, not \"" + text + "\"";
    return false;
  }
  if (!validPort(port, true)) {
    *error = "--http: the port must be 0 to 65535, not \"" + port + "\"";
    return false;
  }
  result.port = std::stoi(port);
  if (!host.empty()) {
    if (lowerCase(host) == "localhost") {
      host = "127.0.0.1";
    } else if (bracketed ? !isIpv6(host) : !isIpv4(host)) {
      *error = "--http: \"" + host +
               "\" is not an IP address (give one such as 127.0.0.1, [::1] or 0.0.0.0)";
      return false;
    }
    result.address = lowerCase(host);
  }
  result.everyInterface = isAnyAddress(result.address);
  result.loopback = isLoopback(result.address);
  *out = result;
  return true;
}

std::string urlAuthority(const std::string& address, int port) {
  bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool hostAllowed(const std::string& hostHeader, const ListenAddress& served) {
  std::string host;
  std::string port;
  bool bracketed = false;
  if (!splitHostPort(lowerCase(hostHeader), &host, &port, &bracketed) || !validPort(port, false)) {
    return false;
  }
  bool address = bracketed ? isIpv6(host) : isIpv4(host);
  if (host == "localhost" || (address && isLoopback(host))) {
    return served.loopback || served.everyInterface;
  }
  if (!address) return false;  // a name: perhaps rebound by DNS
  return served.everyInterface || host == served.address;
}

bool originAllowed(const std::string& origin, const std::string& hostHeader) {
  return !hostHeader.empty() && lowerCase(origin) == "http://" + lowerCase(hostHeader);
}

namespace {

// Equal texts, in time that depends on their lengths only.
bool sameSecret(const std::string& a, const std::string& b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) differ |= a[i] ^ b[i % (b.empty() ? 1 : b.size())];
  return differ == 0 && !b.empty();
}

std::string trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// The value of the first "name=value" among parts separated by sep; false
// when there is none.
bool findPart(const std::string& text, char sep, const std::string& name, std::string* value) {
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(sep, at);
    if (end == std::string::npos) end = text.size();
    std::string part = trimmed(text.substr(at, end - at));
    size_t equals = part.find('=');
    if (equals != std::string::npos && part.substr(0, equals) == name) {
      *value = part.substr(equals + 1);
      return true;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace

TokenCheck checkToken(const std::string& expected, const TokenCarriers& request,
                      const std::string& cookieName, bool* fromQuery) {
  *fromQuery = false;
  std::string presented;
  std::string authorization = trimmed(request.authorization);
  if (!authorization.empty()) {
    if (lowerCase(authorization.substr(0, 7)) != "bearer ") return TokenCheck::Wrong;
    presented = trimmed(authorization.substr(7));
  } else if (!findPart(request.cookies, ';', cookieName, &presented)) {
    if (!findPart(request.query, '&', "token", &presented)) return TokenCheck::Missing;
    *fromQuery = true;
  }
  return sameSecret(presented, expected) ? TokenCheck::Accepted : TokenCheck::Wrong;
}

std::string tokenCookieName(int port) { return "lumhost-token-" + std::to_string(port); }

bool validToken(const std::string& token) {
  if (token.empty() || token.size() > 256) return false;
  for (char c : token) {
    bool ok =
        std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~';
    if (!ok) return false;
  }
  return true;
}

bool readKeyPress(const std::string& body, int* device, int* led, bool* pressed) {
  sdk::JsonHandle request = sdk::parseJsonText(body);
  const sdk::JsonHandle& d = request.getRef("device");
  const sdk::JsonHandle& l = request.getRef("led");
  const sdk::JsonHandle& p = request.getRef("pressed");
  if (d.type() != sdk::kJsonNumber || l.type() != sdk::kJsonNumber || p.type() != sdk::kJsonBool) {
    return false;
  }
  *device = d.asInt();
  *led = l.asInt();
  *pressed = p.asBool();
  return true;
}

}  // namespace lumhost
