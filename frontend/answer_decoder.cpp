// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/answer_decoder.h"

#include <vrelay/vrelay_helpers.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "wire/payload.h"

namespace vrelay {
namespace frontend {

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

}  // namespace

void AnswerDecoder::BeginRequest(const Request* request) {
    request_ = request;
    request_start_ = request != nullptr ? request->Start().byte : 0;
    request_base_ = samples_;
    answered_ = complete_ = false;
    refusal_.clear();
    heard_.clear();
    leading_marks_.clear();
    pending_.clear();
}

int64_t AnswerDecoder::ResumeByte() const {
    return FromWord() ? heard_.front().word.source.begin.byte : request_start_;
}

int64_t AnswerDecoder::ResumeSample() const {
    return FromWord() ? heard_.front().word.sample : request_base_;
}

std::string AnswerDecoder::ResumeWord() const {
    return FromWord() ? heard_.front().word.source.written : std::string();
}

void AnswerDecoder::Resume(bool rewound) {
    // Those of an earlier resume that have not come again yet stay.
    if (!FromWord()) {
        repeat_marks_.insert(repeat_marks_.end(), leading_marks_.begin(), leading_marks_.end());
    }
    for (const Heard& heard : heard_) {
        repeat_marks_.insert(repeat_marks_.end(), heard.marksAfter.begin(), heard.marksAfter.end());
    }
    if (rewound) {
        samples_ = ResumeSample();
    }
    repeat_through_ = last_word_byte_;
    pending_.clear();  // the next request brings them again
}

bool AnswerDecoder::Deliver(const Pending& pending) {
    if (!pending.isWord) {
        (heard_.empty() ? leading_marks_ : heard_.back().marksAfter).push_back(pending.mark);
        return sink_->OnMark(pending.mark, pending.sample);
    }
    ++words_;
    last_word_byte_ = pending.word.source.begin.byte;
    heard_.push_back({pending.word, {}});
    return sink_->OnWord(pending.word);
}

// Delivers, in order, the waiting words and marks that begin before the
// sample `before`.
bool AnswerDecoder::DeliverDue(int64_t before) {
    while (!pending_.empty() && pending_.front().sample < before) {
        const Pending pending = std::move(pending_.front());
        pending_.pop_front();
        if (!Deliver(pending)) {
            return false;
        }
    }
    return true;
}

bool AnswerDecoder::Audio(const unsigned char* bytes, size_t size) {
    const size_t count = size / 2;
    if (kLittleEndian) {
        // The payload is in this machine's layout already; the copy aligns it.
        decoded_.resize(count);
        std::memcpy(decoded_.data(), bytes, count * 2);
    } else {
        decoded_ = wire::DecodeAudio(bytes, size);
    }
    const int64_t first = samples_;
    samples_ += static_cast<int64_t>(count);
    if (!DeliverDue(samples_)) {
        return false;
    }
    while (heard_.size() > 1 && heard_[1].word.sample <= samples_) {
        heard_.pop_front();  // a later word's audio has begun
    }
    return count == 0 || sink_->OnAudio(decoded_.data(), count, first);
}

bool AnswerDecoder::Mark(const void* data, int32_t length) {
    vr_mark_event mark;
    if (!vr_decode_mark(data, length, &mark)) {
        return true;
    }
    const int64_t sample = request_base_ + (mark.sample_offset > 0 ? mark.sample_offset : 0);
    vr_word_mark word;
    if (vr_is_final_mark(mark.name)) {
        complete_ = true;
        return DeliverDue(INT64_MAX);  // the audio is whole: the rest are due
    }
    Pending pending{false, {}, {}, sample};
    if (!vr_parse_word_mark(mark.name, &word)) {
        const auto repeated = std::find(repeat_marks_.begin(), repeat_marks_.end(), mark.name);
        if (repeated != repeat_marks_.end()) {
            repeat_marks_.erase(repeated);
            return true;
        }
        pending.mark = mark.name;
    } else {
        pending.isWord = true;
        pending.word.sample = sample;
        if (request_ == nullptr ||
            !request_->Word(word.byte_offset, word.byte_length, &pending.word.source) ||
            pending.word.source.begin.byte <= repeat_through_) {
            return true;
        }
        repeat_marks_.clear();  // past what came already
    }
    pending_.push_back(std::move(pending));
    return DeliverDue(samples_);
}

bool AnswerDecoder::Decode(PACKET_TYPE type, const void* data, int32_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t size = length > 0 && data != nullptr ? static_cast<size_t>(length) : 0;
    answered_ = answered_ || type != PACKET_REQUEST_DONE;
    switch (type) {
        case PACKET_DATA_9: {
            vr_audio_format format;
            if (vr_decode_audio_format(data, length, &format) && format.sample_rate != 0 &&
                format.sample_rate != sample_rate_) {
                sample_rate_ = format.sample_rate;
                return sink_->OnFormat(sample_rate_);
            }
            return true;
        }
        case PACKET_DATA_6:
            return Audio(bytes, size);
        case PACKET_DATA_8:
            return Mark(data, length);
        case PACKET_PHONEME: {
            if (data == nullptr || size < sizeof(::PhonemeEvent)) {
                return true;
            }
            const auto* phoneme = static_cast<const ::PhonemeEvent*>(data);
            return sink_->OnPhoneme({phoneme->phone != nullptr ? phoneme->phone : "",
                                     request_base_ + phoneme->first, phoneme->value1});
        }
        case PACKET_DATA_10: {
            const std::string text = wire::DecodeText(bytes, size);
            const std::string prefix = wire::kErrorPrefix;
            const bool error = text.compare(0, prefix.size(), prefix) == 0;
            if (error && refusal_.empty()) {
                refusal_ = text.substr(prefix.size());
            }
            sink_->OnMessage(error ? text.substr(prefix.size()) : text, error);
            return true;
        }
        default:
            return true;
    }
}

}  // namespace frontend
}  // namespace vrelay
