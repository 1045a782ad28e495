// Message-level reader and writer over a stream: each message is one frame.
// They add no bytes of their own and keep no state; a stream's brokenness is
// the stream's.
#ifndef LUMSDK_TRANSPORT_BINARY_IO_H_
#define LUMSDK_TRANSPORT_BINARY_IO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/pipe_stream.h"

namespace sdk {

class IBinaryReader {
 public:
  virtual ~IBinaryReader() = default;
  // 0 and the message's body, -1 when the stream cannot read, else the error
  // code; message is left untouched on failure. timeoutMs <= 0: no limit.
  virtual int Read(std::vector<uint8_t>& message, int timeoutMs) = 0;
  virtual void Cancel() = 0;
  virtual bool IsBroken() = 0;
  virtual bool QueryInput() { return false; }
  // The message as a text: its whole body, the host's 0 byte included.
  virtual int ReadText(std::string& text, int timeoutMs);
  // The same without the copy where it can: *text lies in the reader's own
  // buffer, valid until its next read, or in *storage.
  virtual int ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs);
};

class IBinaryWriter {
 public:
  virtual ~IBinaryWriter() = default;
  virtual int Write(const std::vector<uint8_t>& message, int timeoutMs) = 0;
  virtual void Cancel() = 0;
  virtual bool IsBroken() = 0;
  virtual void Flush() = 0;
  // Writes TextToMessage(text), without making that copy where it can.
  virtual int WriteText(TerminatedText text, int timeoutMs);
};

class BinaryReader final : public IBinaryReader {
 public:
  explicit BinaryReader(std::shared_ptr<IStream> stream) : stream_(std::move(stream)) {}
  int Read(std::vector<uint8_t>& message, int timeoutMs) override;
  int ReadText(std::string& text, int timeoutMs) override;
  int ReadTextInPlace(std::string_view* text, std::string* storage, int timeoutMs) override {
    return stream_->ReadTextInPlace(text, storage, timeoutMs);
  }
  void Cancel() override { stream_->Cancel(); }
  bool IsBroken() override { return stream_->IsBroken(); }
  bool QueryInput() override { return stream_->QueryInput(); }

 private:
  const std::shared_ptr<IStream> stream_;
};

class BinaryWriter final : public IBinaryWriter {
 public:
  explicit BinaryWriter(std::shared_ptr<IStream> stream) : stream_(std::move(stream)) {}
  int Write(const std::vector<uint8_t>& message, int timeoutMs) override;
  int WriteText(TerminatedText text, int timeoutMs) override;
  void Cancel() override { stream_->Cancel(); }
  bool IsBroken() override { return stream_->IsBroken(); }
  void Flush() override { stream_->Flush(); }

 private:
  const std::shared_ptr<IStream> stream_;
};

// A text as a message body: its bytes, unchanged, then one 0 byte.
std::vector<uint8_t> TextToMessage(std::string_view text);

}  // namespace sdk

#endif  // LUMSDK_TRANSPORT_BINARY_IO_H_
