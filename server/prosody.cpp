// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/prosody.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vrelay {
namespace server {

namespace {

struct Keyword {
    const char* name;
    double value;
};

// A value: an optional sign, a number and a unit ("" for none).
struct Number {
    int sign = 0;  // -1, 0 (no sign) or +1
    double value = 0;
    std::string unit;
};

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool ParseNumber(const std::string& text, Number* number) {
    size_t at = text.find_first_not_of(" \t");
    if (at == std::string::npos) {
        return false;
    }
    if (text[at] == '+' || text[at] == '-') {
        number->sign = text[at] == '+' ? 1 : -1;
        ++at;
    }
    // Digits with at most one point: strtod would also take "inf", "0x1p3".
    const size_t start = at;
    bool point = false;
    while (at < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[at])) || (text[at] == '.' && !point))) {
        point = point || text[at] == '.';
        ++at;
    }
    if (at == start || (at == start + 1 && point)) {
        return false;
    }
    number->value = std::strtod(text.substr(start, at - start).c_str(), nullptr);
    const size_t end = text.find_last_not_of(" \t");
    number->unit = Lower(text.substr(at, end + 1 - at));
    return std::isfinite(number->value);
}

bool FindKeyword(const Keyword* table, size_t size, const std::string& value, double* out) {
    const std::string wanted = Lower(value);
    for (size_t i = 0; i < size; ++i) {
        if (wanted == table[i].name) {
            *out = table[i].value;
            return true;
        }
    }
    return false;
}

}  // namespace

double Prosody::Gain() const {
    return silent ? 0.0 : std::pow(10.0, gain_db / 20.0);
}

bool Prosody::SameGain(const Prosody& o) const {
    return silent == o.silent && (silent || gain_db == o.gain_db);
}

namespace {

// *value brought into [low, high]; true when it had to be.
bool Clamp(double low, double high, double* value) {
    const double was = *value;
    *value = std::min(high, std::max(low, *value));
    return *value != was;
}

// A value for a rate or a pitch, in the unit of *current: a keyword or N%
// takes that share of the voice's own, +N% -N% scale the enclosing value, an
// unsigned number of the absolute unit replaces it; where they apply, +N -N
// of the absolute unit are added and +Nst -Nst scale by semitones, and a bare
// number is a multiple of the voice's own.
bool ApplyForm(const std::string& value, const Keyword* keywords, size_t count,
               const char* absolute, bool relative_units, bool bare_multiple, double voice,
               double* current) {
    double keyword = 0;
    Number n;
    if (FindKeyword(keywords, count, value, &keyword)) {
        *current = keyword * voice;
    } else if (!ParseNumber(value, &n)) {
        return false;
    } else if (n.unit == "%" && n.sign == 0) {
        *current = voice * n.value / 100;
    } else if (n.unit == "%") {
        *current *= 1 + n.sign * n.value / 100;
    } else if (relative_units && n.unit == "st" && n.sign != 0) {
        *current *= std::pow(2.0, n.sign * n.value / 12);
    } else if (n.unit == absolute && n.sign == 0) {
        *current = n.value;
    } else if (relative_units && n.unit == absolute) {
        *current += n.sign * n.value;
    } else if (bare_multiple && n.unit.empty() && n.sign == 0) {
        *current = voice * n.value;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ApplyRate(const std::string& value, Prosody* prosody) {
    static const Keyword kRates[] = {{"x-slow", 0.5}, {"slow", 0.75},  {"medium", 1.0},
                                     {"fast", 1.5},   {"x-fast", 2.0}, {"default", 1.0}};
    if (!ApplyForm(value, kRates, sizeof kRates / sizeof kRates[0], "wpm", false, true,
                   kDefaultWpm, &prosody->wpm)) {
        return false;
    }
    prosody->clamped |= Clamp(kMinWpm, kMaxWpm, &prosody->wpm);
    return true;
}

bool ApplyPitch(const std::string& value, Prosody* prosody) {
    static const Keyword kPitches[] = {{"x-low", 0.75}, {"low", 0.87},   {"medium", 1.0},
                                       {"high", 1.15},  {"x-high", 1.3}, {"default", 1.0}};
    if (!ApplyForm(value, kPitches, sizeof kPitches / sizeof kPitches[0], "hz", true, false,
                   prosody->voice_hz, &prosody->hz)) {
        return false;
    }
    prosody->clamped |= Clamp(prosody->MinHz(), prosody->MaxHz(), &prosody->hz);
    return true;
}

bool ApplyVolume(const std::string& value, Prosody* prosody) {
    static const Keyword kVolumes[] = {{"x-soft", -12}, {"soft", -6},  {"medium", 0},
                                       {"loud", 3},     {"x-loud", 6}, {"default", 0}};
    Prosody p = *prosody;
    double db = 0;
    Number n;
    // An amplitude of the voice's (factor 1) or of the enclosing one.
    const auto amplitude = [&p](double factor) {
        p.silent = p.silent || factor <= 0;
        p.gain_db = factor > 0 ? p.gain_db + 20 * std::log10(factor) : 0;
    };
    if (Lower(value) == "silent") {
        p.silent = true;
        p.gain_db = 0;
    } else if (FindKeyword(kVolumes, sizeof kVolumes / sizeof kVolumes[0], value, &db)) {
        p.silent = false;
        p.gain_db = db;
    } else if (!ParseNumber(value, &n)) {
        return false;
    } else if ((n.unit == "%" || n.unit.empty()) && n.sign == 0) {
        p.silent = false;
        p.gain_db = 0;
        amplitude(n.value / 100);
    } else if (n.unit == "%") {
        amplitude(1 + n.sign * n.value / 100);
    } else if (n.unit == "db" && n.sign == 0) {
        p.silent = false;
        p.gain_db = n.value;
    } else if (n.unit == "db") {
        p.gain_db += n.sign * n.value;
    } else {
        return false;
    }
    if (p.silent) {
        p.gain_db = 0;
    }
    p.clamped |= Clamp(kMinGainDb, kMaxGainDb, &p.gain_db);
    *prosody = p;
    return true;
}

Prosody ProsodyOf(const Context& context, double voice_hz) {
    Prosody prosody(voice_hz);
    for (const Element& element : context.Elements()) {
        if (element.name != "prosody") {
            continue;
        }
        for (const Attribute& a : element.attributes) {
            if (a.name == "rate") {
                ApplyRate(a.value, &prosody);
            } else if (a.name == "pitch") {
                ApplyPitch(a.value, &prosody);
            } else if (a.name == "volume") {
                ApplyVolume(a.value, &prosody);
            }
        }
    }
    return prosody;
}

}  // namespace server
}  // namespace vrelay
