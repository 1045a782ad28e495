// What lumhost shows while it runs: lines of text (trace, notes, command
// output) and, on a terminal, a picture of the desk pinned to the top of the
// screen and redrawn as colours change; and an SVG snapshot file kept up to
// date.
#ifndef LUMSDK_HOST_VIEWS_LIVE_VIEW_H_
#define LUMSDK_HOST_VIEWS_LIVE_VIEW_H_

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "host/server/host_server.h"

namespace lumhost {

// Standard output shared by every thread. With a pinned picture, lines
// scroll in the part of the screen below it (a scroll region).
class ConsoleOutput {
 public:
  explicit ConsoleOutput(std::FILE* out) : out_(out) {}

  void print(const std::string& line);
  // Draws the picture at the top of the screen. The first call (and any call
  // after the terminal changed size) clears the screen and sets the scroll
  // region below the picture. False when the terminal is too small.
  bool drawPicture(const std::string& frame, int frameRows, const std::string& status);
  // Gives the whole screen back to scrolling text.
  void endPicture();

 private:
  // Guards out_ and the fields below, so lines and pictures never mix. Leaf.
  std::mutex mutex_;
  std::FILE* out_;
  bool pinned_ = false;
  int pinnedRows_ = 0;
  int screenRows_ = 0;
  int screenColumns_ = 0;
  std::chrono::steady_clock::time_point lastPlainFrame_{};
};

class LiveView {
 public:
  struct Options {
    bool terminal = false;     // draw the desk on the terminal
    std::string snapshotPath;  // keep this SVG file up to date; empty: none
  };

  LiveView(HostServer* server, ConsoleOutput* output, Options options);
  ~LiveView();

  // The thread is owned by the view; it waits on the lighting state's
  // changes (at most 100 ms at a time) and stops when stop() clears the
  // running flag.
  void start();
  void stop();

 private:
  void run();
  void drawTerminal();

  HostServer* server_;
  ConsoleOutput* output_;
  Options options_;
  std::atomic<bool> running_{false};
  std::thread thread_;
  int columns_ = 0;  // of the picture in use; used by the view thread only
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_LIVE_VIEW_H_
