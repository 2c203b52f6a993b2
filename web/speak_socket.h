// SPDX-License-Identifier: GPL-3.0-or-later
// One speaking session's WebSocket (messages in web/frames.h): reads the
// page's messages and hands them to its browser session, and writes what the
// session sends, in order. A message it cannot take closes the socket with
// the reason; a socket that closes or fails (a closed tab) stops its
// speaking session, which cancels the render, and so does one on which the
// page has sent no message for SocketContext::idleSeconds.
//
// Everything but Send, Backlog and Finish runs on the network thread; those
// three may be called from any thread and hand over to it.
#ifndef VRELAY_WEB_SPEAK_SOCKET_H
#define VRELAY_WEB_SPEAK_SOCKET_H

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <memory>
#include <string>

#include "web/browser_session.h"
#include "web/session_registry.h"
#include "web/socket_ledger.h"
#include "web/voice_catalog.h"

namespace vrelay {
namespace web {

struct SocketContext {
    SessionRegistry* registry = nullptr;
    const VoiceCatalog* voices = nullptr;
    SocketLedger* ledger = nullptr;
    size_t maxTextBytes = 256 * 1024;
    // A WebSocket on which the page sends no message for this long is
    // closed; pings and pongs do not count.
    int idleSeconds = 60;
};

class SpeakSocket : public FrameSink, public std::enable_shared_from_this<SpeakSocket> {
  public:
    // slot counts the connection until the object is destroyed.
    SpeakSocket(boost::beast::tcp_stream stream, SocketLedger::Slot slot,
                const SocketContext& context, std::string token, std::string address);

    // Answers the upgrade request and serves the socket until it closes.
    void Start(boost::beast::http::request<boost::beast::http::string_body> request);

    void Send(std::string message) override;
    size_t Backlog() const override { return backlog_.load(); }
    void Finish() override;

  private:
    void OnAccept(boost::beast::error_code error);
    // (Re)starts the wait for the page's next message.
    void AwaitMessage();
    void Read();
    void OnRead(boost::beast::error_code error);
    // Decodes and acts on one message; false with the close code and reason.
    bool Handle(const std::string& message, boost::beast::websocket::close_reason* refusal);
    void Write();
    void OnWrite(boost::beast::error_code error);
    // Stops the speaking session, drops what is queued and closes.
    void CloseWith(boost::beast::websocket::close_reason reason);
    void Close();
    // The socket is finished with: stops the speaking session, detaches.
    void Gone();
    // Tells the registry, once, that this socket no longer uses its session.
    void Detach();

    boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
    SocketLedger::Slot slot_;
    boost::asio::steady_timer idle_;
    SocketContext context_;
    const std::string token_;
    const std::string address_;
    boost::beast::flat_buffer buffer_;
    std::weak_ptr<BrowserSession> session_;
    uint64_t job_ = 0;  // the speaking session, once SPEAK came
    bool attached_ = false;  // counted by the registry
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool finishing_ = false;  // close once the queue is written
    bool closing_ = false;    // close requested
    bool closeSent_ = false;
    bool gone_ = false;
    boost::beast::websocket::close_reason closeReason_;
    std::atomic<size_t> backlog_{0};
};

}  // namespace web
}  // namespace vrelay

#endif
