#include "server/session.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>

#include <vrelay/vrelay.h>
#include "server/protocol.h"
#include "transport/log.h"

namespace vrelay {
namespace server {

namespace {

bool KnownClientType(uint16_t type) {
    return type == PACKET_TEXT || type == PACKET_TEXT_CHUNK || type == PACKET_QUERY ||
           type == PACKET_CLOSE;
}

int32_t ClampOffset(int64_t sample) {
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(sample, 0), INT32_MAX));
}

}  // namespace

Session::Session(int id, std::unique_ptr<Socket> socket, std::string peer, Engine* engine,
                 std::string voice, SessionLimits limits, const std::atomic<bool>* stopping,
                 const WakeSignal* wake)
    : id_(id),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      engine_(engine),
      voice_(std::move(voice)),
      limits_(limits),
      stopping_(stopping) {
    socket_->SetWakeSignal(wake);
}

Session::~Session() = default;

void Session::Interrupt() {
    std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_->Handle() != kInvalidSocket) {
        ::shutdown(static_cast<int>(socket_->Handle()), SHUT_RDWR);
    }
}

Session::ReadResult Session::ReadPacket(Packet* packet) {
    while (!packet->FilledPacket()) {
        if (stopping_->load()) {
            return ReadResult::kStopped;
        }
        int received = 0;
        if (!packet->GetData(socket_.get(), &received)) {
            return ReadResult::kGone;
        }
    }
    return ReadResult::kPacket;
}

void Session::Run() {
    VR_LOG(logINFO) << "vrelay server: session " << id_ << " opened by " << peer_ << ", voice \""
                    << voice_ << "\"";
    std::string reason = "client closed";
    for (;;) {
        Packet packet;
        const ReadResult read = ReadPacket(&packet);
        if (read == ReadResult::kStopped) {
            reason = "server stopping";
            break;
        }
        if (read == ReadResult::kGone) {
            reason = "connection lost";
            break;
        }
        if (!packet.OK()) {
            VR_LOG(logERROR) << "vrelay server: session " << id_
                             << ": malformed frame (trailer length differs from header length "
                             << packet.Length() << "), closing";
            reason = "malformed frame";
            break;
        }
        const uint16_t type = packet.PacketType();
        if (!KnownClientType(type)) {
            VR_LOG(logERROR) << "vrelay server: session " << id_ << ": unexpected packet type "
                             << type << ", closing";
            reason = "unexpected packet type";
            break;
        }
        if (type == PACKET_CLOSE) {
            break;
        }
        const bool ok =
            type == PACKET_QUERY ? OnQuery(packet) : OnText(packet, type == PACKET_TEXT);
        if (!ok) {
            reason = stopping_->load() ? "server stopping" : "send failed";
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(socket_mutex_);
        socket_->Close();
    }
    VR_LOG(logINFO) << "vrelay server: session " << id_ << " closed (" << reason << "): " << texts_
                    << " text packets, " << text_bytes_ << " text bytes, " << queries_
                    << " queries, " << samples_ << " samples";
    // Nothing of the request is needed any more; release it now rather than
    // when the server reaps the session.
    EndRequest();
    held_.shrink_to_fit();
}

void Session::EndRequest() {
    buffer_.Clear();
    parser_.Reset();
    held_.clear();
    held_bytes_ = 0;
    clock_ = 0;
}

bool Session::OnText(Packet& packet, bool final) {
    ++texts_;
    const std::string text = DecodeText(packet.Data(), packet.Length());
    text_bytes_ += text.size();
    format_rate_ = 0;
    if (buffer_.Size() + held_bytes_ + text.size() > limits_.max_pending_text) {
        VR_LOG(logERROR) << "vrelay server: session " << id_ << ": more than "
                         << limits_.max_pending_text
                         << " bytes of unspoken text, the request's text is dropped";
        EndRequest();
        return SendMessage(std::string(kErrorPrefix) + "text refused: more than " +
                           std::to_string(limits_.max_pending_text) +
                           " bytes of text are waiting; the request's text was dropped") &&
               SendEnd();
    }
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
    bool ok = SpeakWords(words);
    if (final) {
        EndRequest();
    }
    return ok && SendEnd();
}

bool Session::SpeakWords(const std::vector<Word>& words) {
    if (words.empty()) {
        return true;
    }
    std::string error;
    if (!engine_->Speak(voice_, words, this, &error)) {
        VR_LOG(logERROR) << "vrelay server: session " << id_ << ": synthesis failed: " << error;
        return !send_failed_ &&
               SendMessage(std::string(kErrorPrefix) + "synthesis failed: " + error);
    }
    return !send_failed_ && !stopping_->load();
}

bool Session::OnUnit(const SynthesisUnit& unit) {
    if (send_failed_ || stopping_->load()) {
        return false;
    }
    if (format_rate_ != unit.sample_rate) {
        AudioFormat format;
        format.sample_rate = static_cast<uint32_t>(unit.sample_rate);
        if (!Send(PACKET_DATA_9, EncodeFormat(format))) {
            return false;
        }
        format_rate_ = unit.sample_rate;
    }
    std::vector<const TimedPhoneme*> phonemes;
    phonemes.reserve(unit.phonemes.size());
    for (const TimedPhoneme& p : unit.phonemes) {
        phonemes.push_back(&p);
    }
    std::stable_sort(
        phonemes.begin(), phonemes.end(),
        [](const TimedPhoneme* a, const TimedPhoneme* b) { return a->start < b->start; });
    size_t next_mark = 0;
    size_t next_phoneme = 0;
    // Marks and phonemes starting before limit, in sample order (a mark
    // before a phoneme at the same sample: it names the word that starts there).
    auto send_events = [&](int64_t limit) {
        for (;;) {
            const bool mark_due =
                next_mark < unit.marks.size() && unit.marks[next_mark].sample < limit;
            const bool phoneme_due =
                next_phoneme < phonemes.size() && phonemes[next_phoneme]->start < limit;
            if (!mark_due && !phoneme_due) {
                return true;
            }
            const bool take_mark = mark_due && (!phoneme_due || unit.marks[next_mark].sample <=
                                                                    phonemes[next_phoneme]->start);
            if (take_mark) {
                const TimedMark& mark = unit.marks[next_mark++];
                if (!Send(PACKET_DATA_8,
                          EncodeMark(ClampOffset(clock_ + mark.sample), mark.name))) {
                    return false;
                }
            } else {
                const TimedPhoneme& p = *phonemes[next_phoneme];
                ++next_phoneme;
                const std::string& next_name =
                    next_phoneme < phonemes.size() ? phonemes[next_phoneme]->name : std::string();
                Packet packet(0, PACKET_PHONEME,
                              new PhonemePacketData(
                                  ClampOffset(clock_ + p.start),
                                  reinterpret_cast<const unsigned char*>(p.name.c_str()),
                                  reinterpret_cast<const unsigned char*>(next_name.c_str()),
                                  ClampOffset(p.duration), unit.sample_rate, 0, 0, 0, 0, 0));
                if (!packet.SendData(socket_.get())) {
                    send_failed_ = true;
                    return false;
                }
            }
        }
    };
    const size_t total = unit.samples.size();
    for (size_t pos = 0; pos < total; pos += kAudioPacketSamples) {
        const size_t end = std::min(total, pos + kAudioPacketSamples);
        if (!send_events(static_cast<int64_t>(end)) ||
            !Send(PACKET_DATA_6, EncodeAudio(unit.samples.data() + pos, end - pos))) {
            return false;
        }
        if (stopping_->load()) {
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

bool Session::OnQuery(Packet& packet) {
    ++queries_;
    const std::string query = DecodeText(packet.Data(), packet.Length());
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
            size_t end = std::min(xml.size(), pos + kMaxPayload - 1);
            if (end < xml.size()) {
                const size_t line = xml.rfind('\n', end - 1);
                if (line != std::string::npos && line >= pos) {
                    end = line + 1;
                }
            }
            if (!Send(PACKET_QUERY, EncodeText(xml.substr(pos, end - pos)))) {
                return false;
            }
            pos = end;
        }
        return SendEnd();
    }
    if (parsed && !name.empty() && select == "1") {
        const VoiceInfo* voice = FindVoice(engine_->Voices(), name);
        if (voice == nullptr) {
            VR_LOG(logWARNING) << "vrelay server: session " << id_ << ": unknown voice \"" << name
                               << "\"";
            return SendMessage(std::string(kErrorPrefix) + "unknown voice \"" + name +
                               "\"; the voice stays \"" + voice_ + "\"") &&
                   SendEnd();
        }
        voice_ = voice->name;
        return SendEnd();
    }
    VR_LOG(logWARNING) << "vrelay server: session " << id_ << ": query not understood";
    return SendMessage(std::string(kErrorPrefix) + "query not understood: " + query) && SendEnd();
}

bool Session::Send(uint16_t type, const std::vector<unsigned char>& payload) {
    if (send_failed_) {
        return false;
    }
    Packet packet(0, type, const_cast<unsigned char*>(payload.data()),
                  static_cast<uint32_t>(payload.size()), false);
    if (!packet.SendData(socket_.get())) {
        send_failed_ = true;
        return false;
    }
    return true;
}

bool Session::SendMessage(const std::string& text) {
    // A message longer than one packet is cut (at a byte; it is informative).
    std::string cut = text.substr(0, kMaxPayload - 1);
    return Send(PACKET_DATA_10, EncodeText(cut));
}

bool Session::SendEnd() {
    return Send(PACKET_END, {});
}

}  // namespace server
}  // namespace vrelay
