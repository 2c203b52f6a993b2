#include "tests/server/raw_client.h"

#include "client/vrelay.h"
#include "transport/log.h"
#include "transport/packet.h"

namespace vrelay {
namespace test {

std::vector<std::string> Answer::MarkNames() const {
    std::vector<std::string> names;
    for (const auto& m : marks) {
        names.push_back(m.name);
    }
    return names;
}

RawClient::RawClient(int port) : socket_(new SocketClient("127.0.0.1", port)) {
    socket_->SetReceiveLimit(60000);
}

bool RawClient::Send(uint16_t type, const std::string& text) {
    std::vector<unsigned char> payload(text.begin(), text.end());
    payload.push_back(0);
    Packet packet(0, type, payload.data(), static_cast<uint32_t>(payload.size()), false);
    return packet.SendData(socket_.get());
}

bool RawClient::SendEmpty(uint16_t type) {
    Packet packet(0, type, nullptr, 0, false);
    return packet.SendData(socket_.get());
}

bool RawClient::SendRaw(const std::vector<uint8_t>& bytes) {
    return socket_->SendBytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()) ==
           static_cast<int64_t>(bytes.size());
}

Answer RawClient::Read() {
    Answer answer;
    for (;;) {
        Packet packet;
        while (!packet.FilledPacket()) {
            int received = 0;
            if (!packet.GetData(socket_.get(), &received) || received == 0) {
                answer.closed = true;  // closed, failed, or the 60 s limit passed
                return answer;
            }
        }
        const uint16_t type = packet.PacketType();
        answer.types.push_back(type);
        unsigned char* data = packet.Data();
        const uint32_t length = packet.Length();
        switch (type) {
            case PACKET_END:
                answer.ended = true;
                return answer;
            case PACKET_DATA_9: {
                server::AudioFormat format;
                if (server::DecodeFormat(data, length, &format)) {
                    answer.formats.push_back(format);
                }
                break;
            }
            case PACKET_DATA_6: {
                auto samples = server::DecodeAudio(data, length);
                answer.audio.insert(answer.audio.end(), samples.begin(), samples.end());
                break;
            }
            case PACKET_DATA_8: {
                server::MarkReached mark;
                if (server::DecodeMark(data, length, &mark)) {
                    answer.marks.push_back(mark);
                    answer.audio_before_mark.push_back(answer.audio.size());
                }
                break;
            }
            case PACKET_PHONEME: {
                PhonemePacketData record;
                if (record.Deserialize(data, length)) {
                    PhonemeRecord p;
                    p.start = record.m_first;
                    p.name = reinterpret_cast<const char*>(record.m_phone);
                    p.next = reinterpret_cast<const char*>(record.m_nextPhone);
                    p.duration = record.m_values[0];
                    p.rate = record.m_values[1];
                    answer.phonemes.push_back(p);
                }
                break;
            }
            case PACKET_DATA_10:
                answer.messages.push_back(server::DecodeText(data, length));
                break;
            case PACKET_QUERY:
                answer.query += server::DecodeText(data, length);
                break;
            default:
                break;
        }
    }
}

Answer RawClient::Exchange(uint16_t type, const std::string& text) {
    if (!Send(type, text)) {
        Answer failed;
        failed.closed = true;
        return failed;
    }
    return Read();
}

bool RawClient::SeesClose() {
    Packet packet;
    int received = 0;
    // A close shows as a failed read; a packet or a time-out is not one.
    return !packet.GetData(socket_.get(), &received);
}

LogSilencer::LogSilencer() : saved_(Output2FILE::Stream()) {
    Output2FILE::SetStream(nullptr);
}

LogSilencer::~LogSilencer() {
    Output2FILE::SetStream(saved_);
}

std::vector<uint8_t> Frame(uint16_t type, const std::vector<uint8_t>& payload, uint32_t length,
                           uint32_t trailer) {
    std::vector<uint8_t> frame;
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type));
    frame.insert(frame.end(), 4, 0);
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<uint8_t>(length >> shift));
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<uint8_t>(trailer >> shift));
    }
    return frame;
}

}  // namespace test
}  // namespace vrelay
