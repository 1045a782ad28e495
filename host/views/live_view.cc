#include "host/views/live_view.h"

#include <chrono>
#include <memory>

#include "host/console/host_commands.h"
#include "host/platform/terminal.h"
#include "host/views/desk_picture.h"

namespace lumhost {
namespace {

// Redraws and snapshot rewrites are at most this frequent.
constexpr auto kRedrawInterval = std::chrono::milliseconds(50);
constexpr auto kSnapshotInterval = std::chrono::milliseconds(500);
constexpr auto kPlainFrameInterval = std::chrono::milliseconds(1000);
// Rows kept below the picture for scrolling text.
constexpr int kTextRows = 6;
constexpr int kMinPictureColumns = 40;

}  // namespace

void ConsoleOutput::print(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

bool ConsoleOutput::drawPicture(const std::string& frame, int frameRows,
                                const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  int columns = 0;
  int rows = 0;
  if (!terminalSize(&columns, &rows)) {
    // Not a terminal (--view into a file): frames follow the text, at most
    // one a second.
    auto now = std::chrono::steady_clock::now();
    if (now - lastPlainFrame_ < kPlainFrameInterval) return true;
    lastPlainFrame_ = now;
    std::fputs(frame.c_str(), out_);
    std::fputs(status.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    return true;
  }
  if (rows < frameRows + 1 + kTextRows) return false;
  if (!pinned_ || rows != screenRows_ || columns != screenColumns_ || frameRows != pinnedRows_) {
    // Clear, then let text scroll only below the picture and its status line.
    std::fprintf(out_, "\x1b[0m\x1b[2J\x1b[%d;%dr\x1b[%d;1H", frameRows + 2, rows, rows);
    pinned_ = true;
    pinnedRows_ = frameRows;
    screenRows_ = rows;
    screenColumns_ = columns;
  }
  // Save the cursor, draw from the top left, put the cursor back.
  std::fputs(
      "\x1b"
      "7\x1b[1;1H",
      out_);
  std::fputs(frame.c_str(), out_);
  std::fputs("\x1b[2K\x1b[7m ", out_);
  std::fputs(status.substr(0, static_cast<size_t>(columns > 2 ? columns - 2 : 0)).c_str(), out_);
  std::fputs(
      " \x1b[0m\x1b"
      "8",
      out_);
  std::fflush(out_);
  return true;
}

void ConsoleOutput::endPicture() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pinned_) return;
  std::fprintf(out_, "\x1b[0m\x1b[r\x1b[%d;1H\n", screenRows_);
  std::fflush(out_);
  pinned_ = false;
}

LiveView::LiveView(HostServer* server, ConsoleOutput* output, Options options)
    : server_(server), output_(output), options_(std::move(options)) {}

LiveView::~LiveView() { stop(); }

void LiveView::start() {
  if (running_.exchange(true)) return;
  // The first picture clears the screen: draw it before anything is printed.
  if (options_.terminal) drawTerminal();
  thread_ = std::thread([this] { run(); });
}

void LiveView::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  if (options_.terminal) output_->endPicture();
}

void LiveView::drawTerminal() {
  int columns = 0;
  int rows = 0;
  if (!terminalSize(&columns, &rows)) {
    columns = 100;
    rows = 1000;
  }
  std::shared_ptr<Desk> desk = server_->desk();
  const Profile& profile = desk->profile;
  // The widest picture that leaves room for text below it.
  std::unique_ptr<TerminalPicture> picture;
  // One column short of the width: writing the last column would leave the
  // cursor waiting to wrap.
  for (int c = columns - 1; c >= kMinPictureColumns; c -= 4) {
    picture = std::make_unique<TerminalPicture>(profile, c);
    if (picture->rows() + 1 + kTextRows <= rows) break;
  }
  int controller = desk->state.controller();
  std::string status = "lumhost  " + std::to_string(profile.devices.size()) + " devices  " +
                       std::to_string(server_->clientCount()) + " clients  control: " +
                       (controller == 0 ? "-" : "client-" + std::to_string(controller)) +
                       "  protocol " + std::to_string(server_->protocol());
  if (!output_->drawPicture(picture->render(desk->state.composed()), picture->rows(), status)) {
    if (columns_ != -1) output_->print("(the terminal is too small for the live view)");
    columns_ = -1;
    return;
  }
  columns_ = picture->columns();
}

void LiveView::run() {
  using Clock = std::chrono::steady_clock;
  uint64_t seen = ~uint64_t{0};
  uint64_t seenDesk = ~uint64_t{0};
  int clients = -1;
  bool snapshotDue = false;
  Clock::time_point lastSnapshot{};
  std::string lastSnapshotError;
  while (running_) {
    // A new desk is a change: its generation may equal the old desk's.
    uint64_t desk = server_->deskNumber();
    uint64_t now = server_->state()->waitForChange(seen, 100);
    int clientsNow = server_->clientCount();
    bool changed = now != seen || desk != seenDesk || clientsNow != clients;
    seen = now;
    seenDesk = desk;
    clients = clientsNow;
    if (changed) {
      snapshotDue = true;
      if (options_.terminal) drawTerminal();
    }
    if (snapshotDue && !options_.snapshotPath.empty() &&
        Clock::now() - lastSnapshot >= kSnapshotInterval) {
      // A failure that lasts (a full disk) is told once, not twice a second.
      std::string error;
      if (writeSnapshot(*server_, options_.snapshotPath, &error)) {
        lastSnapshotError.clear();
      } else if (error != lastSnapshotError) {
        output_->print("lumhost: " + error);
        lastSnapshotError = error;
      }
      lastSnapshot = Clock::now();
      snapshotDue = false;
    }
    std::this_thread::sleep_for(kRedrawInterval);
  }
}

}  // namespace lumhost
