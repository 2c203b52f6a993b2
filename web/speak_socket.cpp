// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/speak_socket.h"

#include <cstdio>

#include <boost/asio/post.hpp>

#include "frontend/prosody.h"
#include "web/frames.h"

namespace vrelay {
namespace web {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

// A SPEAK message's fields and voice name around its text, at most.
constexpr size_t kSpeakOverhead = 14 + 255;
// Read at a time, so that a message too long is refused with its reason
// before it is read whole.
constexpr size_t kReadPiece = 64 * 1024;

}  // namespace

SpeakSocket::SpeakSocket(beast::tcp_stream stream, SocketLedger::Slot slot,
                         const SocketContext& context, std::string token, std::string address)
    : ws_(std::move(stream)), slot_(std::move(slot)), idle_(ws_.get_executor()),
      context_(context), token_(std::move(token)), address_(std::move(address)) {}

void SpeakSocket::Start(beast::http::request<beast::http::string_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    // Pings keep an idle socket alive and find a vanished peer.
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(0);  // OnRead holds messages to the text's limit
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
    ws_.async_read_some(buffer_, kReadPiece,
                        [self = shared_from_this()](beast::error_code error, size_t) {
                            self->OnRead(error);
                        });
}

websocket::close_reason SpeakSocket::TooLong() const {
    return {websocket::close_code::too_big, "the text is longer than " +
                                                std::to_string(context_.maxTextBytes) +
                                                " bytes, the most this server speaks at once"};
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
    if (buffer_.size() > context_.maxTextBytes + kSpeakOverhead) {
        buffer_.consume(buffer_.size());
        CloseWith(TooLong());
        Read();
        return;
    }
    if (!ws_.is_message_done()) {
        Read();
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
        case PageKind::kSpeak:
            if (cleaner_) {
                *refusal = {websocket::close_code::bad_payload, "SPEAK came twice"};
                return false;
            }
            return Speak(decoded.speak, session.get(), refusal);
        case PageKind::kStop:
            if (job_ != 0) {
                session->Stop(job_);
            }
            return true;
        case PageKind::kPlayed: {
            // The page cannot have played what it was not sent.
            const uint64_t played = std::min<uint64_t>(decoded.played, sent_.load());
            if (played > played_.load()) {
                played_ = played;
                session->Poke();
            }
            return true;
        }
    }
    return true;
}

bool SpeakSocket::Speak(const SpeakRequest& speak, frontend::RenderWorker* session,
                        websocket::close_reason* refusal) {
    std::string problem;
    if (speak.text.size() > context_.maxTextBytes) {
        *refusal = TooLong();
        return false;
    }
    if (!frontend::IsUtf8Text(speak.text, &problem)) {
        *refusal = {websocket::close_code::bad_payload, problem};
        return false;
    }
    const int64_t start = frontend::ByteOfUtf16(speak.text, speak.start);
    if (start < 0) {
        *refusal = {websocket::close_code::bad_payload,
                    "the start is not on a character of the text"};
        return false;
    }
    // Cleaned as every door cleans its input; the words' offsets lead back
    // to the page's text through the cleaner.
    cleaner_.emplace(speak.markup);
    frontend::SpeechJob job;
    job.text = cleaner_->Clean(speak.text, true);
    job.markup = speak.markup;
    job.voice = speak.voice;  // the server chooses, as for every door
    job.prosody = frontend::SliderProsody(speak.rate, speak.pitch, speak.volume);
    job.requestBytes = kRequestBytes;
    job.startByte = cleaner_->CleanedOffset(start);
    job.sink = shared_from_this();
    page_ = frontend::TextPositions(speak.text);
    // A tab speaks one text at a time: the one before ends "stopped".
    session->Stop(0);
    job_ = session->Submit(std::move(job));
    return true;
}

bool SpeakSocket::OnFormat(uint32_t sampleRate) {
    if (sampleRate != 0 && sampleRate != sample_rate_.load()) {
        sample_rate_ = sampleRate;
        Send(EncodeFormat(sampleRate));
    }
    return true;
}

bool SpeakSocket::OnAudio(const int16_t* samples, size_t count, int64_t) {
    if (count > 0) {
        Send(EncodeAudio(samples, count));
        sent_ += count;
    }
    return true;
}

bool SpeakSocket::OnWord(const frontend::WordEvent& word) {
    const int64_t begin = page_.At(cleaner_->InputOffset(word.source.begin.byte)).utf16;
    const int64_t end = page_.At(cleaner_->InputOffset(word.source.end.byte)).utf16;
    Send(EncodeWord(static_cast<uint32_t>(word.sample), static_cast<uint32_t>(begin),
                    static_cast<uint32_t>(end)));
    return true;
}

void SpeakSocket::OnResume(const std::string& notice) {
    std::fprintf(stderr, "vrelay-web: %s: %s\n", address_.c_str(), notice.c_str());
}

bool SpeakSocket::ReadyForMore() {
    // The next request waits until the page is about to need it.
    const uint32_t rate = sample_rate_.load() != 0 ? sample_rate_.load() : 22050;
    return sent_.load() - played_.load() <= static_cast<uint64_t>(kAheadSeconds * rate) &&
           backlog_.load() <= kMaxBacklogBytes;
}

void SpeakSocket::OnEnd(const frontend::JobEnd& end) {
    using Outcome = frontend::JobEnd::Outcome;
    const EndReason reason = end.outcome == Outcome::kDone      ? EndReason::kDone
                             : end.outcome == Outcome::kStopped ? EndReason::kStopped
                                                                : EndReason::kFailed;
    Send(EncodeEnd(reason, static_cast<uint32_t>(sent_.load()),
                   end.outcome == Outcome::kFailed ? end.reason : std::string()));
    Finish();
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
    close_reason_ = std::move(reason);
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
    if (close_sent_) {
        return;
    }
    close_sent_ = true;
    ws_.async_close(close_reason_, [self = shared_from_this()](beast::error_code) {
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
