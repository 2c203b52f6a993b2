// SPDX-License-Identifier: MIT
// Helpers shared by the tokeniser and channel tests and the tokeniser's fuzz
// target: a channel that records what its callbacks receive, and mark
// writing and parsing.
#ifndef VRELAY_TESTS_TEXTPROC_TOKENISE_SUPPORT_H
#define VRELAY_TESTS_TEXTPROC_TOKENISE_SUPPORT_H

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "textproc/tokeniser/tokenise.h"
#include "textproc/tokeniser/tpc.h"

namespace tokenise_test {

const std::string kFinal = "<mark name=\"kvox_final\"/>";

inline std::string mark(int c, int b, int n, int l) {
    return "<mark name=\"kvtk_" + std::to_string(c) + "_" + std::to_string(b) + "_" +
           std::to_string(n) + "_" + std::to_string(l) + "\"/>";
}

// One callback call as "<kind><length>:<text>"; kind 'T' text, 'A' application tag.
inline std::string call(char kind, const std::string& text) {
    return kind + std::to_string(text.size()) + ":" + text;
}

// A client-style channel (type 3, job "CLIENT") whose callbacks record every
// call.
class RecordingChannel {
  public:
    explicit RecordingChannel(int32_t xml = 1, const char* config = nullptr)
        : channel_(KVTP_tpc_newtype(nullptr, config, xml, "CLIENT", 3)) {
        KVTP_tpc_set_text_callback(channel_, &RecordingChannel::on<'T'>, this);
        KVTP_tpc_set_application_callback(channel_, &RecordingChannel::on<'A'>, this);
    }
    ~RecordingChannel() { KVTP_tpc_delete(channel_); }
    RecordingChannel(const RecordingChannel&) = delete;
    RecordingChannel& operator=(const RecordingChannel&) = delete;

    KVTP_tpc* get() const { return channel_; }
    KVTP_tokenise* tokeniser() const { return static_cast<KVTP_tokenise*>(channel_->processor); }
    void process(const std::string& text, int32_t final) {
        KVTP_tpc_process(channel_, text.data(), static_cast<int32_t>(text.size()), final);
    }
    // Feeds the text in pieces of `step` bytes (0: whole), the last one final.
    void process_split(const char* text, size_t size, size_t step) {
        size_t pos = 0;
        while (step != 0 && size - pos > step) {
            KVTP_tpc_process(channel_, text + pos, static_cast<int32_t>(step), 0);
            pos += step;
        }
        KVTP_tpc_process(channel_, text + pos, static_cast<int32_t>(size - pos), 1);
    }
    void process_split(const std::string& text, size_t step) {
        process_split(text.data(), text.size(), step);
    }
    // Every call, in order; all text given to the text callback; the tags.
    const std::string& trace() const { return trace_; }
    const std::string& text() const { return text_; }
    const std::vector<std::string>& tags() const { return tags_; }
    // Forgets what the callbacks received.
    void clear() {
        trace_.clear();
        text_.clear();
        tags_.clear();
    }

  private:
    template <char Kind>
    static void on(void* self, const char* text, int len) {
        auto* ch = static_cast<RecordingChannel*>(self);
        const std::string t(text, static_cast<size_t>(len));
        ch->trace_ += call(Kind, t);
        if (Kind == 'T')
            ch->text_ += t;
        else
            ch->tags_.push_back(t);
    }

    KVTP_tpc* channel_;
    std::string trace_, text_;
    std::vector<std::string> tags_;
};

// Tokenised text of one whole final call through a client channel.
inline std::string tokenise_whole(const std::string& text) {
    RecordingChannel ch;
    ch.process(text, 1);
    return ch.text();
}

// Characters of the UTF-8 text s[from, to) (valid input assumed).
inline int64_t chars_in(const char* s, size_t from, size_t to) {
    int64_t n = 0;
    for (size_t i = from; i < to; ++i)
        n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
    return n;
}

struct Mark { int64_t chars_at, bytes_at, chars, bytes; };

inline std::vector<Mark> marks_of(const std::string& out) {
    static const std::regex kMark("<mark name=\"kvtk_(-?\\d+)_(-?\\d+)_(\\d+)_(\\d+)\"/>");
    std::vector<Mark> marks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), kMark);
         it != std::sregex_iterator(); ++it) {
        marks.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]), std::stoll((*it)[3]),
                         std::stoll((*it)[4])});
    }
    return marks;
}

inline std::string without_marks(const std::string& out) {
    static const std::regex kMark("<mark name=\"kvtk_[-0-9_]+\"/>");
    return std::regex_replace(out, kMark, "");
}

}  // namespace tokenise_test

#endif  // VRELAY_TESTS_TEXTPROC_TOKENISE_SUPPORT_H
