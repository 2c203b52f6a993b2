// SPDX-License-Identifier: MIT
// A bare protocol client for the server tests: frames read and written by the
// wire module, answers decoded with wire/payload.h.
#ifndef VRELAY_TESTS_SERVER_RAW_CLIENT_H
#define VRELAY_TESTS_SERVER_RAW_CLIENT_H

#include <vrelay/vrelay.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/socket.h"
#include "wire/frame.h"
#include "wire/payload.h"

namespace vrelay {
namespace test {

struct PhonemeRecord { int32_t start; std::string name, next; int32_t duration, rate; };

// Everything one exchange brought, up to and including PACKET_END.
struct Answer {
    bool ended = false;  // PACKET_END came, rather than a close or a time-out
    std::vector<uint16_t> types;
    std::vector<wire::AudioFormat> formats;
    std::vector<int16_t> audio;
    std::vector<wire::MarkReached> marks;
    std::vector<size_t> audio_before_mark;  // samples received before each mark
    std::vector<PhonemeRecord> phonemes;
    std::vector<std::string> messages;

    // "name@sample" of each mark, blank-separated.
    std::string Marks() const {
        std::string text;
        for (const auto& m : marks) {
            text += (text.empty() ? "" : " ") + m.name + "@" + std::to_string(m.sample);
        }
        return text;
    }
    // The marks and phonemes, in the order they came, with their offsets.
    std::string Events() const {
        std::string events;
        size_t mark = 0;
        size_t phoneme = 0;
        for (uint16_t type : types) {
            if (type == PACKET_DATA_8 && mark < marks.size()) {
                const auto& m = marks[mark++];
                events += m.name + "@" + std::to_string(m.sample) + "\n";
            } else if (type == PACKET_PHONEME && phoneme < phonemes.size()) {
                const auto& p = phonemes[phoneme++];
                events += p.name + ">" + p.next + "@" + std::to_string(p.start) + "+" +
                          std::to_string(p.duration) + "\n";
            }
        }
        return events;
    }
    // Decodes one packet into the answer.
    void Add(uint16_t type, const unsigned char* data, uint32_t length) {
        types.push_back(type);
        ended = type == PACKET_END;
        wire::AudioFormat format;
        wire::MarkReached mark;
        wire::Phoneme record;
        if (type == PACKET_DATA_9 && wire::DecodeFormat(data, length, &format)) {
            formats.push_back(format);
        } else if (type == PACKET_DATA_6) {
            const auto samples = wire::DecodeAudio(data, length);
            audio.insert(audio.end(), samples.begin(), samples.end());
        } else if (type == PACKET_DATA_8 && wire::DecodeMark(data, length, &mark)) {
            marks.push_back(mark);
            audio_before_mark.push_back(audio.size());
        } else if (type == PACKET_PHONEME && wire::DecodePhoneme(data, length, &record)) {
            phonemes.push_back({record.first, record.phone, record.next_phone, record.values[0],
                                record.values[1]});
        } else if (type == PACKET_DATA_10) {
            messages.push_back(wire::DecodeText(data, length));
        }
    }
};

class RawClient {
  public:
    explicit RawClient(int port) : socket_(new SocketClient("127.0.0.1", port)) {
        socket_->SetReceiveLimit(60000);
    }
    // Sends type with text and its NUL as payload.
    bool Send(uint16_t type, const std::string& text) {
        std::string frame;
        wire::AppendFrame(type, text.c_str(), text.size() + 1, &frame);
        return SendRaw(std::vector<uint8_t>(frame.begin(), frame.end()));
    }
    bool SendRaw(const std::vector<uint8_t>& bytes) {
        return socket_->SendBytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()) ==
               static_cast<int64_t>(bytes.size());
    }
    // Reads packets until PACKET_END, the end of the stream, a bad frame, or
    // 60 s of silence.
    Answer Read() {
        Answer answer;
        while (!answer.ended) {
            wire::Frame frame;
            const wire::FrameReader::Status status = reader_.Next(&frame);
            if (status == wire::FrameReader::Status::kFrame) {
                answer.Add(frame.type, frame.data, frame.length);
            } else if (status != wire::FrameReader::Status::kNeedMore || !Receive()) {
                return answer;
            }
        }
        return answer;
    }
    Answer Exchange(uint16_t type, const std::string& text) {
        return Send(type, text) ? Read() : Answer();
    }
    // True when the server closes the stream before sending anything more.
    bool SeesClose() {
        if (reader_.Buffered() > 0) {
            return false;
        }
        size_t room = 0;
        char* space = reader_.Space(&room);
        size_t received = 0;
        return space && !socket_->ReceiveBytes(space, room, &received);  // a time-out is not one
    }
    void Close() { socket_->Close(); }

  private:
    // One read of the stream into the reader; false when it ended or the
    // wait timed out.
    bool Receive() {
        size_t room = 0;
        char* space = reader_.Space(&room);
        size_t received = 0;
        if (!space || !socket_->ReceiveBytes(space, room, &received)) {
            return false;
        }
        reader_.Filled(received);
        return received > 0;
    }

    std::unique_ptr<SocketClient> socket_;
    wire::FrameReader reader_;
};

}  // namespace test
}  // namespace vrelay

#endif
