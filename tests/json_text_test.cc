// The compact writer and the lenient reader, grouped by rule.
#include "json/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sdk {
namespace {

using namespace std::string_literals;  // NOLINT: texts with NUL bytes

// What a text reads as, given as the compact text of the result; nullptr
// stands for the invalid value.
struct ReadCase {
  std::string input;
  const char* written;
};

void expectReads(const std::vector<ReadCase>& cases) {
  for (const ReadCase& c : cases) {
    const JsonHandle value = parseJsonText(c.input);
    if (c.written == nullptr) {
      EXPECT_FALSE(value.isValid()) << "input: " << c.input;
    } else {
      EXPECT_TRUE(value.isValid()) << "input: " << c.input;
      EXPECT_EQ(toJsonText(value), std::string(c.written)) << "input: " << c.input;
    }
  }
}

// --- Writer -------------------------------------------------------------------

TEST(JsonWriter, ScalarsAndContainers) {
  JsonHandle object;
  object.member("a") = JsonHandle(true);
  JsonHandle nested;
  nested.append(JsonHandle(1));
  nested.append(JsonHandle());
  nested.append(object);
  nested.append(JsonHandle("s"));
  EXPECT_EQ(toJsonText(JsonHandle(3)), "3");
  EXPECT_EQ(toJsonText(JsonHandle(2.5)), "2.5");
  EXPECT_EQ(toJsonText(JsonHandle(false)), "false");
  EXPECT_EQ(toJsonText(JsonHandle()), "null");
  EXPECT_EQ(toJsonText(object), "{\"a\":true}");
  EXPECT_EQ(toJsonText(nested), "[1,null,{\"a\":true},\"s\"]");
  JsonHandle request;
  request.member("method") = JsonHandle("VelmoraGetDeviceCount");
  EXPECT_EQ(toJsonText(request), "{\"method\":\"VelmoraGetDeviceCount\"}");
}

TEST(JsonWriter, EscapeTable) {
  const struct {
    std::string text;
    std::string written;
  } cases[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {"a\0b"s, "\"a\\\0b\""s},            // NUL pairs with NUL
      {"back\\slash", R"("back\slash")"},  // written unchanged
      {"\\n", R"("\n")"},
      {"\x01\x1f\x7f", "\"\x01\x1f\x7f\""},  // other control bytes unchanged
      {"\xc3\xa9\xff", "\"\xc3\xa9\xff\""},  // bytes >= 0x80 unchanged
      {"/", "\"/\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toJsonText(JsonHandle(c.text)), c.written);
    JsonHandle object;
    object.member(c.text) = JsonHandle(1);  // member names use the same rule
    EXPECT_EQ(toJsonText(object), "{" + c.written + ":1}");
  }
}

// --- Reader: containers ---------------------------------------------------

TEST(JsonReader, EmptyContainersReadAsNull) {
  expectReads({
      {"[]", "null"},
      {"{}", "null"},
      {"[ \n]", "null"},
      {"{ }", "null"},
      {"[[]]", "[null]"},
      {"{\"a\":{}}", "{\"a\":null}"},
  });
}

TEST(JsonReader, Arrays) {
  expectReads({
      {"[1,2]", "[1,2]"},
      {"[1,]", nullptr},
      {"[1 2]", nullptr},
      {"[,1]", nullptr},
      {"[", nullptr},
      {"[1", nullptr},
      {"[1,", nullptr},
      {"[1}", nullptr},
      {"[1,x]", nullptr},
      {"[\"a\",[true,false],null]", "[\"a\",[true,false],null]"},
  });
}

TEST(JsonReader, Objects) {
  expectReads({
      {"{\"a\":1,\"a\":2}", "{\"a\":2}"},  // the last one wins
      {"{\"a\":1}", "{\"a\":1}"},
      {"{\"a\":1,}", nullptr},
      {"{\"a\"1}", nullptr},
      {"{\"a\":}", nullptr},
      {"{a:1}", nullptr},
      {"{,}", nullptr},
      {"{\"a\":1 \"b\":2}", nullptr},
      {"{\"a\":1]", nullptr},
      {"{\"a\"", nullptr},
      {"{\"a\":1", nullptr},
      {"{\"a", nullptr},
      {"{", nullptr},
      {"{\"\":0}", "{\"\":0}"},
      {"{\"a\":{\"b\":[1,{\"c\":null}]}}", "{\"a\":{\"b\":[1,{\"c\":null}]}}"},
  });
  const JsonHandle two = parseJsonText("{\"x\":1,\"y\":\"z\"}");
  EXPECT_EQ(two.get("x").asInt(), 1);
  EXPECT_EQ(two.get("y").asString(), "z");
}

TEST(JsonReader, BlanksAroundEveryToken) {
  const JsonHandle compact = parseJsonText("{\"a\":[1,{\"b\":true}]}");
  const JsonHandle spaced = parseJsonText(" \t\r\n{ \"a\" :\v[ 1 ,\f{ \"b\" : true } ] } ");
  ASSERT_TRUE(spaced.isValid());
  EXPECT_EQ(toJsonText(spaced), toJsonText(compact));
  // Non-printable bytes count as blanks too.
  expectReads({
      {"\x01\x7f\x80\xff"
       "true",
       "true"},
      {"\0\0"
       "5"s,
       "5"},
      {"[\x80"
       "1\xff,\x1b"
       "2]",
       "[1,2]"},
      {"", nullptr},
      {" \n\t ", nullptr},
      {"\x80\xff", nullptr},
  });
}

TEST(JsonReader, TrailingTextIsIgnored) {
  expectReads({
      {"nullx", "null"},
      {"1 2", "1"},
      {"[1]]", "[1]"},
      {"{\"a\":1}garbage", "{\"a\":1}"},
      {"\"a\"\"b\"", "\"a\""},
      {"truefalse", "true"},
  });
}

TEST(JsonReader, DepthIsBounded) {
  const std::string deepest =
      std::string(kJsonMaxDepth, '[') + "1" + std::string(kJsonMaxDepth, ']');
  EXPECT_TRUE(parseJsonText(deepest).isValid());
  const std::string tooDeep =
      std::string(kJsonMaxDepth + 1, '[') + "1" + std::string(kJsonMaxDepth + 1, ']');
  EXPECT_FALSE(parseJsonText(tooDeep).isValid());
  std::string objects;
  for (int i = 0; i <= kJsonMaxDepth; ++i) objects += "{\"a\":";
  EXPECT_FALSE(parseJsonText(objects + "1" + std::string(kJsonMaxDepth + 1, '}')).isValid());
  // Far deeper text neither overflows the stack nor takes long.
  EXPECT_FALSE(parseJsonText(std::string(1000000, '[')).isValid());
  EXPECT_FALSE(parseJsonText(std::string(1000000, '{')).isValid());
}

// --- Reader: literals -------------------------------------------------------

TEST(JsonReader, Literals) {
  expectReads({
      {"true", "true"},       {"false", "false"},   {"null", "null"},   {"tru", nullptr},
      {"t", nullptr},         {"fals", nullptr},    {"nul", nullptr},   {"nulL", nullptr},
      {"True", nullptr},      {"tr\nue", nullptr},                       // stops at the line feed
      {"[true\n]", "[true]"}, {"[nul\n]", nullptr}, {"[nul]", nullptr},  // reads "nul]" as a whole
      {"[fals,e]", nullptr},  {"x", nullptr},       {"+1", nullptr},    {".5", nullptr},
      {"]", nullptr},         {"'a'", nullptr},
  });
}

// --- Reader: numbers --------------------------------------------------------

TEST(JsonReader, Numbers) {
  expectReads({
      {"-2.5e1", "-25"},
      {"-", nullptr},
      {"-x", nullptr},
      {"0", "0"},
      {"-0", "-0"},
      {"007", "7"},
      {"1.", "1"},
      {"-.5", "-0.5"},
      {"1e2", "100"},
      {"1E+2", "100"},
      {"1e-2", "0.01"},
      {"1.e2", "100"},
      {"1e", nullptr},
      {"1e+", nullptr},
      {"[1e]", nullptr},
      {"1e999", nullptr},
      {"-1e999", nullptr},
      {"[1e999]", nullptr},
      {"1e-999", "0"},
      {"-1e-999", "-0"},
      {"1.5.5", "1.5"},  // the second point ends the number
      {"1e5e5", "100000"},
      {"0x10", "0"},
      {"12abc", "12"},
      {"[1.5,-2]", "[1.5,-2]"},
      {"1234567", "1.23457e+06"},
      {"999999", "999999"},
      {"0.1", "0.1"},
      {"123456789012345678901234567890", "1.23457e+29"},
  });
  EXPECT_EQ(parseJsonText("0.1").asDouble(), 0.1);
  EXPECT_EQ(parseJsonText("1.7976931348623157e308").asDouble(), 1.7976931348623157e308);
  EXPECT_EQ(parseJsonText("4.9e-324").asDouble(), 4.9406564584124654e-324);
}

// --- Reader: strings --------------------------------------------------------

TEST(JsonReader, Strings) {
  const struct {
    std::string input;
    std::string text;
  } cases[] = {
      {R"("plain")", "plain"},
      {R"("a\"b")", "a\"b"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {"\"\\\0\""s, "\0"s},        // backslash NUL stands for NUL
      {R"("\u0041")", "\\u0041"},  // not decoded
      {R"("\/")", "\\/"},
      {R"("\\")", "\\\""},  // the second backslash escapes the quote
      {R"("\\n")", "\\\n"},
      {R"("\x")", "\\x"},
      {"\"abc", "abc"},  // no closing quote: ends with the text
      {"\"ab\\", "ab\\"},
      {"\"", ""},
      {"\"line\nbreak\x01\x80\xff\"", "line\nbreak\x01\x80\xff"},
      {"\"a\0b\""s, "a\0b"s},
  };
  for (const auto& c : cases) {
    const JsonHandle value = parseJsonText(c.input);
    ASSERT_NE(value.stringRef(), nullptr) << c.input;
    EXPECT_EQ(*value.stringRef(), c.text) << c.input;
  }
  const JsonHandle named = parseJsonText(R"({"a\nb":1})");
  EXPECT_EQ(named.get("a\nb").asInt(), 1);
  // Long and escaped names and values, inside a document and alone.
  const std::string longText(100, 'y');
  const JsonHandle nested =
      parseJsonText("[{\"" + longText + "\":\"" + longText + "\\n\",\"a\\tb\":\"\\\"\"}]");
  EXPECT_EQ(nested.getRef(0).getRef(longText).asString(), longText + "\n");
  EXPECT_EQ(nested.getRef(0).getRef("a\tb").asString(), "\"");
  EXPECT_EQ(parseJsonText("\"" + longText + "\"").asString(), longText);
  // Long strings are scanned in steps of many bytes: an escape or the end at
  // any place is found there.
  for (size_t at = 0; at < 200; ++at) {
    const std::string head(at, 'z');
    const std::string tail(150, 'w');
    EXPECT_EQ(parseJsonText("\"" + head + "\\t" + tail + "\"").asString(), head + "\t" + tail)
        << at;
    EXPECT_EQ(parseJsonText("\"" + head + "\"" + tail).asString(), head) << at;
    EXPECT_EQ(parseJsonText("\"" + head).asString(), head) << at;  // the text ends first
    // Bytes that are a quote or a backslash but for their high bit are not.
    const std::string near = head + "\xA2\xDC";
    EXPECT_EQ(parseJsonText("\"" + near + "\"").asString(), near) << at;
  }
}

// --- Round trips ------------------------------------------------------------

// The short-answer reader either declines a text or reads every member as
// the document would; the host's usual answers take the short way.
TEST(JsonFlatReader, ReadsAsTheDocumentOrDeclines) {
  struct Case {
    std::string text;
    bool flat;
  } cases[] = {
      {"{\"result\":5,\"errorCode\":0}"s + '\0', true},
      {"{\"result\":true,\"errorCode\":3}", true},
      {"{\"result\": 42, \"errorCode\": 7", false},  // unfinished
      {" \t{ \"errorCode\" :\n-2.9e0 , \"result\":false }trailing", true},
      {"{\"result\":1,\"result\":2}", true},  // the last one counts
      {"{\"result\":null,\"other\":\"text\"}", true},
      {"{\"errorCode\":\"1,2,3,4#5,6,7,8\",\"result\":\"\"}", true},
      {"{\"result\":1e10,\"errorCode\":-1e10}", true},
      {"{\"result\":7.5,\"errorCode\":9E1}", true},  // one digit, then more of the number
      {"{\"result\":3", false},
      {"{\"result\":\"7\",\"errorCode\":\"x\\\"y\"}", false},  // an escape
      {"{\"result\":[1],\"errorCode\":0}", false},
      {"{\"result\":{\"a\":1}}", false},
      {"{}", false},
      {"{\"result\":tru}", false},
      {"{\"result\":truex}", false},
      {"{\"result\":+1}", false},
      {"{\"result\":1,}", false},
      {"{\"result\":1;\"errorCode\":2}", false},
      {"[1,2]", false},
      {"5", false},
      {"", false},
      {"{\"res\\ult\":1}", false},
      {"{\"result\":-}", false},
      // The members asked for, in that order and without blanks, are matched
      // directly; anything more or different takes the general steps.
      {"{\"result\":1,\"errorCode\":2,\"result\":3}", true},
      {"{\"result\":1,\"errorCode\":2}x", true},
      {"{\"resultx\":1,\"errorCode\":2}", true},
      {"{\"result\":truex,\"errorCode\":0}", false},
      {"{\"result\":false,\"errorCode\"", false},
      {"{\"result\":\"a\",\"errorCode\":", false},
      // Long values, which are scanned in bigger steps.
      {"{\"result\":\"" + std::string(60, '7') + "\",\"errorCode\":0}", true},
      {"{\"result\":\"" + std::string(40, '7') + "\\n" + std::string(20, '7') + "\"}", false},
      {"{\"result\":\"" + std::string(60, '7'), false},
  };
  // Three names (one never present) and two (the usual answer's, in order).
  const char* const names[3] = {"result", "errorCode", "missing"};
  int pairs = 0;
  for (const Case& c : cases) {
    // The two-member reader takes only the usual answer, and reads it as
    // the general one does.
    JsonScalar pair[2];
    if (readFlatPair(c.text, "{\"result\":", ",\"errorCode\":", &pair[0], &pair[1])) {
      ++pairs;
      JsonScalar values[2];
      ASSERT_TRUE(readFlatObject(c.text.data(), c.text.size(), names, values, 2)) << c.text;
      for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(pair[i].type, values[i].type) << c.text;
        EXPECT_EQ(pair[i].number, values[i].number) << c.text;
        EXPECT_EQ(pair[i].boolean, values[i].boolean) << c.text;
        EXPECT_EQ(pair[i].text, values[i].text) << c.text;
        EXPECT_EQ(pair[i].textSize, values[i].textSize) << c.text;
      }
    }
    for (size_t count : {size_t{3}, size_t{2}}) {
      JsonScalar values[3];
      const bool flat = readFlatObject(c.text.data(), c.text.size(), names, values, count);
      EXPECT_EQ(flat, c.flat) << c.text;
      if (!flat) continue;
      const JsonHandle parsed = parseJsonText(c.text);
      for (size_t i = 0; i < count; ++i) {
        const JsonScalar expected = JsonScalar::of(parsed.getRef(names[i]));
        EXPECT_EQ(values[i].type, expected.type) << c.text << " " << names[i];
        EXPECT_EQ(values[i].asInt(), parsed.getRef(names[i]).asInt()) << c.text << " " << names[i];
        EXPECT_EQ(values[i].asBool(), parsed.getRef(names[i]).asBool())
            << c.text << " " << names[i];
        EXPECT_EQ(std::string(values[i].text ? values[i].text : "", values[i].textSize),
                  parsed.getRef(names[i]).asString())
            << c.text << " " << names[i];
      }
    }
  }
  EXPECT_EQ(pairs, 6);  // the usual answers above, and one with text after it
}

TEST(JsonRoundTrip, StringsThroughWriterAndReader) {
  const struct {
    std::string text;
    std::string readBack;
  } cases[] = {
      {"quote\"", "quote\""},
      {"line\nfeed", "line\nfeed"},
      {"\b\f\r\t", "\b\f\r\t"},
      {"nul\0byte"s, "nul\0byte"s},
      {"back\\slash", "back\\slash"},
      {"\\\"", "\\\""},
      {"\\n", "\n"},  // backslash-n is written unchanged and reads as a line feed
  };
  for (const auto& c : cases) {
    const JsonHandle back = parseJsonText(toJsonText(JsonHandle(c.text)));
    EXPECT_EQ(back.asString(), c.readBack);
  }
}

TEST(JsonRoundTrip, ParseTakesRawBytes) {
  const char text[] = "[1,2]trailing";
  EXPECT_EQ(toJsonText(parseJsonText(text, 5)), "[1,2]");
  EXPECT_FALSE(parseJsonText(text, 4).isValid());
  EXPECT_FALSE(parseJsonText(nullptr, 0).isValid());
}

}  // namespace
}  // namespace sdk
