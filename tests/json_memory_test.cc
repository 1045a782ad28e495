// What one parse may cost in memory, per byte of text, for the texts that
// cost the most per byte. A program of its own: it counts every byte
// allocated through operator new (support/alloc_counter).
#include <gtest/gtest.h>

#include <string>

#include "json/json_text.h"
#include "support/alloc_counter.h"

namespace sdk {
namespace {

std::string Repeat(const std::string& open, const std::string& unit, const std::string& close,
                   std::size_t size) {
  std::string text = open + unit;
  while (text.size() + unit.size() + close.size() < size) text += "," + unit;
  return text + close;
}

std::string DistinctMembers(std::size_t size) {
  std::string text = "{";
  for (long i = 0; text.size() + 32 < size; ++i) {
    text += (i != 0 ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  }
  return text + "}";
}

TEST(JsonMemory, OneParseCostsABoundedMultipleOfItsText) {
  constexpr std::size_t kSize = 1 << 20;
  const struct {
    const char* name;
    std::string text;
    double bound;  // peak bytes allocated per byte of text
  } cases[] = {
      {"one-digit elements", Repeat("[", "1", "]", kSize), 8},
      {"fractional elements", Repeat("[", "1.5", "]", kSize), 8},
      {"nested single arrays", Repeat("[", "[[[[1]]]]", "]", kSize), 12},
      {"one repeated member", Repeat("{", "\"a\":1", "}", kSize), 1},
      {"distinct members", DistinctMembers(kSize), 12},
      {"small objects", Repeat("[", "{\"a\":1}", "]", kSize), 10},
      {"tiny strings", Repeat("[", "\"ab\"", "]", kSize), 8},
      {"one long string", "\"" + std::string(kSize, 'x') + "\"", 2},
  };
  for (const auto& c : cases) {
    const size_t before = test_support::LiveBytes();
    test_support::ResetPeak();
    {
      const JsonHandle value = parseJsonText(c.text);
      ASSERT_TRUE(value.isValid()) << c.name;
    }
    const double perByte =
        static_cast<double>(test_support::PeakBytes() - before) / static_cast<double>(c.text.size());
    EXPECT_LE(perByte, c.bound) << c.name;
    EXPECT_EQ(test_support::LiveBytes(), before) << c.name << ": the document freed everything";
  }
}

}  // namespace
}  // namespace sdk
