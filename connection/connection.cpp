// SPDX-License-Identifier: MIT
#include "connection/connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "transport/log.h"
#include "wire/payload.h"

namespace vrelay {

namespace {

// What a request's stream mode becomes after a text packet of this kind.
StreamMode ModeAfter(bool final, bool xml) {
    return final ? StreamMode::kNone : xml ? StreamMode::kXml : StreamMode::kPlain;
}

}  // namespace

Connection::Connection(PacketSink& application) : application_(application) {}

Connection::~Connection() {
    ScopedLock lock(lock_);
    Close();
}

bool Connection::Connect(const char* host, int port) {
    host_ = host ? host : "";
    port_ = port;
    // Made by the first Connect, so that creating a connection takes no
    // descriptor.
    WakeSignal* wake = request_.Wake();
    if (!wake) {
        return false;
    }
    auto socket = std::make_unique<SocketClient>(host_, port);
    if (!socket->IsOpen()) {
        return false;
    }
    Close();
    socket_ = std::move(socket);
    socket_->SetWakeSignal(wake);
    request_.SetMode(StreamMode::kNone);
    return true;
}

bool Connection::Reconnect() {
    const std::string host = host_;
    return Connect(host.c_str(), port_);
}

bool Connection::Close() {
    if (!socket_) {
        return false;
    }
    reader_.Reset();
    reader_.ReleaseIfEmpty();
    socket_->Close();
    socket_.reset();
    return true;
}

bool Connection::CloseStream() {
    const bool sent = socket_ && SendFrame(wire::kClose, {});
    const bool closed = Close();
    return sent && closed;
}

Socket* Connection::Outgoing() {
    if (socket_) {
        socket_->SetSendLimit(packet_timeout_.load());
    }
    return socket_.get();
}

bool Connection::SendQuery(const char* query) {
    return socket_ && SendFrame(wire::kQuery, {{query, std::strlen(query) + 1}});
}

bool Connection::SendFrame(uint16_t type, std::initializer_list<BytePiece> payload) {
    const wire::FrameParts frame(type, payload, kStreamId);
    if (!frame.Valid() || frame.PayloadLength() > wire::kMaxPayload) {
        size_t length = 0;
        for (const BytePiece& part : payload) {
            length += part.size;
        }
        VR_LOG(logERROR) << "vrelay send error, packet too big for packet type " << type
                         << " length is " << length;
        return false;
    }
    Socket* socket = Outgoing();
    if (!socket) {
        return false;
    }
    // The whole frame goes to the socket at once, so that it can leave in one
    // system call and as few segments as its size allows.
    const size_t sent = socket->SendPieces(frame.Pieces(), frame.Count());
    if (sent != frame.Size()) {
        VR_LOG(logERROR) << "error sending packet of type " << type << " (" << sent << " of "
                         << frame.Size() << " bytes sent)";
        return false;
    }
    return true;
}

void Connection::DeliverCompletion() {
    application_.Deliver(wire::kRequestDone, nullptr, 0);
}

// ---- Requests --------------------------------------------------------------

StopReason Connection::Submit(const char* text, bool xml, bool final) {
    const StreamMode open = request_.Mode();
    if (open != StreamMode::kNone && (open == StreamMode::kXml) != xml) {
        // A stream of the other kind is open: end it first. Its answer is
        // read here, so that every later wait reads its own answer.
        SendText("", open == StreamMode::kXml, true);
        if (!request_.Quit()) {
            WaitForEndPacket();
        }
    }
    if (!request_.Quit()) {
        SendText(text, xml, final);
    }
    // A push sends nothing after its pieces, so there is nothing to read.
    if (final && !request_.Quit()) {
        WaitForEndPacket();
    }
    return request_.Stopped();
}

RequestEnd Connection::Query(const char* query, PacketSink* sink) {
    RequestScope request(request_);
    if (request.Refused() != StopReason::kNone) {
        return {request.Refused(), false};
    }
    ScopedLock lock(lock_);
    if (!SendQuery(query)) {
        request_.Stop(StopReason::kSendFailed);
    } else {
        WaitForEndPacket(sink ? *sink : application_);
    }
    return {request_.Stopped(), true};
}

// ---- Receive loop ------------------------------------------------------------

bool Connection::WaitForEndPacket(PacketSink& sink) {
    const Step end = socket_ ? ReadAnswer(sink) : Step::kFailed;
    // A connection between requests holds no read buffer.
    reader_.ReleaseIfEmpty();
    if (end == Step::kFailed || end == Step::kRefused) {
        request_.Stop(end == Step::kRefused ? StopReason::kRefused : StopReason::kAnswerFailed);
        return false;
    }
    return true;
}

Connection::Step Connection::ReadAnswer(PacketSink& sink) {
    for (;;) {
        // The packet's time counts from here: the sink's time is left out.
        wire::Frame frame;
        switch (ReadFrame(&frame, GetCurrentTicks())) {
            case Read::kQuit:
                return Step::kEnd;
            case Read::kFailed:
                return Step::kFailed;
            case Read::kFrame:
                break;
        }
        const Step step = Dispatch(frame, sink);
        if (step != Step::kNext) {
            return step;
        }
    }
}

Connection::Read Connection::ReadFrame(wire::Frame* frame, int64_t start) {
    const int timeout = packet_timeout_.load();
    bool afterRead = false;
    for (;;) {
        if (request_.Quit()) {
            return Read::kQuit;
        }
        switch (reader_.Next(frame)) {
            case wire::FrameReader::Status::kFrame:
                return Read::kFrame;
            case wire::FrameReader::Status::kTooLong:
                VR_LOG(logERROR) << "vrelay receive error, packet too big for packet type "
                                 << frame->type << " length is " << frame->length;
                return Read::kFailed;
            case wire::FrameReader::Status::kMismatch:
                VR_LOG(logERROR) << "vrelay packet receive error";
                return Read::kFailed;
            case wire::FrameReader::Status::kNeedMore:
                break;
        }
        const int64_t elapsed = GetTickDifference(start, GetCurrentTicks());
        if (afterRead && timeout >= 0 && elapsed > timeout) {
            VR_LOG(logWARNING) << "vrelay packet receive from server timed out after " << timeout
                               << "ms";
            return Read::kFailed;
        }
        // The wait ends with data, at a stop (the wake signal), or when the
        // packet's time is up: no longer than what is left of it, so that a
        // silent server ends the wait, and one that drips bytes cannot
        // stretch a packet beyond it. The extra millisecond makes the elapsed
        // time exceed the timeout when the limit is what ended the wait. A
        // wait that brought nothing goes round again: the quit flag and the
        // time are looked at first.
        if (timeout >= 0) {
            const int64_t left = std::max<int64_t>(0, timeout - elapsed) + 1;
            socket_->SetReceiveLimit(static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
        } else {
            socket_->SetReceiveLimit(-1);
        }
        size_t room = 0;
        char* space = reader_.Space(&room);
        size_t received = 0;
        if (!space || !socket_->ReceiveBytes(space, room, &received)) {
            return Read::kFailed;
        }
        reader_.Filled(received);
        afterRead = true;
    }
}

Connection::Step Connection::Dispatch(const wire::Frame& frame, PacketSink& sink) {
    wire::Phoneme phoneme;
    switch (frame.type) {
        case wire::kEnd:
            return Step::kEnd;
        case wire::kClose:
            VR_LOG(logWARNING) << "the server has closed the connection to the vrelay client";
            return Step::kFailed;
        case wire::kPhoneme:
            if (!wire::DecodePhoneme(frame.data, frame.length, &phoneme)) {
                VR_LOG(logWARNING)
                    << "malformed phoneme packet of length " << frame.length << " dropped";
                return Step::kNext;
            }
            break;
        case wire::kAudio:
        case wire::kMark:
        case wire::kFormat:
        case wire::kMessage:
        case wire::kQuery:
            break;
        default:
            VR_LOG(logWARNING) << "unhandled packet type " << frame.type;
            return Step::kNext;
    }
    // After a stop, what is still read is dropped.
    if (request_.Quit()) {
        return Step::kNext;
    }
    const bool accepted = frame.type == wire::kPhoneme
                              ? sink.DeliverPhoneme(phoneme)
                              : sink.Deliver(frame.type, frame.data, frame.length);
    if (!accepted) {
        VR_LOG(logWARNING) << "callback did not return VR_SUCCESS, skipping remaining packets";
        return Step::kRefused;
    }
    return Step::kNext;
}

// ---- Text path ---------------------------------------------------------------

void Connection::SendText(const char* text, bool xml, bool final) {
    if (!socket_) {
        request_.Stop(StopReason::kSendFailed);
        return;
    }
    text_.Run(text, final);
    // Every piece has gone out with its answer; a final call ends the
    // request with an empty PACKET_TEXT. After a stop nothing more goes out.
    if (!request_.Quit()) {
        SendData("", 0, xml, final);
    }
}

void Connection::Piece(const char* text, size_t length, bool final) {
    lock_.AssertHeld();
    if (request_.Quit()) {
        return;
    }
    // A piece that could not be sent has stopped the request; an empty one
    // that does not end it sends nothing, so there is no answer to read.
    if (SendData(text, length, true, final) && (final || length > 0)) {
        WaitForEndPacket();
    }
}

void Connection::VoiceSwitch(bool named, const std::string& name) {
    lock_.AssertHeld();
    if (request_.Quit()) {
        return;
    }
    // End what has been sent so far, so the switch takes effect exactly here.
    if (!SendData("", 0, true, true) || !WaitForEndPacket() || !named) {
        return;
    }
    // A selection that cannot be sent changes nothing; the text goes on.
    if (SendQuery(VoiceSelectionQuery(name).c_str())) {
        WaitForEndPacket();
    }
}

void Connection::Failed() noexcept {
    request_.Stop(StopReason::kAnswerFailed);
}

bool Connection::SendTextPacket(uint16_t type, const char* text, size_t length) {
    if (!SendFrame(type, {{text, length}, {"", 1}})) {
        request_.Stop(StopReason::kSendFailed);
        return false;
    }
    return true;
}

bool Connection::SendData(const char* text, size_t length, bool xml, bool final) {
    if (!socket_) {
        request_.Stop(StopReason::kSendFailed);
        return false;
    }
    size_t position = 0;
    size_t remaining = length;
    if (remaining > kMaxTextPerPacket) {
        VR_LOG(logWARNING)
            << "Input is too big for text packet, splitting tokeniser output into chunks";
        do {
            const size_t chunk = std::min(remaining, kMaxTextPerPacket);
            VR_LOG(logDEBUG3) << "Sending text chunk of length " << chunk;
            request_.SetMode(ModeAfter(false, xml));
            if (!SendTextPacket(wire::kTextChunk, text + position, chunk)) {
                VR_LOG(logERROR) << "error sending text chunk";
                return false;
            }
            if (!WaitForEndPacket()) {
                VR_LOG(logERROR) << "error processing connection data or callback cancelled";
                return false;
            }
            position += kMaxTextPerPacket;
            remaining = length - position;
        } while (remaining > kMaxTextPerPacket);
    }
    if (!final && remaining == 0) {
        return true;
    }
    VR_LOG(logDEBUG3) << (final ? "input text is length " : "input text stream is length ")
                      << remaining;
    request_.SetMode(ModeAfter(final, xml));
    return SendTextPacket(final ? wire::kText : wire::kTextChunk, text + position, remaining);
}

}  // namespace vrelay
