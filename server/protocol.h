// SPDX-License-Identifier: GPL-3.0-or-later
// What the reference speech server answers, and when. The frames and the
// bytes of each payload are the wire module's (wire/frame.h, wire/payload.h);
// the client passes the payloads to the application unchanged.
//
// Every PACKET_TEXT_CHUNK, PACKET_TEXT and PACKET_QUERY the server receives is
// answered by zero or more of the packets below and then exactly one
// PACKET_END (empty payload). PACKET_CLOSE from the client is not answered:
// the server closes the connection. A client connecting while the server has
// its maximum of sessions gets PACKET_DATA_10 "error: server busy" and
// PACKET_CLOSE, and the connection closes. A session silent (no complete
// packet) for the idle time-out is closed without a word. A server shutting
// down closes sessions between requests without a word too; a session still
// in a request when the grace time ends gets PACKET_DATA_10 "error: server
// shutting down" and PACKET_CLOSE after the last whole packet of its answer.
//
// Bounds. A request over one of the server's bounds (text waiting, audio per
// request, time per answer) or whose synthesis fails gets a PACKET_DATA_10
// "error: ..." in that answer; the request's remaining text packets are then
// answered by PACKET_END alone, and the next request starts afresh.
//
// Request and sample clock. The text of a request arrives as PACKET_TEXT_CHUNKs
// and ends with a PACKET_TEXT (the client's empty closing PACKET_TEXT is a
// request with no text). Sample offsets count from the first sample of the
// request's audio and continue across its chunks; every PACKET_TEXT ends the
// request and the next text starts again at offset 0.
//
// Streaming. Words are spoken once they are whole (followed by the next mark,
// or at the end of the request). Inside a request the server speaks up to the
// last whole word that ends a sentence (. ? or ! followed by blank space) and
// keeps the rest for later; when no whole word ends a sentence it speaks every
// whole word it has. So audio starts before the end of a long stream.
//
// Answer packets (their bytes in wire/payload.h):
//
//   PACKET_DATA_9   the audio format: sent before the first audio of every
//                   answer that has audio (and again if the rate changes
//                   inside an answer).
//   PACKET_DATA_6   audio, at most 64000 bytes (32000 samples) per packet.
//   PACKET_DATA_8   a mark was reached, on the request clock. Every mark of
//                   the client's text comes back once, in text order, with an
//                   offset inside the request's audio (offsets never
//                   decrease); "kvox_final" comes back after the last audio.
//   PACKET_PHONEME  one per phoneme: first value = start (request clock,
//                   samples), phone = the phoneme's name, next phone = the
//                   following phoneme's name in the same synthesis unit (""
//                   for the unit's last one), value1 = duration in samples,
//                   value2 = sample rate, value3 to value7 = 0. The espeak
//                   engine names phonemes in its ASCII phoneme alphabet ("_"
//                   and "_:" are pauses); the tone engine names one phoneme
//                   per letter of each word.
//   PACKET_DATA_10  a message from the server. Used for errors (refused text,
//                   unknown voice, query not understood); such messages begin
//                   with "error: ".
//   PACKET_QUERY    reply to <voice name="all"/>: the voice-list document,
//                   split over as many packets as needed (the client joins
//                   the texts in order).
//
// Order inside an answer: PACKET_DATA_9 first; then, for each audio packet,
// the marks and phonemes that start before its last sample, then the audio
// packet itself; marks at the very end of the audio (kvox_final) come last.
//
// Queries understood:
//   <voice name="all"/>                the voice list, then PACKET_END
//   <voice name='NAME' select='1'/>    selects NAME (matched exactly, then
//                                      ignoring case against the name, the
//                                      VOICE_ID and its last part, then as a
//                                      language tag, e.g. "zh" or "en-au", as
//                                      espeak-ng chooses, then as a language
//                                      name, e.g. "french", as its code) for
//                                      this connection; an unknown name keeps
//                                      the current voice and says so in a
//                                      PACKET_DATA_10; then PACKET_END.
//                                      NAME may go on with "+" parts: a
//                                      variant ("en+f3"), a sex ("+female")
//                                      or an age in years ("+70"), which
//                                      choose a variant (see ChooseVoiceName
//                                      in server/engine.h); without a voice
//                                      before the "+", the current one
//   anything else                      PACKET_DATA_10 "error: query not
//                                      understood: ...", then PACKET_END
//
// Voice list document: a <voices> root with one <voice/> element per voice,
// then one per variant of the engine's (name "+" and its id, "+f3"; LANGUAGE
// "variant"; SEX "" when it keeps the voice's), each with these attributes
// (for espeak-ng's English (Scotland)):
//   name                     English (Scotland); unique, and selects the voice
//   VOICE_ID                 espeak-ng's name for it, gmw/en-GB-scotland; it
//                            and its last part (en-GB-scotland) select it too
//   SEX                      male or female
//   LANGUAGE                 English (the name before its bracket)
//   LANGUAGE_ID              the language with its region as espeak-ng tags
//                            it: en-gb-scotland (en-029, en-us-nyc, cmn)
//   COUNTRY                  Scotland (the name's bracket)
//   COUNTRY_ID               GB, as COUNTRY_CODE_ISO
//   REGION                   a numbered region of the tag (029 for en-029,
//                            419 for es-419), or ""
//   ACCENT, ACCENT_ID        ""
//   VOICE_UUID               a stable UUID of the voice
//   SAMPLE_RATE              22050
//   SAMPLE_BITS, ENCODING    16, pcm16le
//   LANGUAGE_CODE_ISO        en (the tag's first part)
//   LANGUAGE_CODE_MICROSOFT  2057 (a decimal locale id, "" when not known)
//   COUNTRY_CODE_ISO         GB (the tag's country, or "")
//   LANGUAGES                every language the voice speaks with espeak-ng's
//                            priority for it (lower is better): "en-gb-scotland:5
//                            en:4"; what a language tag selects is decided on
//                            these (see FindVoice in server/engine.h)
// The client library exposes each through vrGetVoiceStringValue.
#ifndef VRELAY_SERVER_PROTOCOL_H
#define VRELAY_SERVER_PROTOCOL_H

#include <cstddef>
#include <string>

#include "wire/frame.h"
#include "wire/payload.h"

namespace vrelay {
namespace server {

// As many samples as one frame carries: fewer, larger sends.
constexpr size_t kAudioPacketSamples = 32000;

// Text from a client made safe for a log line or a message: control
// characters and backslashes as \xNN escapes, cut after max_bytes (then
// "..." follows).
std::string Printable(const std::string& text, size_t max_bytes = 80);

}  // namespace server
}  // namespace vrelay

#endif
