// SPDX-License-Identifier: GPL-3.0-or-later
// What <prosody> elements ask for, resolved for one voice: the rate in words
// a minute, the fundamental in hertz and the gain in decibels. Each element's
// value applies to what the enclosing elements resolved to (a relative value
// scales or shifts it, an absolute one replaces it) and is then brought into
// what the engine can reach: a value past an end of its range becomes that
// end, so nested elements compose as they are heard.
//
// Values understood (units without regard to case):
//   rate    x-slow slow medium fast x-fast (50, 75, 100, 150, 200% of the
//           voice's rate), N% (of the voice's rate), +N% -N% (of the
//           enclosing rate), Nwpm (words a minute, as espeak-ng counts
//           them), N (a multiple of the voice's rate)
//   pitch   x-low low medium high x-high (75, 87, 100, 115, 130% of the
//           voice's pitch), N% (of the voice's pitch), +N% -N% and +Nst -Nst
//           (semitones; of the enclosing pitch), NHz (the fundamental),
//           +NHz -NHz (added to the enclosing pitch)
//   volume  silent x-soft soft medium loud x-loud (muted, -12, -6, 0, +3,
//           +6 dB), N% and N (amplitude in % of the voice's; 0 is silent),
//           +N% -N% (of the enclosing amplitude; -100% is silent), NdB (gain
//           over the voice's level), +NdB -NdB (added to the enclosing gain)
//   "default" on any of them returns to the voice's own value.
// A value not understood (another unit, a sign where none is taken, no
// number) leaves the element's quantity as the enclosing elements set it.
//
// The reachable ranges below are also written, with the named values, in
// frontend/data/prosody_ranges.tsv for the front ends; a server test checks
// that the two agree.
#ifndef VRELAY_SERVER_PROSODY_H
#define VRELAY_SERVER_PROSODY_H

#include <string>

#include "server/markup.h"

namespace vrelay {
namespace server {

// Rate: espeak-ng's words a minute. Below 80 it speaks no slower; the top is
// as fast as speech stays speech (espeak-ng speeds up past 450 by time
// compression, pauses included).
constexpr double kMinWpm = 80;
constexpr double kDefaultWpm = 175;  // every voice's own rate
constexpr double kMaxWpm = 800;

// Pitch: espeak-ng moves a voice's fundamental by its pitch parameter (0 to
// 99) from about 0.65 to 1.68 times the voice's own (its median at the
// default, 50), the same shape for every voice to within a few percent
// (measured on male and female voices and variants). Past these the
// parameter stops, so these are the ends of the reach, as multiples of the
// voice's fundamental.
constexpr double kMinPitchScale = 0.65;
constexpr double kMaxPitchScale = 1.68;
// The fundamental taken for a voice whose own is not known (espeak-ng's male
// voices speak near it).
constexpr double kTypicalVoiceHz = 100;

// Volume: a gain on the samples. Up to +6 dB the loudest sounds are held
// under full scale by a limiter; more would be that limiter's work alone.
// Below -60 dB speech is gone; 0% and "silent" mute.
constexpr double kMinGainDb = -60;
constexpr double kMaxGainDb = 6;

struct Prosody {
    explicit Prosody(double voice_hz = kTypicalVoiceHz) : voice_hz(voice_hz), hz(voice_hz) {}

    double voice_hz;           // the voice's own fundamental
    double wpm = kDefaultWpm;  // kMinWpm..kMaxWpm
    double hz;                 // kMinPitchScale..kMaxPitchScale times voice_hz
    double gain_db = 0;        // kMinGainDb..kMaxGainDb
    bool silent = false;
    // Set when a value asked for more than the range and was brought into it.
    bool clamped = false;

    double MinHz() const { return kMinPitchScale * voice_hz; }
    double MaxHz() const { return kMaxPitchScale * voice_hz; }
    // The factor the samples are multiplied by.
    double Gain() const;
    bool SameGain(const Prosody& other) const;
};

// Each applies one attribute value to *prosody and brings the result into
// the reachable range (setting clamped when it had to). False, leaving
// *prosody unchanged, when the value is not understood.
bool ApplyRate(const std::string& value, Prosody* prosody);
bool ApplyPitch(const std::string& value, Prosody* prosody);
bool ApplyVolume(const std::string& value, Prosody* prosody);

// The prosody elements of a word's context applied in turn, outermost first,
// for a voice whose fundamental is voice_hz; values not understood are left
// out.
Prosody ProsodyOf(const Context& context, double voice_hz = kTypicalVoiceHz);

}  // namespace server
}  // namespace vrelay

#endif
