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
    const char* field[7];
};

const Row kRows[] = {
#define ROW(...) {{__VA_ARGS__}},
#include "frontend/prosody_ranges.inc"
#undef ROW
};

// What a voice reaches in one unit.
struct Range {
    Quantity quantity;
    std::string unit;   // as written: "%", "wpm", "st", "dB"
    std::string typed;  // as the value reader gives it: lower case
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

// The forms the server reads (server/prosody.h) and how each is signed: N%
// and +N% -N% for every quantity; words a minute unsigned, or a bare number
// (a multiple of the voice's rate); semitones signed; hertz unsigned (the
// fundamental) or signed (a change of it); decibels either way; a bare
// volume is an amplitude in percent.
enum Signs { kUnsigned = 1, kSigned = 2, kEither = 3 };
struct Form {
    Quantity quantity;
    const char* unit;  // as the value reader gives it
    int signs;
    double percent;  // a bare number: this many percent each; 0 for a unit
};
const Form kForms[] = {
    {Quantity::kRate, "%", kEither, 0},     {Quantity::kRate, "wpm", kUnsigned, 0},
    {Quantity::kRate, "", kUnsigned, 100},  {Quantity::kPitch, "%", kEither, 0},
    {Quantity::kPitch, "st", kSigned, 0},   {Quantity::kPitch, "hz", kEither, 0},
    {Quantity::kVolume, "%", kEither, 0},   {Quantity::kVolume, "", kUnsigned, 1},
    {Quantity::kVolume, "db", kEither, 0},
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
            if (row.field[1] == nullptr || row.field[3] == nullptr ||
                !QuantityOf(row.field[1], &quantity)) {
                continue;
            }
            wire::ProsodyValue typed;
            if (kind == "name") {
                t.names.push_back({quantity, row.field[2]});
            } else if (kind == "range" && row.field[5] != nullptr &&
                       wire::ReadProsodyValue(std::string("1") + row.field[2], &typed)) {
                t.ranges.push_back({quantity, row.field[2], typed.unit, std::atof(row.field[3]),
                                    std::atof(row.field[5])});
            }
        }
        return t;
    }();
    return table;
}

const Range* RangeOf(Quantity q, const std::string& typedUnit) {
    for (const Range& range : Data().ranges) {
        if (range.quantity == q && range.typed == typedUnit) {
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

// A level of a range's scale as the form typed shows it: a percent change
// is shown against 100.
std::string Shown(const Range& range, double level, bool change) {
    if (range.unit == "%" && change) {
        return Signed(level - 100) + "%";
    }
    return (change ? Signed(level) : Number(level)) + range.unit;
}

const Form* FormOf(Quantity q, const wire::ProsodyValue& v) {
    for (const Form& form : kForms) {
        if (form.quantity == q && v.unit == form.unit &&
            (form.signs & (v.sign != 0 ? kSigned : kUnsigned)) != 0) {
            return &form;
        }
    }
    return nullptr;
}

// A whole percent of the voice's own, moved into what q reaches.
double WholePercent(Quantity q, double percent) {
    const Range* range = RangeOf(q, "%");
    percent = std::round(percent);
    if (range != nullptr) {
        percent = std::min(std::max(percent, std::ceil(range->minimum)), std::floor(range->maximum));
    }
    return percent;
}

}  // namespace

bool ReadTypedProsody(Quantity q, const std::string& typed, std::string* value,
                      std::string* notice) {
    wire::ProsodyValue v;
    if (!wire::ReadProsodyValue(typed, &v)) {
        return false;
    }
    notice->clear();
    if (!v.name.empty()) {
        const auto& names = Data().names;
        *value = v.name;
        return std::any_of(names.begin(), names.end(), [&](const Named& named) {
            return named.quantity == q && named.name == v.name;
        });
    }
    const Form* form = FormOf(q, v);
    if (form == nullptr) {
        return false;
    }
    const bool change = v.sign != 0;
    const double number = v.sign < 0 ? -v.number : v.number;
    const Range* range = RangeOf(q, form->percent > 0 ? "%" : form->unit);
    if (range == nullptr) {
        // The fundamental's reach is the voice's own: the server knows it.
        *value = typed.substr(typed.find_first_not_of(" \t"));
        value->erase(value->find_last_not_of(" \t") + 1);
        return true;
    }
    const double level = form->percent > 0 ? number * form->percent
                         : range->unit == "%" && change ? 100 + number
                                                        : number;
    const double kept = std::min(std::max(level, range->minimum), range->maximum);
    *value = Shown(*range, kept, change);
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
    for (const Form& form : kForms) {
        if (form.quantity != q || form.percent > 0) {
            continue;
        }
        const Range* range = RangeOf(q, form.unit);
        const std::string unit = range != nullptr ? range->unit : std::string("Hz");
        const bool plain = (form.signs & kUnsigned) != 0;
        const std::string reach = range == nullptr ? std::string()
                                                   : " (" + Shown(*range, range->minimum, !plain) +
                                                         " to " + Shown(*range, range->maximum, !plain) + ")";
        if (plain) {
            forms.push_back("N" + unit + reach);
        }
        if ((form.signs & kSigned) != 0) {
            forms.push_back("+N" + unit);
            forms.push_back("-N" + unit + (plain ? "" : reach));
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
        const Range* range = RangeOf(q, "%");
        value = std::min(std::max(value, -100), 100);
        if (value == 0 || range == nullptr) {
            return "";
        }
        const double end = value < 0 ? range->minimum : range->maximum;
        return Number(WholePercent(q, 100 * std::pow(end / 100, std::abs(value) / 100.0))) + "%";
    };
    ProsodySetting setting;
    setting.rate = scale(Quantity::kRate, rate);
    setting.pitch = scale(Quantity::kPitch, pitch);
    if (pitchRange != 0) {
        setting.range = Signed(std::min(std::max(pitchRange, -100), 100)) + "%";
    }
    volume = std::min(std::max(volume, -100), 100);
    if (volume != 0) {
        const Range* range = RangeOf(Quantity::kVolume, "%");
        const double loudest = range != nullptr ? range->maximum : 100;
        setting.volume = Number(WholePercent(Quantity::kVolume, volume < 0 ? 100 + volume
                                                                     : 100 + volume * (loudest - 100) / 100)) +
                         "%";
    }
    return setting;
}

ProsodySetting SliderProsody(int ratePercent, int pitchChange, int volumePercent) {
    ProsodySetting setting;
    if (ratePercent != 100) {
        setting.rate = Number(WholePercent(Quantity::kRate, ratePercent)) + "%";
    }
    if (pitchChange != 0) {
        setting.pitch = Signed(WholePercent(Quantity::kPitch, 100 + pitchChange) - 100) + "%";
    }
    if (volumePercent != 100) {
        setting.volume = Number(WholePercent(Quantity::kVolume, volumePercent)) + "%";
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
