// SPDX-License-Identifier: MIT
// A prosody value as written in a <prosody> attribute or typed for an
// option: a name ("x-slow", "default") or an optional sign, a decimal number
// and a unit ("+20%", "150wpm", "-3st", "120Hz"). What the names and units
// mean, and which values a voice reaches, is the reader's business (the
// server's prosody, the front-end core's ranges); this is only the syntax,
// so that both ends read the same values.
#ifndef VRELAY_WIRE_PROSODY_VALUE_H
#define VRELAY_WIRE_PROSODY_VALUE_H

#include <string>

namespace vrelay {
namespace wire {

struct ProsodyValue {
    std::string name;  // lower case; "" for a number
    int sign = 0;      // -1, 0 (no sign) or +1
    double number = 0;
    std::string unit;  // lower case, "" for none
};

// Reads text (blanks around it allowed): letters and '-' make a name; a
// number is digits with at most one point, finite, then the unit (letters or
// '%'). False, leaving *value, for anything else ("inf", "0x10", "1e3", "").
bool ReadProsodyValue(const std::string& text, ProsodyValue* value);

}  // namespace wire
}  // namespace vrelay

#endif
