// SPDX-License-Identifier: MIT
#include "transport/packet.h"

#include <cctype>
#include <cstring>

#include "transport/log.h"

namespace vrelay {

namespace {

// Wire integers are big-endian, whatever the host's byte order.
void PutU32(unsigned char* at, uint32_t value) {
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

uint32_t GetU32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

int32_t GetI32(const unsigned char* at) {
    return static_cast<int32_t>(GetU32(at));
}

}  // namespace

// ---- PacketData ----

PacketData::~PacketData() {
    delete[] m_buffer;
}

unsigned char* PacketData::Data() {
    delete[] m_buffer;
    // One spare byte so a zero-length payload still has a buffer.
    m_buffer = new unsigned char[m_length + 1]();
    Serialize(m_buffer);
    return m_buffer;
}

// ---- PhonemePacketData ----

PhonemePacketData::PhonemePacketData() = default;

PhonemePacketData::PhonemePacketData(int32_t first, const unsigned char* phone,
                                     const unsigned char* nextPhone, int32_t value1, int32_t value2,
                                     int32_t value3, int32_t value4, int32_t value5, int32_t value6,
                                     int32_t value7)
    : m_first(first),
      m_phoneLength(FieldSize(phone)),
      m_nextPhoneLength(FieldSize(nextPhone)),
      m_phone(phone),
      m_nextPhone(nextPhone),
      m_values{value1, value2, value3, value4, value5, value6, value7} {
    UpdateLength();
}

uint32_t PhonemePacketData::FieldSize(const unsigned char* name) {
    if (name == nullptr) {
        return 1;  // just the NUL
    }
    const size_t n = std::strlen(reinterpret_cast<const char*>(name));
    if (n + 1 > 3) {
        const unsigned char c = name[n - 2];
        if (std::isdigit(c) || c == ' ') {
            // Such a name ends in a two-byte suffix that the wire form
            // leaves out.
            return static_cast<uint32_t>(n - 1);
        }
    }
    return static_cast<uint32_t>(n + 1);
}

void PhonemePacketData::SetNextPhoneme(const unsigned char* nextPhone) {
    m_nextPhone = nextPhone;
    m_nextPhoneLength = FieldSize(nextPhone);
    UpdateLength();
}

void PhonemePacketData::UpdateLength() {
    m_length = m_phoneLength + m_nextPhoneLength + 46;
}

void PhonemePacketData::Serialize(unsigned char* buffer) {
    PutU32(buffer, static_cast<uint32_t>(m_first));
    PutU32(buffer + 4, m_phoneLength);
    PutU32(buffer + 8, m_nextPhoneLength);
    unsigned char* at = buffer + 12;
    const unsigned char* names[2] = {m_phone, m_nextPhone};
    const uint32_t sizes[2] = {m_phoneLength, m_nextPhoneLength};
    for (int i = 0; i < 2; ++i) {
        if (sizes[i] == 0) {
            continue;
        }
        if (names[i] != nullptr) {
            // Copy no more than the name holds: a field size set by hand may
            // exceed strlen + 1.
            size_t available = std::strlen(reinterpret_cast<const char*>(names[i])) + 1;
            std::memcpy(at, names[i], available < sizes[i] ? available : sizes[i]);
        }
        at[sizes[i] - 1] = 0;
        at += sizes[i];
    }
    for (int32_t value : m_values) {
        PutU32(at, static_cast<uint32_t>(value));
        at += 4;
    }
    // The six trailing bytes are left as the zero fill of the buffer.
}

void PhonemePacketData::Deserialize(unsigned char* buffer) {
    m_first = GetI32(buffer);
    m_phoneLength = GetU32(buffer + 4);
    m_nextPhoneLength = GetU32(buffer + 8);
    m_phone = buffer + 12;
    m_nextPhone = buffer + 12 + m_phoneLength;
    m_values[0] = GetI32(buffer + 12 + m_phoneLength + m_nextPhoneLength);
    for (int k = 1; k < 7; ++k) {
        m_values[k] = 0;
    }
    UpdateLength();
}

bool PhonemePacketData::Deserialize(unsigned char* buffer, uint32_t length) {
    if (buffer == nullptr || length < 12) {
        return false;
    }
    const uint32_t n1 = GetU32(buffer + 4);
    const uint32_t n2 = GetU32(buffer + 8);
    // 64-bit sums: n1 + n2 alone can overflow 32 bits.
    const uint64_t p = 12ull + n1 + n2;
    if (n1 == 0 || n2 == 0 || p + 4 > length) {
        return false;
    }
    // Each name must end in its field, so string reads stay inside it.
    if (buffer[12 + n1 - 1] != 0 || buffer[p - 1] != 0) {
        return false;
    }
    m_first = GetI32(buffer);
    m_phoneLength = n1;
    m_nextPhoneLength = n2;
    m_phone = buffer + 12;
    m_nextPhone = buffer + 12 + n1;
    m_values[0] = GetI32(buffer + p);
    // A sender may write fewer values: the missing ones read as 0.
    bool present = true;
    for (int k = 1; k < 7; ++k) {
        present = present && p + 4u * k + 4 <= length;
        m_values[k] = present ? GetI32(buffer + p + 4u * k) : 0;
    }
    UpdateLength();
    return true;
}

// ---- Packet ----

Packet::Packet() = default;

Packet::Packet(int32_t streamId, uint16_t type, unsigned char* data, uint32_t length, bool ownsData)
    : m_type(type),
      m_streamId(streamId),
      m_length(length),
      m_data(data),
      m_trailerLength(length),
      m_ownsData(ownsData) {}

Packet::Packet(int32_t streamId, uint16_t type, PacketData* payload)
    : m_type(type), m_streamId(streamId), m_payload(payload) {
    SerializeData();
}

Packet::~Packet() {
    if (m_ownsData) {
        delete[] m_data;
    }
    delete m_payload;
}

void Packet::SerializeData() {
    if (m_payload == nullptr) {
        return;
    }
    if (m_ownsData) {
        delete[] m_data;
        m_ownsData = false;
    }
    m_data = m_payload->Data();
    m_length = m_payload->Length();
    m_trailerLength = m_length;
}

bool Packet::SendData(ByteSink* sink) {
    SerializeData();
    if (m_length > kMaxPayload) {
        VR_LOG(logERROR) << "vrelay send error, packet too big for packet type " << m_type
                         << " length is " << m_length;
        return false;
    }
    unsigned char type[2];
    type[0] = static_cast<unsigned char>(m_type >> 8);
    type[1] = static_cast<unsigned char>(m_type);
    unsigned char stream[4];
    PutU32(stream, static_cast<uint32_t>(m_streamId));
    unsigned char length[4];
    PutU32(length, m_length);

    const BytePiece pieces[] = {
        {reinterpret_cast<const char*>(type), 2},
        {reinterpret_cast<const char*>(stream), 4},
        {reinterpret_cast<const char*>(length), 4},
        {reinterpret_cast<const char*>(m_data), m_length},
        {reinterpret_cast<const char*>(length), 4},
    };
    const char* const names[] = {"net_packet_type", "net_stream_id", "net_packet_length (1)",
                                 "m_data", "net_packet_length (2)"};
    constexpr size_t kCount = sizeof pieces / sizeof pieces[0];
    const size_t total = kFrameOverhead + static_cast<size_t>(m_length);
    // The whole frame goes to the sink at once, so that it can leave in one
    // system call and as few segments as its size allows.
    const size_t sent = sink->SendPieces(pieces, kCount);
    if (sent == total) {
        return true;
    }
    // Name the field in which the send broke off.
    size_t end = 0;
    size_t failed = 0;
    while (failed + 1 < kCount && (end += pieces[failed].size) <= sent) {
        ++failed;
    }
    VR_LOG(logERROR) << "error sending " << names[failed] << " for packet of type " << m_type;
    return false;
}

bool Packet::GetData(ByteSource* source, int* received) {
    *received = 0;
    // One read of the bytes still missing from a field (never more, so the
    // next frame stays in the stream). False on a receive failure.
    auto read_field = [&](unsigned char* field, size_t size, size_t have, size_t* got) {
        size_t n = 0;
        if (!source->ReceiveBytes(reinterpret_cast<char*>(field + have), size - have, &n)) {
            return false;
        }
        *got = n;
        *received = static_cast<int>(n);
        return true;
    };

    // Header: type (bytes 0-1), stream id (2-5), length (6-9).
    static const uint16_t kFieldEnd[3] = {2, 6, 10};
    for (int f = 0; f < 3; ++f) {
        if (m_headerReceived >= kFieldEnd[f]) {
            continue;
        }
        size_t got = 0;
        if (!read_field(m_header, kFieldEnd[f], m_headerReceived, &got)) {
            return false;
        }
        m_headerReceived = static_cast<uint16_t>(m_headerReceived + got);
        if (m_headerReceived < kFieldEnd[f]) {
            return true;
        }
        if (f == 0) {
            m_type = static_cast<uint16_t>(m_header[0] << 8 | m_header[1]);
        } else if (f == 1) {
            m_streamId = GetI32(m_header + 2);
        } else {
            m_length = GetU32(m_header + 6);
            if (m_length > kMaxPayload) {
                VR_LOG(logERROR) << "vrelay receive error, packet too big for packet type "
                                 << m_type << " length is " << m_length;
                return false;
            }
            if (m_ownsData) {
                delete[] m_data;
            }
            // One spare byte so a zero-length payload still has a buffer.
            m_data = new unsigned char[m_length + 1]();
            m_ownsData = true;
        }
    }

    if (m_dataReceived < m_length) {
        size_t got = 0;
        if (!read_field(m_data, m_length, m_dataReceived, &got)) {
            return false;
        }
        m_dataReceived = static_cast<uint16_t>(m_dataReceived + got);
        if (m_dataReceived < m_length) {
            return true;
        }
    }

    if (m_trailerReceived < 4) {
        size_t got = 0;
        if (!read_field(m_trailer, 4, m_trailerReceived, &got)) {
            return false;
        }
        m_trailerReceived = static_cast<uint16_t>(m_trailerReceived + got);
        if (m_trailerReceived < 4) {
            return true;
        }
        m_trailerLength = GetU32(m_trailer);
    }
    return true;
}

}  // namespace vrelay
