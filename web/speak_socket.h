// SPDX-License-Identifier: GPL-3.0-or-later
// One speaking session's WebSocket (messages in web/frames.h): reads the
// page's messages, makes SPEAK a job of its tab's render worker (the text
// cleaned by the core's input cleaner, the sliders through SliderProsody,
// the voice as the page names it, for the server to choose), and is that
// job's sink: it writes the audio and the words (in UTF-16 units of the
// page's text) as messages, in order, and END with how the job ended. It
// asks for the next request only while the page has less than kAheadSeconds
// of audio left to play and little is waiting to be written, so memory
// stays small whatever the length of the text.
//
// A message it cannot take closes the socket with the reason; a socket that
// closes or fails (a closed tab) stops its job, which cancels the render,
// and so does one on which the page has sent no message for
// SocketContext::idleSeconds.
//
// The network thread runs everything but the sink's calls, which come from
// the render worker's thread and hand their messages over to it.
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
#include <optional>
#include <string>

#include "frontend/input_cleaner.h"
#include "frontend/render_worker.h"
#include "frontend/request_cutter.h"
#include "web/frames.h"
#include "web/page_settings.h"
#include "web/session_registry.h"
#include "web/socket_ledger.h"

namespace vrelay {
namespace web {

struct SocketContext {
    SessionRegistry* registry = nullptr;
    const PageSettings* settings = nullptr;
    SocketLedger* ledger = nullptr;
    size_t maxTextBytes = 256 * 1024;
    // A WebSocket on which the page sends no message for this long is
    // closed; pings and pongs do not count.
    int idleSeconds = 60;
};

class SpeakSocket : public frontend::JobSink, public std::enable_shared_from_this<SpeakSocket> {
  public:
    static constexpr double kAheadSeconds = 10;
    static constexpr size_t kMaxBacklogBytes = 4u << 20;
    // Bytes of the page's text in a request: little more audio than the
    // page is about to play is asked of the server.
    static constexpr size_t kRequestBytes = 1000;

    // slot counts the connection until the object is destroyed.
    SpeakSocket(boost::beast::tcp_stream stream, SocketLedger::Slot slot,
                const SocketContext& context, std::string token, std::string address);

    // Answers the upgrade request and serves the socket until it closes.
    void Start(boost::beast::http::request<boost::beast::http::string_body> request);

    // The job's sink (the render worker's thread).
    bool OnFormat(uint32_t sampleRate) override;
    bool OnAudio(const int16_t* samples, size_t count, int64_t first) override;
    bool OnWord(const frontend::WordEvent& word) override;
    bool ReadyForMore() override;
    // The page hears the rest as if nothing happened; the operator is told.
    void OnResume(const std::string& notice) override;
    void OnEnd(const frontend::JobEnd& end) override;

  private:
    // Hands one message to the network thread, to be written in order.
    void Send(std::string message);
    // The last message is out: close once it is written.
    void Finish();
    void OnAccept(boost::beast::error_code error);
    // (Re)starts the wait for the page's next message.
    void AwaitMessage();
    void Read();
    void OnRead(boost::beast::error_code error);
    // Decodes and acts on one message; false with the close code and reason.
    bool Handle(const std::string& message, boost::beast::websocket::close_reason* refusal);
    // SPEAK: the job for the tab's worker; false with the reason.
    bool Speak(const SpeakRequest& speak, frontend::RenderWorker* session,
               boost::beast::websocket::close_reason* refusal);
    // The close reason for a text over the limit.
    boost::beast::websocket::close_reason TooLong() const;
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
    std::weak_ptr<frontend::RenderWorker> session_;
    uint64_t job_ = 0;  // the job of SPEAK, once it came
    bool attached_ = false;  // counted by the registry
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool finishing_ = false;  // close once the queue is written
    bool closing_ = false;    // close requested
    bool close_sent_ = false;
    bool gone_ = false;
    boost::beast::websocket::close_reason close_reason_;
    std::atomic<size_t> backlog_{0};

    // The job's: set on the network thread before it is submitted, then
    // used by the worker's thread (the cleaner and the text's places).
    std::optional<frontend::InputCleaner> cleaner_;
    frontend::TextPositions page_;  // the page's text, for its UTF-16 units
    std::atomic<uint32_t> sample_rate_{0};
    std::atomic<uint64_t> sent_{0};    // samples sent
    std::atomic<uint64_t> played_{0};  // samples the page has played
};

}  // namespace web
}  // namespace vrelay

#endif
