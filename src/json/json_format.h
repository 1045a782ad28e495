// The text form of JSON scalars: numbers in both directions and quoted
// strings on the way out. Shared by the writer and the reader, and exposed
// for the tests and the fuzz target.
#ifndef LUMSDK_JSON_JSON_FORMAT_H_
#define LUMSDK_JSON_JSON_FORMAT_H_

#include <string>

namespace sdk {

// Reads a number at [begin, end) exactly as a classic-locale std::istream
// extracts a double with libstdc++: an optional sign, digits with at most one
// decimal point, and an exponent letter (e or E) taken only after at least
// one mantissa digit, with an optional sign and digits. The longest such
// prefix is consumed; it must then form a whole number ("-", "1e" and "1e+"
// do not). A value beyond the double range fails; one too small for it reads
// as zero of the same sign. Independent of the global C and C++ locales.
//
// Returns the end of the consumed text and stores the value, or returns
// nullptr when the extraction fails.
const char* readJsonNumber(const char* begin, const char* end, double* value);

// A number read as an int: truncated toward zero, NaN as 0, and values past
// either end of the int range as that end.
int jsonNumberToInt(double value);

// Appends a double as a default-formatted std::ostream would write it
// (printf's %g with six significant digits: 255, 0.5, 1e-05, 1.23457e+06,
// -0), without streams and independent of the locale. Non-finite values write
// as nan, inf and -inf.
void appendJsonNumber(std::string& out, double value);

// Appends text as a quoted JSON string: a double quote becomes \" and the
// control characters backspace, form feed, line feed, carriage return and tab
// become \b \f \n \r \t; a NUL byte becomes a backslash followed by NUL,
// which the reader turns back into NUL. Every other byte, the backslash
// included, is written unchanged.
void appendJsonString(std::string& out, const std::string& text);

}  // namespace sdk

#endif  // LUMSDK_JSON_JSON_FORMAT_H_
