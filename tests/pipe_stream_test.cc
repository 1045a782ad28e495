#include "transport/pipe_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "support/test_host.h"

namespace sdk {
namespace {

using test_support::Bytes;
using test_support::ToBytes;
using test_support::UniquePipeName;

constexpr int kWaitMs = 5000;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;  // NOLINT: texts with NUL bytes

struct Pair {
  std::shared_ptr<IStream> server;  // listening end
  std::shared_ptr<IStream> client;  // connecting end
};

// A connected pair; serverReads chooses which way the frames go.
Pair Connect(const std::wstring& name, bool serverReads) {
  Pair p;
  p.server =
      serverReads ? CreatePipeInputStream(name, kWaitMs) : CreatePipeOutputStream(name, kWaitMs);
  EXPECT_TRUE(p.server);
  p.client = serverReads ? OpenPipeOutputStream(name, kWaitMs) : OpenPipeInputStream(name, kWaitMs);
  EXPECT_TRUE(p.client);
  if (p.server && p.client) {
    EXPECT_TRUE(serverReads ? p.server->OpenForReading(kWaitMs)
                            : p.server->OpenForWriting(kWaitMs));
  }
  return p;
}

Bytes Pattern(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + size);
  return b;
}

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PipeStream, FramesOfEverySizeArriveWhole) {
  // Sizes around the pipe buffer (4096) and the read-ahead chunk (64 KiB).
  for (size_t size : {0u, 1u, 3u, 4095u, 4096u, 4097u, 65536u + 5u, 1u << 20}) {
    for (bool serverReads : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "size " << size << " serverReads " << serverReads);
      Pair p = Connect(UniquePipeName("sizes"), serverReads);
      ASSERT_TRUE(p.server && p.client);
      IStream& writer = serverReads ? *p.client : *p.server;
      IStream& reader = serverReads ? *p.server : *p.client;
      const Bytes sent = Pattern(size);
      // Two frames back to back: the second must not be swallowed by the
      // first's read-ahead.
      auto writing = std::async(std::launch::async, [&] {
        return writer.Write(sent, kWaitMs) == 0 && writer.Write(ToBytes("next"), kWaitMs) == 0;
      });
      Bytes got = ToBytes("old");
      EXPECT_EQ(reader.Read(got, kWaitMs), 0);
      EXPECT_EQ(got, sent);
      EXPECT_EQ(reader.Read(got, kWaitMs), 0);
      EXPECT_EQ(got, ToBytes("next"));
      EXPECT_TRUE(writing.get());
      EXPECT_FALSE(reader.IsBroken());
      EXPECT_FALSE(writer.IsBroken());
    }
  }
}

TEST(PipeStream, MissingPipeFailsAtOnce) {
  const std::wstring name = UniquePipeName("missing");
  const auto start = Clock::now();
  EXPECT_FALSE(OpenPipeInputStream(name, 20000));
  EXPECT_FALSE(OpenPipeOutputStream(name, 20000));
  EXPECT_LT(MsSince(start), 5000);
}

TEST(PipeStream, BusyPipeWaitsForAFreeInstance) {
  const std::wstring name = UniquePipeName("busy");
  auto first = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(first);
  auto a = OpenPipeOutputStream(name, kWaitMs);
  ASSERT_TRUE(a);
  // The only instance is taken: a short open gives up.
  EXPECT_FALSE(OpenPipeOutputStream(name, 200));

  // A longer one waits and gets the next instance once the host makes one.
  auto opening = std::async(std::launch::async, [&] { return OpenPipeOutputStream(name, 20000); });
  EXPECT_EQ(opening.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  auto second = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(second);
  ASSERT_EQ(opening.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  auto b = opening.get();
  ASSERT_TRUE(b);

  // Each client talks to its own instance.
  ASSERT_EQ(a->Write(ToBytes("from a"), kWaitMs), 0);
  ASSERT_EQ(b->Write(ToBytes("from b"), kWaitMs), 0);
  Bytes got;
  ASSERT_EQ(first->Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("from a"));
  ASSERT_EQ(second->Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("from b"));
}

// One frame written on from arrives whole on to.
void ExpectDelivered(IStream& from, IStream& to, const char* text) {
  ASSERT_EQ(from.Write(ToBytes(text), kWaitMs), 0);
  Bytes got;
  ASSERT_EQ(to.Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes(text));
}

// A client that arrives while the host takes an instance's peer must find
// the instance busy: were it let in, it would be thrown out a moment later,
// after it may already have opened another pipe of the same exchange.
std::wstring g_lateName;
std::shared_ptr<IStream> g_late;

TEST(PipeStream, ClientArrivingAsThePeerIsTakenFindsThePipeBusy) {
  g_lateName = UniquePipeName("late");
  auto server = CreatePipeInputStream(g_lateName, kWaitMs);
  ASSERT_TRUE(server);
  auto first = OpenPipeOutputStream(g_lateName, kWaitMs);
  ASSERT_TRUE(first);
  SetPeerTakenHookForTesting([] { g_late = OpenPipeOutputStream(g_lateName, 100); });
  const bool taken = server->OpenForReading(kWaitMs);
  SetPeerTakenHookForTesting(nullptr);
  ASSERT_TRUE(taken);
  EXPECT_FALSE(g_late);
  g_late.reset();
  ExpectDelivered(*first, *server, "first");
}

// A client that gave up while it waited to be taken is not taken: the host
// would answer nobody, and on a pair of pipes the next client would lose its
// exchange to it.
TEST(PipeStream, ClientThatLeftBeforeBeingTakenIsPassedOver) {
  const std::wstring name = UniquePipeName("left");
  auto server = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(server);
  ASSERT_TRUE(OpenPipeOutputStream(name, kWaitMs));  // opened and closed at once
  auto opening =
      std::async(std::launch::async, [&] { return OpenPipeOutputStream(name, kWaitMs); });
  ASSERT_TRUE(server->OpenForReading(kWaitMs));
  auto live = opening.get();
  ASSERT_TRUE(live);
  ExpectDelivered(*live, *server, "live");
}

TEST(PipeStream, PipeIsGoneOnceItsLastInstanceCloses) {
  const std::wstring name = UniquePipeName("gone");
  {
    Pair p = Connect(name, true);
    ASSERT_TRUE(p.client);
  }
  const auto start = Clock::now();
  EXPECT_FALSE(OpenPipeOutputStream(name, 20000));
  EXPECT_LT(MsSince(start), 5000);
}

TEST(PipeStream, CancelEndsAWaitingReadForGood) {
  Pair p = Connect(UniquePipeName("cancel"), true);
  ASSERT_TRUE(p.server);
  Bytes got = ToBytes("untouched");
  auto reading = std::async(std::launch::async, [&] { return p.server->Read(got, 0); });
  EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  p.server->Cancel();
  ASSERT_EQ(reading.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(reading.get(), kErrorIoPending);
  EXPECT_TRUE(p.server->IsBroken());
  EXPECT_EQ(got, ToBytes("untouched"));
  // Cancelling is final: a later read that would wait fails at once.
  const auto start = Clock::now();
  EXPECT_NE(p.server->Read(got, 0), 0);
  EXPECT_LT(MsSince(start), 5000);
}

TEST(PipeStream, TimedOutReadMarksBrokenButKeepsWhatArrived) {
  Pair p = Connect(UniquePipeName("partial"), true);
  ASSERT_TRUE(p.server);
  Bytes got;
  EXPECT_EQ(p.server->Read(got, 50), kErrorIoPending);
  EXPECT_TRUE(p.server->IsBroken());

  // Half a frame, then a time-out: the bytes that came stay with the stream.
  ASSERT_EQ(WriteRawBytes(*p.client, {5, 0, 0, 0, 'a', 'b'}, kWaitMs), 0);
  EXPECT_EQ(p.server->Read(got, 100), kErrorIoPending);
  ASSERT_EQ(WriteRawBytes(*p.client, ToBytes("cde"), kWaitMs), 0);
  ASSERT_EQ(p.server->Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("abcde"));
  // Broken stays broken, even after a read that worked.
  EXPECT_TRUE(p.server->IsBroken());
}

// A framed text goes out from where it lies, header and all: the reader gets
// the same text as from a plain one, and one over the bound is refused
// before a byte is written.
TEST(PipeStream, FramedTextsArriveAsPlainOnes) {
  Pair p = Connect(UniquePipeName("framed"), true);
  ASSERT_TRUE(p.server && p.client);
  for (size_t size : {0u, 7u, 4096u, 1u << 20}) {
    const std::string text(size, static_cast<char>('a' + size % 26));
    const FramedText kept(text);
    std::vector<char> room(kFrameHeaderBytes + size + 1, 'x');
    const TerminatedText framed = FrameText(room.data() + kFrameHeaderBytes, size);
    if (size > 0) std::memcpy(room.data() + kFrameHeaderBytes, text.data(), size);
    auto writing = std::async(std::launch::async, [&] {
      return p.client->WriteText(kept.text(), kWaitMs) == 0 &&
             p.client->WriteText(framed, kWaitMs) == 0 && p.client->WriteText(text, kWaitMs) == 0;
    });
    for (int i = 0; i < 3; ++i) {
      std::string got = "old";
      EXPECT_EQ(p.server->ReadText(got, kWaitMs), 0);
      EXPECT_EQ(got, text + '\0') << size << " " << i;
    }
    EXPECT_TRUE(writing.get());
  }
  const FramedText over(std::string(kMaxFrameBytes, 'o'));
  EXPECT_EQ(p.client->WriteText(over.text(), kWaitMs), kErrorInvalidData);
  EXPECT_EQ(p.client->WriteText("after"s, kWaitMs), 0);
  std::string got;
  EXPECT_EQ(p.server->ReadText(got, kWaitMs), 0);
  EXPECT_EQ(got, "after"s + '\0');
}

TEST(PipeStream, ShortReadsAreJoinedIntoOneFrame) {
  Pair p = Connect(UniquePipeName("short"), true);
  ASSERT_TRUE(p.server);
  auto writing = std::async(std::launch::async, [&] {
    int r = 0;
    for (const Bytes& piece : {Bytes{3}, Bytes{0, 0}, Bytes{0, 'x'}, Bytes{'y', 'z'}}) {
      r |= WriteRawBytes(*p.client, piece, kWaitMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return r;
  });
  Bytes got;
  ASSERT_EQ(p.server->Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("xyz"));
  EXPECT_EQ(writing.get(), 0);
  EXPECT_FALSE(p.server->IsBroken());
}

TEST(PipeStream, OversizeFrameIsRejectedWithoutAllocating) {
  // 0xFFFFFFFF would abort under the address sanitizer if it were allocated.
  const uint32_t over = kMaxFrameBytes + 1;
  for (const Bytes& header :
       {Bytes{0xFF, 0xFF, 0xFF, 0xFF},
        Bytes{static_cast<uint8_t>(over), static_cast<uint8_t>(over >> 8),
              static_cast<uint8_t>(over >> 16), static_cast<uint8_t>(over >> 24)}}) {
    Pair p = Connect(UniquePipeName("oversize"), true);
    ASSERT_TRUE(p.server);
    ASSERT_EQ(WriteRawBytes(*p.client, header, kWaitMs), 0);
    Bytes got = ToBytes("untouched");
    EXPECT_EQ(p.server->Read(got, kWaitMs), kErrorInvalidData);
    EXPECT_TRUE(p.server->IsBroken());
    EXPECT_EQ(got, ToBytes("untouched"));
  }
}

TEST(PipeStream, PeerClosingBreaksTheStreamAfterItsLastFrame) {
  {
    Pair p = Connect(UniquePipeName("closed-writer"), false);
    ASSERT_TRUE(p.server);
    // A frame written just before the host closes still arrives.
    ASSERT_EQ(p.server->Write(ToBytes("last"), kWaitMs), 0);
    p.server->Close();
    Bytes got;
    ASSERT_EQ(p.client->Read(got, kWaitMs), 0);
    EXPECT_EQ(got, ToBytes("last"));
    EXPECT_FALSE(p.client->IsBroken());
    EXPECT_EQ(p.client->Read(got, kWaitMs), kErrorBrokenPipe);
    EXPECT_TRUE(p.client->IsBroken());
  }
  {
    Pair p = Connect(UniquePipeName("closed-reader"), true);
    ASSERT_TRUE(p.server);
    p.server->Close();
    const int r = p.client->Write(ToBytes("lost"), kWaitMs);
    EXPECT_TRUE(r == kErrorNoData || r == kErrorBrokenPipe || r == kErrorPipeNotConnected) << r;
    EXPECT_TRUE(p.client->IsBroken());
  }
}

TEST(PipeStream, WrongDirectionFailsWithoutBreaking) {
  Pair p = Connect(UniquePipeName("direction"), true);
  ASSERT_TRUE(p.server);
  Bytes got = ToBytes("untouched");
  EXPECT_EQ(p.client->Read(got, kWaitMs), kStreamNotReady);
  EXPECT_EQ(got, ToBytes("untouched"));
  EXPECT_EQ(p.server->Write(got, kWaitMs), kStreamNotReady);
  EXPECT_FALSE(p.client->OpenForReading(kWaitMs));
  EXPECT_FALSE(p.server->OpenForWriting(kWaitMs));
  EXPECT_FALSE(p.client->IsBroken());
  EXPECT_FALSE(p.server->IsBroken());
  EXPECT_FALSE(p.server->QueryInput());
  // Nothing is waiting to be read, so flushing returns at once.
  p.client->Flush();
  p.server->Flush();
  EXPECT_EQ(p.client->Write(ToBytes("after flush"), kWaitMs), 0);
}

TEST(PipeStream, ListeningWithoutPeerIsNotReadyNorBroken) {
  const std::wstring name = UniquePipeName("nopeer");
  auto server = CreatePipeInputStream(name, kWaitMs);
  ASSERT_TRUE(server);
  Bytes got;
  EXPECT_FALSE(server->OpenForReading(50));
  EXPECT_EQ(server->Read(got, 50), kStreamNotReady);
  EXPECT_FALSE(server->IsBroken());
  auto client = OpenPipeOutputStream(name, kWaitMs);
  ASSERT_TRUE(client);
  ASSERT_EQ(client->Write(ToBytes("late"), kWaitMs), 0);
  ASSERT_EQ(server->Read(got, kWaitMs), 0);
  EXPECT_EQ(got, ToBytes("late"));
  // A closed stream stays closed.
  server->Close();
  EXPECT_FALSE(server->OpenForReading(50));
}

}  // namespace
}  // namespace sdk
