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
#include "wire/frame.h"
#include "wire/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using vrelay::wire::Phoneme;
    if (size > vrelay::wire::kMaxPayload)
        return 0;
    // An exact-size copy, so that any read past the payload is caught.
    std::unique_ptr<unsigned char[]> payload(new unsigned char[size ? size : 1]);
    if (size)
        std::memcpy(payload.get(), data, size);
    const char* begin = reinterpret_cast<const char*>(payload.get());
    const char* end = begin + size;

    Phoneme record;
    if (!vrelay::wire::DecodePhoneme(size ? payload.get() : nullptr, size, &record))
        return 0;

    // What the receive loop hands the application: both names are strings
    // that end inside the payload, the first before the second.
    for (const char* name : {record.phone, record.next_phone}) {
        FuzzCheck(name >= begin && name < end);
        FuzzCheck(std::memchr(name, 0, static_cast<size_t>(end - name)) != nullptr);
    }
    FuzzCheck(record.phone < record.next_phone);

    // Written again from its parts, the record reads back with the same
    // numbers and, where the wire form keeps whole names, the same names.
    const std::vector<unsigned char> wire = vrelay::wire::EncodePhoneme(record);
    Phoneme reread;
    FuzzCheck(vrelay::wire::DecodePhoneme(wire.data(), wire.size(), &reread));
    FuzzCheck(reread.first == record.first);
    for (int k = 0; k < 7; ++k)
        FuzzCheck(reread.values[k] == record.values[k]);
    const auto whole = [](const char* name) {
        return vrelay::wire::PhonemeFieldSize(name) == std::strlen(name) + 1;
    };
    if (whole(record.phone))
        FuzzCheck(std::strcmp(reread.phone, record.phone) == 0);
    if (whole(record.phone) && whole(record.next_phone))
        FuzzCheck(std::strcmp(reread.next_phone, record.next_phone) == 0);
    return 0;
}
