// Number text against the standard streams that define it: the reader must
// consume and convert exactly what std::istream >> double does, and the
// writer must print what std::ostream << double prints.
#include "json/json_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <locale>
#include <random>
#include <sstream>
#include <string>

namespace sdk {
namespace {

std::uint64_t bitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Reads the text with a classic-locale stream; the consumed length is -1 when
// the extraction failed.
void streamRead(const std::string& text, long* consumed, double* value) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  // The reader skips its own blanks before a number; the stream must not.
  in >> std::noskipws >> *value;
  if (in.fail()) {
    *consumed = -1;
    return;
  }
  in.clear();
  *consumed = static_cast<long>(in.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in));
}

void expectSameAsStream(const std::string& text) {
  long expectedConsumed = 0;
  double expected = 0.0;
  streamRead(text, &expectedConsumed, &expected);
  // The in-line reader of short numbers must not differ from the full one in
  // any way, nor either from the stream.
  for (const auto read : {readJsonNumber, readShortJsonNumber}) {
    double actual = 0.0;
    const char* next = read(text.data(), text.data() + text.size(), &actual);
    const long consumed = next == nullptr ? -1 : static_cast<long>(next - text.data());
    ASSERT_EQ(consumed, expectedConsumed) << "text: " << text;
    if (consumed >= 0) {
      EXPECT_EQ(bitsOf(actual), bitsOf(expected))
          << "text: " << text << " read " << actual << " stream " << expected;
    }
  }
}

TEST(JsonNumberReader, MatchesStreamOnChosenTexts) {
  const char* texts[] = {
      "0",
      "-0",
      "7",
      "-7",
      "00",
      "-00012",
      "1.",
      "-1.",
      ".5",
      "-.5",
      ".",
      "-.",
      "-",
      "+",
      "+5",
      "--5",
      "-+5",
      "1e",
      "1e+",
      "1e-",
      "1e5",
      "1E5",
      "1e+5",
      "1e-5",
      "1.e5",
      ".e5",
      "-e5",
      "0e5",
      "1e5.5",
      "1.5.5",
      "1e5e5",
      "1ee5",
      "1e+-5",
      "0x1p3",
      "1x",
      "12abc",
      "255,",
      "1 2",
      "1\n",
      "123456789012345678",
      "12345678901234567890123",
      "0.000000000000000000000000001",
      "1e308",
      "1.7976931348623157e308",
      "1.7976931348623158e308",
      "1.7976931348623159e308",
      "1e309",
      "-1e309",
      "1e999999999999999999999",
      "1e-999999999999999999999",
      "0e999999999999999999999",
      "0.0000e99999",
      "1e-307",
      "2.2250738585072011e-308",
      "4.9406564584124654e-324",
      "2.4703282292062328e-324",
      "2.4703282292062327e-324",
      "1e-400",
      "-1e-400",
      "0.1",
      "0.3",
      "9007199254740993",
      "9007199254740992.5",
      "123456.7890123456",
      "999999999999999",
      "9999999999999999",
      "0.000001",
      "1000000000000000000000000",
      "10000000000000000000000.5",
      "1.0000000000000002",
      "3.14159265358979323846264338327950288",
      "inf",
      "nan",
      "-inf",
      "1,5",
      // Around the in-line reader's limits: fifteen digits, points, zeros.
      "12.5",
      "28.25",
      "-0.0",
      "-0.",
      "0.30000000000000004",
      "123456789012345",
      "-123456789012345",
      "1234567890123456",
      "12345678.9012345",
      "12345678.90123456",
      "0.00000000000001",
      "0.000000000000001",
      "0.0000000000000001",
      "000000000000000000001.5",
      "9.99999999999999",
      "9.999999999999999",
      "0.123456789012345",
      "4503599627370497.5",
      "2.5e",
      "2.5E-1",
      "2.5.",
      "2..5",
      "-.",
      "-.e1",
  };
  for (const char* text : texts) expectSameAsStream(text);
}

TEST(JsonNumberReader, MatchesStreamOnRandomTexts) {
  // Short texts over the characters that matter to the number rule, biased
  // toward plausible numbers, plus rendered doubles of every magnitude.
  std::mt19937_64 random(20240601);
  const char alphabet[] = "0123456789012345678901234567890123456789..--++eEx ";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int length = 1 + static_cast<int>(random() % 12);
    for (int j = 0; j < length; ++j) text += alphabet[random() % (sizeof alphabet - 1)];
    expectSameAsStream(text);
  }
  for (int i = 0; i < 5000; ++i) {
    const double value = [&] {
      for (;;) {
        const std::uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) return d;
      }
    }();
    char text[64];
    const int digits = 1 + static_cast<int>(random() % 20);
    std::snprintf(text, sizeof text, "%.*e", digits, value);
    expectSameAsStream(text);
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    expectSameAsStream(text);
  }
}

std::string streamWrite(double value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << value;
  return out.str();
}

std::string written(double value) {
  std::string text;
  appendJsonNumber(text, value);
  return text;
}

TEST(JsonNumberWriter, MatchesStreamOnChosenValues) {
  const double values[] = {0.0,          -0.0,
                           1.0,          -1.0,
                           255.0,        0.5,
                           999999.0,     -999999.0,
                           999999.4,     999999.5,
                           1e6,          -1e6,
                           1234567.0,    123456.5,
                           1e-5,         0.0001,
                           1.5e-7,       1e21,
                           1e100,        1.0 / 3.0,
                           -2.5e-300,    5e-324,
                           2147483647.0, -2147483648.0,
                           4294967296.0, 1.7976931348623157e308,
                           0.1,          100.25};
  for (double value : values) EXPECT_EQ(written(value), streamWrite(value)) << value;
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(written(inf), "inf");
  EXPECT_EQ(written(-inf), "-inf");
  EXPECT_EQ(written(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(written(-std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(written(1234567.0), "1.23457e+06");
  EXPECT_EQ(written(1e-5), "1e-05");
  EXPECT_EQ(written(-0.0), "-0");
}

TEST(JsonNumberWriter, MatchesStreamOnRandomValues) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    double value;
    switch (i % 4) {
      case 0: {
        const std::uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        break;
      }
      case 1:
        value = static_cast<double>(static_cast<std::int32_t>(random()) >> (random() % 32));
        break;
      case 2:
        value = static_cast<double>(static_cast<std::int64_t>(random() % 4000000) - 2000000) /
                static_cast<double>(1 + random() % 1000);
        break;
      default:
        value =
            std::ldexp(static_cast<double>(random() % 1000000), -static_cast<int>(random() % 80));
        break;
    }
    ASSERT_EQ(written(value), streamWrite(value)) << value;
  }
}

TEST(JsonNumberWriter, WrittenTextReadsBackToTheSameText) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 5000; ++i) {
    const std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = written(value);
    double back = 0.0;
    ASSERT_EQ(readJsonNumber(text.data(), text.data() + text.size(), &back),
              text.data() + text.size())
        << text;
    EXPECT_EQ(written(back), text);
  }
}

}  // namespace
}  // namespace sdk
