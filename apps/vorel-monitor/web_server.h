// vorel-monitor --http [ADDRESS:]PORT: one page that plots the recorder's
// cycles live, served over HTTP with the data on a WebSocket (Boost.Beast,
// one thread). The server only reads: it maps the recorder read-only, GET and
// HEAD are the only methods it takes (anything else is answered 405 with
// kRefusedMessage), and whatever a page sends on the WebSocket is answered
// with a "refused" message and otherwise ignored.
//
// Paths: "/" the page, its script, style and uPlot (web_assets.h),
// "/snapshot.json" the --once --json snapshot, "/ws" the WebSocket
// (web_feed.h). Every 50 ms the server takes the new records and sends the
// decimated rows to every page; the status follows every 200 ms. A page that
// falls 64 messages behind (about 3 s) is closed; it reconnects by itself.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "apps/vorel-monitor/ring_view.h"

namespace vorel_monitor {

struct HttpEndpoint {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port (the server says which)
};

// "[ADDRESS:]PORT" (an IPv6 address in brackets: "[::1]:8080"); false with
// the reason in `error` when it is not one.
bool parseHttpEndpoint(const std::string& text, HttpEndpoint& endpoint, std::string& error);

class WebServer {
 public:
  // Listens on `endpoint`; empty with the reason ("cannot listen on
  // 127.0.0.1:8080: Address already in use") when it cannot.
  static std::unique_ptr<WebServer> listen(const HttpEndpoint& endpoint, std::string& error);
  ~WebServer();

  // "http://127.0.0.1:8080/", the port the system gave for port 0 included.
  std::string url() const;

  // Serves `ring` until `stop` is set; `ring` follows a re-activation.
  // Returns 0.
  int run(std::unique_ptr<RecorderReader>& ring, const volatile std::sig_atomic_t& stop);

  struct Impl;

 private:
  explicit WebServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorel_monitor
