// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>

#include "server/protocol.h"
#include "transport/log.h"

namespace vrelay {
namespace server {

namespace {

bool KnownClientType(uint16_t type) {
    return type == wire::kText || type == wire::kTextChunk || type == wire::kQuery ||
           type == wire::kClose;
}

// Longest wait of one receive: how soon a session notices its idle time and
// a drain.
constexpr int kReceivePollMs = 500;
// While the server shuts down, a session without a request for this long is
// closed.
constexpr int kDrainIdleMs = 1000;
// Kernel send buffer of a session (the kernel doubles it): about 3 s of
// espeak audio.
constexpr int kSendBufferBytes = 128 * 1024;
// A session that received this much text or sent this much audio, or whose
// client stopped reading, gives the free memory of the heaps back when it ends.
constexpr uint64_t kLargeRequestBytes = 16 * 1024;
constexpr uint64_t kLargeAnswerSamples = 1 << 20;

// The peer has closed its end of the connection, or the connection failed.
bool PeerClosed(SocketHandle handle) {
    pollfd p{static_cast<int>(handle), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int32_t ClampOffset(int64_t sample) {
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(sample, 0), INT32_MAX));
}

// A unit's marks and phonemes as frames, in sample order: a mark before a
// phoneme at the same sample, as it names the word that starts there.
class UnitEvents {
  public:
    explicit UnitEvents(const SynthesisUnit& unit) : unit_(unit) {
        phonemes_.reserve(unit.phonemes.size());
        for (const TimedPhoneme& p : unit.phonemes) {
            phonemes_.push_back(&p);
        }
        std::stable_sort(
            phonemes_.begin(), phonemes_.end(),
            [](const TimedPhoneme* a, const TimedPhoneme* b) { return a->start < b->start; });
    }

    // The next event starting before limit, its offsets counted from clock
    // (the unit's first sample in the answer); false when there is none.
    bool Next(int64_t limit, int64_t clock, uint16_t* type, std::vector<unsigned char>* payload) {
        const bool mark_due =
            next_mark_ < unit_.marks.size() && unit_.marks[next_mark_].sample < limit;
        const bool phoneme_due =
            next_phoneme_ < phonemes_.size() && phonemes_[next_phoneme_]->start < limit;
        if (!mark_due && !phoneme_due) {
            return false;
        }
        if (mark_due &&
            (!phoneme_due || unit_.marks[next_mark_].sample <= phonemes_[next_phoneme_]->start)) {
            const TimedMark& mark = unit_.marks[next_mark_++];
            *type = wire::kMark;
            *payload = wire::EncodeMark(ClampOffset(clock + mark.sample), mark.name);
            return true;
        }
        const TimedPhoneme& p = *phonemes_[next_phoneme_++];
        const std::string& next_name =
            next_phoneme_ < phonemes_.size() ? phonemes_[next_phoneme_]->name : unit_.next_phoneme;
        wire::Phoneme phoneme;
        phoneme.first = ClampOffset(clock + p.start);
        phoneme.phone = p.name.c_str();
        phoneme.next_phone = next_name.c_str();
        phoneme.values[0] = ClampOffset(p.duration);
        phoneme.values[1] = unit_.sample_rate;
        *type = wire::kPhoneme;
        *payload = wire::EncodePhoneme(phoneme);
        return true;
    }

  private:
    const SynthesisUnit& unit_;
    std::vector<const TimedPhoneme*> phonemes_;
    size_t next_mark_ = 0;
    size_t next_phoneme_ = 0;
};

}  // namespace

void BoundWords(std::vector<Word>* words, size_t max_bytes, int64_t* break_budget_ms) {
    std::vector<Word> bounded;
    bounded.reserve(words->size());
    for (Word& word : *words) {
        // All breaks after a word become one of explicit length, so that
        // neither their number nor their attributes can stretch the audio.
        if (!word.breaks.empty()) {
            int64_t ms = 0;
            for (const Element& pause : word.breaks) {
                ms = std::min<int64_t>(ms + BreakMilliseconds(pause), kMaxBreakMs);
            }
            ms = std::max<int64_t>(0, std::min(ms, *break_budget_ms));
            *break_budget_ms -= ms;
            word.breaks.clear();
            if (ms > 0) {
                Element pause;
                pause.name = "break";
                pause.attributes.push_back(Attribute{"time", std::to_string(ms) + "ms"});
                word.breaks.push_back(std::move(pause));
            }
        }
        if (word.text.size() <= max_bytes) {
            bounded.push_back(std::move(word));
            continue;
        }
        std::vector<Element> breaks;
        breaks.swap(word.breaks);
        size_t pos = 0;
        while (pos < word.text.size()) {
            size_t cut = std::min(word.text.size(), pos + max_bytes);
            while (cut > pos + 1 && cut < word.text.size() &&
                   (static_cast<unsigned char>(word.text[cut]) & 0xC0) == 0x80) {
                --cut;  // keep UTF-8 sequences whole
            }
            Word piece;
            piece.mark = pos == 0 ? word.mark : std::string();
            piece.context = word.context;
            piece.text = word.text.substr(pos, cut - pos);
            bounded.push_back(std::move(piece));
            pos = cut;
        }
        bounded.back().breaks = std::move(breaks);
    }
    words->swap(bounded);
}

Session::Session(int id, std::unique_ptr<Socket> socket, std::string peer, Engine* engine,
                 std::string voice, SessionLimits limits, const std::atomic<bool>* stopping,
                 const WakeSignal* wake, bool takes_pieces)
    : id_(id),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      engine_(engine),
      voice_(std::move(voice)),
      limits_(limits),
      stopping_(stopping),
      takes_pieces_(takes_pieces) {
    socket_->SetWakeSignal(wake);
    // Receives wake up now and then to see the idle time and a drain.
    socket_->SetReceiveLimit(std::min(limits_.idle_timeout_ms, kReceivePollMs));
    // A small send buffer: a client that stops reading stops the session's
    // synthesis after a few seconds of audio rather than after megabytes.
    const int send_buffer = kSendBufferBytes;
    ::setsockopt(static_cast<int>(socket_->Handle()), SOL_SOCKET, SO_SNDBUF, &send_buffer,
                 sizeof send_buffer);
    // A client that stops reading makes a send fail after this long instead
    // of holding the session for ever.
    timeval send_limit{};
    send_limit.tv_sec = limits_.request_timeout_ms / 1000;
    send_limit.tv_usec = (limits_.request_timeout_ms % 1000) * 1000;
    ::setsockopt(static_cast<int>(socket_->Handle()), SOL_SOCKET, SO_SNDTIMEO, &send_limit,
                 sizeof send_limit);
}

Session::~Session() = default;

void Session::Interrupt() {
    ShutdownSocket(SHUT_RDWR);
}

void Session::ShutdownSocket(int how) {
    MutexLock lock(&socket_mutex_);
    if (socket_->Handle() != kInvalidSocket) {
        ::shutdown(static_cast<int>(socket_->Handle()), how);
    }
}

bool Session::ClientGone() {
    MutexLock lock(&socket_mutex_);
    return socket_->Handle() == kInvalidSocket || PeerClosed(socket_->Handle());
}

void Session::Drain() {
    draining_ = true;
}

void Session::Close() {
    closing_ = true;
    // Ends a wait for the client's next packet; sending still works.
    ShutdownSocket(SHUT_RD);
}

bool Session::InputWaiting() {
    pollfd p{static_cast<int>(socket_->Handle()), POLLIN, 0};
    return reader_.Buffered() > 0 || ::poll(&p, 1, 0) == 1;
}

Session::ReadResult Session::ReadFrame(wire::Frame* frame) {
    // The last frame has been answered; between requests a session holds no
    // read buffer.
    reader_.ReleaseIfEmpty();
    bool started = false;
    for (;;) {
        if (stopping_->load()) {
            return ReadResult::kStopped;
        }
        if (closing_.load()) {
            return ReadResult::kClosing;
        }
        switch (reader_.Next(frame)) {
            case wire::FrameReader::Status::kFrame:
                return ReadResult::kFrame;
            case wire::FrameReader::Status::kTooLong:
                VR_LOG(logERROR) << "vrelay receive error, packet too big for packet type "
                                 << frame->type << " length is " << frame->length;
                return ReadResult::kGone;
            case wire::FrameReader::Status::kMismatch:
                return ReadResult::kMalformed;
            case wire::FrameReader::Status::kNeedMore:
                break;
        }
        // Between requests, with no request for a while and nothing sent by
        // the client: idle. A client that sends request after request (a long
        // text, a few kilobytes a request) goes on.
        if (draining_.load() && !started && !in_request_ &&
            std::chrono::steady_clock::now() - active_ > std::chrono::milliseconds(kDrainIdleMs) &&
            !InputWaiting()) {
            return ReadResult::kDrained;
        }
        size_t room = 0;
        char* space = reader_.Space(&room);
        if (!space) {
            throw std::bad_alloc();
        }
        size_t received = 0;
        if (!socket_->ReceiveBytes(space, room, &received)) {
            return closing_.load() ? ReadResult::kClosing : ReadResult::kGone;
        }
        reader_.Filled(received);
        started = started || received > 0;
        // Only whole packets count as activity: a trickle of bytes does not
        // keep a session.
        if (std::chrono::steady_clock::now() - active_ >
            std::chrono::milliseconds(limits_.idle_timeout_ms)) {
            return ReadResult::kIdle;
        }
    }
}

void Session::Run() {
    VR_LOG(logDEBUG) << OpenedLine();
    std::string reason;
    try {
        reason = Serve();
    } catch (const std::bad_alloc&) {
        // Only this session's data is in question: it ends, the server goes on.
        reason = "out of memory";
    } catch (const std::exception& e) {
        reason = std::string("internal error: ") + e.what();
    }
    closed_ = true;
    {
        MutexLock lock(&socket_mutex_);
        socket_->Close();
    }
    VR_LOG(announced_ ? logINFO : logDEBUG)
        << "vrelay server: session " << id_ << " closed (" << reason << "): " << texts_
        << " text packets, " << text_bytes_ << " text bytes, " << queries_ << " queries, "
        << samples_ << " samples";
    // Nothing of the request is needed any more; release it now rather than
    // when the server reaps the session.
    EndRequest();
#ifdef __GLIBC__
    // A large request leaves free memory in the heaps of the threads that
    // held its text and audio (this one's, the worker pool's), which glibc
    // would keep: it goes back to the system now.
    if (text_bytes_ >= kLargeRequestBytes || samples_ >= kLargeAnswerSamples || send_failed_) {
        ::malloc_trim(0);
    }
#endif
}

std::string Session::Serve() {
    for (;;) {
        wire::Frame frame;
        switch (ReadFrame(&frame)) {
            case ReadResult::kStopped:
                return "server stopping";
            case ReadResult::kGone:
                return "connection lost";
            case ReadResult::kIdle:
                return "idle for " + std::to_string(limits_.idle_timeout_ms / 1000) + " s";
            case ReadResult::kDrained:
                return "server shutting down";
            case ReadResult::kClosing:
                SendClosing();
                return "server shutting down, grace time over";
            case ReadResult::kMalformed:
                VR_LOG(logERROR) << "vrelay server: session " << id_
                                 << ": malformed frame (trailer length differs from header length "
                                 << frame.length << "), closing";
                return "malformed frame";
            case ReadResult::kFrame:
                break;
        }
        const uint16_t type = frame.type;
        if (!KnownClientType(type)) {
            VR_LOG(logERROR) << "vrelay server: session " << id_ << ": unexpected packet type "
                             << type << ", closing";
            return "unexpected packet type";
        }
        if (type == wire::kClose) {
            return "client closed";
        }
        // Packets without text keep no session: they cost the client nothing.
        const bool counts = type == wire::kQuery || (frame.length > 0 && frame.data[0] != 0);
        if (counts) {
            Announce();
        }
        const bool ok = type == wire::kQuery ? OnQuery(frame) : OnText(frame, type == wire::kText);
        if (!ok) {
            if (stopping_->load()) {
                return "server stopping";
            }
            if (closing_.load()) {
                SendClosing();
                return "server shutting down, grace time over";
            }
            return "send failed";
        }
        if (counts) {
            active_ = std::chrono::steady_clock::now();
        }
    }
}

void Session::Announce() {
    if (!announced_) {
        announced_ = true;
        VR_LOG(logINFO) << OpenedLine();
    }
}

std::string Session::OpenedLine() const {
    return "vrelay server: session " + std::to_string(id_) + " opened by " + peer_ + ", voice \"" +
           Printable(voice_) + "\"";
}

void Session::EndRequest() {
    buffer_.Clear();
    parser_.Reset();
    std::vector<Word>().swap(held_);
    held_bytes_ = 0;
    clock_ = 0;
    break_budget_ms_ = kBaseBreakMs;
    dropping_ = false;
}

bool Session::RefuseRequest(const std::string& log_reason, const std::string& message) {
    VR_LOG(logERROR) << "vrelay server: session " << id_ << ": " << log_reason
                     << ", the rest of the request is dropped";
    EndRequest();
    dropping_ = true;
    return SendMessage(std::string(wire::kErrorPrefix) + message +
                       "; the rest of the request is dropped");
}

bool Session::OnText(const wire::Frame& frame, bool final) {
    ++texts_;
    const std::string text = wire::DecodeText(frame.data, frame.length);
    text_bytes_ += text.size();
    format_rate_ = 0;
    over_limit_ = false;
    deadline_ =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.request_timeout_ms);
    // A PACKET_TEXT ends the request: after it the session waits between
    // requests.
    in_request_ = !final;
    bool ok = true;
    if (dropping_) {
        // A refused request: its remaining pieces are read and not spoken.
    } else if (buffer_.Size() + held_bytes_ + text.size() > limits_.max_pending_text) {
        ok = RefuseRequest(
            "more than " + std::to_string(limits_.max_pending_text) + " bytes of unspoken text",
            "text refused: more than " + std::to_string(limits_.max_pending_text) +
                " bytes of text are waiting");
    } else {
        break_budget_ms_ += static_cast<int64_t>(text.size()) * kBreakMsPerTextByte;
        buffer_.Append(text.data(), text.size());
        std::vector<Word> words;
        words.swap(held_);
        held_bytes_ = 0;
        parser_.Parse(final ? buffer_.TakeAll() : buffer_.TakeWholeWords(), &words);
        if (!final) {
            // Speak whole sentences when there are any, so that a piece boundary
            // does not break a sentence's melody; keep the words after them.
            size_t cut = words.size();
            while (cut > 0 && !words[cut - 1].EndsSentence()) {
                --cut;
            }
            if (cut > 0) {
                held_.assign(std::make_move_iterator(words.begin() + static_cast<ptrdiff_t>(cut)),
                             std::make_move_iterator(words.end()));
                words.resize(cut);
                for (const Word& w : held_) {
                    held_bytes_ += w.text.size() + w.mark.size();
                }
            }
        }
        ok = SpeakWords(&words);
    }
    if (final) {
        EndRequest();
    }
    return ok && SendEnd();
}

bool Session::SpeakWords(std::vector<Word>* words) {
    if (words->empty()) {
        return true;
    }
    BoundWords(words, kMaxWordBytes, &break_budget_ms_);
    std::string error;
    const bool spoken = engine_->Speak(voice_, *words, this, &error);
    if (send_failed_ || Stopped()) {
        return false;
    }
    if (!spoken) {
        return RefuseRequest("synthesis failed: " + error, "synthesis failed: " + error);
    }
    if (over_limit_) {
        return RefuseRequest(over_limit_reason_, over_limit_reason_);
    }
    return true;
}

bool Session::UnitWithinLimits(const SynthesisUnit& unit) {
    const int64_t max_samples =
        static_cast<int64_t>(limits_.max_request_audio_seconds) * unit.sample_rate;
    if (clock_ + static_cast<int64_t>(unit.samples.size()) > max_samples) {
        over_limit_ = true;
        over_limit_reason_ = "more than " + std::to_string(limits_.max_request_audio_seconds) +
                             " s of audio in one request";
        return false;
    }
    if (std::chrono::steady_clock::now() > deadline_) {
        over_limit_ = true;
        over_limit_reason_ = "the request took longer than " +
                             std::to_string(limits_.request_timeout_ms / 1000) + " s";
        return false;
    }
    return true;
}

bool Session::OnUnit(const SynthesisUnit& unit) {
    if (send_failed_ || Stopped() || !UnitWithinLimits(unit)) {
        return false;
    }
    if (format_rate_ != unit.sample_rate) {
        wire::AudioFormat format;
        format.sample_rate = static_cast<uint32_t>(unit.sample_rate);
        if (!Send(wire::kFormat, wire::EncodeFormat(format))) {
            return false;
        }
        format_rate_ = unit.sample_rate;
    }
    UnitEvents events(unit);
    auto send_events = [&](int64_t limit) {
        uint16_t type = 0;
        std::vector<unsigned char> payload;
        while (events.Next(limit, clock_, &type, &payload)) {
            if (!Send(type, payload)) {
                return false;
            }
        }
        return true;
    };
    const size_t total = unit.samples.size();
    for (size_t pos = 0; pos < total; pos += kAudioPacketSamples) {
        const size_t end = std::min(total, pos + kAudioPacketSamples);
        if (!send_events(static_cast<int64_t>(end))) {
            return false;
        }
        if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
            // The samples are laid out as the payload wants them: no copy.
            if (!SendFrame(wire::kAudio, unit.samples.data() + pos, (end - pos) * 2, false)) {
                return false;
            }
        } else if (!Send(wire::kAudio, wire::EncodeAudio(unit.samples.data() + pos, end - pos))) {
            return false;
        }
        if (Stopped()) {
            return false;
        }
    }
    if (!send_events(INT64_MAX)) {
        return false;
    }
    clock_ += static_cast<int64_t>(total);
    samples_ += total;
    return true;
}

bool Session::Abandoned() const {
    if (send_failed_ || Stopped()) {
        return true;
    }
    // A client that cancels closes its connection without reading on.
    return PeerClosed(socket_->Handle());
}

bool Session::OnQuery(const wire::Frame& frame) {
    ++queries_;
    const std::string query = wire::DecodeText(frame.data, frame.length);
    const size_t first = query.find_first_not_of(" \t\r\n");
    const size_t last = query.find_last_not_of(" \t\r\n");
    Tag tag;
    const bool parsed = first != std::string::npos &&
                        ParseTag(query.substr(first, last - first + 1), &tag) &&
                        tag.kind == Tag::kEmpty && tag.element.name == "voice";
    const std::string name = parsed ? tag.element.Get("name") : std::string();
    const std::string select = parsed ? tag.element.Get("select") : std::string();
    if (parsed && name == "all" && select.empty()) {
        // Split between voice lines: each packet carries at most 63999 bytes and its NUL.
        const std::string xml = VoiceListXml(engine_->Voices());
        size_t pos = 0;
        while (pos < xml.size()) {
            size_t end = std::min(xml.size(), pos + wire::kMaxPayload - 1);
            if (end < xml.size()) {
                const size_t line = xml.rfind('\n', end - 1);
                if (line != std::string::npos && line >= pos) {
                    end = line + 1;
                }
            }
            if (!Send(wire::kQuery, wire::EncodeText(xml.substr(pos, end - pos)))) {
                return false;
            }
            pos = end;
        }
        return SendEnd();
    }
    if (parsed && !name.empty() && select == "1") {
        const std::string chosen = ChooseVoiceName(engine_->Voices(), name, voice_);
        if (chosen.empty()) {
            VR_LOG(logWARNING) << "vrelay server: session " << id_ << ": unknown voice \""
                               << Printable(name) << "\"";
            return SendMessage(std::string(wire::kErrorPrefix) + "unknown voice \"" +
                               Printable(name) + "\"; the voice stays \"" + voice_ + "\"") &&
                   SendEnd();
        }
        voice_ = chosen;
        return SendEnd();
    }
    VR_LOG(logWARNING) << "vrelay server: session " << id_ << ": query not understood";
    return SendMessage(std::string(wire::kErrorPrefix) +
                       "query not understood: " + Printable(query)) &&
           SendEnd();
}

namespace {

// Frames smaller than this wait for the next large one (or the answer's end).
constexpr size_t kSmallFrame = 4096;

}  // namespace

bool Session::Send(uint16_t type, const std::vector<unsigned char>& payload) {
    return SendFrame(type, payload.data(), payload.size(),
                     payload.size() < kSmallFrame && type != wire::kEnd);
}

bool Session::SendFrame(uint16_t type, const void* payload, size_t length, bool small) {
    if (send_failed_) {
        return false;
    }
    // Marks and phonemes (tens a second of speech) wait for the audio they
    // come before and leave with it, in one system call instead of one each.
    if (small) {
        wire::AppendFrame(type, payload, length, &held_frames_);
        return held_frames_.size() < kSmallFrame || SendHeld();
    }
    const wire::FrameParts frame(type, {{static_cast<const char*>(payload), length}});
    BytePiece pieces[1 + wire::FrameParts::kMaxParts + 2];
    size_t count = 0;
    if (!held_frames_.empty()) {
        pieces[count++] = {held_frames_.data(), held_frames_.size()};
    }
    std::copy(frame.Pieces(), frame.Pieces() + frame.Count(), pieces + count);
    count += frame.Count();
    send_failed_ = socket_->SendPieces(pieces, count) != held_frames_.size() + frame.Size();
    held_frames_.clear();
    return !send_failed_;
}

bool Session::SendHeld() {
    const BytePiece held{held_frames_.data(), held_frames_.size()};
    send_failed_ = socket_->SendPieces(&held, 1) != held_frames_.size();
    held_frames_.clear();
    return !send_failed_;
}

bool Session::SendMessage(const std::string& text) {
    // A message longer than one packet is cut (at a byte; it is informative).
    std::string cut = text.substr(0, wire::kMaxPayload - 1);
    return Send(wire::kMessage, wire::EncodeText(cut));
}

bool Session::SendEnd() {
    return Send(wire::kEnd, {});
}

void Session::SendClosing() {
    if (SendMessage(std::string(wire::kErrorPrefix) + wire::kShuttingDown)) {
        SendFrame(wire::kClose, nullptr, 0, false);
    }
}

}  // namespace server
}  // namespace vrelay
