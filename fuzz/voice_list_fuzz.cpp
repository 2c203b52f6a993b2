// Fuzzes the voice-list parse and walk with arbitrary query replies: no
// crash, no leak, no unbounded recursion; the names and the voices stay in
// step, and every attribute reads back as a string.
#include <vrelay/vrelay.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "client/voices.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vrelay::NameEnumerator voices;
    const bool parsed = voices.ParseVoiceList(reinterpret_cast<const char*>(data), size);
    FuzzCheck(voices.m_names.size() == voices.m_voices.size());
    if (!parsed) {
        FuzzCheck(voices.Count() == 0);
        return 0;
    }
    size_t walked = 0;
    while (const char* name = voices.Next()) {
        FuzzCheck(std::strcmp(name, voices.m_names[walked].c_str()) == 0);
        const vrelay::NamedVoiceInfo* voice = voices.Current();
        FuzzCheck(voice == voices.m_voices[walked].get());
        for (int32_t key = 0; key <= VR_COUNTRY_CODE_ISO + 1; ++key) {
            if (const std::string* value = voice->StringValue(key))
                FuzzCheck(std::strlen(value->c_str()) <= value->size());
        }
        ++walked;
    }
    FuzzCheck(walked == voices.Count());
    return 0;
}
