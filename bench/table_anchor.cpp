// SPDX-License-Identifier: MIT
#include "table_anchor.h"

namespace {

uint8_t g_ulaw[65536];
uint8_t g_alaw[65536];

}  // namespace

extern "C" {

void AnchorFillTables(uint8_t (*ulaw)(int16_t), uint8_t (*alaw)(int16_t)) {
    for (int32_t s = INT16_MIN; s <= INT16_MAX; ++s) {
        g_ulaw[static_cast<uint16_t>(s)] = ulaw(static_cast<int16_t>(s));
        g_alaw[static_cast<uint16_t>(s)] = alaw(static_cast<int16_t>(s));
    }
}

uint8_t AnchorTableUlaw(int16_t sample) {
    return g_ulaw[static_cast<uint16_t>(sample)];
}

uint8_t AnchorTableAlaw(int16_t sample) {
    return g_alaw[static_cast<uint16_t>(sample)];
}
}
