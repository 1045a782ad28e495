#include "transport/binary_io.h"

#include <gtest/gtest.h>

#include <future>

#include "support/test_host.h"

namespace sdk {
namespace {

using test_support::Bytes;
using test_support::ToBytes;
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
    BinaryWriter writer(OpenPipeOutputStream(name, kWaitMs));
    ASSERT_EQ(writer.Write(TextToMessage(c.text), kWaitMs), 0);
    Bytes raw;
    ASSERT_EQ(ReadRawBytes(*server, c.wire.size(), raw, kWaitMs), 0);
    EXPECT_EQ(raw, c.wire);
  }
}

TEST(BinaryIo, ReaderAndWriterPassMessagesAndStateThrough) {
  const std::wstring name = UniquePipeName("pass");
  auto serverStream = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(serverStream);
  BinaryReader reader(serverStream);
  BinaryWriter writer(OpenPipeOutputStream(name, kWaitMs));
  ASSERT_EQ(writer.Write(ToBytes("hello"), kWaitMs), 0);
  Bytes got;
  ASSERT_EQ(reader.Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("hello"));
  EXPECT_FALSE(reader.QueryInput());

  auto reading = std::async(std::launch::async, [&] { return reader.Read(got, 0); });
  reader.Cancel();
  ASSERT_EQ(reading.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(reading.get(), kErrorIoPending);
  EXPECT_TRUE(reader.IsBroken());
  EXPECT_FALSE(writer.IsBroken());
}

TEST(BinaryIo, WrongDirectionReturnsNotReady) {
  const std::wstring name = UniquePipeName("wrongway");
  auto serverStream = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(serverStream);
  auto clientStream = OpenPipeOutputStream(name, kWaitMs);
  ASSERT_TRUE(clientStream);
  BinaryReader readerOnOutput(clientStream);
  BinaryWriter writerOnInput(serverStream);
  Bytes got = ToBytes("untouched");
  EXPECT_EQ(readerOnOutput.Read(got, kWaitMs), kStreamNotReady);
  EXPECT_EQ(got, ToBytes("untouched"));
  EXPECT_EQ(writerOnInput.Write(got, kWaitMs), kStreamNotReady);
  EXPECT_FALSE(readerOnOutput.IsBroken());
  EXPECT_FALSE(writerOnInput.IsBroken());
}

}  // namespace
}  // namespace sdk
