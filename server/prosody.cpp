// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/prosody.h"

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

bool RateInRange(const Prosody& p) {
    const double wpm = p.Rate(kDefaultWpm);
    return wpm >= kMinWpm - 1e-9 && wpm <= kMaxWpm + 1e-9;
}

bool PitchInRange(const Prosody& p) {
    for (double voice : {100.0, 200.0}) {
        const double hz = p.Pitch(voice);
        if (hz < kMinPitchHz - 1e-9 || hz > kMaxPitchHz + 1e-9) {
            return false;
        }
    }
    return true;
}

}  // namespace

double Prosody::Gain() const {
    return silent ? 0.0 : std::pow(10.0, gain_db / 20.0);
}

bool Prosody::SameRateAndPitch(const Prosody& o) const {
    return rate_scale == o.rate_scale && rate_wpm == o.rate_wpm && pitch_scale == o.pitch_scale &&
           pitch_hz == o.pitch_hz;
}

bool Prosody::SameGain(const Prosody& o) const {
    return silent == o.silent && (silent || gain_db == o.gain_db);
}

namespace {

// A value for rate = scale * voice's + offset (or the same for the pitch): a
// keyword or N% sets the scale of the voice's own, +N% -N% scale the
// enclosing form, N and the absolute unit set the offset alone, and where
// they apply +N -N of it add to the offset and +Nst -Nst scale by semitones.
bool ApplyForm(const std::string& value, const Keyword* keywords, size_t count,
               const char* absolute, bool relative_units, double* scale, double* offset) {
    double keyword = 0;
    Number n;
    if (FindKeyword(keywords, count, value, &keyword)) {
        *scale = keyword;
        *offset = 0;
    } else if (!ParseNumber(value, &n)) {
        return false;
    } else if (n.unit == "%" && n.sign == 0) {
        *scale = n.value / 100;
        *offset = 0;
    } else if (n.unit == "%" || (relative_units && n.unit == "st" && n.sign != 0)) {
        const double factor =
            n.unit == "%" ? 1 + n.sign * n.value / 100 : std::pow(2.0, n.sign * n.value / 12);
        *scale *= factor;
        *offset *= factor;
    } else if (n.unit == absolute && n.sign == 0) {
        *scale = 0;
        *offset = n.value;
    } else if (relative_units && n.unit == absolute) {
        *offset += n.sign * n.value;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool ApplyRate(const std::string& value, Prosody* prosody) {
    static const Keyword kRates[] = {{"x-slow", 0.5}, {"slow", 0.75},  {"medium", 1.0},
                                     {"fast", 1.5},   {"x-fast", 2.0}, {"default", 1.0}};
    Prosody p = *prosody;
    if (!ApplyForm(value, kRates, sizeof kRates / sizeof kRates[0], "wpm", false, &p.rate_scale,
                   &p.rate_wpm) ||
        !RateInRange(p)) {
        return false;
    }
    *prosody = p;
    return true;
}

bool ApplyPitch(const std::string& value, Prosody* prosody) {
    static const Keyword kPitches[] = {{"x-low", 0.75}, {"low", 0.87},   {"medium", 1.0},
                                       {"high", 1.15},  {"x-high", 1.3}, {"default", 1.0}};
    Prosody p = *prosody;
    if (!ApplyForm(value, kPitches, sizeof kPitches / sizeof kPitches[0], "hz", true,
                   &p.pitch_scale, &p.pitch_hz) ||
        !PitchInRange(p)) {
        return false;
    }
    *prosody = p;
    return true;
}

bool ApplyVolume(const std::string& value, Prosody* prosody) {
    static const Keyword kVolumes[] = {{"x-soft", -12}, {"soft", -6},  {"medium", 0},
                                       {"loud", 3},     {"x-loud", 6}, {"default", 0}};
    Prosody p = *prosody;
    double db = 0;
    Number n;
    if (Lower(value) == "silent") {
        p.silent = true;
        p.gain_db = 0;
    } else if (FindKeyword(kVolumes, sizeof kVolumes / sizeof kVolumes[0], value, &db)) {
        p.silent = false;
        p.gain_db = db;
    } else if (!ParseNumber(value, &n)) {
        return false;
    } else if (n.unit == "%" && n.sign == 0) {
        p.silent = n.value == 0;
        p.gain_db = n.value > 0 ? 20 * std::log10(n.value / 100) : 0;
    } else if (n.unit == "db" && n.sign != 0) {
        p.gain_db += n.sign * n.value;
    } else {
        return false;
    }
    if (p.gain_db > kMaxGainDb + 1e-9) {
        return false;
    }
    if (p.gain_db < kMinGainDb) {
        p.gain_db = kMinGainDb;
    }
    *prosody = p;
    return true;
}

Prosody ProsodyOf(const Context& context) {
    Prosody prosody;
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
