// Texts for the browser: standard JSON strings (what JSON.parse reads) and
// HTML with its special characters escaped. The library's own JSON writer
// follows the pipe protocol instead, and is not meant for browsers.
#ifndef LUMSDK_HOST_VIEWS_WEB_WEB_TEXT_H_
#define LUMSDK_HOST_VIEWS_WEB_WEB_TEXT_H_

#include <string>

namespace lumhost {

// Appends the text as a JSON string: quotes, backslashes and control
// characters escaped, and valid UTF-8 (each byte of a malformed sequence
// becomes U+FFFD), so that a browser reads any text a client sent.
void appendJsonString(std::string* out, const std::string& text);
std::string jsonString(const std::string& text);

// & < > and " as entities.
std::string htmlEscape(const std::string& text);

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_WEB_WEB_TEXT_H_
