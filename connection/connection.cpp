// SPDX-License-Identifier: MIT
#include "connection/connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "textproc/tokeniser/tpc.h"
#include "transport/log.h"
#include "transport/packet.h"

namespace vrelay {

namespace {

// Starting back-off of the receive loop; an idle turn sleeps back-off / 100 ms
// and doubles it up to the first value above 999.
constexpr int kConnectionWaitSleepTime = 10;

}  // namespace

Connection::Connection() {
    m_channel = KVTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", 3);
}

Connection::~Connection() {
    Close();
    if (m_channel) {
        KVTP_tpc_delete(m_channel);
        m_channel = nullptr;
    }
    std::free(m_tokeniserUserData);
    m_tokeniserUserData = nullptr;
}

bool Connection::Connect(const char* host, int port) {
    m_host = host ? host : "";
    m_port = port;
    if (!m_wakeOwner) {
        auto wake = std::make_unique<WakeSignal>();
        if (!wake->Valid()) {
            return false;
        }
        m_wakeOwner = std::move(wake);
        m_wake.store(m_wakeOwner.get());
        // A quit set before the signal existed could not raise it.
        if (GetQuitFlag()) {
            m_wakeOwner->Raise();
        }
    }
    auto socket = std::make_unique<SocketClient>(m_host, port);
    if (!socket->IsOpen()) {
        return false;
    }
    Close();
    m_socket = std::move(socket);
    m_socket->SetWakeSignal(m_wakeOwner.get());
    m_input.SetSource(m_socket.get());
    m_requestMode = 0;
    return true;
}

bool Connection::Close() {
    if (!m_socket) {
        return false;
    }
    m_input.SetSource(nullptr);
    m_input.ReleaseIfEmpty();
    m_socket->Close();
    m_socket.reset();
    return true;
}

void Connection::SetQuitFlag(bool quit) {
    m_quit.store(quit);
    WakeSignal* wake = m_wake.load();
    if (!wake) {
        return;
    }
    if (quit) {
        wake->Raise();
    } else {
        wake->Clear();
    }
}

Socket* Connection::Outgoing() {
    if (m_socket) {
        m_socket->SetSendLimit(m_packetTimeout);
    }
    return m_socket.get();
}

bool Connection::SendQuery(const char* query) {
    if (!m_socket) {
        return false;
    }
    const size_t length = std::strlen(query) + 1;
    if (length > kMaxPayload) {
        VR_LOG(logERROR) << "vrelay send error, packet too big for packet type " << PACKET_QUERY
                         << " length is " << length;
        return false;
    }
    Packet packet(m_streamId, PACKET_QUERY,
                  reinterpret_cast<unsigned char*>(const_cast<char*>(query)),
                  static_cast<uint32_t>(length), false);
    return packet.SendData(Outgoing());
}

bool Connection::CloseStreamSocket() {
    if (!m_socket) {
        return false;
    }
    Packet packet(m_streamId, PACKET_CLOSE, nullptr, 0, false);
    return packet.SendData(Outgoing());
}

int32_t Connection::Deliver(PACKET_TYPE type, void* data, int32_t length) {
    void* userData = m_userData.load();
    if (vrCallBack callback = m_callBack.load()) {
        return callback(userData, type, data, length);
    }
    if (vrPascalCallBack callback = m_pascalCallBack.load()) {
        return callback(userData, type, data, length);
    }
    return VR_SUCCESS;
}

void Connection::FireEvent(PACKET_TYPE type) {
    if (type != PACKET_REQUEST_DONE && GetQuitFlag()) {
        return;
    }
    Deliver(type, nullptr, 0);
}

bool Connection::WaitForEndPacket(PacketSink& sink) {
    if (!m_socket) {
        RecordFailure(RequestFailure::kReply);
        return false;
    }
    const bool answered = ReadAnswer(sink);
    // A connection between requests holds no read buffer.
    m_input.ReleaseIfEmpty();
    if (!answered) {
        RecordFailure(RequestFailure::kReply);
    }
    return answered;
}

bool Connection::ReadAnswer(PacketSink& sink) {
    auto packet = std::make_unique<Packet>();
    int64_t start = GetCurrentTicks();
    int backOff = kConnectionWaitSleepTime;
    int received = 0;

    for (;;) {
        if (GetQuitFlag()) {
            return true;
        }
        // Wait no longer for the next byte than what is left of the packet's
        // time, so that a silent server ends the wait, and one that drips
        // bytes cannot stretch a packet beyond it; the extra millisecond
        // makes the elapsed time exceed the timeout when the limit is what
        // ended the wait.
        if (m_packetTimeout >= 0) {
            const int64_t elapsed = GetTickDifference(start, GetCurrentTicks());
            const int64_t left = std::max<int64_t>(0, m_packetTimeout - elapsed) + 1;
            m_socket->SetReceiveLimit(static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
        } else {
            m_socket->SetReceiveLimit(-1);
        }
        if (!packet->GetData(&m_input, &received)) {
            return false;
        }
        if (!packet->FilledPacket()) {
            if (m_packetTimeout >= 0 &&
                GetTickDifference(start, GetCurrentTicks()) > m_packetTimeout) {
                VR_LOG(logWARNING) << "vrelay packet receive from server timed out after "
                                   << m_packetTimeout << "ms";
                return false;
            }
            if (received != 0) {
                continue;
            }
            if (backOff <= 999) {
                backOff *= 2;
            }
            SleepMilliseconds(static_cast<uint32_t>(backOff / 100));
            continue;
        }
        if (!packet->OK()) {
            VR_LOG(logERROR) << "vrelay packet receive error";
            return false;
        }

        const uint16_t type = packet->PacketType();
        switch (type) {
            case PACKET_END:
                return true;
            case PACKET_CLOSE:
                VR_LOG(logWARNING) << "the server has closed the connection to the vrelay client";
                return false;
            case PACKET_PHONEME: {
                PhonemePacketData record;
                if (!record.Deserialize(packet->Data(), packet->Length())) {
                    VR_LOG(logWARNING)
                        << "malformed phoneme packet of length " << packet->Length() << " dropped";
                    break;
                }
                if (GetQuitFlag()) {
                    break;
                }
                PhonemeEvent event{};
                event.phone = reinterpret_cast<const char*>(record.m_phone);
                event.first = record.m_first;
                event.next_phone = reinterpret_cast<const char*>(record.m_nextPhone);
                event.value1 = record.m_values[0];
                event.value2 = record.m_values[1];
                event.value3 = record.m_values[2];
                event.value4 = record.m_values[3];
                event.value5 = record.m_values[4];
                event.value6 = record.m_values[5];
                event.value7 = record.m_values[6];
                event.size = static_cast<int32_t>(sizeof(PhonemeEvent));
                if (sink.Deliver(PACKET_PHONEME, &event, event.size) != VR_SUCCESS) {
                    VR_LOG(logWARNING)
                        << "callback did not return VR_SUCCESS, skipping remaining packets";
                    return false;
                }
                break;
            }
            case PACKET_DATA_6:
            case PACKET_DATA_8:
            case PACKET_DATA_9:
            case PACKET_DATA_10:
            case PACKET_QUERY:
                if (GetQuitFlag()) {
                    break;
                }
                if (sink.Deliver(static_cast<PACKET_TYPE>(type), packet->Data(),
                                 static_cast<int32_t>(packet->Length())) != VR_SUCCESS) {
                    VR_LOG(logWARNING)
                        << "callback did not return VR_SUCCESS, skipping remaining packets";
                    return false;
                }
                break;
            default:
                VR_LOG(logWARNING) << "unhandled packet type " << type;
                break;
        }

        // No pause between packets: the next turn reads what is buffered or
        // waits in the socket, and a cancel is seen at the top of the turn.
        start = GetCurrentTicks();
        packet = std::make_unique<Packet>();
    }
}

void Connection::SetTokeniserCallBack(TokeniserCallBack text, TokeniserCallBack application,
                                      void* userData) {
    if (m_tokeniserUserData != userData) {
        std::free(m_tokeniserUserData);
    }
    m_tokeniserUserData = userData;
    if (m_channel) {
        KVTP_tpc_set_text_callback(m_channel, text, userData);
        KVTP_tpc_set_application_callback(m_channel, application, userData);
    }
}

void Connection::ClearTokeniserCallBack() {
    if (m_channel) {
        KVTP_tpc_set_text_callback(m_channel, nullptr, nullptr);
        KVTP_tpc_set_application_callback(m_channel, nullptr, nullptr);
    }
}

bool Connection::SendText(const char* text, bool xml, bool final) {
    if (!m_socket) {
        return false;
    }
    m_tokenised.clear();
    if (m_channel) {
        KVTP_tpc_process(m_channel, text ? text : "", -1, final ? 1 : 0);
    }
    if (Abandoned()) {
        // Cancelled, or an answer failed, while the pieces went out: send
        // nothing more. The request reports which from the quit flag and
        // Failure().
        m_inputLength = 0;
        return m_failure == RequestFailure::kNone;
    }
    return SendData(m_tokenised, xml, final);
}

bool Connection::SendTextPacket(uint16_t type, const char* text, size_t length) {
    std::vector<unsigned char> payload(length + 1);
    std::memcpy(payload.data(), text, length);
    payload[length] = '\0';
    Packet packet(m_streamId, type, payload.data(), static_cast<uint32_t>(payload.size()), false);
    if (!packet.SendData(Outgoing())) {
        RecordFailure(RequestFailure::kSend);
        return false;
    }
    return true;
}

bool Connection::SendData(const std::string& text, bool xml, bool final) {
    if (!m_socket) {
        RecordFailure(RequestFailure::kSend);
        return false;
    }
    size_t position = 0;
    size_t remaining = text.size();
    m_inputLength = static_cast<uint32_t>(remaining);
    if (remaining > kMaxTextPerPacket) {
        VR_LOG(logWARNING)
            << "Input is too big for text packet, splitting tokeniser output into chunks";
        do {
            const size_t chunk = std::min(remaining, kMaxTextPerPacket);
            VR_LOG(logDEBUG3) << "Sending text chunk of length " << chunk;
            m_inputLength = static_cast<uint32_t>(chunk);
            m_requestMode = xml ? 1 : 2;
            if (!SendTextPacket(PACKET_TEXT_CHUNK, text.data() + position, chunk)) {
                VR_LOG(logERROR) << "error sending text chunk";
                return false;
            }
            if (!WaitForEndPacket()) {
                VR_LOG(logERROR) << "error processing connection data or callback cancelled";
                return false;
            }
            position += kMaxTextPerPacket;
            remaining = text.size() - position;
        } while (remaining > kMaxTextPerPacket);
        m_inputLength = static_cast<uint32_t>(remaining);
    }
    if (final) {
        VR_LOG(logDEBUG3) << "input text is length " << remaining;
        m_requestMode = 0;
        return SendTextPacket(PACKET_TEXT, text.data() + position, remaining);
    }
    if (m_inputLength == 0) {
        return true;
    }
    VR_LOG(logDEBUG3) << "input text stream is length " << remaining;
    m_requestMode = xml ? 1 : 2;
    return SendTextPacket(PACKET_TEXT_CHUNK, text.data() + position, remaining);
}

void Connection::TokeniseTextTP(const char* text, bool /*xml*/, bool final) {
    m_tokenised.clear();
    if (m_channel) {
        KVTP_tpc_process(m_channel, text ? text : "", -1, final ? 1 : 0);
    }
}

void Connection::TokeniseText(const char* text, bool xml, bool final) {
    m_lexer.TokeniseText(text, xml, final, m_requestMode, &m_tokenised);
}

int Connection::TokeniseChunk(const std::string& buffer, int limit, int xml) {
    return m_lexer.TokeniseChunk(buffer, limit, xml, &m_tokenised);
}

}  // namespace vrelay
