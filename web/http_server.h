// SPDX-License-Identifier: GPL-3.0-or-later
// The bridge's HTTP side: serves the page's files and the voice list, and
// hands WebSocket upgrades of /speak?session=TOKEN to a SpeakSocket once
// their Origin is allowed. Runs on the io_context's one thread.
//
//   GET /, /app.js, ...   the page (web/page/, compiled in)
//   GET /voices           the server's voices as JSON (VoiceCatalog::Json)
//   GET /speak?session=T  WebSocket upgrade (web/frames.h)
// A request whose Host is not allowed (HostAllowed) gets 403. Every
// connection takes a slot of the SocketLedger, by its client's address: a
// connection the ledger refuses is answered 503 and closed; a trusted
// proxy's connection is counted under the address its WebSocket upgrade
// forwards (web/client_address.h).
#ifndef VRELAY_WEB_HTTP_SERVER_H
#define VRELAY_WEB_HTTP_SERVER_H

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "web/client_address.h"
#include "web/speak_socket.h"

namespace vrelay {
namespace web {

struct HttpOptions {
    std::string listen = "127.0.0.1";
    int port = 8080;  // 0: a free port, see Port()
    // Origins allowed besides the page's own (http:// or https:// and the
    // Host the browser asked for), e.g. "https://speech.example.org".
    std::vector<std::string> origins;
    // Peers whose X-Forwarded-For or Forwarded header names the client.
    TrustedProxies proxies;
};

// Whether a request naming this Host may be served: an IP address,
// localhost, or the host of an allowed origin. Other names are refused, so
// that a site whose name is pointed at this machine (DNS rebinding) cannot
// reach the page's WebSocket with an origin of its own.
bool HostAllowed(const std::string& host, const std::vector<std::string>& origins);

// Whether a WebSocket upgrade with this Origin header may go on: no Origin
// (not a browser), the page's own origin for host, or one listed.
bool OriginAllowed(const std::string& origin, const std::string& host,
                   const std::vector<std::string>& allowed);

class Refusal;

class HttpServer {
  public:
    // context.ledger must outlive every connection, i.e. the io_context's
    // handlers.
    HttpServer(boost::asio::io_context& io, HttpOptions options, SocketContext context);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts accepting; false with *error.
    bool Listen(std::string* error);
    int Port() const { return port_; }
    // Stops accepting; open connections go on until they end.
    void Stop();

  private:
    void Accept();
    // Answers 503 with reason and closes the connection.
    void Refuse(boost::asio::ip::tcp::socket socket, const std::string& reason);

    boost::asio::io_context& io_;
    const HttpOptions options_;
    const SocketContext context_;
    std::deque<std::weak_ptr<Refusal>> refusals_;  // under way, oldest first
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    int port_ = 0;
};

}  // namespace web
}  // namespace vrelay

#endif
