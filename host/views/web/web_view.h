// lumhost's web page: a small HTTP server that serves one page with the desk
// drawn live from the SVG snapshot's geometry, pushes the colours and a side
// panel (the clients, who holds exclusive control, the latest trace lines)
// to it over a WebSocket at most 30 times a second, and takes key presses
// from it, which go to the registered clients as the console's press and
// release do. Who may use it: see web_access.h.
//
//   GET  /                 the page (the desk as it is now, inline SVG)
//   GET  /desk.css, /desk.js, /favicon.svg, and /desk.svg (the snapshot)
//   GET  /live             the WebSocket of pushes (the page's own Origin)
//
// Every request passes the Host check, the token check and the Origin rule
// of what it does, in one place (admitted()), before any route sees it;
// routes added later get them too.
//   POST /api/key          {"device": 0, "led": 1, "pressed": true} (the
//                          page's own Origin; bodies of 1 KiB at most)
//   GET  /api/state        the devices with every LED's colour, the clients,
//                          who holds control, the faults in force
//   POST /api/command      {"command": "stall 200"}: one console command,
//                          answered {"ok": true, "output": "..."}; an Origin,
//                          when sent, must be the page's own
// Scripts present the token as "Authorization: Bearer TOKEN".
//
// Thread: one, owned by the view, started by start() and joined by stop().
// It runs the server's event loop: every connection, and the push timer
// that runs while a page is connected. Everything the view keeps is used on
// that thread only; the host server it reads and presses keys on is
// thread-safe.
#ifndef LUMSDK_HOST_VIEWS_WEB_WEB_VIEW_H_
#define LUMSDK_HOST_VIEWS_WEB_WEB_VIEW_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "host/server/host_server.h"
#include "host/views/web/web_access.h"

namespace lumhost {

// Pushes to a page are at least this far apart: at most 30 a second, each
// with everything that changed since the one before.
constexpr std::chrono::microseconds kWebPushInterval{1000000 / 30};
// Trace lines that the server keeps for the page (ServerOptions::keepTraffic).
constexpr size_t kWebTrafficLines = 100;

class WebView {
 public:
  struct Options {
    ListenAddress listen;
    // The secret every request must present (see web_access.h); empty:
    // none is asked for.
    std::string token;
    // Receives a line for each key press from the page, from the view's
    // thread. May be empty.
    std::function<void(const std::string&)> log;
    // Where "snapshot" without a file name writes, for /api/command.
    std::string snapshotPath;
    // Called from the view's thread when /api/command runs "quit". May be
    // empty: then "quit" is refused there.
    std::function<void()> quit;
  };

  // The server must outlive the view.
  WebView(HostServer* server, Options options);
  ~WebView();
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  // Listens and starts the thread. False with a message (the address is in
  // use, or cannot be listened on).
  bool start(std::string* error);
  // Closes the pages' connections, stops listening and joins the thread.
  void stop();

  // "http://127.0.0.1:8731/", with the port listened on; valid after start().
  std::string url() const;
  // The address to open: url() with "?token=..." when there is a token.
  std::string urlWithToken() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_VIEWS_WEB_WEB_VIEW_H_
