#include "support/host_process.h"

#include <fstream>
#include <sstream>
#include <utility>

#include "support/eventually.h"

namespace sdk {
namespace test_support {
namespace {

constexpr int kWaitMs = 20000;  // lumhost under Wine starts slowly

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Waits until text appears in the file after offset; its position or npos.
size_t waitForText(const std::string& path, size_t offset, const std::string& text,
                   std::string* whole) {
  size_t at = std::string::npos;
  eventually(
      [&] {
        *whole = readAll(path);
        at = whole->size() > offset ? whole->find(text, offset) : std::string::npos;
        return at != std::string::npos;
      },
      kWaitMs);
  return at;
}

}  // namespace

HostProcess::HostProcess(std::string program, std::string pipeBase)
    : program_(std::move(program)),
      pipeBase_(std::move(pipeBase)),
      outputPath_(TemporaryPath("lumhost-" + pipeBase_)) {}

HostProcess::~HostProcess() {
  kill();
  RemoveFile(outputPath_);
}

bool HostProcess::start(const std::vector<std::string>& args, std::string* error) {
  kill();
  std::vector<std::string> all{"--no-view", "--pipe-base", pipeBase_};
  all.insert(all.end(), args.begin(), args.end());
  std::string why;
  child_ = StartChild(program_, all, outputPath_, &why);
  std::string text;
  if (child_ == nullptr ||
      waitForText(outputPath_, 0, "lumhost: serving", &text) == std::string::npos) {
    if (error != nullptr) *error = "lumhost did not start: " + why + "\n" + text;
    kill();
    return false;
  }
  read_ = 0;
  return true;
}

void HostProcess::kill() {
  if (child_ == nullptr) return;
  child_->kill();
  child_.reset();
}

std::string HostProcess::command(const std::string& line) {
  if (child_ == nullptr) return "";
  // An unknown command answers at once, after everything typed before it.
  const std::string mark = "end-of-command-" + std::to_string(++marks_);
  if (!child_->write(line + "\n" + mark + "\n")) return "";
  std::string text;
  const size_t at = waitForText(outputPath_, read_, "\"" + mark + "\"", &text);
  if (at == std::string::npos) return "";
  const size_t lineStart = text.rfind('\n', at);
  std::string result =
      text.substr(read_, (lineStart == std::string::npos ? at : lineStart) - read_);
  const size_t lineEnd = text.find('\n', at);
  read_ = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
  return result;
}

std::string HostProcess::output() const { return readAll(outputPath_); }

}  // namespace test_support
}  // namespace sdk
