// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/prosody.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "wire/prosody_value.h"
#include "wire/xml_escape.h"

namespace vrelay {
namespace frontend {

namespace {

// One row of the data file, its fields as written.
struct Row {
    const char* field[6];
};

const Row kRows[] = {
#define ROW(...) {{__VA_ARGS__}},
#include "frontend/prosody_ranges.inc"
#undef ROW
};

// A unit's reach: "%" typed as N% or as a change, +N% -N%; a unit written
// with a leading "+" (+Hz, +st, +dB) typed only as a change; others only as
// an absolute value.
struct Range {
    Quantity quantity;
    std::string unit;   // as shown, without the "+": "%", "wpm", "Hz", "st", "dB"
    std::string typed;  // the unit as the value reader gives it: lower case
    bool change;        // typed with a sign only
    double minimum, maximum;
};

struct Named {
    Quantity quantity;
    std::string name;
};

struct Table {
    std::vector<Range> ranges;
    std::vector<Named> names;
};

bool QuantityOf(const std::string& name, Quantity* quantity) {
    const struct {
        const char* name;
        Quantity quantity;
    } kQuantities[] = {{"rate", Quantity::kRate},
                       {"pitch", Quantity::kPitch},
                       {"volume", Quantity::kVolume}};
    for (const auto& q : kQuantities) {
        if (name == q.name) {
            *quantity = q.quantity;
            return true;
        }
    }
    return false;
}

const Table& Data() {
    static const Table table = [] {
        Table t;
        for (const Row& row : kRows) {
            const std::string kind = row.field[0];
            Quantity quantity;
            if (row.field[1] == nullptr || !QuantityOf(row.field[1], &quantity)) {
                continue;
            }
            if (kind == "named" && row.field[2] != nullptr) {
                t.names.push_back({quantity, row.field[2]});
            } else if (kind == "range" && row.field[5] != nullptr) {
                const std::string unit = row.field[2];
                const bool change = unit[0] == '+';
                wire::ProsodyValue typed;
                wire::ReadProsodyValue("1" + unit.substr(change ? 1 : 0), &typed);
                t.ranges.push_back({quantity, unit.substr(change ? 1 : 0), typed.unit, change,
                                    std::atof(row.field[3]), std::atof(row.field[5])});
            }
        }
        return t;
    }();
    return table;
}

const Range* PercentRange(Quantity q) {
    for (const Range& range : Data().ranges) {
        if (range.quantity == q && range.unit == "%") {
            return &range;
        }
    }
    return nullptr;
}

// 46, 15.8, 0.25: at most two decimals, no trailing zeros.
std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') {
        out.pop_back();
    }
    return out == "-0" ? "0" : out;
}

std::string Signed(double value) {
    return (value >= 0 ? "+" : "") + Number(value);
}

// The level a typed number stands for on its range's scale, and back:
// percent of the voice's own (a change adds to 100), or the number itself.
double Level(const Range& range, const wire::ProsodyValue& v) {
    const double number = v.sign < 0 ? -v.number : v.number;
    return range.unit == "%" && v.sign != 0 ? 100 + number : number;
}

std::string Shown(const Range& range, double level, bool change) {
    if (range.unit == "%" && change) {
        return Signed(level - 100) + "%";
    }
    return (change ? Signed(level) : Number(level)) + range.unit;
}

const Range* RangeFor(Quantity q, const wire::ProsodyValue& v) {
    for (const Range& range : Data().ranges) {
        const bool percent = range.unit == "%";
        if (range.quantity == q && v.unit == range.typed &&
            (percent || range.change == (v.sign != 0))) {
            return &range;
        }
    }
    return nullptr;
}

// A percent of the voice's own, moved into what q reaches.
double ClampPercent(Quantity q, double percent) {
    const Range* range = PercentRange(q);
    return range == nullptr ? percent : std::min(std::max(percent, range->minimum), range->maximum);
}

std::string WholePercent(double percent) {
    return Number(std::round(percent)) + "%";
}

}  // namespace

bool ReadTypedProsody(Quantity q, const std::string& typed, std::string* value,
                      std::string* notice) {
    wire::ProsodyValue v;
    if (!wire::ReadProsodyValue(typed, &v)) {
        return false;
    }
    if (!v.name.empty()) {
        for (const Named& named : Data().names) {
            if (named.quantity == q && named.name == v.name) {
                *value = v.name;
                notice->clear();
                return true;
            }
        }
        return false;
    }
    const Range* range = RangeFor(q, v);
    if (range == nullptr) {
        return false;
    }
    const bool change = v.sign != 0;
    const double level = Level(*range, v);
    const double kept = std::min(std::max(level, range->minimum), range->maximum);
    *value = Shown(*range, kept, change);
    notice->clear();
    if (std::fabs(kept - level) > 1e-9) {
        *notice = typed + " is out of reach (" + Shown(*range, range->minimum, change) + " to " +
                  Shown(*range, range->maximum, change) + "): " + *value + " is used";
    }
    return true;
}

std::string ProsodyForms(Quantity q) {
    std::vector<std::string> forms;
    std::vector<std::string> names;
    for (const Named& named : Data().names) {
        if (named.quantity == q && named.name != "default") {
            names.push_back(named.name);
        }
    }
    if (!names.empty()) {
        forms.push_back(names.size() > 2 ? names.front() + " ... " + names.back() : names.front());
    }
    for (const Range& range : Data().ranges) {
        if (range.quantity != q) {
            continue;
        }
        const std::string reach = " (" + Shown(range, range.minimum, range.change) + " to " +
                                  Shown(range, range.maximum, range.change) + ")";
        if (range.unit == "%") {
            forms.push_back("N%" + reach);
        }
        if (range.change || range.unit == "%") {
            forms.push_back("+N" + range.unit);
            forms.push_back("-N" + range.unit + (range.change ? reach : ""));
        } else {
            forms.push_back("N" + range.unit + reach);
        }
    }
    std::string text;
    for (size_t i = 0; i < forms.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == forms.size() ? " or " : ", ") + forms[i];
    }
    return text;
}

ProsodySetting SpeechDispatcherProsody(int rate, int pitch, int pitchRange, int volume) {
    const auto scale = [](Quantity q, int value) -> std::string {
        const Range* range = PercentRange(q);
        value = std::min(std::max(value, -100), 100);
        if (value == 0 || range == nullptr) {
            return "";
        }
        const double end = value < 0 ? range->minimum : range->maximum;
        return WholePercent(ClampPercent(q, 100 * std::pow(end / 100, std::abs(value) / 100.0)));
    };
    ProsodySetting setting;
    setting.rate = scale(Quantity::kRate, rate);
    setting.pitch = scale(Quantity::kPitch, pitch);
    if (pitchRange != 0) {
        setting.range = Signed(std::min(std::max(pitchRange, -100), 100)) + "%";
    }
    volume = std::min(std::max(volume, -100), 100);
    if (volume != 0) {
        const Range* range = PercentRange(Quantity::kVolume);
        const double loudest = range != nullptr ? range->maximum : 100;
        setting.volume = WholePercent(ClampPercent(
            Quantity::kVolume, volume < 0 ? 100 + volume : 100 + volume * (loudest - 100) / 100));
    }
    return setting;
}

ProsodySetting SliderProsody(int ratePercent, int pitchChange, int volumePercent) {
    ProsodySetting setting;
    if (ratePercent != 100) {
        setting.rate = WholePercent(ClampPercent(Quantity::kRate, ratePercent));
    }
    if (pitchChange != 0) {
        setting.pitch = Signed(std::round(ClampPercent(Quantity::kPitch, 100 + pitchChange)) - 100) + "%";
    }
    if (volumePercent != 100) {
        setting.volume = WholePercent(ClampPercent(Quantity::kVolume, volumePercent));
    }
    return setting;
}

std::string ProsodyTag(const ProsodySetting& setting) {
    std::string tag;
    const struct {
        const char* name;
        const std::string& value;
    } kAttributes[] = {{"rate", setting.rate},
                       {"pitch", setting.pitch},
                       {"range", setting.range},
                       {"volume", setting.volume}};
    for (const auto& attribute : kAttributes) {
        if (!attribute.value.empty()) {
            tag += std::string(" ") + attribute.name + "=\"" +
                   wire::EscapeXml(attribute.value, wire::XmlContext::kAttribute) + "\"";
        }
    }
    return tag.empty() ? tag : "<prosody" + tag + ">";
}

}  // namespace frontend
}  // namespace vrelay
