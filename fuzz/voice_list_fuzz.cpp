// SPDX-License-Identifier: MIT
// Fuzzes the voice-list parse and walk with arbitrary query replies: no
// crash, no leak, no unbounded recursion; every voice reads back, and every
// attribute as a string or an integer that is no result code.
#include <vrelay/vrelay.h>

#include <cstdint>

#include "client/voices.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vrelay::NameEnumerator voices;
    const bool parsed = voices.ParseVoiceList(reinterpret_cast<const char*>(data), size);
    if (!parsed) {
        FuzzCheck(voices.Count() == 0);
        return 0;
    }
    size_t walked = 0;
    while (const char* name = voices.Next()) {
        FuzzCheck(name == voices.Name(walked));
        for (int32_t key = 0; key <= VR_LANGUAGES + 1; ++key) {
            const char* value = voices.StringValue(key);
            FuzzCheck((value != nullptr) == (key >= VR_VOICE_ID && key <= VR_LANGUAGES));
            const int32_t number = voices.IntegerValue(key);
            FuzzCheck(key == VR_SAMPLE_RATE || key == VR_SAMPLE_BITS ? number >= 0
                                                                     : number == VR_BAD_KEY);
        }
        ++walked;
    }
    FuzzCheck(walked == voices.Count());
    return 0;
}
