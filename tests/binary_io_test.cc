#include "transport/binary_io.h"

#include <gtest/gtest.h>

#include "support/test_host.h"

namespace sdk {
namespace {

using test_support::Bytes;
using test_support::UniquePipeName;

constexpr int kWaitMs = 5000;

TEST(BinaryIo, TextsGoOnTheWireAsLengthBytesAndZero) {
  const struct {
    std::string text;
    Bytes wire;
  } cases[] = {
      {"abc", {0x04, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x00}},
      {"", {0x01, 0x00, 0x00, 0x00, 0x00}},
      {std::string("\xE9\x01", 2), {0x03, 0x00, 0x00, 0x00, 0xE9, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(EncodeFrame(TextToMessage(c.text)), c.wire);
    const std::wstring name = UniquePipeName("wire");
    auto server = CreatePipeInputStream(name, kWaitMs);
    ASSERT_TRUE(server);
    auto client = OpenPipeOutputStream(name, kWaitMs);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->Write(TextToMessage(c.text), kWaitMs), 0);
    Bytes raw;
    ASSERT_EQ(ReadRawBytes(*server, c.wire.size(), raw, kWaitMs), 0);
    EXPECT_EQ(raw, c.wire);
  }
}

}  // namespace
}  // namespace sdk
