#include "host/views/web/web_view.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <vector>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "host/console/host_commands.h"
#include "host/views/desk_picture.h"
#include "host/views/web/web_page.h"
#include "host/views/web/web_text.h"
#include "json/json_text.h"
#include "json/json_value.h"

namespace lumhost {
namespace {

using Server = websocketpp::server<websocketpp::config::asio>;
using Connection = Server::connection_ptr;
using Handle = websocketpp::connection_hdl;
namespace status = websocketpp::http::status_code;

// Bodies of requests: a key press is about 40 bytes.
constexpr size_t kMaxBodyBytes = 1024;
// Messages a page may send on its WebSocket (it sends none).
constexpr size_t kMaxPageMessageBytes = 1024;
// Pages connected at once; more are refused until one goes.
constexpr size_t kMaxPages = 16;
// Connections open at once, pages included. A new one beyond this ends the
// oldest connection still sending its request, so that idle or half-sent
// requests can neither starve the page nor take the descriptors the pipes
// need.
constexpr size_t kMaxConnections = 64;
// A request's head and body arrive within this time (the browser sends them
// at once), or the connection is closed.
constexpr long kRequestTimeoutMs = 3000;
// A page that has not taken this much of what was sent to it is skipped
// until it has; it then gets everything afresh.
constexpr size_t kMaxBufferedBytes = 1 << 20;
// The tab's icon: three lit keys.
const char kFavicon[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 32 32\">"
    "<rect width=\"32\" height=\"32\" rx=\"6\" fill=\"#202024\"/>"
    "<rect x=\"3\" y=\"10\" width=\"8\" height=\"12\" rx=\"2\" fill=\"#ff4060\"/>"
    "<rect x=\"12\" y=\"10\" width=\"8\" height=\"12\" rx=\"2\" fill=\"#40e080\"/>"
    "<rect x=\"21\" y=\"10\" width=\"8\" height=\"12\" rx=\"2\" fill=\"#4090ff\"/></svg>";

// At stop, pages get this long to take the closing message.
constexpr auto kCloseGrace = std::chrono::milliseconds(300);

std::string hex6(const Rgb& c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%02x%02x%02x", c.r & 255, c.g & 255, c.b & 255);
  return buffer;
}

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

}  // namespace

class WebView::Impl {
 public:
  Impl(HostServer* server, Options options) : host_(server), options_(std::move(options)) {}

  bool start(std::string* error) {
    try {
      web_.clear_access_channels(websocketpp::log::alevel::all);
      web_.clear_error_channels(websocketpp::log::elevel::all);
      web_.init_asio();
#ifndef _WIN32
      // Lets a restarted lumhost listen at once. (On Windows the same flag
      // would let another program take the port over.)
      web_.set_reuse_addr(true);
#endif
      web_.set_user_agent("lumhost");
      web_.set_max_http_body_size(kMaxBodyBytes);
      web_.set_open_handshake_timeout(kRequestTimeoutMs);
      web_.set_tcp_post_init_handler([this](Handle h) { guarded([&] { onConnection(h); }); });
      web_.set_max_message_size(kMaxPageMessageBytes);
      web_.set_http_handler([this](Handle h) { guarded([&] { onHttp(h); }); });
      web_.set_validate_handler([this](Handle h) {
        bool accepted = false;
        guarded([&] { accepted = onValidate(h); });
        return accepted;
      });
      web_.set_open_handler([this](Handle h) { guarded([&] { onOpen(h); }); });
      web_.set_close_handler([this](Handle h) { pages_.erase(h); });
      web_.set_fail_handler([this](Handle h) { pages_.erase(h); });
      web_.set_message_handler([](Handle, Server::message_ptr) {});

      asio::error_code ec;
      asio::ip::address address = asio::ip::make_address(options_.listen.address, ec);
      if (!ec) web_.listen(asio::ip::tcp::endpoint(address, options_.listen.port), ec);
      if (ec) {
        *error = "--http " + urlAuthority(options_.listen.address, options_.listen.port) +
                 ": cannot listen (" + ec.message() + ")";
        return false;
      }
      port_ = web_.get_local_endpoint(ec).port();
      web_.start_accept();
    } catch (const std::exception& e) {
      *error = std::string("--http: cannot listen (") + e.what() + ")";
      return false;
    }
    pushTimer_ = std::make_unique<asio::steady_timer>(web_.get_io_service());
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    if (!thread_.joinable()) return;
    asio::post(web_.get_io_service(), [this] {
      asio::error_code ec;
      web_.stop_listening(ec);
      pushTimer_->cancel();
      for (auto& page : pages_) {
        websocketpp::lib::error_code closed;
        web_.close(page.first, websocketpp::close::status::going_away, "lumhost stopped", closed);
      }
      pushTimer_->expires_after(kCloseGrace);
      pushTimer_->async_wait([this](const asio::error_code&) { web_.stop(); });
    });
    thread_.join();
  }

  std::string url() const { return "http://" + urlAuthority(options_.listen.address, port_) + "/"; }

  std::string urlWithToken() const {
    return options_.token.empty() ? url() : url() + "?token=" + options_.token;
  }

 private:
  struct Page {
    bool fresh = true;  // gets everything with its next push
  };

  void run() {
    for (;;) {
      try {
        web_.run();
        return;
      } catch (const std::exception& e) {
        // A handler's fault must not end the page for everybody.
        note(std::string("web page: ") + e.what());
      }
    }
  }

  template <typename F>
  void guarded(F&& work) {
    try {
      work();
    } catch (const std::exception& e) {
      note(std::string("web page: ") + e.what());
    }
  }

  void note(const std::string& line) {
    if (options_.log) options_.log(line);
  }

  // --- Connections.

  // Counts every new connection and ends the oldest one still sending its
  // request when there are too many.
  void onConnection(Handle h) {
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const Handle& c) { return c.expired(); }),
                       connections_.end());
    connections_.push_back(h);
    if (connections_.size() <= kMaxConnections) return;
    for (const Handle& c : connections_) {
      websocketpp::lib::error_code ec;
      Connection con = web_.get_con_from_hdl(c, ec);
      if (ec || con->get_state() != websocketpp::session::state::connecting) continue;
      ++evicted_;
      if (evicted_ == 1 || evicted_ % 1000 == 0) {
        note("web page: " + std::to_string(kMaxConnections) +
             " connections are open; the oldest unfinished request is dropped (" +
             std::to_string(evicted_) + " so far)");
      }
      // Ended from the loop, not from within this connection's set-up.
      Handle victim = c;
      asio::post(web_.get_io_service(), [this, victim] {
        websocketpp::lib::error_code gone;
        Connection old = web_.get_con_from_hdl(victim, gone);
        if (!gone) old->terminate(websocketpp::lib::error_code());
      });
      connections_.erase(std::find_if(
          connections_.begin(), connections_.end(),
          [&](const Handle& x) { return !x.owner_before(victim) && !victim.owner_before(x); }));
      return;
    }
  }

  // --- Requests.

  static void commonHeaders(const Connection& con) {
    con->replace_header("Cache-Control", "no-store");
    con->replace_header("X-Content-Type-Options", "nosniff");
    con->replace_header("X-Frame-Options", "DENY");
    con->replace_header("Referrer-Policy", "no-referrer");
  }

  static void respond(const Connection& con, status::value code, const std::string& type,
                      const std::string& body) {
    con->set_status(code);
    con->replace_header("Content-Type", type);
    con->set_body(body);
  }

  static void refuse(const Connection& con, status::value code, const std::string& why) {
    respond(con, code, "text/plain; charset=utf-8", why + "\n");
  }

  // What a request may do, and so what it must show besides the Host and the
  // token, which every request needs.
  enum class Guard {
    kRead,       // read the page, its files or the state
    kPageWrite,  // press keys, open the live connection: the page's own Origin
    kApiWrite,   // run commands: an Origin only if the page's own
  };

  // The Host check: false (and the refusal set) when the request names this
  // server by another name, which may be a DNS name rebound to this machine.
  bool hostChecked(const Connection& con) {
    const std::string& host = con->get_request_header("Host");
    if (hostAllowed(host, options_.listen)) return true;
    refuse(con, status::forbidden,
           "lumhost answers only requests for its own address (" + url() +
               " or localhost), not for \"" + host + "\"");
    return false;
  }

  // The token check. A page opened with the token in its address gets it
  // back as a cookie that only this server's pages send (HttpOnly: no script
  // reads it; SameSite=Strict: no other site's request carries it).
  bool tokenChecked(const Connection& con) {
    if (options_.token.empty()) return true;
    const std::string& resource = con->get_resource();
    size_t mark = resource.find('?');
    TokenCarriers carriers;
    carriers.authorization = con->get_request_header("Authorization");
    carriers.cookies = con->get_request_header("Cookie");
    if (mark != std::string::npos) carriers.query = resource.substr(mark + 1);
    bool fromQuery = false;
    switch (checkToken(options_.token, carriers, tokenCookieName(port_), &fromQuery)) {
      case TokenCheck::Accepted:
        if (fromQuery) {
          con->replace_header("Set-Cookie", tokenCookieName(port_) + "=" + options_.token +
                                                "; Path=/; HttpOnly; SameSite=Strict");
        }
        return true;
      case TokenCheck::Missing:
        con->replace_header("WWW-Authenticate", "Bearer realm=\"lumhost\"");
        refuse(con, status::unauthorized,
               "lumhost's page needs its token: open the address lumhost printed (it ends in "
               "?token=...), or send \"Authorization: Bearer TOKEN\"");
        return false;
      case TokenCheck::Wrong:
        break;
    }
    refuse(con, status::forbidden, "wrong token");
    return false;
  }

  // The gate of every request, page, file, API or WebSocket: the Host check,
  // then the token, then the Origin rule of what the request does. False
  // (and the refusal set) when the request may not do it.
  bool admitted(const Connection& con, Guard guard) {
    if (!hostChecked(con) || !tokenChecked(con)) return false;
    // The page's own writes always carry its Origin; a script's need none,
    // but one that carries an Origin must carry the page's.
    const std::string& origin = con->get_request_header("Origin");
    bool originNeeded =
        guard == Guard::kPageWrite || (guard == Guard::kApiWrite && !origin.empty());
    if (originNeeded && !originAllowed(origin, con->get_request_header("Host"))) {
      refuse(con, status::forbidden, "this request is accepted from lumhost's own page only");
      return false;
    }
    return true;
  }

  void onHttp(Handle h) {
    Connection con = web_.get_con_from_hdl(h);
    commonHeaders(con);
    const std::string& method = con->get_request().get_method();
    std::string path = con->get_resource();
    path = path.substr(0, path.find('?'));
    Guard guard = Guard::kRead;
    if (method == "POST" && path == "/api/key") guard = Guard::kPageWrite;
    if (method == "POST" && path == "/api/command") guard = Guard::kApiWrite;
    if (!admitted(con, guard)) return;
    auto wants = [&](const char* allowed) {
      if (method == allowed) return true;
      con->replace_header("Allow", allowed);
      refuse(con, status::method_not_allowed, std::string("use ") + allowed);
      return false;
    };
    if (path == "/api/key") {
      if (wants("POST")) pressKey(con);
      return;
    }
    if (path == "/api/command") {
      if (wants("POST")) runApiCommand(con);
      return;
    }
    if (path == "/api/state") {
      if (wants("GET")) respond(con, status::ok, "application/json", stateJson());
      return;
    }
    if (method != "GET") {
      con->replace_header("Allow", "GET");
      refuse(con, status::method_not_allowed, "use GET");
      return;
    }
    if (path == "/") {
      con->replace_header("Content-Security-Policy",
                          "default-src 'none'; script-src 'self'; style-src 'self'; "
                          "img-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                          "base-uri 'none'; form-action 'none'");
      respond(con, status::ok, "text/html; charset=utf-8", page());
    } else if (path == "/desk.css") {
      respond(con, status::ok, "text/css; charset=utf-8", kDeskCss);
    } else if (path == "/desk.js") {
      respond(con, status::ok, "text/javascript; charset=utf-8", kDeskJs);
    } else if (path == "/favicon.svg") {
      respond(con, status::ok, "image/svg+xml", kFavicon);
    } else if (path == "/desk.svg") {
      respond(con, status::ok, "image/svg+xml", svg(*host_->desk()));
    } else {
      refuse(con, status::not_found, "no such page");
    }
  }

  static std::string title(const Profile& profile) {
    return "lumhost: " + (profile.name.empty() ? std::string("desk") : profile.name);
  }

  std::string svg(const Desk& desk) const {
    return renderSvg(desk.profile, desk.state.composed(),
                     title(desk.profile) + ", protocol " + std::to_string(host_->protocol()));
  }

  std::string page() const {
    std::shared_ptr<Desk> desk = host_->desk();
    std::string picture = svg(*desk);
    // Inline in HTML, the SVG goes without its XML declaration.
    if (picture.rfind("<?xml", 0) == 0) picture.erase(0, picture.find('\n') + 1);
    std::string html = kDeskHtml;
    replaceAll(&html, "{{TITLE}}", htmlEscape(title(desk->profile)));
    replaceAll(&html, "{{PROFILE}}", htmlEscape(servingText(desk->profile, host_->protocol())));
    replaceAll(&html, "{{DESK}}", picture);
    return html;
  }

  void pressKey(const Connection& con) {
    int d = 0;
    int ledId = 0;
    bool down = false;
    if (!readKeyPress(con->get_request_body(), &d, &ledId, &down)) {
      refuse(con, status::bad_request,
             "send {\"device\": N, \"led\": ID, \"pressed\": true or false}");
      return;
    }
    std::shared_ptr<const Profile> served = host_->profile();
    const Profile& profile = *served;
    int index = d >= 0 && d < static_cast<int>(profile.devices.size())
                    ? profile.devices[d].ledIndex(ledId)
                    : -1;
    const Led* key = index >= 0 ? &profile.devices[d].leds[index] : nullptr;
    if (key == nullptr || (key->key.empty() && key->vendorKey == 0)) {
      refuse(con, status::not_found, "no key on that device with that LED id");
      return;
    }
    int vendorKey = key->pressKeyId();
    int sent = host_->pressKey(vendorKey, down);
    note("web page: key " + std::to_string(vendorKey) +
         (key->key.empty() ? "" : " (" + key->key + ")") + (down ? " pressed" : " released") +
         ": sent to " + std::to_string(sent) + " registered client" + (sent == 1 ? "" : "s"));
    respond(
        con, status::ok, "application/json",
        "{\"vendorKey\":" + std::to_string(vendorKey) + ",\"sent\":" + std::to_string(sent) + "}");
  }

  // --- The control API.

  void runApiCommand(const Connection& con) {
    sdk::JsonHandle body = sdk::parseJsonText(con->get_request_body());
    const std::string* line = body.getRef("command").stringRef();
    if (body.type() != sdk::kJsonObject || line == nullptr) {
      refuse(con, status::bad_request, "send {\"command\": \"a console command\"}");
      return;
    }
    CommandResult result;
    // One line only: a line end would smuggle a second command past the log.
    if (line->find_first_of("\r\n") != std::string::npos) {
      result.ok = false;
      result.output = "one command line, without line ends";
    } else {
      result = runCommand(*host_, *line, options_.snapshotPath);
      note("api: " + printable(*line) + (result.ok ? "" : " (refused)"));
    }
    if (result.quit) {
      if (options_.quit) {
        options_.quit();
        result.output = "stopping";
      } else {
        result.ok = false;
        result.output = "quit is not available here";
      }
    }
    std::string answer = "{\"ok\":";
    answer += result.ok ? "true" : "false";
    answer += ",\"output\":" + jsonString(result.output) + "}";
    respond(con, status::ok, "application/json", answer);
  }

  // Everything a test wants to see: the devices with the colour each LED
  // shows, the clients, control and the faults.
  std::string stateJson() const {
    std::shared_ptr<Desk> desk = host_->desk();
    const Profile& profile = desk->profile;
    Faults& faults = host_->faults();
    std::vector<std::vector<Rgb>> composed = desk->state.composed();
    std::string out = "{\"profile\":" + jsonString(profile.name) +
                      ",\"protocol\":" + std::to_string(host_->protocol()) + ",\"devices\":[";
    int clientIndex = 0;
    for (size_t d = 0; d < profile.devices.size(); ++d) {
      const Device& dev = profile.devices[d];
      bool plugged = faults.plugged(static_cast<int>(d));
      out += d == 0 ? "{" : ",{";
      out += "\"index\":" + std::to_string(d) +
             ",\"clientIndex\":" + std::to_string(plugged ? clientIndex++ : -1) +
             ",\"model\":" + jsonString(dev.model) + ",\"type\":" + std::to_string(dev.type) +
             ",\"plugged\":" + (plugged ? "true" : "false") + ",\"leds\":[";
      for (size_t i = 0; i < dev.leds.size(); ++i) {
        const Led& led = dev.leds[i];
        Rgb c = d < composed.size() && i < composed[d].size() ? composed[d][i] : Rgb();
        out += i == 0 ? "{" : ",{";
        out += "\"id\":" + std::to_string(led.id) + ",\"key\":" + jsonString(led.key) +
               ",\"color\":\"#" + hex6(c) + "\"}";
      }
      out += "]}";
    }
    out += "]," + clientsJson();
    out += ",\"faults\":{\"stallMs\":" + std::to_string(faults.stall()) +
           ",\"frozen\":" + (faults.frozen() ? "true" : "false") + ",\"failures\":[";
    bool first = true;
    for (const auto& f : faults.pendingFailures()) {
      out += first ? "{" : ",{";
      first = false;
      out += "\"method\":" + jsonString(f.first) + ",\"code\":" + std::to_string(f.second.first) +
             ",\"left\":" + std::to_string(f.second.second) + "}";
    }
    return out + "]}}";
  }

  // --- The live connection.

  bool onValidate(Handle h) {
    Connection con = web_.get_con_from_hdl(h);
    commonHeaders(con);
    if (!admitted(con, Guard::kPageWrite)) return false;
    std::string path = con->get_resource();
    if (path.substr(0, path.find('?')) != "/live") {
      con->set_status(status::not_found);
      return false;
    }
    if (pages_.size() >= kMaxPages) {
      con->set_status(status::service_unavailable);
      return false;
    }
    return true;
  }

  void onOpen(Handle h) {
    pages_[h] = Page();
    if (!pushing_) {
      pushing_ = true;
      push();
    }
  }

  // Runs every kWebPushInterval while a page is connected, and sends each
  // page what changed since its last push: so a client that sets colours a
  // thousand times a second costs a page at most 30 pushes a second.
  void push() {
    if (pages_.empty()) {
      pushing_ = false;
      return;
    }
    // Whatever goes wrong in one round, the next one comes.
    guarded([this] {
      compose();
      for (auto& entry : pages_) {
        Page& page = entry.second;
        websocketpp::lib::error_code ec;
        Connection con = web_.get_con_from_hdl(entry.first, ec);
        if (ec || con->get_state() != websocketpp::session::state::open) continue;
        if (con->get_buffered_amount() > kMaxBufferedBytes) {
          page.fresh = true;  // skips what it missed; catches up afresh later
          continue;
        }
        const std::string& message = page.fresh ? full_ : delta_;
        if (message.empty()) continue;
        web_.send(entry.first, message, websocketpp::frame::opcode::text, ec);
        if (!ec) page.fresh = false;
      }
    });
    pushTimer_->expires_after(kWebPushInterval);
    pushTimer_->async_wait([this](const asio::error_code& ec) {
      if (!ec) push();
    });
  }

  // Builds full_ (everything, for a page that just came) and delta_ (what
  // changed since the last push; empty when nothing did).
  void compose() {
    bool fresh = false;
    for (auto& entry : pages_) fresh = fresh || entry.second.fresh;
    std::string seq = "{\"seq\":" + std::to_string(++pushes_);

    // Another desk is served: every page loads afresh, picture and all.
    uint64_t deskNumber = host_->deskNumber();
    if (deskNumber != deskNumber_) {
      deskNumber_ = deskNumber;
      generation_ = ~uint64_t{0};
      delta_ = full_ = seq + ",\"reload\":true}";
      return;
    }

    uint64_t generation = host_->state()->generation();
    std::string colors;
    if (generation != generation_ || fresh) {
      // The generation is read before the colours: a change in between
      // shows now and is pushed again next time.
      colors = colorsJson();
    }
    bool colorsChanged = generation != generation_;
    generation_ = generation;

    std::string clients = clientsJson();
    bool clientsChanged = clients != clients_;
    clients_ = clients;

    uint64_t latest = host_->trafficCount();
    std::string newLines;
    if (latest != traffic_) newLines = trafficJson(traffic_);
    traffic_ = latest;

    delta_.clear();
    if (colorsChanged || clientsChanged || !newLines.empty()) {
      delta_ = seq;
      if (colorsChanged) delta_ += ",\"colors\":" + colors;
      if (clientsChanged) delta_ += "," + clients;
      if (!newLines.empty()) delta_ += ",\"traffic\":" + newLines;
      delta_ += "}";
    }
    full_.clear();
    if (fresh) {
      full_ = seq + ",\"desk\":" + deskJson() + ",\"colors\":" + colors + "," + clients +
              ",\"traffic\":" + trafficJson(0) + "}";
    }
  }

  std::string colorsJson() const {
    std::string out = "[";
    std::vector<std::vector<Rgb>> composed = host_->state()->composed();
    for (size_t d = 0; d < composed.size(); ++d) {
      out += d == 0 ? "\"" : ",\"";
      for (const Rgb& c : composed[d]) out += hex6(c);
      out += "\"";
    }
    return out + "]";
  }

  // "clients": [...], "control": id; the parts of the panel that change.
  std::string clientsJson() const {
    std::map<int, ClientLayerSummary> layers;
    std::shared_ptr<LightingState> state = host_->state();
    for (const ClientLayerSummary& s : state->clients()) layers[s.clientId] = s;
    int controller = state->controller();
    std::string out = "\"clients\":[";
    bool first = true;
    for (const ClientInfo& c : host_->clients()) {
      // A client that just came may have no layer yet: it shows the default.
      auto found = layers.find(c.id);
      ClientLayerSummary layer = found != layers.end() ? found->second : ClientLayerSummary();
      out += first ? "{" : ",{";
      first = false;
      out += "\"id\":" + std::to_string(c.id) + ",\"name\":" + jsonString(c.name) +
             ",\"identity\":" + jsonString(c.identity) +
             ",\"protocol\":" + std::to_string(c.sdkProtocolVersion) +
             ",\"requests\":" + std::to_string(c.requests) +
             ",\"registered\":" + (c.registered ? "true" : "false") +
             ",\"priority\":" + std::to_string(layer.priority) +
             ",\"ledsSet\":" + std::to_string(layer.ledsSet) +
             ",\"control\":" + (controller == c.id ? "true" : "false") + "}";
    }
    return out + "],\"control\":" + std::to_string(controller);
  }

  std::string trafficJson(uint64_t after) const {
    std::string out = "[";
    bool first = true;
    for (const TrafficLine& line : host_->recentTraffic(after)) {
      out += first ? "{" : ",{";
      first = false;
      out += "\"n\":" + std::to_string(line.number) + ",\"time\":" + jsonString(line.time) +
             ",\"text\":" + jsonString(line.text) + "}";
    }
    return out + "]";
  }

  // The LED ids in colour order, and the keys, for a page that just came.
  std::string deskJson() const {
    std::shared_ptr<const Profile> served = host_->profile();
    const Profile& profile = *served;
    std::string leds = "[";
    std::string keys = "[";
    for (size_t d = 0; d < profile.devices.size(); ++d) {
      leds += d == 0 ? "[" : ",[";
      const std::vector<Led>& all = profile.devices[d].leds;
      for (size_t i = 0; i < all.size(); ++i) {
        const Led& led = all[i];
        leds += (i == 0 ? "" : ",") + std::to_string(led.id);
        if (led.key.empty() && led.vendorKey == 0) continue;
        keys += (keys.size() > 1 ? ",{" : "{");
        keys += "\"d\":" + std::to_string(d) + ",\"led\":" + std::to_string(led.id) +
                ",\"label\":" + jsonString(led.key) +
                ",\"vendorKey\":" + std::to_string(led.pressKeyId()) + "}";
      }
      leds += "]";
    }
    return "{\"leds\":" + leds + "],\"keys\":" + keys + "]}";
  }

  HostServer* host_;
  Options options_;
  Server web_;
  int port_ = 0;
  std::thread thread_;  // runs web_; joined by stop()

  // Used on the thread only.
  std::unique_ptr<asio::steady_timer> pushTimer_;
  std::map<Handle, Page, std::owner_less<Handle>> pages_;
  std::vector<Handle> connections_;  // oldest first; some may have ended
  uint64_t evicted_ = 0;
  bool pushing_ = false;
  uint64_t pushes_ = 0;
  uint64_t generation_ = ~uint64_t{0};
  uint64_t deskNumber_ = 0;  // the server's deskNumber() when the pages were made
  std::string clients_;
  uint64_t traffic_ = 0;
  std::string full_;
  std::string delta_;
};

WebView::WebView(HostServer* server, Options options)
    : impl_(std::make_unique<Impl>(server, std::move(options))) {}

WebView::~WebView() { stop(); }

bool WebView::start(std::string* error) { return impl_->start(error); }

void WebView::stop() { impl_->stop(); }

std::string WebView::url() const { return impl_->url(); }

std::string WebView::urlWithToken() const { return impl_->urlWithToken(); }

}  // namespace lumhost
