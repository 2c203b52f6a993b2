// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/http_server.h"

#include <vrelay/vrelay.h>

#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <chrono>
#include <memory>

#include "web/page_assets.h"

namespace vrelay {
namespace web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr size_t kMaxRequestBytes = 16 * 1024;
constexpr const char* kServerName = "vrelay-web/" VRELAY_VERSION_STRING;
// The page loads only its own files and talks only to its own origin.
constexpr const char* kPolicy =
    "default-src 'self'; connect-src 'self'; img-src 'self' data:; object-src 'none'; "
    "base-uri 'none'; frame-ancestors 'none'; form-action 'none'";

std::string QueryValue(const std::string& query, const std::string& name) {
    size_t at = 0;
    while (at <= query.size()) {
        const size_t end = std::min(query.find('&', at), query.size());
        const std::string pair = query.substr(at, end - at);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            return pair.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return std::string();
}

// One HTTP connection: requests in turn until it closes or turns into a
// WebSocket.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
  public:
    HttpConnection(tcp::socket socket, SocketLedger::Slot slot, const HttpOptions& options,
                   const SocketContext& context)
        : stream_(std::move(socket)), slot_(std::move(slot)), options_(options),
          context_(context) {}

    void Read() {
        parser_.emplace();
        parser_->header_limit(kMaxRequestBytes);
        parser_->body_limit(kMaxRequestBytes);
        stream_.expires_after(kRequestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, size_t) {
                             self->OnRead(error);
                         });
    }

  private:
    void OnRead(beast::error_code error) {
        if (error == http::error::end_of_stream) {
            stream_.socket().shutdown(tcp::socket::shutdown_send, error);
            return;
        }
        if (error) {
            if (error == http::error::header_limit || error == http::error::body_limit) {
                Respond(Simple(http::status::payload_too_large, "request too large\n", 11, false));
            }
            return;
        }
        auto request = parser_->release();
        const std::string target(request.target());
        const size_t question = target.find('?');
        const std::string path = target.substr(0, question);
        const std::string query = question == std::string::npos ? "" : target.substr(question + 1);

        if (!HostAllowed(std::string(request[http::field::host]), options_.origins)) {
            Respond(Simple(http::status::forbidden, "unknown host name\n", request.version(),
                           false));
            return;
        }
        if (beast::websocket::is_upgrade(request)) {
            Upgrade(std::move(request), path, query);
            return;
        }
        const bool head = request.method() == http::verb::head;
        if (request.method() != http::verb::get && !head) {
            auto response = Simple(http::status::method_not_allowed, "GET only\n",
                                   request.version(), request.keep_alive());
            response.set(http::field::allow, "GET, HEAD");
            Respond(std::move(response));
            return;
        }
        http::response<http::string_body> response;
        if (path == "/voices") {
            response = Body(http::status::ok, context_.voices->Json(),
                            "application/json; charset=utf-8", request);
        } else if (const PageAsset* asset = FindPageAsset(path)) {
            response = Body(http::status::ok,
                            std::string(reinterpret_cast<const char*>(asset->data), asset->size),
                            asset->contentType, request);
        } else {
            response = Simple(http::status::not_found, "not found\n", request.version(),
                              request.keep_alive());
        }
        if (head) {
            const auto length = response.body().size();
            response.body().clear();
            response.content_length(length);
        }
        Respond(std::move(response));
    }

    void Upgrade(http::request<http::string_body> request, const std::string& path,
                 const std::string& query) {
        const std::string token = QueryValue(query, "session");
        const std::string origin(request[http::field::origin]);
        const std::string host(request[http::field::host]);
        if (path != "/speak" || !SessionRegistry::ValidToken(token)) {
            Respond(Simple(http::status::bad_request, "WebSocket only at /speak?session=TOKEN\n",
                           request.version(), false));
            return;
        }
        if (!OriginAllowed(origin, host, options_.origins)) {
            Respond(Simple(http::status::forbidden, "origin not allowed\n", request.version(),
                           false));
            return;
        }
        beast::error_code ignored;
        const auto peer = stream_.socket().remote_endpoint(ignored);
        const std::string client = options_.proxies.Client(
            peer.address(), Values(request, "X-Forwarded-For"), Values(request, "Forwarded"));
        std::string refusal;
        if (!context_.ledger->Move(&slot_, client, &refusal)) {
            Respond(Simple(http::status::service_unavailable, refusal + "\n", request.version(),
                           false));
            return;
        }
        auto socket = std::make_shared<SpeakSocket>(std::move(stream_), std::move(slot_),
                                                    context_, token, client);
        socket->Start(std::move(request));
    }

    http::response<http::string_body> Simple(http::status status, const std::string& text,
                                             unsigned version, bool keepAlive) {
        http::response<http::string_body> response{status, version};
        response.set(http::field::server, kServerName);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.keep_alive(keepAlive);
        response.body() = text;
        response.prepare_payload();
        return response;
    }

    http::response<http::string_body> Body(http::status status, std::string body,
                                           const std::string& type,
                                           const http::request<http::string_body>& request) {
        http::response<http::string_body> response{status, request.version()};
        response.set(http::field::server, kServerName);
        response.set(http::field::content_type, type);
        response.set(http::field::cache_control, "no-cache");
        response.set("Content-Security-Policy", kPolicy);
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Referrer-Policy", "no-referrer");
        response.keep_alive(request.keep_alive());
        response.body() = std::move(body);
        response.prepare_payload();
        return response;
    }

    void Respond(http::response<http::string_body> response) {
        auto message = std::make_shared<http::response<http::string_body>>(std::move(response));
        http::async_write(stream_, *message,
                          [self = shared_from_this(), message](beast::error_code error, size_t) {
                              if (error || !message->keep_alive()) {
                                  beast::error_code ignored;
                                  self->stream_.socket().shutdown(tcp::socket::shutdown_send,
                                                                  ignored);
                                  return;
                              }
                              self->Read();
                          });
    }

    static std::vector<std::string> Values(const http::request<http::string_body>& request,
                                           const char* name) {
        std::vector<std::string> values;
        for (auto [it, end] = request.equal_range(name); it != end; ++it) {
            values.emplace_back(it->value());
        }
        return values;
    }

    beast::tcp_stream stream_;
    SocketLedger::Slot slot_;
    const HttpOptions options_;
    const SocketContext context_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

// host without its port: "[::1]:80" is "::1", "example.org:80" is "example.org".
std::string HostName(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        return close == std::string::npos ? host : host.substr(1, close - 1);
    }
    const size_t colon = host.rfind(':');
    const bool port = colon != std::string::npos && colon + 1 < host.size() &&
                      host.find_first_not_of("0123456789", colon + 1) == std::string::npos;
    return port ? host.substr(0, colon) : host;
}

}  // namespace

bool HostAllowed(const std::string& host, const std::vector<std::string>& origins) {
    const std::string name = HostName(host);
    beast::error_code notAddress;
    asio::ip::make_address(name, notAddress);
    if (!notAddress || name == "localhost") {
        return true;
    }
    for (const std::string& origin : origins) {
        const size_t scheme = origin.find("://");
        if (scheme != std::string::npos && HostName(origin.substr(scheme + 3)) == name) {
            return true;
        }
    }
    return false;
}

bool OriginAllowed(const std::string& origin, const std::string& host,
                   const std::vector<std::string>& allowed) {
    if (origin.empty() || (!host.empty() && (origin == "http://" + host || origin == "https://" + host))) {
        return true;
    }
    for (const std::string& a : allowed) {
        if (origin == a) {
            return true;
        }
    }
    return false;
}

HttpServer::HttpServer(asio::io_context& io, HttpOptions options, SocketContext context)
    : io_(io), options_(std::move(options)), context_(context), acceptor_(io), retry_(io) {}

bool HttpServer::Listen(std::string* error) {
    beast::error_code ec;
    const auto address = asio::ip::make_address(options_.listen, ec);
    if (ec) {
        *error = "not an address: " + options_.listen;
        return false;
    }
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(options_.port));
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = "cannot listen on " + options_.listen + ":" + std::to_string(options_.port) +
                 ": " + ec.message();
        return false;
    }
    port_ = acceptor_.local_endpoint().port();
    Accept();
    return true;
}

void HttpServer::Stop() {
    beast::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void HttpServer::Accept() {
    acceptor_.async_accept(io_, [this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (error) {
            // Out of descriptors, say: try again a little later, not at once.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](beast::error_code waited) {
                if (!waited) {
                    Accept();
                }
            });
            return;
        }
        beast::error_code gone;
        const auto peer = socket.remote_endpoint(gone);
        if (!gone) {
            // Messages go out as they are made: a word's audio must not wait
            // for the acknowledgement of the last one.
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            // A trusted proxy's clients are counted once they are known.
            const bool proxy = options_.proxies.Trusts(peer.address());
            std::string refusal;
            SocketLedger::Slot slot = context_.ledger->Take(proxy ? "" : AddressText(peer.address()),
                                                    &refusal);
            if (slot) {
                std::make_shared<HttpConnection>(std::move(socket), std::move(slot), options_,
                                                 context_)
                    ->Read();
            } else {
                Refuse(std::move(socket), refusal);
            }
        }
        Accept();
    });
}

// A 503 on its way: written, then the connection is read until the client
// closes it or a second passes, so that the answer is not lost to a reset
// of what the client had sent.
class Refusal : public std::enable_shared_from_this<Refusal> {
  public:
    Refusal(tcp::socket socket, const std::string& reason)
        : socket_(std::move(socket)), timer_(socket_.get_executor()) {
        const std::string body = reason + "\n";
        answer_ = "HTTP/1.1 503 Service Unavailable\r\nServer: " + std::string(kServerName) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                  std::to_string(body.size()) +
                  "\r\nRetry-After: 10\r\nConnection: close\r\n\r\n" + body;
    }

    void Start() {
        asio::async_write(socket_, asio::buffer(answer_),
                          [self = shared_from_this()](beast::error_code error, size_t) {
                              if (error) {
                                  return;
                              }
                              self->socket_.shutdown(tcp::socket::shutdown_send, error);
                              self->timer_.expires_after(std::chrono::seconds(1));
                              self->timer_.async_wait(
                                  [self](beast::error_code) { self->Close(); });
                              self->Drain();
                          });
    }

    // Ends the wait for the client at once.
    void Close() {
        beast::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }

  private:
    void Drain() {
        socket_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](beast::error_code error, size_t) {
                                    if (error) {
                                        self->Close();
                                    } else {
                                        self->Drain();
                                    }
                                });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    std::string answer_;
    char scratch_[512];
};

void HttpServer::Refuse(tcp::socket socket, const std::string& reason) {
    // Each refusal holds a descriptor while it waits for its client: under a
    // flood the oldest stop waiting, so that the spare descriptors last and
    // every new connection still gets its answer.
    refusals_.erase(std::remove_if(refusals_.begin(), refusals_.end(),
                                   [](const auto& r) { return r.expired(); }),
                    refusals_.end());
    while (refusals_.size() >= kSpareDescriptors / 2) {
        if (auto oldest = refusals_.front().lock()) {
            oldest->Close();
        }
        refusals_.pop_front();
    }
    auto refusal = std::make_shared<Refusal>(std::move(socket), reason);
    refusals_.push_back(refusal);
    refusal->Start();
}

}  // namespace web
}  // namespace vrelay
