// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/speak_socket.h"

#include <boost/asio/post.hpp>

#include "web/frames.h"

namespace vrelay {
namespace web {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

SpeakSocket::SpeakSocket(beast::tcp_stream stream, SocketLedger::Slot slot,
                         const SocketContext& context, std::string token, std::string address)
    : ws_(std::move(stream)), slot_(std::move(slot)), idle_(ws_.get_executor()),
      context_(context), token_(std::move(token)), address_(std::move(address)) {}

void SpeakSocket::Start(beast::http::request<beast::http::string_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    // Pings keep an idle socket alive and find a vanished peer.
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(context_.maxTextBytes + 1024);
    ws_.binary(true);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
        self->OnAccept(error);
    });
}

void SpeakSocket::OnAccept(beast::error_code error) {
    if (error) {
        return;
    }
    AwaitMessage();
    std::string reason;
    auto session = context_.registry->Attach(token_, address_,
                                             SessionRegistry::Clock::now(), &reason);
    if (!session) {
        CloseWith({websocket::close_code::policy_error, reason});
        Read();
        return;
    }
    attached_ = true;
    session_ = session;
    Read();
}

void SpeakSocket::AwaitMessage() {
    idle_.expires_after(std::chrono::seconds(context_.idleSeconds));
    idle_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) {
            self->CloseWith({websocket::close_code::policy_error,
                             "no message for " + std::to_string(self->context_.idleSeconds) +
                                 " s"});
        }
    });
}

void SpeakSocket::Read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, size_t) {
        self->OnRead(error);
    });
}

void SpeakSocket::OnRead(beast::error_code error) {
    if (error) {
        Gone();
        return;
    }
    if (closing_) {
        buffer_.consume(buffer_.size());
        Read();  // until the peer answers the close
        return;
    }
    AwaitMessage();
    websocket::close_reason refusal;
    if (!ws_.got_binary()) {
        refusal = {websocket::close_code::unknown_data, "text messages are not understood"};
    } else if (!Handle(beast::buffers_to_string(buffer_.data()), &refusal)) {
        // refusal says why
    } else {
        refusal.code = websocket::close_code::none;
    }
    buffer_.consume(buffer_.size());
    if (refusal.code != websocket::close_code::none) {
        CloseWith(refusal);
    }
    Read();
}

bool SpeakSocket::Handle(const std::string& message, websocket::close_reason* refusal) {
    PageMessage decoded;
    std::string error;
    if (!DecodePageMessage(message, &decoded, &error)) {
        *refusal = {websocket::close_code::bad_payload, error};
        return false;
    }
    auto session = session_.lock();
    if (!session) {
        *refusal = {websocket::close_code::going_away, "the session has ended"};
        return false;
    }
    switch (decoded.kind) {
        case PageKind::kSpeak: {
            if (job_ != 0) {
                *refusal = {websocket::close_code::bad_payload, "SPEAK came twice"};
                return false;
            }
            if (decoded.speak.text.size() > context_.maxTextBytes) {
                *refusal = {websocket::close_code::too_big,
                            "the text is longer than " + std::to_string(context_.maxTextBytes) +
                                " bytes"};
                return false;
            }
            auto job = std::make_unique<SpeakJob>();
            job->voice = decoded.speak.voice;  // the server chooses; see RenderRequest
            if (!job->text.Start(decoded.speak, &error)) {
                *refusal = {websocket::close_code::bad_payload, error};
                return false;
            }
            job->sink = shared_from_this();
            job_ = session->Speak(std::move(job));
            return true;
        }
        case PageKind::kStop:
            if (job_ != 0) {
                session->Stop(job_);
            }
            return true;
        case PageKind::kPlayed:
            if (job_ != 0) {
                session->Played(job_, decoded.played);
            }
            return true;
    }
    return true;
}

void SpeakSocket::Send(std::string message) {
    const size_t size = message.size();
    backlog_ += size;
    boost::asio::post(ws_.get_executor(), [self = shared_from_this(), m = std::move(message),
                                           size]() mutable {
        if (self->gone_ || self->closing_) {
            self->backlog_ -= size;
            return;
        }
        self->queue_.push_back(std::move(m));
        if (!self->writing_) {
            self->Write();
        }
    });
}

void SpeakSocket::Finish() {
    boost::asio::post(ws_.get_executor(), [self = shared_from_this()] {
        // The speaking session is over: its tab counts as idle from now on.
        self->Detach();
        self->finishing_ = true;
        if (!self->writing_ && self->queue_.empty()) {
            self->CloseWith({websocket::close_code::normal, "done"});
        }
    });
}

void SpeakSocket::Write() {
    writing_ = true;
    ws_.async_write(boost::asio::buffer(queue_.front()),
                    [self = shared_from_this()](beast::error_code error, size_t) {
                        self->OnWrite(error);
                    });
}

void SpeakSocket::OnWrite(beast::error_code error) {
    backlog_ -= queue_.front().size();
    queue_.pop_front();
    writing_ = false;
    if (error) {
        Gone();
        return;
    }
    if (closing_) {
        Close();
    } else if (!queue_.empty()) {
        Write();
    } else if (finishing_) {
        CloseWith({websocket::close_code::normal, "done"});
    }
}

void SpeakSocket::CloseWith(websocket::close_reason reason) {
    if (closing_ || gone_) {
        return;
    }
    closing_ = true;
    closeReason_ = std::move(reason);
    if (auto session = session_.lock(); session && job_ != 0) {
        session->Stop(job_);
    }
    // A closing socket speaks no more: its tab counts as idle from now on,
    // whether or not the close handshake ever completes (one whose peer
    // vanished mid-handshake has been seen never to end its operations).
    Detach();
    // What is queued behind the message being written is not sent.
    while (queue_.size() > (writing_ ? 1u : 0u)) {
        backlog_ -= queue_.back().size();
        queue_.pop_back();
    }
    if (!writing_) {
        Close();
    }
}

void SpeakSocket::Close() {
    if (closeSent_) {
        return;
    }
    closeSent_ = true;
    ws_.async_close(closeReason_, [self = shared_from_this()](beast::error_code) {
        // The read in progress ends when the peer answers or the time-out
        // passes; it calls Gone.
    });
}

void SpeakSocket::Gone() {
    if (gone_) {
        return;
    }
    gone_ = true;
    idle_.cancel();
    if (auto session = session_.lock(); session && job_ != 0) {
        session->Stop(job_);
    }
    while (queue_.size() > (writing_ ? 1u : 0u)) {
        backlog_ -= queue_.back().size();
        queue_.pop_back();
    }
    Detach();
}

void SpeakSocket::Detach() {
    if (attached_) {
        attached_ = false;
        context_.registry->Detach(token_, SessionRegistry::Clock::now());
    }
}

}  // namespace web
}  // namespace vrelay
