// SPDX-License-Identifier: GPL-3.0-or-later
// What <prosody> elements ask for. Rate and pitch are kept as linear forms of
// the voice's own rate and pitch (a relative value scales the form, an
// absolute one replaces it), so nested elements compose whatever the voice;
// volume is a gain in decibels.
//
// Values understood (units without regard to case):
//   rate    x-slow slow medium fast x-fast (50, 75, 100, 150, 200% of the
//           voice's rate), N% (of the voice's rate), +N% -N% (of the
//           enclosing rate), Nwpm (words per minute, as espeak-ng counts them)
//   pitch   x-low low medium high x-high (75, 87, 100, 115, 130% of the
//           voice's pitch), N% (of the voice's pitch), +N% -N% and +Nst -Nst
//           (semitones; of the enclosing pitch), NHz (the fundamental),
//           +NHz -NHz (added to the enclosing pitch)
//   volume  silent x-soft soft medium loud x-loud (muted, -12, -6, 0, +3,
//           +6 dB), N% (amplitude, of the voice's), +NdB -NdB (added to the
//           enclosing gain)
//   "default" on any of them returns to the voice's own value.
#ifndef VRELAY_SERVER_PROSODY_H
#define VRELAY_SERVER_PROSODY_H

#include <string>

#include "server/markup.h"

namespace vrelay {
namespace server {

// What the engine can do, and so what a value may ask for.
constexpr double kMinWpm = 80;
constexpr double kMaxWpm = 800;
constexpr double kDefaultWpm = 175;  // espeak-ng's rate at 100%
constexpr double kMinPitchHz = 40;
constexpr double kMaxPitchHz = 500;
constexpr double kMaxGainDb = 6;  // louder clips the loudest sounds
constexpr double kMinGainDb = -60;

struct Prosody {
    double rate_scale = 1;  // rate = rate_scale * voice's rate + rate_wpm
    double rate_wpm = 0;
    double pitch_scale = 1;  // pitch = pitch_scale * voice's pitch + pitch_hz
    double pitch_hz = 0;
    double gain_db = 0;
    bool silent = false;

    double Rate(double voice_wpm) const { return rate_scale * voice_wpm + rate_wpm; }
    double Pitch(double voice_hz) const { return pitch_scale * voice_hz + pitch_hz; }
    // The factor the samples are multiplied by.
    double Gain() const;
    bool SameRateAndPitch(const Prosody& other) const;
    bool SameGain(const Prosody& other) const;
};

// Each applies one attribute value to *prosody. False, leaving it unchanged,
// when the value is not understood or asks for more than the engine can do
// (a rate outside kMinWpm..kMaxWpm, a pitch outside kMinPitchHz..kMaxPitchHz,
// more gain than kMaxGainDb), taking a voice of kDefaultWpm and, for the
// pitch, one between 100 and 200 Hz.
bool ApplyRate(const std::string& value, Prosody* prosody);
bool ApplyPitch(const std::string& value, Prosody* prosody);
bool ApplyVolume(const std::string& value, Prosody* prosody);

// The prosody elements of a word's context composed, outermost first; values
// not understood are left out.
Prosody ProsodyOf(const Context& context);

}  // namespace server
}  // namespace vrelay

#endif
