// SPDX-License-Identifier: MIT
// Fuzzes the phoneme payload decoder with the payload of a received frame:
// it must read nothing outside the payload, accept only records whose names
// end inside their fields, and a record it accepts must survive being
// written and read again.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "wire/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > vrelay::kMaxPayload)
        return 0;
    // An exact-size copy, so that any read past the payload is caught.
    std::unique_ptr<unsigned char[]> payload(new unsigned char[size ? size : 1]);
    if (size)
        std::memcpy(payload.get(), data, size);
    const unsigned char* end = payload.get() + size;

    vrelay::PhonemePacketData record;
    if (!record.Deserialize(size ? payload.get() : nullptr, static_cast<uint32_t>(size)))
        return 0;

    // What the receive loop hands the application: both names are strings
    // that end inside the payload.
    for (const unsigned char* name : {record.m_phone, record.m_nextPhone}) {
        FuzzCheck(name >= payload.get() && name < end);
        const void* nul = std::memchr(name, 0, static_cast<size_t>(end - name));
        FuzzCheck(nul != nullptr);
    }
    FuzzCheck(record.m_phone + record.m_phoneLength == record.m_nextPhone);
    FuzzCheck(record.Length() == record.m_phoneLength + record.m_nextPhoneLength + 46);

    // Written again from its parts, the record reads back with the same
    // numbers and, where the wire form keeps whole names, the same names.
    vrelay::PhonemePacketData copy(record.m_first, record.m_phone, record.m_nextPhone,
                                   record.m_values[0], record.m_values[1], record.m_values[2],
                                   record.m_values[3], record.m_values[4], record.m_values[5],
                                   record.m_values[6]);
    unsigned char* wire = copy.Data();
    vrelay::PhonemePacketData reread;
    FuzzCheck(reread.Deserialize(wire, copy.Length()));
    FuzzCheck(reread.m_first == record.m_first);
    for (int k = 0; k < 7; ++k)
        FuzzCheck(reread.m_values[k] == record.m_values[k]);
    const auto whole = [](const unsigned char* name) {
        return vrelay::PhonemePacketData::FieldSize(name) ==
               std::strlen(reinterpret_cast<const char*>(name)) + 1;
    };
    if (whole(record.m_phone))
        FuzzCheck(std::strcmp(reinterpret_cast<const char*>(reread.m_phone),
                              reinterpret_cast<const char*>(record.m_phone)) == 0);
    if (whole(record.m_phone) && whole(record.m_nextPhone))
        FuzzCheck(std::strcmp(reinterpret_cast<const char*>(reread.m_nextPhone),
                              reinterpret_cast<const char*>(record.m_nextPhone)) == 0);
    return 0;
}
