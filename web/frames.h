// SPDX-License-Identifier: GPL-3.0-or-later
// The messages of a speaking session's WebSocket, and nothing else: encoding
// what the bridge sends, decoding what the page sends. No socket here.
//
// A page opens one WebSocket per speaking session (one press of Speak or one
// click on a word): GET /speak?session=TOKEN, where TOKEN (16 to 64 letters,
// digits, '-' or '_') names the browser session, i.e. the tab, that owns the
// bridge's speech-server connection. Every message is one binary WebSocket
// message: a kind byte, then that kind's fields. Integers are little-endian,
// unsigned unless marked signed; text is UTF-8.
//
// Page -> bridge
//   0x01 SPEAK   the first message, and only once:
//                 u8  flags    bit 0: the text is markup (else plain text)
//                 u16 rate     speaking rate, percent of normal, 25 to 400
//                 i16 pitch    pitch change, percent, -90 to 200
//                 u16 volume   percent of normal, 0 to 200
//                              (each past what the voice reaches is heard
//                              at the nearer end of its reach)
//                 u32 start    where to start speaking, in UTF-16 code units
//                              of the text (a JavaScript string index)
//                 u8  n        voice name length, 0 for the server's default
//                 n bytes      voice as a person names it, for the server to
//                              choose: a name, a language tag or name, and a
//                              variant after '+' ("en+f3"; "+f3" alone for
//                              the server's default voice with it)
//                 the rest     the text, UTF-8 (markup is cleaned as every
//                              door cleans it: doctype, comments, scripts
//                              and no-break spaces are not spoken)
//   0x02 STOP    nothing: stop at once
//   0x03 PLAYED  u32 samples  how much audio has been played so far; the
//                              bridge stays at most a few seconds ahead
// Bridge -> page
//   0x81 FORMAT  u32 sample rate; before the first AUDIO
//   0x82 AUDIO   signed 16-bit mono PCM samples, little-endian
//   0x83 WORD    u32 sample   where the word starts in the session's audio
//                u32 begin    its range in the page's text, UTF-16 code units
//                u32 end
//                A word comes before the AUDIO that holds its first sample.
//   0x84 END     u8 reason (0 done, 1 stopped, 2 failed), u32 samples sent,
//                then a message (why it failed), possibly empty
// After END the bridge closes the WebSocket normally. A message the bridge
// cannot take closes it with code 1003 (a text message), 1007 (malformed),
// 1008 (a limit or a refused session) or 1009 (a text longer than the
// bridge's --max-text, however long), with the reason ("the text is longer
// than 8192 bytes, ...").
#ifndef VRELAY_WEB_FRAMES_H
#define VRELAY_WEB_FRAMES_H

#include <cstdint>
#include <string>

namespace vrelay {
namespace web {

enum class PageKind : uint8_t { kSpeak = 0x01, kStop = 0x02, kPlayed = 0x03 };

// What SPEAK's rate, pitch and volume may be (the voice's reach is
// narrower: a value past it is moved to its end, frontend's SliderProsody).
struct SliderLimits {
    int low;
    int high;
};
constexpr SliderLimits kRateLimits{25, 400};
constexpr SliderLimits kPitchLimits{-90, 200};
constexpr SliderLimits kVolumeLimits{0, 200};
enum class BridgeKind : uint8_t { kFormat = 0x81, kAudio = 0x82, kWord = 0x83, kEnd = 0x84 };
enum class EndReason : uint8_t { kDone = 0, kStopped = 1, kFailed = 2 };

struct SpeakRequest {
    bool markup = false;
    int rate = 100;
    int pitch = 0;
    int volume = 100;
    uint32_t start = 0;
    std::string voice;
    std::string text;
};

// One message from the page.
struct PageMessage {
    PageKind kind = PageKind::kStop;
    SpeakRequest speak;    // kSpeak
    uint32_t played = 0;   // kPlayed
};

// Decodes one binary message. False with *error (the close reason) when it
// is empty, of an unknown kind, of the wrong length, or a field is out of
// range. The text is not checked here (see SpeakSocket).
bool DecodePageMessage(const std::string& message, PageMessage* out, std::string* error);

std::string EncodeFormat(uint32_t sampleRate);
std::string EncodeAudio(const int16_t* samples, size_t count);
std::string EncodeWord(uint32_t sample, uint32_t begin, uint32_t end);
std::string EncodeEnd(EndReason reason, uint32_t samples, const std::string& message);

}  // namespace web
}  // namespace vrelay

#endif
