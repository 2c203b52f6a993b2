// SPDX-License-Identifier: GPL-3.0-or-later
// The one prosody mapping of the doors: rate, pitch and volume as a person
// types them (absolute, relative or named), as Speech Dispatcher sets them
// (-100 to 100) and as the page's sliders send them (percent), all made into
// the values the server reads, and the one function that builds the
// <prosody> tag from them. What a voice reaches comes from
// frontend/data/prosody_ranges.tsv: a value past a range is moved to its
// nearer end (with a notice where a person typed it), never dropped or
// refused; only a value of no known form is bad usage.
//
// Doors: vrelay-say reads --rate, --pitch and --volume with ReadTypedProsody
// and prints its notices; vrelay-web turns a SPEAK message's sliders into a
// setting with SliderProsody; sd_vrelay turns its SET values into one with
// SpeechDispatcherProsody; every door hands the setting to the request cutter
// (or the render worker's job), which wraps each request in ProsodyTag. The
// Python package reads the same data file. Pure functions: any thread.
#ifndef VRELAY_FRONTEND_PROSODY_H
#define VRELAY_FRONTEND_PROSODY_H

#include <string>

namespace vrelay {
namespace frontend {

enum class Quantity { kRate, kPitch, kVolume };

// What a request asks of the voice: <prosody> attribute values as the server
// reads them ("120%", "+3st", "150wpm", "x-soft"), "" for the voice's own.
struct ProsodySetting {
    std::string rate;
    std::string pitch;
    std::string range;  // the pitch range, passed on as Speech Dispatcher sets it
    std::string volume;

    bool Empty() const { return rate.empty() && pitch.empty() && range.empty() && volume.empty(); }
};

// A value a person typed for q: a name ("x-slow"), N with a unit of q's
// ("150wpm", "40%", "120Hz"), or a change ("+20%", "-3st", "+6dB"). True with
// *value, the value to ask for, and *notice: "" or, for a value past what
// the voice reaches, what is used instead ("40% is out of reach (46% to
// 457%): 46% is used"). False for a value of no known form.
bool ReadTypedProsody(Quantity q, const std::string& typed, std::string* value,
                      std::string* notice);

// The forms q takes with their ranges, for a usage message:
// "x-slow ... x-fast, N% (46% to 457%), +N%, -N% or Nwpm (80 to 800)".
std::string ProsodyForms(Quantity q);

// Speech Dispatcher's settings, each from -100 to 100 (0: the voice's own):
// rate and pitch from the slowest or lowest reachable at -100 to the fastest
// or highest at 100, evenly on a log scale; volume silent at -100 up to the
// loudest reachable at 100; the pitch range passed on as a change in percent.
// Values past -100..100 count as the nearer end.
ProsodySetting SpeechDispatcherProsody(int rate, int pitch, int pitchRange, int volume);

// The page's sliders: rate in percent of the voice's (100 its own), pitch as
// a change in percent (0 its own), volume in percent (100 its own); each
// moved into what the voice reaches.
ProsodySetting SliderProsody(int ratePercent, int pitchChange, int volumePercent);

// "<prosody rate=\"...\" ...>" with the setting's values, or "" when it asks
// for nothing; the end tag is "</prosody>".
std::string ProsodyTag(const ProsodySetting& setting);

}  // namespace frontend
}  // namespace vrelay

#endif
