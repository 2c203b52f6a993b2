// SPDX-License-Identifier: GPL-3.0-or-later
// The server's answer, packet by packet as the library's callback hands it
// over, decoded into typed events with their times: the audio format, audio,
// words (with where they are in the user's text), phonemes, the marks of the
// user's markup, and the server's messages. One clock runs across the
// requests of a job: every time is a sample offset from the start of the
// job's audio, whatever request it came in.
//
// Doors: they implement SpeechSink (vrelay-say: sound card, WAV, word
// display; vrelay-web: the page's socket; sd_vrelay: the module's events;
// the Python package decodes the same packets into the same events in its
// own code) and hand it to the render worker, which runs the decoder on its
// thread.
#ifndef VRELAY_FRONTEND_ANSWER_DECODER_H
#define VRELAY_FRONTEND_ANSWER_DECODER_H

#include <vrelay/vrelay.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "frontend/request_cutter.h"

namespace vrelay {
namespace frontend {

struct WordEvent {
    SourceRange source;  // where the word is in the user's text, and as written
    int64_t sample = 0;  // where it starts in the job's audio
};

struct PhoneEvent {
    std::string phone;
    int64_t sample = 0;    // where it starts in the job's audio
    int64_t duration = 0;  // samples
};

// Where a job's events go. Called on the thread that renders (the render
// worker's), one call at a time, in the order of the audio: a word or mark
// comes before the audio that holds its first sample. A call that returns
// false stops the request (there is nowhere to put its audio, or the door
// stopped it); the job then ends. Must not call the render worker's Stop or
// wait for the worker.
class SpeechSink {
  public:
    virtual ~SpeechSink() = default;
    // The sample rate of the audio that follows (again when it changes).
    virtual bool OnFormat(uint32_t sampleRate) = 0;
    // Signed 16-bit mono samples, valid during the call; first: the job's
    // sample offset of samples[0].
    virtual bool OnAudio(const int16_t* samples, size_t count, int64_t first) = 0;
    virtual bool OnWord(const WordEvent& word) = 0;
    virtual bool OnPhoneme(const PhoneEvent&) { return true; }
    // A <mark/> of the user's markup reached at sample.
    virtual bool OnMark(const std::string& /*name*/, int64_t /*sample*/) { return true; }
    // The server failed mid-word and the text is rendered again from that
    // word, whose audio begins at sample: true when the sink took back the
    // audio (and phonemes) from sample on, so that they come once; false
    // when it cannot (it was heard already), and the word's audio then
    // comes again. Its word and marks are not delivered again either way.
    virtual bool OnRewind(int64_t /*sample*/) { return false; }
    // A message of the server; error: a refusal, "error: " taken off.
    virtual void OnMessage(const std::string& /*text*/, bool /*error*/) {}
};

class AnswerDecoder {
  public:
    explicit AnswerDecoder(SpeechSink* sink) : sink_(sink) {}

    // A new request begins: its audio follows the audio of the ones before,
    // and its word marks map through request (null for a query or a voice
    // selection, whose answers carry no words; it must outlive the request).
    void BeginRequest(const Request* request);
    // One packet as the library's callback got it. False when the sink
    // refused it: the callback then stops the request.
    bool Decode(PACKET_TYPE type, const void* data, int32_t length);

    // About the current request: any answer at all came (what answered is a
    // speech server); its last mark came (its answer is complete); the
    // server's first refusal, "" for none.
    bool Answered() const { return answered_; }
    bool Complete() const { return complete_; }
    const std::string& Refusal() const { return refusal_; }
    // About the job: the rate of its audio (0 before a format came), the
    // samples and words so far, every message of the server in order.
    uint32_t SampleRate() const { return sample_rate_; }
    int64_t Samples() const { return samples_; }
    size_t Words() const { return words_; }

    // Where the current request's text is to be rendered again from after
    // its server failed: the byte (in the user's text) and sample of its
    // last word whose audio has begun, else its start and the sample it
    // began at.
    int64_t ResumeByte() const;
    int64_t ResumeSample() const;
    // The word ResumeByte begins, as written; "" for a request's start.
    std::string ResumeWord() const;
    // The next request renders the text again from ResumeByte: words up to
    // it and the marks since it are not delivered again; when the sink took
    // the audio back (rewound), the clock goes back to ResumeSample.
    void Resume(bool rewound);

  private:
    bool Audio(const unsigned char* bytes, size_t size);
    bool Mark(const void* data, int32_t length);
    // A word or mark goes to the sink just before the audio that holds its
    // first sample (or at the request's end): the server sends marks ahead
    // of their audio, and one whose audio never came (its server failed)
    // comes again from the resumed request, on that request's clock.
    struct Pending {
        bool isWord;
        WordEvent word;    // when isWord
        std::string mark;  // else
        int64_t sample;
    };
    bool Deliver(const Pending& pending);
    bool DeliverDue(int64_t before);

    // A word of the current request delivered, and the marks after it.
    struct Heard {
        WordEvent word;
        std::vector<std::string> marksAfter;
    };
    // The resume point is a word of the request (heard_.front()), not its start.
    bool FromWord() const { return !heard_.empty() && heard_.front().word.sample <= samples_; }

    SpeechSink* const sink_;
    const Request* request_ = nullptr;
    int64_t request_start_ = 0;  // the current request's first byte of the user's text
    // The request's last word whose audio has begun, then those delivered
    // after it; the marks before its first word.
    std::deque<Heard> heard_;
    std::vector<std::string> leading_marks_;
    std::deque<Pending> pending_;
    int64_t last_word_byte_ = -1;             // of the last word delivered
    int64_t repeat_through_ = -1;            // words beginning up to here came already
    std::vector<std::string> repeat_marks_;  // marks that came already
    int64_t request_base_ = 0;  // samples before the current request
    int64_t samples_ = 0;
    uint32_t sample_rate_ = 0;
    size_t words_ = 0;
    bool answered_ = false;
    bool complete_ = false;
    std::string refusal_;
    std::vector<int16_t> decoded_;
};

}  // namespace frontend
}  // namespace vrelay

#endif
