// A strict syntax check of JSON text, for files that people write by hand.
// The library's reader is lenient and says nothing about where a text went
// wrong; this check finds the first fault and tells its line and column.
#ifndef LUMSDK_HOST_PROFILE_JSON_SYNTAX_H_
#define LUMSDK_HOST_PROFILE_JSON_SYNTAX_H_

#include <string>

namespace lumhost {

// True when the text is one JSON value (RFC 8259) and nothing else but
// whitespace, that the library's reader reads back exactly: strings with the
// escapes \" \b \f \n \r \t only, numbers within the range of a double, and
// no member named twice in one object. Otherwise false and a message such as
// "line 3, column 14: expected ',' or '}'".
bool checkJsonSyntax(const std::string& text, std::string* error);

}  // namespace lumhost

#endif  // LUMSDK_HOST_PROFILE_JSON_SYNTAX_H_
