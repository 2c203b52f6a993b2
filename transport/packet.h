// SPDX-License-Identifier: MIT
// Packets: the frame (type, stream id, length, payload, length again; all
// big-endian) and the structured phoneme payload.
//
// A Packet built for sending writes its frame with SendData. A Packet read from
// a stream is filled by repeated GetData calls, each taking only the bytes still
// missing from the current field, so a reader never consumes the next frame.
#ifndef VRELAY_TRANSPORT_PACKET_H
#define VRELAY_TRANSPORT_PACKET_H

#include <cstdint>

#include "transport/byte_io.h"

namespace vrelay {

constexpr uint32_t kMaxPayload = 64000;
constexpr uint32_t kFrameOverhead = 14;

// Base of structured payloads: Data() serialises into an owned buffer.
class PacketData {
  public:
    PacketData() = default;
    virtual ~PacketData();
    PacketData(const PacketData&) = delete;
    PacketData& operator=(const PacketData&) = delete;

    virtual void Serialize(unsigned char* buffer) = 0;
    virtual void Deserialize(unsigned char* buffer) = 0;

    // Replaces the buffer by a zero-filled one of Length() bytes, serialises
    // into it and returns it (owned by this object).
    unsigned char* Data();
    uint32_t Length() const { return m_length; }

  protected:
    uint32_t m_length = 0;
    unsigned char* m_buffer = nullptr;
};

// One phoneme record:
//   first(4) N1(4) N2(4) phone[N1] next[N2] value1..value7 (4 each) zero(6)
// Names are not copied: they point into the caller's (or the payload's) bytes.
class PhonemePacketData : public PacketData {
  public:
    PhonemePacketData();
    PhonemePacketData(int32_t first, const unsigned char* phone, const unsigned char* nextPhone,
                      int32_t value1, int32_t value2, int32_t value3, int32_t value4,
                      int32_t value5, int32_t value6, int32_t value7);

    // Size on the wire of a name's field, its NUL included: strlen + 1, except
    // that a name of 3 or more bytes whose second-to-last byte is a digit or a
    // space loses its last two bytes (strlen - 1).
    static uint32_t FieldSize(const unsigned char* name);

    void SetNextPhoneme(const unsigned char* nextPhone);
    void UpdateLength();  // Length() = N1 + N2 + 46

    void Serialize(unsigned char* buffer) override;
    // Trusting form: reads first, N1, N2, the names and value 1; values 2-7 = 0.
    void Deserialize(unsigned char* buffer) override;
    // The form for received payloads. Values 2-7 are read only if all their
    // bytes are inside the payload (else 0). False, with nothing read past
    // the payload, when the fixed fields, the names or value 1 do not fit, or
    // a name field is not NUL-terminated inside its bytes.
    bool Deserialize(unsigned char* buffer, uint32_t length);

    int32_t m_first = 0;
    uint32_t m_phoneLength = 0;
    uint32_t m_nextPhoneLength = 0;
    const unsigned char* m_phone = nullptr;
    const unsigned char* m_nextPhone = nullptr;
    int32_t m_values[7] = {0, 0, 0, 0, 0, 0, 0};
};

class Packet {
  public:
    // An empty packet to read into.
    Packet();
    // A packet to send; takes ownership of data only if ownsData.
    Packet(int32_t streamId, uint16_t type, unsigned char* data, uint32_t length, bool ownsData);
    // A packet to send whose payload is serialised from payload (owned).
    Packet(int32_t streamId, uint16_t type, PacketData* payload);
    virtual ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    unsigned char* Data() { return m_data; }
    uint32_t Length() const { return m_length; }
    uint16_t PacketType() const { return m_type; }
    int32_t StreamId() const { return m_streamId; }

    // All four trailer bytes have been read.
    bool FilledPacket() const { return m_trailerReceived == 4; }
    // Complete, and the trailer length equals the header length.
    bool OK() const { return FilledPacket() && m_trailerLength == m_length; }

    void SerializeData();

    // Writes the frame with one SendPieces of its five fields. False, with an
    // ERROR log line naming the field in which sending failed; false before
    // sending anything when the payload is over kMaxPayload.
    bool SendData(ByteSink* sink);

    // Reads as much of the frame as the source gives. *received: bytes of the
    // last read of this call (0 when nothing came or the frame was complete).
    // False on a receive failure, or on a header length over kMaxPayload
    // (ERROR log line).
    bool GetData(ByteSource* source, int* received);

  private:
    uint16_t m_type = 0;
    int32_t m_streamId = 0;
    uint32_t m_length = 0;
    unsigned char* m_data = nullptr;
    uint16_t m_headerReceived = 0;
    uint16_t m_dataReceived = 0;
    uint32_t m_trailerLength = 0;
    uint16_t m_trailerReceived = 0;
    PacketData* m_payload = nullptr;
    bool m_ownsData = false;
    unsigned char m_header[10] = {};
    unsigned char m_trailer[4] = {};
};

}  // namespace vrelay

#endif
