#include "apps/vorel-monitor/web_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

#include "apps/vorel-monitor/snapshot_json.h"
#include "apps/vorel-monitor/web_assets.h"
#include "apps/vorel-monitor/web_feed.h"
#include "vorel_version.h"

namespace vorel_monitor {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kTick = std::chrono::milliseconds(50);
constexpr int kStatusEveryTicks = 4;    // 200 ms
constexpr std::size_t kMaxQueued = 64;  // messages a page may fall behind
constexpr long kMaxConnections = 128;   // pages and plain requests together
constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxPageMessage = 4096;  // bytes a page may send (it is refused anyway)
const char* const kServerName = "vorel-monitor/" VOREL_DEVICE_VERSION;
// The page loads its own script and style and talks to this server only.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

using Message = std::shared_ptr<const std::string>;

std::string endpointText(const tcp::endpoint& endpoint) {
  const std::string address = endpoint.address().to_string();
  return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
         std::to_string(endpoint.port());
}

bool digitsOnly(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool parseHttpEndpoint(const std::string& text, HttpEndpoint& endpoint, std::string& error) {
  const std::string expected =
      "--http expects [ADDRESS:]PORT (for example 8080, 0.0.0.0:8080 or [::1]:8080), found '" +
      text + "'";
  std::string address = "127.0.0.1";
  std::string port = text;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find("]:");
    if (close == std::string::npos) {
      error = expected;
      return false;
    }
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.find(':') != std::string::npos) {
      error = expected + ": an IPv6 address goes in brackets";
      return false;
    }
  }
  if (!digitsOnly(port) || std::stoul(port) > 65535) {
    error = expected + ": the port is a number from 0 to 65535";
    return false;
  }
  if (address == "localhost")
    address = "127.0.0.1";
  boost::system::error_code ec;
  asio::ip::make_address(address, ec);
  if (ec) {
    error = expected + ": '" + address + "' is not an IP address";
    return false;
  }
  endpoint.address = address;
  endpoint.port = static_cast<std::uint16_t>(std::stoul(port));
  return true;
}

class WsSession;

struct WebServer::Impl {
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer tick{io};
  // One copy per open connection: their number is use_count() - 1. Sessions
  // keep no pointer back that their destructors would use.
  std::shared_ptr<int> live = std::make_shared<int>(0);
  std::vector<std::weak_ptr<WsSession>> pages;
  std::unique_ptr<RecorderReader>* ring = nullptr;
  std::unique_ptr<WebFeed> feed;
  const volatile std::sig_atomic_t* stop = nullptr;
  int ticks = 0;
  bool stalled_said = false;

  long connections() const { return live.use_count() - 1; }
  void accept();
  void onTick();
  void broadcast(const std::string& text);
  void join(const std::shared_ptr<WsSession>& page);
  std::string snapshot() const { return snapshotJson(**ring, statusOf(**ring)).dump(2) + "\n"; }
};

// One page's WebSocket: the feed's messages out, in order, one write at a
// time; whatever the page sends is answered with the refusal.
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(tcp::socket&& socket, WebServer::Impl& server)
      : ws_(std::move(socket)), server_(server), token_(server.live) {}

  void start(http::request<http::empty_body> request) {
    request_ = std::move(request);
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, kServerName);
    }));
    ws_.read_message_max(kMaxPageMessage);
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) {
      if (ec)
        return;
      self->ws_.text(true);
      self->server_.join(self);
      self->read();
    });
  }

  void send(const Message& message) {
    if (closed_)
      return;
    if (queue_.size() >= kMaxQueued) {
      // Too slow: closed rather than buffered without bound.
      closed_ = true;
      beast::error_code ignored;
      beast::get_lowest_layer(ws_).socket().close(ignored);
      return;
    }
    queue_.push_back(message);
    if (queue_.size() == 1)
      write();
  }

 private:
  void read() {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->closed_ = true;
        return;
      }
      self->in_.consume(self->in_.size());
      self->send(std::make_shared<const std::string>(WebFeed::refused()));
      self->read();
    });
  }

  void write() {
    ws_.async_write(asio::buffer(*queue_.front()),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      if (ec) {
                        self->closed_ = true;
                        return;
                      }
                      self->queue_.pop_front();
                      if (!self->queue_.empty())
                        self->write();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  WebServer::Impl& server_;  // used by handlers only, never by the destructor
  std::shared_ptr<int> token_;
  http::request<http::empty_body> request_;  // the upgrade, held until it is answered
  beast::flat_buffer in_;
  std::deque<Message> queue_;
  bool closed_ = false;
};

// One connection's plain requests, one after the other; a WebSocket upgrade
// on "/ws" hands the socket to a WsSession.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, WebServer::Impl& server)
      : stream_(std::move(socket)), server_(server), token_(server.live) {}

  void read() {
    parser_.emplace();
    parser_->header_limit(8192);
    stream_.expires_after(kRequestTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec)
                                self->onRequest();
                            });
  }

 private:
  using Response = http::response<http::string_body>;

  void onRequest() {
    http::request<http::empty_body> request = parser_->release();
    const http::verb method = request.method();
    if (method != http::verb::get && method != http::verb::head) {
      // The body, if any, is never read: the connection closes after the answer.
      Response response{http::status::method_not_allowed, request.version()};
      response.set(http::field::allow, "GET, HEAD");
      reply(std::move(response), "text/plain; charset=utf-8", std::string(kRefusedMessage) + "\n",
            false, false);
      return;
    }
    if (!parser_->is_done()) {
      reply(Response{http::status::bad_request, request.version()}, "text/plain; charset=utf-8",
            "a GET request has no body\n", false, false);
      return;
    }
    std::string_view target(request.target().data(), request.target().size());
    target = target.substr(0, target.find('?'));
    if (target == "/ws" && websocket::is_upgrade(request)) {
      stream_.expires_never();
      std::make_shared<WsSession>(stream_.release_socket(), server_)->start(std::move(request));
      return;
    }
    const bool head = method == http::verb::head;
    const bool keep_alive = request.keep_alive();
    if (target == "/snapshot.json") {
      reply(Response{http::status::ok, request.version()}, "application/json", server_.snapshot(),
            head, keep_alive);
    } else if (const WebAsset* asset = findWebAsset(target)) {
      Response response{http::status::ok, request.version()};
      if (target == "/")
        response.set("Content-Security-Policy", kPagePolicy);
      reply(std::move(response), asset->content_type,
            std::string(reinterpret_cast<const char*>(asset->data), asset->size), head, keep_alive);
    } else {
      reply(Response{http::status::not_found, request.version()}, "text/plain; charset=utf-8",
            "not found\n", head, keep_alive);
    }
  }

  void reply(Response response, const char* type, std::string body, bool head, bool keep_alive) {
    response.set(http::field::server, kServerName);
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.keep_alive(keep_alive);
    if (head) {
      response.content_length(body.size());
    } else {
      response.body() = std::move(body);
      response.prepare_payload();
    }
    auto held = std::make_shared<Response>(std::move(response));
    http::async_write(
        stream_, *held,
        [self = shared_from_this(), held, keep_alive](beast::error_code ec, std::size_t) {
          beast::error_code ignored;
          if (ec || !keep_alive)
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
          else
            self->read();
        });
  }

  beast::tcp_stream stream_;
  WebServer::Impl& server_;  // used by handlers only, never by the destructor
  std::shared_ptr<int> token_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
};

void WebServer::Impl::accept() {
  acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted)
      return;
    // Beyond the limit a connection is closed at once.
    if (!ec && connections() < kMaxConnections)
      std::make_shared<HttpSession>(std::move(socket), *this)->read();
    accept();
  });
}

void WebServer::Impl::join(const std::shared_ptr<WsSession>& page) {
  pages.push_back(page);
  for (const std::string& text : {feed->hello(), feed->history(), feed->status()})
    page->send(std::make_shared<const std::string>(text));
}

void WebServer::Impl::broadcast(const std::string& text) {
  const Message message = std::make_shared<const std::string>(text);
  std::vector<std::weak_ptr<WsSession>> open;
  for (const auto& weak : pages) {
    if (auto page = weak.lock()) {
      page->send(message);
      open.push_back(weak);
    }
  }
  pages.swap(open);
}

void WebServer::Impl::onTick() {
  if (*stop) {
    acceptor.close();
    io.stop();
    return;
  }
  const WebFeed::Poll poll = feed->poll();
  if (!poll.renewed.empty()) {
    broadcast(poll.renewed);
    broadcast(feed->hello());
    stalled_said = false;
  }
  if (!poll.cycles.empty())
    broadcast(poll.cycles);
  if (++ticks % kStatusEveryTicks == 0 || !poll.renewed.empty()) {
    // As --follow says it on standard error.
    const std::string stalled = stalledMessage(statusOf(**ring));
    if (!stalled.empty() && !stalled_said)
      std::fprintf(stderr, "vorel-monitor: %s\n", stalled.c_str());
    else if (stalled.empty() && stalled_said)
      std::fprintf(stderr, "vorel-monitor: the force-control recorder advances again\n");
    stalled_said = !stalled.empty();
    if (!pages.empty())
      broadcast(feed->status());
  }
  tick.expires_at(tick.expiry() + kTick);
  tick.async_wait([this](beast::error_code ec) {
    if (!ec)
      onTick();
  });
}

WebServer::WebServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebServer::~WebServer() {
  impl_->io.stop();
}

std::unique_ptr<WebServer> WebServer::listen(const HttpEndpoint& endpoint, std::string& error) {
  auto impl = std::make_unique<Impl>();
  boost::system::error_code ec;
  const tcp::endpoint where(asio::ip::make_address(endpoint.address, ec), endpoint.port);
  if (!ec)
    impl->acceptor.open(where.protocol(), ec);
  if (!ec)
    impl->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    impl->acceptor.bind(where, ec);
  if (!ec)
    impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + endpointText(where) + ": " + ec.message();
    return nullptr;
  }
  return std::unique_ptr<WebServer>(new WebServer(std::move(impl)));
}

std::string WebServer::url() const {
  return "http://" + endpointText(impl_->acceptor.local_endpoint()) + "/";
}

int WebServer::run(std::unique_ptr<RecorderReader>& ring, const volatile std::sig_atomic_t& stop) {
  impl_->ring = &ring;
  impl_->feed = std::make_unique<WebFeed>(ring);
  impl_->stop = &stop;
  impl_->accept();
  impl_->tick.expires_after(kTick);
  impl_->tick.async_wait([this](beast::error_code ec) {
    if (!ec)
      impl_->onTick();
  });
  impl_->io.run();
  return 0;
}

}  // namespace vorel_monitor
